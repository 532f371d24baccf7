#include "import/host_import_parser.h"

#include <QFile>
#include <QSet>
#include <QTest>
#include <QUuid>

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

const QString kGroup = QStringLiteral("group-1");

QString dataPath(const QString& name)
{
    return QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/") + name;
}

QByteArray fixture(const QString& name)
{
    QFile file(dataPath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// host|port|protocol|name|username|password|remark|scope: what a row turned into, in one line.
QString summary(const Remote& remote)
{
    return QStringList{remote.host,     QString::number(remote.port),
                       remote.protocol, remote.name,
                       remote.username, remote.password,
                       remote.remark,   remote.access_scope}
        .join(QLatin1Char('|'));
}

QStringList summaries(const QList<Remote>& remotes)
{
    QStringList lines;
    for (const Remote& remote : remotes) {
        lines.append(summary(remote));
    }
    return lines;
}

HostParseResult parseText(const QString& text)
{
    return HostImportParser::parse(text.toUtf8(), kGroup);
}

} // namespace

class TestHostImportParser : public QObject
{
    Q_OBJECT

private slots:
    void tokenize_data();
    void tokenize();

    void parse_data();
    void parse();
    void buildsCompleteRecords();
    void groupColumn_data();
    void groupColumn();
    void rowNumbersCountRowsNotPhysicalLines();

    void decode_data();
    void decode();
    void gb18030FileParsesLikeItsUtf8Original();

    void binaryFileGivesErrorsOnly();
    void nulBytesRejectOnlyTheirRows();
    void megabyteLines();
    void unclosedQuoteSwallowsTheRestWithoutCrashing();
    void tenThousandRowsParse();
    void tooManyRowsAreRefusedAsAWhole();
};

void TestHostImportParser::tokenize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<QStringList>("errors");

    const QString unclosed = QStringLiteral("导入内容存在未闭合的引号");
    using Rows = QList<QStringList>;

    QTest::newRow("ascii comma") << QStringLiteral("a,b,c") << Rows{{"a", "b", "c"}} << QStringList();
    QTest::newRow("full-width comma") << QStringLiteral("a，b，c") << Rows{{"a", "b", "c"}} << QStringList();
    QTest::newRow("tab") << QStringLiteral("a\tb\tc") << Rows{{"a", "b", "c"}} << QStringList();
    QTest::newRow("mixed separators")
        << QStringLiteral("a,b，c\td") << Rows{{"a", "b", "c", "d"}} << QStringList();
    QTest::newRow("quoted separators")
        << QStringLiteral("\"a,b\",\"c，d\",\"e\tf\"") << Rows{{"a,b", "c，d", "e\tf"}} << QStringList();
    QTest::newRow("doubled quotes") << QStringLiteral("\"say \"\"hi\"\"\",x") << Rows{{"say \"hi\"", "x"}}
                                    << QStringList();
    QTest::newRow("quote inside a field is text")
        << QStringLiteral("ab\"c,d") << Rows{{"ab\"c", "d"}} << QStringList();
    QTest::newRow("text after a closing quote")
        << QStringLiteral("\"ab\"cd,e") << Rows{{"abcd", "e"}} << QStringList();
    QTest::newRow("empty quoted field") << QStringLiteral("\"\",x") << Rows{{"", "x"}} << QStringList();
    QTest::newRow("quoted line break")
        << QStringLiteral("\"line 1\nline 2\",x\ny") << Rows{{"line 1\nline 2", "x"}, {"y"}} << QStringList();
    QTest::newRow("CR LF line ends") << QStringLiteral("a,b\r\nc,d\r\n") << Rows{{"a", "b"}, {"c", "d"}}
                                     << QStringList();
    QTest::newRow("blank lines dropped")
        << QStringLiteral("a\n\n\r\n\nb\n") << Rows{{"a"}, {"b"}} << QStringList();
    QTest::newRow("separator-only line kept")
        << QStringLiteral(",,\nx") << Rows{{"", "", ""}, {"x"}} << QStringList();
    QTest::newRow("trailing separator at end") << QStringLiteral("a,") << Rows{{"a", ""}} << QStringList();
    QTest::newRow("white space is kept")
        << QStringLiteral(" a , b ") << Rows{{" a ", " b "}} << QStringList();
    QTest::newRow("empty text") << QString() << Rows{} << QStringList();
    QTest::newRow("unclosed quote keeps earlier rows")
        << QStringLiteral("a,b\n\"c,d\ne") << Rows{{"a", "b"}, {"c,d\ne"}} << QStringList{unclosed};
    QTest::newRow("lone quote") << QStringLiteral("\"") << Rows{} << QStringList{unclosed};
}

