#include "server_config.h"

#include <QDir>
#include <QTest>

namespace {

QString dataDirectory()
{
    return QStringLiteral(NIMBARA_TEST_DATA_DIR "/server");
}

QString dataFile(const QString& name)
{
    return dataDirectory() + QLatin1Char('/') + name;
}

// Restores the working directory when the test ends, also on failure.
class CurrentDirectory
{
public:
    explicit CurrentDirectory(const QString& path) : m_saved(QDir::currentPath()) { QDir::setCurrent(path); }
    ~CurrentDirectory() { QDir::setCurrent(m_saved); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    QString m_saved;
};

} // namespace

class TestServerConfig : public QObject
{
    Q_OBJECT

private slots:
    void readsEveryKey()
    {
        ServerConfig config;
        QString error;
        QVERIFY2(ServerConfig::load(dataFile(QStringLiteral("full.toml")), &config, &error),
                 qPrintable(error));
        QCOMPARE(config.listenAddress, QHostAddress(QStringLiteral("0.0.0.0")));
        QCOMPARE(config.listenPort, quint16(9443));
        // Relative to the file's directory, cleaned; absolute paths stay as written.
        QCOMPARE(config.certificatePath, dataFile(QStringLiteral("tls/server.pem")));
        QCOMPARE(config.privateKeyPath, dataFile(QStringLiteral("tls/server.key")));
        QCOMPARE(config.sqlitePath,
                 QDir::cleanPath(dataDirectory() + QStringLiteral("/../shared/accounts.db")));
        QCOMPARE(config.updateDirectory, QStringLiteral("/srv/nimbara/updates"));
        QVERIFY(config.postgresql.isEmpty());
        QVERIFY(config.usesTls());
        QCOMPARE(config.publicUrl, QUrl(QStringLiteral("https://accounts.example.com/nimbara/")));
        QCOMPARE(config.allowRegistration, false);
        QCOMPARE(config.trustForwardedFor, true);
        QCOMPARE(config.idleDays, 7);
        QCOMPARE(config.maxDays, 90);
        QCOMPARE(config.signInFailuresPerEmail, 3);
        QCOMPARE(config.signInFailuresPerAddress, 20);
        QCOMPARE(config.signInWindowMinutes, 30);
        QCOMPARE(config.publicBase(9443), QStringLiteral("https://accounts.example.com/nimbara"));
    }

    void absentKeysTakeTheDefaults()
    {
        ServerConfig config;
        config.idleDays = 99; // overwritten: the file's defaults are those of a new ServerConfig
        QString error;
        QVERIFY2(ServerConfig::load(dataFile(QStringLiteral("minimal.toml")), &config, &error),
                 qPrintable(error));
        const ServerConfig defaults;
        QCOMPARE(config.listenAddress, defaults.listenAddress);
        QCOMPARE(config.listenPort, defaults.listenPort);
        QVERIFY(config.listenAddress.isLoopback());
        QVERIFY(config.certificatePath.isEmpty());
        QVERIFY(config.privateKeyPath.isEmpty());
        QVERIFY(!config.usesTls());
        QVERIFY(config.publicUrl.isEmpty());
        QCOMPARE(config.allowRegistration, defaults.allowRegistration);
        QCOMPARE(config.trustForwardedFor, defaults.trustForwardedFor);
        QCOMPARE(config.sqlitePath, dataFile(QStringLiteral("accounts.db")));
        QVERIFY(config.postgresql.isEmpty());
        QVERIFY(config.updateDirectory.isEmpty());
        QCOMPARE(config.idleDays, defaults.idleDays);
        QCOMPARE(config.maxDays, defaults.maxDays);
        QCOMPARE(config.signInFailuresPerEmail, defaults.signInFailuresPerEmail);
        QCOMPARE(config.signInFailuresPerAddress, defaults.signInFailuresPerAddress);
        QCOMPARE(config.signInWindowMinutes, defaults.signInWindowMinutes);
        QCOMPARE(config.registrationsPerAddress, 10);
        QCOMPARE(config.registrationWindowMinutes, 60);
        QCOMPARE(config.snapshotQuotaMiB, 16);
    }

    void pathsFollowTheFileNotTheWorkingDirectory()
    {
        // Loaded by a relative name from elsewhere, the file's paths still point next to it.
        const CurrentDirectory current(dataDirectory() + QStringLiteral("/.."));
        ServerConfig config;
        QString error;
        QVERIFY2(ServerConfig::load(QStringLiteral("server/minimal.toml"), &config, &error),
                 qPrintable(error));
        QCOMPARE(config.sqlitePath, dataFile(QStringLiteral("accounts.db")));
        QVERIFY(QDir::isAbsolutePath(config.sqlitePath));
    }

    // The example shipped for operators must stay a file the server accepts.
    void exampleConfigurationLoads()
    {
        ServerConfig config;
        QString error;
        QVERIFY2(ServerConfig::load(
                     QStringLiteral(NIMBARA_TEST_DATA_DIR "/../../server/deploy/server.toml.example"),
                     &config, &error),
                 qPrintable(error));
        QVERIFY(config.usesTls());
        QCOMPARE(config.publicBase(8443), QStringLiteral("https://accounts.example.org:8443"));
        QCOMPARE(config.sqlitePath, QStringLiteral("/var/lib/nimbara-account-server/accounts.db"));
    }

