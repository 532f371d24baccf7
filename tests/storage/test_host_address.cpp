#include "storage/host_address.h"

#include <QTest>

namespace {

QString dottedLabels(std::initializer_list<int> lengths)
{
    QStringList parts;
    char letter = 'a';
    for (const int length : lengths) {
        parts.append(QString(length, QLatin1Char(letter)));
        letter = letter == 'z' ? 'a' : static_cast<char>(letter + 1);
    }
    return parts.join(QLatin1Char('.'));
}

} // namespace

class TestHostAddress : public QObject
{
    Q_OBJECT

private slots:
    void port_data();
    void port();
    void length_data();
    void length();
    void hostNameLabels_data();
    void hostNameLabels();
    void forbiddenCharacters_data();
    void forbiddenCharacters();
    void ipAddresses_data();
    void ipAddresses();
};

void TestHostAddress::port_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("valid");

    QTest::newRow("negative") << -1 << false;
    QTest::newRow("zero") << 0 << false;
    QTest::newRow("lowest") << 1 << true;
    QTest::newRow("ssh") << 22 << true;
    QTest::newRow("highest") << 65535 << true;
    QTest::newRow("above range") << 65536 << false;
}

void TestHostAddress::port()
{
    QFETCH(int, port);
    QFETCH(bool, valid);

    QCOMPARE(isValidSshTarget(QStringLiteral("server.example"), port), valid);
    QCOMPARE(isValidSshTarget(QStringLiteral("10.0.0.1"), port), valid);
}

void TestHostAddress::length_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("valid");

    const QString longest = dottedLabels({63, 63, 63, 61});
    const QString tooLong = dottedLabels({63, 63, 63, 62});
    QCOMPARE(longest.size(), 253);
    QCOMPARE(tooLong.size(), 254);

    QTest::newRow("empty") << QString() << false;
    QTest::newRow("only white space") << QStringLiteral(" \t\n ") << false;
    QTest::newRow("one character") << QStringLiteral("a") << true;
    QTest::newRow("253 characters") << longest << true;
    QTest::newRow("254 characters") << tooLong << false;
    QTest::newRow("253 characters after trimming") << QStringLiteral("  %1\t").arg(longest) << true;
    QTest::newRow("254 characters after trimming") << QStringLiteral(" %1 ").arg(tooLong) << false;
    QTest::newRow("surrounding white space") << QStringLiteral("  server.example\n") << true;
}

void TestHostAddress::length()
{
    QFETCH(QString, host);
    QFETCH(bool, valid);

    QCOMPARE(isValidSshTarget(host, 22), valid);
}

void TestHostAddress::hostNameLabels_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("valid");

    QTest::newRow("63-character label") << dottedLabels({63, 7}) << true;
    QTest::newRow("64-character label") << dottedLabels({64, 7}) << false;
    QTest::newRow("single 63-character label") << dottedLabels({63}) << true;
    QTest::newRow("single 64-character label") << dottedLabels({64}) << false;
    QTest::newRow("64-character last label") << dottedLabels({3, 64}) << false;
    QTest::newRow("inner hyphen") << QStringLiteral("my-host.example") << true;
    QTest::newRow("double inner hyphen") << QStringLiteral("xn--bcher-kva.example") << true;
    QTest::newRow("leading hyphen") << QStringLiteral("-host.example") << false;
    QTest::newRow("trailing hyphen") << QStringLiteral("host-.example") << false;
    QTest::newRow("hyphen at label start") << QStringLiteral("host.-example") << false;
    QTest::newRow("hyphen at label end") << QStringLiteral("host.example-") << false;
    QTest::newRow("only a hyphen") << QStringLiteral("-") << false;
    QTest::newRow("digits and capitals") << QStringLiteral("Web01.Example.COM") << true;
    QTest::newRow("empty label") << QStringLiteral("host..example") << false;
    QTest::newRow("leading dot") << QStringLiteral(".example") << false;
    QTest::newRow("trailing dot") << QStringLiteral("host.example.") << false;
    QTest::newRow("underscore") << QStringLiteral("my_host.example") << false;
    QTest::newRow("non-ASCII letter") << QStringLiteral("bücher.example") << false;
    QTest::newRow("port suffix") << QStringLiteral("host.example:22") << false;
    QTest::newRow("user prefix") << QStringLiteral("root@host.example") << false;
    QTest::newRow("option-like") << QStringLiteral("-oProxyCommand=x") << false;
}

void TestHostAddress::hostNameLabels()
{
    QFETCH(QString, host);
    QFETCH(bool, valid);

    QCOMPARE(isValidSshTarget(host, 22), valid);
}

void TestHostAddress::forbiddenCharacters_data()
{
    QTest::addColumn<QString>("host");

    QTest::newRow("inner space") << QStringLiteral("host example");
    QTest::newRow("inner tab") << QStringLiteral("host\texample");
    QTest::newRow("inner newline") << QStringLiteral("host\nexample");
    QTest::newRow("slash") << QStringLiteral("host/example");
    QTest::newRow("backslash") << QStringLiteral("host\\example");
    QTest::newRow("double quote") << QStringLiteral("host\"example");
    QTest::newRow("single quote") << QStringLiteral("host'example");
    QTest::newRow("IPv4 with prefix length") << QStringLiteral("10.0.0.0/8");
    QTest::newRow("IPv6 with prefix length") << QStringLiteral("2001:db8::/32");
    QTest::newRow("quoted IPv4") << QStringLiteral("'10.0.0.1'");
    QTest::newRow("IPv6 with inner space") << QStringLiteral("2001:db8:: 1");
}

void TestHostAddress::forbiddenCharacters()
{
    QFETCH(QString, host);

    QVERIFY(!isValidSshTarget(host, 22));
}

void TestHostAddress::ipAddresses_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("valid");

    QTest::newRow("IPv4") << QStringLiteral("192.168.1.10") << true;
    QTest::newRow("IPv4 all zeros") << QStringLiteral("0.0.0.0") << true;
    QTest::newRow("IPv4 broadcast") << QStringLiteral("255.255.255.255") << true;
    QTest::newRow("IPv4 trimmed") << QStringLiteral(" 10.1.2.3 ") << true;
    QTest::newRow("IPv6 loopback") << QStringLiteral("::1") << true;
    QTest::newRow("IPv6 compressed") << QStringLiteral("2001:db8::8a2e:370:7334") << true;
    QTest::newRow("IPv6 full") << QStringLiteral("2001:0db8:0000:0000:0000:ff00:0042:8329") << true;
    QTest::newRow("IPv6 mapped IPv4") << QStringLiteral("::ffff:192.0.2.128") << true;
    QTest::newRow("IPv6 trimmed") << QStringLiteral("\tfe80::1 ") << true;
    QTest::newRow("IPv6 two gaps") << QStringLiteral("2001::db8::1") << false;
    QTest::newRow("IPv6 bad group") << QStringLiteral("2001:db8::g1") << false;
    QTest::newRow("IPv6 in brackets") << QStringLiteral("[::1]") << false;
}

void TestHostAddress::ipAddresses()
{
    QFETCH(QString, host);
    QFETCH(bool, valid);

    QCOMPARE(isValidSshTarget(host, 22), valid);
}

QTEST_GUILESS_MAIN(TestHostAddress)
#include "test_host_address.moc"