void TestHostImportParser::tokenize()
{
    QFETCH(QString, text);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QStringList, errors);

    QStringList actualErrors;
    QCOMPARE(HostImportParser::tokenize(text, &actualErrors), rows);
    QCOMPARE(actualErrors, errors);
}

void TestHostImportParser::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("errors");

    // Fixed positions: host, port, user, password, remark, name, system, scope.
    QTest::newRow("no header, all five basic fields")
        << QStringLiteral("192.168.1.10,3389,Administrator,Zq7Lm4p,办公室Windows")
        << QStringList{"192.168.1.10|3389|rdp|192.168.1.10|Administrator|Zq7Lm4p|办公室Windows|owner"}
        << QStringList();
    QTest::newRow("full-width commas, empty port")
        << QStringLiteral("10.0.0.5，，admin") << QStringList{"10.0.0.5|3389|rdp|10.0.0.5|admin|||owner"}
        << QStringList();
    QTest::newRow("tab separated") << QStringLiteral("10.0.0.6\t22\troot\tpw")
                                   << QStringList{"10.0.0.6|22|ssh|10.0.0.6|root|pw||owner"} << QStringList();
    QTest::newRow("values are trimmed")
        << QStringLiteral("  10.0.0.7 , 3389 ,  admin  , p w ")
        << QStringList{"10.0.0.7|3389|rdp|10.0.0.7|admin|p w||owner"} << QStringList();
    QTest::newRow("all eight fixed columns")
        << QStringLiteral("10.0.0.8,2222,ops,pw,跳板,jump,CentOS Linux,team")
        << QStringList{"10.0.0.8|2222|ssh|jump|ops|pw|跳板|team"} << QStringList();

    QTest::newRow("port 22 alone means SSH")
        << QStringLiteral("10.0.1.1,22") << QStringList{"10.0.1.1|22|ssh|10.0.1.1||||owner"} << QStringList();
    // An exported RDP host on port 22 must not come back as SSH.
    QTest::newRow("a Windows or RDP system wins over port 22")
        << QStringLiteral("ip,port,system\n10.0.1.2,22,Windows\n10.0.1.8,22,RDP/Windows\n10.0.1.9,22,x")
        << QStringList{"10.0.1.2|22|rdp|10.0.1.2|||Windows|owner", "10.0.1.8|22|rdp|10.0.1.8||||owner",
                       "10.0.1.9|22|ssh|10.0.1.9|||x|owner"}
        << QStringList();
    QTest::newRow("SSH system, empty port gives 22")
        << QStringLiteral("ip,protocol\n10.0.1.3,SSH") << QStringList{"10.0.1.3|22|ssh|10.0.1.3|||SSH|owner"}
        << QStringList();
    QTest::newRow("linux anywhere in the system, any case")
        << QStringLiteral("ip,os\n10.0.1.4,Ubuntu LINUX 22.04")
        << QStringList{"10.0.1.4|22|ssh|10.0.1.4|||Ubuntu LINUX 22.04|owner"} << QStringList();
    QTest::newRow("SSH with its own port")
        << QStringLiteral("ip,port,type\n10.0.1.5,2200,ssh")
        << QStringList{"10.0.1.5|2200|ssh|10.0.1.5|||ssh|owner"} << QStringList();
    QTest::newRow("other systems are RDP")
        << QStringLiteral("ip,系统\n10.0.1.6,Windows Server 2019")
        << QStringList{"10.0.1.6|3389|rdp|10.0.1.6|||Windows Server 2019|owner"} << QStringList();
    QTest::newRow("port 220 is not SSH")
        << QStringLiteral("10.0.1.7,220") << QStringList{"10.0.1.7|220|rdp|10.0.1.7||||owner"}
        << QStringList();

    QTest::newRow("non-numeric port, no header: first line is 1")
        << QStringLiteral("10.0.2.1,abc\n10.0.2.2,3389") << QStringList{"10.0.2.2|3389|rdp|10.0.2.2||||owner"}
        << QStringList{"第 1 行主机或端口无效"};
    QTest::newRow("non-numeric port, with header: first data line is 2")
        << QStringLiteral("ip,port\n10.0.2.1,abc") << QStringList() << QStringList{"第 2 行主机或端口无效"};
    QTest::newRow("port out of range") << QStringLiteral("10.0.2.3,0\n10.0.2.4,65536\n10.0.2.5,65535")
                                       << QStringList{"10.0.2.5|65535|rdp|10.0.2.5||||owner"}
                                       << QStringList{"第 1 行主机或端口无效", "第 2 行主机或端口无效"};
    QTest::newRow("port with a fraction")
        << QStringLiteral("10.0.2.6,3389.5") << QStringList() << QStringList{"第 1 行主机或端口无效"};
    QTest::newRow("invalid hosts") << QStringLiteral("bad host\na/b\nsrv;rm\n-lead.example") << QStringList()
                                   << QStringList{"第 1 行主机或端口无效", "第 2 行主机或端口无效",
                                                  "第 3 行主机或端口无效", "第 4 行主机或端口无效"};
    QTest::newRow("host names and IPv6") << QStringLiteral("jump.example.com,22\n2001:db8::10,3389")
                                         << QStringList{"jump.example.com|22|ssh|jump.example.com||||owner",
                                                        "2001:db8::10|3389|rdp|2001:db8::10||||owner"}
                                         << QStringList();

    QTest::newRow("English header, mixed case")
        << QStringLiteral("HostName,IP,Port,USER,Passwd,Note,OS,Permission\nweb,10.0.3.1,3390,admin,pw,前台,"
                          "Windows,team")
        << QStringList{"10.0.3.1|3390|rdp|web|admin|pw|前台|team"} << QStringList();
    QTest::newRow("Chinese header in another order")
        << QStringLiteral(
               "名称,类型,权限,备注,密码,用户名,端口,主机\n库,Linux,仅主账号,主库,pw,root,,10.0.3.2")
        << QStringList{"10.0.3.2|22|ssh|库|root|pw|主库|owner"} << QStringList();
    QTest::newRow("公网IP header") << QStringLiteral("公网IP,端口\n203.0.113.7,3389")
                                   << QStringList{"203.0.113.7|3389|rdp|203.0.113.7||||owner"}
                                   << QStringList();
    QTest::newRow("earlier alias is preferred")
        << QStringLiteral("ip,public_ip,remarks,note\n10.0.3.3,203.0.113.8,r1,n1")
        << QStringList{"203.0.113.8|3389|rdp|203.0.113.8|||n1|owner"} << QStringList();
    QTest::newRow("header cell given twice counts for the last")
        << QStringLiteral("ip,ip\n10.0.3.4,10.0.3.5") << QStringList{"10.0.3.5|3389|rdp|10.0.3.5||||owner"}
        << QStringList();
    QTest::newRow("header cells are trimmed")
        << QStringLiteral("  IP  , PORT \n10.0.3.6,22") << QStringList{"10.0.3.6|22|ssh|10.0.3.6||||owner"}
        << QStringList();
    QTest::newRow("columns missing from the header are empty")
        << QStringLiteral("host,password\n10.0.3.7,secret")
        << QStringList{"10.0.3.7|3389|rdp|10.0.3.7||secret||owner"} << QStringList();
    QTest::newRow("header only") << QStringLiteral("ip,port,user\n") << QStringList() << QStringList();
    QTest::newRow("without a host alias the first row is data")
        << QStringLiteral("server,port\n10.0.3.8,22") << QStringList{"10.0.3.8|22|ssh|10.0.3.8||||owner"}
        << QStringList{"第 1 行主机或端口无效"};

    QTest::newRow("remark from system only with a header")
        << QStringLiteral("ip,system,remark\n10.0.4.6,Windows Server 2019,\n10.0.4.2,SSH/Linux,自备")
        << QStringList{"10.0.4.6|3389|rdp|10.0.4.6|||Windows Server 2019|owner",
                       "10.0.4.2|22|ssh|10.0.4.2|||自备|owner"}
        << QStringList();
    // The export writes these labels for every host; they describe nothing worth a remark.
    QTest::newRow("the export's protocol labels are no remark")
        << QStringLiteral("ip,协议,备注\n10.0.4.1,RDP/Windows,\n10.0.4.7,ssh/linux,")
        << QStringList{"10.0.4.1|3389|rdp|10.0.4.1||||owner", "10.0.4.7|22|ssh|10.0.4.7||||owner"}
        << QStringList();
    QTest::newRow("no remark from system without a header")
        << QStringLiteral("10.0.4.3,,,,,,Linux") << QStringList{"10.0.4.3|22|ssh|10.0.4.3||||owner"}
        << QStringList();
    QTest::newRow("name falls back to the host")
        << QStringLiteral("name,ip\n,10.0.4.4\n  ,10.0.4.5")
        << QStringList{"10.0.4.4|3389|rdp|10.0.4.4||||owner", "10.0.4.5|3389|rdp|10.0.4.5||||owner"}
        << QStringList();

    QTest::newRow("scope values")
        << QStringLiteral("ip,权限\n10.0.5.1,team\n10.0.5.2,TEAM\n10.0.5.3,主账号及子账号\n10.0.5.4,子账号\n"
                          "10.0.5.5,仅主账号\n10.0.5.6,owner\n10.0.5.7,\n10.0.5.8,teams")
        << QStringList{"10.0.5.1|3389|rdp|10.0.5.1||||team",  "10.0.5.2|3389|rdp|10.0.5.2||||team",
                       "10.0.5.3|3389|rdp|10.0.5.3||||team",  "10.0.5.4|3389|rdp|10.0.5.4||||team",
                       "10.0.5.5|3389|rdp|10.0.5.5||||owner", "10.0.5.6|3389|rdp|10.0.5.6||||owner",
                       "10.0.5.7|3389|rdp|10.0.5.7||||owner", "10.0.5.8|3389|rdp|10.0.5.8||||owner"}
        << QStringList();

    QTest::newRow("quoted comma in a remark")
        << QStringLiteral("10.0.6.1,3389,u,p,\"财务部,二楼\"")
        << QStringList{"10.0.6.1|3389|rdp|10.0.6.1|u|p|财务部,二楼|owner"} << QStringList();
    QTest::newRow("doubled quote in a password")
        << QStringLiteral("10.0.6.2,3389,u,\"p\"\"q\"")
        << QStringList{"10.0.6.2|3389|rdp|10.0.6.2|u|p\"q||owner"} << QStringList();
    QTest::newRow("a quoted password keeps its spaces, a bare one is trimmed")
        << QStringLiteral("10.0.6.5,3389,u,\" p w \"\n10.0.6.6,3389,u, p w \n10.0.6.7,3389,u,\"\"")
        << QStringList{"10.0.6.5|3389|rdp|10.0.6.5|u| p w ||owner", "10.0.6.6|3389|rdp|10.0.6.6|u|p w||owner",
                       "10.0.6.7|3389|rdp|10.0.6.7|u|||owner"}
        << QStringList();
    QTest::newRow("blank lines and separator-only lines are skipped silently")
        << QStringLiteral("\n\n10.0.6.3\n,,,\n，，\n\t\n\r\n10.0.6.4\n\n")
        << QStringList{"10.0.6.3|3389|rdp|10.0.6.3||||owner", "10.0.6.4|3389|rdp|10.0.6.4||||owner"}
        << QStringList();
    QTest::newRow("unclosed quote keeps the rows before it")
        << QStringLiteral("10.0.7.1,3389\n10.0.7.2,3389,u,\"open\n10.0.7.3")
        << QStringList{"10.0.7.1|3389|rdp|10.0.7.1||||owner",
                       "10.0.7.2|3389|rdp|10.0.7.2|u|open\n10.0.7.3||owner"}
        << QStringList{"导入内容存在未闭合的引号"};
    QTest::newRow("empty input") << QString() << QStringList() << QStringList{"导入内容为空"};
    QTest::newRow("only blank lines")
        << QStringLiteral("\n\r\n\n") << QStringList() << QStringList{"导入内容为空"};
    QTest::newRow("only a quote") << QStringLiteral("\"") << QStringList()
                                  << QStringList{"导入内容存在未闭合的引号", "导入内容为空"};
}

