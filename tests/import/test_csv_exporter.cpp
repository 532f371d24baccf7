#include "import/csv_exporter.h"
#include "import/host_file_reader.h"
#include "import/host_import_parser.h"
#include "platform/process_hardening.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include "support/user_only_access.h"
#else
#include "support/file_size_limit.h"

#include <sys/stat.h>
#endif

#include <memory>

namespace {

Remote makeRemote(const QString& name, const QString& host, int port, const QString& protocol)
{
    Remote remote;
    remote.id = QStringLiteral("id-") + host;
    remote.name = name;
    remote.host = host;
    remote.port = port;
    remote.protocol = protocol;
    return remote;
}

// Three hosts that touch every rule of the format: quoting, protocol and scope texts, groups.
QList<Remote> sampleRemotes()
{
    Remote office =
        makeRemote(QStringLiteral("办公室"), QStringLiteral("192.168.1.10"), 3389, QStringLiteral("rdp"));
    office.username = QStringLiteral("Administrator");
    office.password = QStringLiteral("Zq7Lm4p");
    office.remark = QStringLiteral("财务部,二楼");
    office.group_id = QStringLiteral("g1");

    Remote database =
        makeRemote(QStringLiteral("db \"primary\""), QStringLiteral("10.0.0.2"), 22, QStringLiteral("SSH"));
    database.username = QStringLiteral("root");
    database.password = QStringLiteral("p,w");
    database.remark = QStringLiteral("line1\nline2");
    database.access_scope = QStringLiteral("team");
    database.group_id = QStringLiteral("gone");

    Remote other =
        makeRemote(QStringLiteral("x，y"), QStringLiteral("10.0.0.3"), 3390, QStringLiteral("vnc"));
    other.remark = QStringLiteral("a\r\nb");
    other.password = QStringLiteral("tab\there");
    other.access_scope = QStringLiteral("Team");
    return {office, database, other};
}

const QHash<QString, QString> kGroups = {{QStringLiteral("g1"), QStringLiteral("生产")},
                                         {QStringLiteral("g2"), QStringLiteral("测试")}};

QByteArray expectedFile(bool withPasswords)
{
    return QByteArray("\xEF\xBB\xBF") +
           QStringLiteral(
               "名称,IP,端口,用户名,密码,备注,协议,权限,分组\r\n"
               "办公室,192.168.1.10,3389,Administrator,%1,\"财务部,二楼\",RDP/Windows,仅主账号,生产\r\n"
               "\"db \"\"primary\"\"\",10.0.0.2,22,root,%2,\"line1\nline2\",SSH/Linux,主账号及子账号,\r\n"
               "\"x，y\",10.0.0.3,3390,,%3,\"a\r\nb\",RDP/Windows,仅主账号,\r\n")
               .arg(withPasswords ? QStringLiteral("Zq7Lm4p") : QString(),
                    withPasswords ? QStringLiteral("\"p,w\"") : QString(),
                    withPasswords ? QStringLiteral("\"tab\there\"") : QString())
               .toUtf8();
}

} // namespace

class TestCsvExporter : public QObject
{
    Q_OBJECT

private slots:
    void quoteField_data();
    void quoteField();
    void writesTheDocumentedFormat_data();
    void writesTheDocumentedFormat();
    void emptyListWritesTheHeaderOnly();
    void replacesAnExistingFile();

    void exportedFileImportsAgain();

    void unwritablePathsFail_data();
    void unwritablePathsFail();
    void failedWriteLeavesTheOldFile();
    void exportWithPasswordsIsPrivate();

private:
    QTemporaryDir m_dir;
};