    void listensOnIpv6()
    {
        ServerConfig config;
        QString error;
        QVERIFY2(ServerConfig::load(dataFile(QStringLiteral("ipv6.toml")), &config, &error),
                 qPrintable(error));
        QCOMPARE(config.listenAddress, QHostAddress(QHostAddress::LocalHostIPv6));
        QCOMPARE(config.listenPort, quint16(8443));
        QCOMPARE(config.postgresql, QStringLiteral("host=127.0.0.1 port=5432 dbname=nimbara user=nimbara"));
        QVERIFY(config.sqlitePath.isEmpty());
        QCOMPARE(config.publicBase(8443), QStringLiteral("http://[::1]:8443"));
    }

    void refusesBrokenFiles_data()
    {
        QTest::addColumn<QString>("file");
        // A part of the reason that tells the reader what to fix.
        QTest::addColumn<QString>("reason");
        auto row = [](const char* name, const char* file, const char* reason) {
            QTest::newRow(name) << QString::fromLatin1(file) << QString::fromLatin1(reason);
        };
        row("plain HTTP on all IPv4 addresses", "plain_http_public.toml", "loopback");
        row("plain HTTP on all IPv6 addresses", "plain_http_ipv6_any.toml", "loopback");
        row("certificate without private key", "certificate_without_key.toml", "private_key");
        row("both storages", "both_storages.toml", "exactly one");
        // Download links would name 0.0.0.0, which no client can reach.
        row("updates on all addresses without a public address", "updates_without_public_url.toml",
            "public_url");
        row("no storage", "no_storage.toml", "exactly one");
        row("postgresql with ';'", "postgresql_semicolon.toml", "key=value");
        row("postgresql URI", "postgresql_uri.toml", "key=value");
        row("listen as a number", "listen_number.toml", "wrong type");
        row("flag as a text", "allow_registration_text.toml", "wrong type");
        row("listen without port", "listen_without_port.toml", "listen");
        row("listen port 70000", "listen_port_too_large.toml", "listen");
        row("listen on a host name", "listen_host_name.toml", "listen");
        row("idle_days 0", "idle_days_zero.toml", "idle_days");
        row("database timeout 0", "storage_timeout_zero.toml", "timeout_seconds");
        row("idle_days past int", "idle_days_huge.toml", "idle_days");
        row("sign-in window over a day", "window_too_long.toml", "[limits]");
        row("snapshot quota past the upload limit", "snapshot_quota_too_large.toml", "snapshot_quota_mib");
        row("no registrations", "registrations_zero.toml", "registrations_per_address");
        row("syntax error", "syntax_error.toml", "line 4");
        row("missing file", "missing.toml", "No such file");
        row("public_url with user", "public_url_user.toml", "public_url");
        row("public_url ftp", "public_url_ftp.toml", "public_url");
        row("public_url with query", "public_url_query.toml", "public_url");
    }

    void refusesBrokenFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        const QString path = dataFile(file);
        ServerConfig config;
        config.idleDays = 99;
        QString error;
        QVERIFY(!ServerConfig::load(path, &config, &error));
        QVERIFY2(error.startsWith(path + QStringLiteral(": ")), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1Char('\n')), qPrintable(error));
        // Nothing of a refused file is taken.
        QCOMPARE(config.idleDays, 99);
    }

    void publicBase_data()
    {
        QTest::addColumn<QString>("publicUrl");
        QTest::addColumn<QString>("listen");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<quint16>("actualPort");
        QTest::addColumn<QString>("expected");
        QTest::newRow("public URL with a slash")
            << "https://accounts.example.com/"
            << "127.0.0.1" << true << quint16(8443) << "https://accounts.example.com";
        QTest::newRow("public URL with a path and slashes")
            << "https://accounts.example.com/nimbara//"
            << "127.0.0.1" << true << quint16(8443) << "https://accounts.example.com/nimbara";
        QTest::newRow("public URL with a port")
            << "http://accounts.example.com:8080"
            << "127.0.0.1" << false << quint16(8443) << "http://accounts.example.com:8080";
        QTest::newRow("plain listener") << ""
                                        << "127.0.0.1" << false << quint16(8443) << "http://127.0.0.1:8443";
        QTest::newRow("port picked at start")
            << ""
            << "127.0.0.1" << false << quint16(40123) << "http://127.0.0.1:40123";
        QTest::newRow("TLS listener") << ""
                                      << "192.0.2.10" << true << quint16(9443) << "https://192.0.2.10:9443";
        QTest::newRow("IPv6 listener") << ""
                                       << "::1" << false << quint16(8443) << "http://[::1]:8443";
    }

    void publicBase()
    {
        QFETCH(QString, publicUrl);
        QFETCH(QString, listen);
        QFETCH(bool, tls);
        QFETCH(quint16, actualPort);
        QFETCH(QString, expected);
        ServerConfig config;
        config.publicUrl = QUrl(publicUrl);
        config.listenAddress = QHostAddress(listen);
        config.listenPort = 0;
        if (tls) {
            config.certificatePath = QStringLiteral("/etc/nimbara/server.pem");
            config.privateKeyPath = QStringLiteral("/etc/nimbara/server.key");
        }
        QCOMPARE(config.publicBase(actualPort), expected);
    }
};

QTEST_GUILESS_MAIN(TestServerConfig)
#include "test_server_config.moc"