void TestHostImportParser::parse()
{
    QFETCH(QString, text);
    QFETCH(QStringList, hosts);
    QFETCH(QStringList, errors);

    const HostParseResult result = parseText(text);
    QCOMPARE(summaries(result.remotes), hosts);
    QCOMPARE(result.errors, errors);
}

void TestHostImportParser::groupColumn_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("groups"); // one per host read

    QTest::newRow("the export's header")
        << QStringLiteral("名称,IP,端口,用户名,密码,备注,协议,权限,分组\n"
                          "a,10.0.0.1,3389,,,,RDP/Windows,仅主账号,生产\n"
                          "b,10.0.0.2,22,,,,SSH/Linux,仅主账号,\n"
                          "c,10.0.0.3,22,,,,SSH/Linux,仅主账号,\"测试, 备用\"")
        << QStringList{"生产", QString(), "测试, 备用"};
    QTest::newRow("English, any case, trimmed")
        << QStringLiteral("ip, Group \n10.0.0.1,  ops  ") << QStringList{"ops"};
    QTest::newRow("组") << QStringLiteral("ip,组\n10.0.0.1,运维") << QStringList{"运维"};
    QTest::newRow("分组名称") << QStringLiteral("ip,分组名称\n10.0.0.1,运维") << QStringList{"运维"};
    QTest::newRow("group_name") << QStringLiteral("ip,group_name\n10.0.0.1,db") << QStringList{"db"};
    QTest::newRow("分组 before 组") << QStringLiteral("ip,组,分组\n10.0.0.1,second,first")
                                    << QStringList{"first"};
    QTest::newRow("short rows name no group")
        << QStringLiteral("ip,port,分组\n10.0.0.1,3389\n10.0.0.2,3389,x") << QStringList{QString(), "x"};
    QTest::newRow("rows skipped or refused leave no entry")
        << QStringLiteral("ip,port,分组\n,3389,lost\n10.0.0.1,abc,bad\n10.0.0.2,22,kept")
        << QStringList{"kept"};
    // Without a header no column means a group, however many there are.
    QTest::newRow("no header") << QStringLiteral("10.0.0.1,3389,u,p,r,n,Windows,team,生产")
                               << QStringList{QString()};
}