void TestCsvExporter::quoteField_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("written");

    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("plain") << QStringLiteral("10.0.0.1") << QStringLiteral("10.0.0.1");
    QTest::newRow("inner spaces stay bare") << QStringLiteral("a b") << QStringLiteral("a b");
    // The importer trims bare fields; a password's own spaces survive only in quotes.
    QTest::newRow("leading space") << QStringLiteral(" ab") << QStringLiteral("\" ab\"");
    QTest::newRow("trailing tab") << QStringLiteral("ab\t") << QStringLiteral("\"ab\t\"");
    QTest::newRow("only spaces") << QStringLiteral("  ") << QStringLiteral("\"  \"");
    QTest::newRow("comma") << QStringLiteral("a,b") << QStringLiteral("\"a,b\"");
    QTest::newRow("full-width comma") << QStringLiteral("a，b") << QStringLiteral("\"a，b\"");
    QTest::newRow("quote") << QStringLiteral("say \"hi\"") << QStringLiteral("\"say \"\"hi\"\"\"");
    QTest::newRow("lone quote") << QStringLiteral("\"") << QStringLiteral("\"\"\"\"");
    QTest::newRow("LF") << QStringLiteral("a\nb") << QStringLiteral("\"a\nb\"");
    QTest::newRow("CR") << QStringLiteral("a\rb") << QStringLiteral("\"a\rb\"");
    QTest::newRow("tab") << QStringLiteral("a\tb") << QStringLiteral("\"a\tb\"");
}

void TestCsvExporter::quoteField()
{
    QFETCH(QString, field);
    QFETCH(QString, written);

    QCOMPARE(CsvExporter::quoteField(field), written);
}

void TestCsvExporter::writesTheDocumentedFormat_data()
{
    QTest::addColumn<bool>("withPasswords");
    QTest::newRow("without passwords") << false;
    QTest::newRow("with passwords") << true;
}

void TestCsvExporter::writesTheDocumentedFormat()
{
    QFETCH(bool, withPasswords);

    const QString path = m_dir.filePath(QStringLiteral("format.csv"));
    QString error;
    QVERIFY(CsvExporter::write(path, sampleRemotes(), kGroups, withPasswords, &error));
    QVERIFY(error.isEmpty());
    QCOMPARE(readFile(path), expectedFile(withPasswords));
}

void TestCsvExporter::emptyListWritesTheHeaderOnly()
{
    const QString path = m_dir.filePath(QStringLiteral("empty.csv"));
    QString error;
    QVERIFY(CsvExporter::write(path, {}, kGroups, false, &error));
    QCOMPARE(readFile(path), QByteArray("\xEF\xBB\xBF") +
                                 QStringLiteral("名称,IP,端口,用户名,密码,备注,协议,权限,分组\r\n").toUtf8());
}

void TestCsvExporter::replacesAnExistingFile()
{
    const QString path = m_dir.filePath(QStringLiteral("existing.csv"));
    writeFile(path, QByteArray(100000, 'z'));
    QString error;
    QVERIFY(CsvExporter::write(path, sampleRemotes(), kGroups, false, &error));
    QCOMPARE(readFile(path), expectedFile(false));
}

void TestCsvExporter::exportedFileImportsAgain()
{
    QList<Remote> remotes = sampleRemotes();
    remotes[0].password = QStringLiteral("q\"uo，te");
    remotes[2].remark.clear();
    Remote plain =
        makeRemote(QStringLiteral("jump"), QStringLiteral("jump.example.com"), 2222, QStringLiteral("ssh"));
    plain.password = QStringLiteral(" spaced out ");
    plain.group_id = QStringLiteral("g2");
    remotes.append(plain);
    Remote rdpOn22 =
        makeRemote(QStringLiteral("odd"), QStringLiteral("10.0.0.22"), 22, QStringLiteral("rdp"));
    remotes.append(rdpOn22);

    const QString path = m_dir.filePath(QStringLiteral("roundtrip.csv"));
    QString error;
    QVERIFY(CsvExporter::write(path, remotes, kGroups, true, &error));
    const std::optional<QByteArray> bytes = HostFileReader::read(path, &error);
    QVERIFY(bytes);

    const HostParseResult result = HostImportParser::parse(*bytes, QStringLiteral("target"));
    QVERIFY2(result.errors.isEmpty(), qPrintable(result.errors.join(QLatin1Char('\n'))));
    QCOMPARE(result.remotes.size(), remotes.size());
    for (qsizetype i = 0; i < remotes.size(); ++i) {
        const Remote& original = remotes.at(i);
        const Remote& imported = result.remotes.at(i);
        QCOMPARE(imported.name, original.name);
        QCOMPARE(imported.host, original.host);
        QCOMPARE(imported.port, original.port);
        QCOMPARE(imported.username, original.username);
        QCOMPARE(imported.password, original.password);
        QCOMPARE(imported.isSsh(), original.isSsh());
        QCOMPARE(imported.access_scope, original.access_scope == QLatin1String("team")
                                            ? QStringLiteral("team")
                                            : QStringLiteral("owner"));
        QCOMPARE(imported.remark, original.remark);
        // The host goes to the target group; the group column comes back for the importer to use.
        QCOMPARE(imported.group_id, QStringLiteral("target"));
        QCOMPARE(result.groupNames.at(i), kGroups.value(original.group_id));
    }
}

void TestCsvExporter::unwritablePathsFail_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing folder") << m_dir.filePath(QStringLiteral("no/such/folder/hosts.csv"));
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("taken.csv")));
    QTest::newRow("path is a folder") << m_dir.filePath(QStringLiteral("taken.csv"));
}

void TestCsvExporter::unwritablePathsFail()
{
    QFETCH(QString, path);

    QString error;
    QVERIFY(!CsvExporter::write(path, sampleRemotes(), kGroups, true, &error));
    QCOMPARE(error, QStringLiteral("无法写入导出文件"));
    QVERIFY(!QFileInfo(path).isFile());
}

void TestCsvExporter::failedWriteLeavesTheOldFile()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no file size limit for a process");
#else
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hosts.csv"));
    writeFile(path, "earlier export");

    // A file size limit makes the write fail half way, as a full disk would.
    QList<Remote> remotes;
    for (int i = 0; i < 200; ++i) {
        remotes.append(makeRemote(QStringLiteral("host-%1").arg(i),
                                  QStringLiteral("10.0.0.%1").arg(i % 250 + 1), 3389, QStringLiteral("rdp")));
    }
    auto limit = std::make_unique<FileSizeLimit>(1024);
    QVERIFY(limit->isValid());

    QString error;
    const bool written = CsvExporter::write(path, remotes, kGroups, false, &error);
    limit.reset();

    QVERIFY(!written);
    QCOMPARE(error, QStringLiteral("导出文件写入不完整"));
    QCOMPARE(readFile(path), QByteArray("earlier export"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("hosts.csv")});
#endif
}

void TestCsvExporter::exportWithPasswordsIsPrivate()
{
    QTemporaryDir dir;
#ifndef Q_OS_WIN
    const mode_t previous = ::umask(0);
    const auto restore = qScopeGuard([previous] { ::umask(previous); });
#endif
    const QString secret = dir.filePath(QStringLiteral("with.csv"));
    const QString plain = dir.filePath(QStringLiteral("without.csv"));
    QString error;
    QVERIFY(CsvExporter::write(secret, sampleRemotes(), kGroups, true, &error));
    QVERIFY(CsvExporter::write(plain, sampleRemotes(), kGroups, false, &error));
#ifdef Q_OS_WIN
    // The ordinary file takes its folder's list, which may be private as well: only this one is checked.
    QVERIFY(onlyCurrentUserMayEnter(secret));
#else
    struct stat st
    {
    };
    QCOMPARE(::stat(QFile::encodeName(secret).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    // Without passwords the file is the user's ordinary kind, as their umask at start-up makes it.
    QCOMPARE(::stat(QFile::encodeName(plain).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, static_cast<unsigned>(ProcessHardening::publicFileMode()));
#endif
}

QTEST_GUILESS_MAIN(TestCsvExporter)
#include "test_csv_exporter.moc"