void TestHostImportParser::groupColumn()
{
    QFETCH(QString, text);
    QFETCH(QStringList, groups);

    const HostParseResult result = parseText(text);
    QCOMPARE(result.groupNames, groups);
    QCOMPARE(result.remotes.size(), groups.size());
    for (const Remote& remote : result.remotes) {
        QCOMPARE(remote.group_id, kGroup);
    }
}

void TestHostImportParser::buildsCompleteRecords()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const HostParseResult result = parseText(QStringLiteral("10.0.0.1,3389\n10.0.0.2,22\n10.0.0.3,3389"));
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
    QCOMPARE(result.remotes.size(), 3);

    QSet<QString> ids;
    for (const Remote& remote : result.remotes) {
        QCOMPARE(remote.id.size(), 36); // no braces
        QVERIFY(!QUuid::fromString(remote.id).isNull());
        ids.insert(remote.id);
        QCOMPARE(remote.group_id, kGroup);
        QCOMPARE(remote.source_type, QStringLiteral("manual"));
        QCOMPARE(remote.legacy_rdp_security, !remote.isSsh());
        QCOMPARE(remote.created_at.timeSpec(), Qt::UTC);
        QVERIFY(remote.created_at >= before && remote.created_at <= after);
        QCOMPARE(remote.updated_at, remote.created_at);
        QVERIFY(remote.mac_address.isEmpty());
    }
    QCOMPARE(ids.size(), 3);
    QVERIFY(result.remotes.at(1).isSsh());
}

void TestHostImportParser::rowNumbersCountRowsNotPhysicalLines()
{
    // Blank lines are no rows, and a quoted line break keeps one row over two lines.
    const HostParseResult result =
        parseText(QStringLiteral("ip,port,remark\n\n10.0.0.1,3389,\"two\nlines\"\n\n10.0.0.2,x\n"));
    QCOMPARE(summaries(result.remotes), QStringList{"10.0.0.1|3389|rdp|10.0.0.1|||two\nlines|owner"});
    QCOMPARE(result.errors, QStringList{"第 3 行主机或端口无效"});
}

void TestHostImportParser::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    const QString chinese = QStringLiteral("主机,端口\n办公室,3389");
    QTest::newRow("UTF-8") << chinese.toUtf8() << chinese;
    QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF") + chinese.toUtf8() << chinese;
    QTest::newRow("BOM only at the start is removed") << QByteArray("\xEF\xBB\xBF"
                                                                    "a\xEF\xBB\xBF"
                                                                    "b")
                                                      << QStringLiteral("a\uFEFFb");
    // 主机,端口 / 办公室 in the GB18030 (GBK) code page of a Chinese Windows.
    QTest::newRow("GB18030") << QByteArray("\xD6\xF7\xBB\xFA,\xB6\xCB\xBF\xDA\n\xB0\xEC\xB9\xAB\xCA\xD2,3389")
                             << chinese;
    QTest::newRow("GB18030 four-byte sequence") << QByteArray("\x95\x32\x82\x36"
                                                              "a")
                                                << QStringLiteral("\U00020000a");
    QTest::newRow("UTF-16LE with BOM")
        << QByteArray("\xFF\xFE") +
               QByteArray(reinterpret_cast<const char*>(chinese.utf16()), chinese.size() * 2)
        << chinese;
    QTest::newRow("ASCII") << QByteArray("10.0.0.1,3389") << QStringLiteral("10.0.0.1,3389");
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestHostImportParser::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
#if defined(Q_OS_WIN)
    if (!IsValidCodePage(54936) && QByteArray(QTest::currentDataTag()).contains("four-byte")) {
        QSKIP("this system has no GB18030 code page, only GBK");
    }
#endif

    QCOMPARE(HostImportParser::decode(bytes), text);
}

void TestHostImportParser::gb18030FileParsesLikeItsUtf8Original()
{
    const QByteArray utf8 = fixture(QStringLiteral("hosts.csv"));
    const QByteArray gb18030 = fixture(QStringLiteral("hosts_gb18030.csv"));
    QVERIFY(!utf8.isEmpty());
    QVERIFY(gb18030 != utf8); // really re-encoded

    QCOMPARE(HostImportParser::decode(gb18030), HostImportParser::decode(utf8));
    const HostParseResult result = HostImportParser::parse(gb18030, kGroup);
    QCOMPARE(
        summaries(result.remotes),
        (QStringList{"192.168.1.10|3389|rdp|办公室Windows|Administrator|Zq7Lm4p|财务部，二楼|owner",
                     "192.168.1.20|22|ssh|Linux服务器|root|Xk9Pw2q|13800138000|team",
                     "10.0.0.5|3389|rdp|10.0.0.5||||owner", "jump.example.com|2222|ssh|跳板机|ops||SSH|team",
                     "10.0.0.8|3389|rdp|db01||Pa55|0.1|owner"}));
    QVERIFY(result.errors.isEmpty());
}

void TestHostImportParser::binaryFileGivesErrorsOnly()
{
    const QByteArray bytes = fixture(QStringLiteral("binary.csv"));
    QVERIFY(bytes.size() > 500);

    const HostParseResult result = HostImportParser::parse(bytes, kGroup);
    QVERIFY(result.remotes.isEmpty());
    QVERIFY(!result.errors.isEmpty());
    for (const QString& error : result.errors) {
        QVERIFY2(error.endsWith(QStringLiteral("主机或端口无效")) ||
                     error.endsWith(QStringLiteral("未导入")) ||
                     error == QStringLiteral("导入内容存在未闭合的引号"),
                 qPrintable(error));
    }
}

void TestHostImportParser::nulBytesRejectOnlyTheirRows()
{
    const QByteArray bytes = fixture(QStringLiteral("nul_byte.csv"));
    QVERIFY(bytes.contains('\0'));

    const HostParseResult result = HostImportParser::parse(bytes, kGroup);
    QCOMPARE(summaries(result.remotes), (QStringList{"10.0.0.1|3389|rdp|10.0.0.1|admin|pw1|first|owner",
                                                     "10.0.0.4|22|ssh|10.0.0.4|root|pw4|fourth|owner"}));
    QCOMPARE(result.errors, (QStringList{"第 2 行含有空字符，未导入", "第 3 行含有空字符，未导入"}));
}

void TestHostImportParser::megabyteLines()
{
    const QString megabyte(1024 * 1024, QLatin1Char('x'));

    // A huge remark is just a remark.
    HostParseResult result =
        parseText(QStringLiteral("10.0.0.1,3389,u,p,") + megabyte + QStringLiteral("\n10.0.0.2"));
    QCOMPARE(result.remotes.size(), 2);
    QCOMPARE(result.remotes.at(0).remark.size(), megabyte.size());

    // A huge host is an invalid host.
    result = parseText(megabyte + QStringLiteral(",3389\n10.0.0.3"));
    QCOMPARE(summaries(result.remotes), QStringList{"10.0.0.3|3389|rdp|10.0.0.3||||owner"});
    QCOMPARE(result.errors, QStringList{"第 1 行主机或端口无效"});

    // A million separators: a row without a host, skipped like any other.
    result = parseText(QString(1024 * 1024, QLatin1Char(',')) + QStringLiteral("\n10.0.0.4"));
    QCOMPARE(summaries(result.remotes), QStringList{"10.0.0.4|3389|rdp|10.0.0.4||||owner"});
    QVERIFY(result.errors.isEmpty());
}

void TestHostImportParser::unclosedQuoteSwallowsTheRestWithoutCrashing()
{
    QString text = QStringLiteral("10.0.0.1,3389\n\"");
    for (int i = 0; i < 20000; ++i) {
        text += QStringLiteral("10.1.%1.%2,3389\n").arg(i / 250).arg(i % 250 + 1);
    }
    const HostParseResult result = parseText(text);
    QCOMPARE(summaries(result.remotes), QStringList{"10.0.0.1|3389|rdp|10.0.0.1||||owner"});
    QCOMPARE(result.errors, (QStringList{"导入内容存在未闭合的引号", "第 2 行主机或端口无效"}));
}

void TestHostImportParser::tenThousandRowsParse()
{
    QString text = QStringLiteral("名称,IP,端口,用户名,密码,备注,协议,权限\n");
    for (int i = 0; i < 10000; ++i) {
        text += QStringLiteral("host-%1,10.%2.%3.%4,%5,admin,pw%1,\"机房 %1，第 %2 排\",%6,仅主账号\n")
                    .arg(i)
                    .arg(i / 62500)
                    .arg(i / 250 % 250)
                    .arg(i % 250 + 1)
                    .arg(i % 2 ? 22 : 3389)
                    .arg(i % 2 ? QStringLiteral("SSH/Linux") : QStringLiteral("RDP/Windows"));
    }
    const QByteArray bytes = text.toUtf8();

    // How long this takes is measured by benchmarks/bench_inventory.cpp (its 10,000-row CSV import).
    const HostParseResult result = HostImportParser::parse(bytes, kGroup);

    QCOMPARE(result.remotes.size(), 10000);
    QVERIFY(result.errors.isEmpty());
    QCOMPARE(summary(result.remotes.at(9999)),
             QStringLiteral("10.0.39.250|22|ssh|host-9999|admin|pw9999|机房 9999，第 0 排|owner"));
}

void TestHostImportParser::tooManyRowsAreRefusedAsAWhole()
{
    QByteArray bytes;
    bytes.reserve(100001 * 10);
    for (int i = 0; i < 100001; ++i) {
        bytes += "10.0.0.1\n";
    }
    HostParseResult result = HostImportParser::parse(bytes, kGroup);
    QVERIFY(result.remotes.isEmpty());
    QCOMPARE(result.errors, QStringList{"导入内容超过 100000 行，请拆分后导入。"});

    // The limit counts rows, the header included.
    bytes.chop(9);
    result = HostImportParser::parse(bytes, kGroup);
    QCOMPARE(result.remotes.size(), 100000);
}

QTEST_GUILESS_MAIN(TestHostImportParser)
#include "test_host_import_parser.moc"
