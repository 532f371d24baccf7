#include "support/test_certificate_authority.h"
#include "support/test_postgres_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QSslServer>
#include <QSslSocket>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

// Bound for a handshake on a loaded machine; the waits end as soon as the handshake does.
constexpr int kHandshakeTimeoutMs = 20000;

struct Handshake
{
    // Stays connected, so the server can finish its side of the handshake.
    std::unique_ptr<QSslSocket> client = std::make_unique<QSslSocket>();
    bool encrypted = false;
    QList<QSslError> errors;
};

// Connects to `port` with `configuration`, checking the certificate against `peerName`, and waits until
// the handshake succeeded or failed.
Handshake handshake(quint16 port, const QSslConfiguration& configuration, const QString& peerName)
{
    Handshake result;
    QSslSocket& client = *result.client;
    client.setSslConfiguration(configuration);
    QSignalSpy encrypted(&client, &QSslSocket::encrypted);
    QSignalSpy failed(&client, &QSslSocket::errorOccurred);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, peerName);
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(encrypted.count() + failed.count() > 0, kHandshakeTimeoutMs);
    }();
    result.encrypted = encrypted.count() > 0 && client.isEncrypted();
    result.errors = client.sslHandshakeErrors();
    return result;
}

QString describe(const QList<QSslError>& errors)
{
    QStringList texts;
    for (const QSslError& error : errors) {
        texts += error.errorString();
    }
    return texts.join(QStringLiteral("; "));
}

bool hasError(const QList<QSslError>& errors, QSslError::SslError kind)
{
    return std::any_of(errors.cbegin(), errors.cend(),
                       [kind](const QSslError& e) { return e.error() == kind; });
}

// The process ids whose parent is `pid`, from /proc.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray line = stat.readAll();
        // "pid (comm) state ppid ...": comm may hold spaces, so fields count from the last ')'.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid) {
            children += entry.toLongLong();
        }
    }
    return children;
}

} // namespace

class TestPeerTestSupport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString reason = TestCertificateAuthority::unavailableReason();
        if (!reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
        QString error;
        QVERIFY2(m_ca.create(&error), qPrintable(error));
        QVERIFY2(m_ca.issue(QStringLiteral("server"), &m_leaf, &error), qPrintable(error));
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
    }

    void authorityFiles()
    {
        QCOMPARE(m_ca.caCertificates().size(), 1);
        const QSslCertificate ca = m_ca.caCertificates().first();
        QVERIFY(ca.isSelfSigned());
        QCOMPARE(m_leaf.certificate.issuerDisplayName(), ca.subjectDisplayName());
        QVERIFY(m_leaf.certificate.effectiveDate() < QDateTime::currentDateTimeUtc());
        QVERIFY(m_leaf.certificate.expiryDate() > QDateTime::currentDateTimeUtc());
        QCOMPARE(m_leaf.certificate.subjectAlternativeNames().value(QSsl::IpAddressEntry),
                 QStringLiteral("127.0.0.1"));
        QCOMPARE(QFile::permissions(m_leaf.keyPath) & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
        QCOMPARE(QSslCertificate::fromPath(m_ca.caCertificatePath()), m_ca.caCertificates());
    }

    void trustedServerHandshakes()
    {
        m_server.setSslConfiguration(TestCertificateAuthority::serverConfiguration(m_leaf));
        const Handshake result =
            handshake(m_server.serverPort(), m_ca.clientConfiguration(), QStringLiteral("127.0.0.1"));
        QVERIFY2(result.encrypted, qPrintable(describe(result.errors)));
        QVERIFY2(result.errors.isEmpty(), qPrintable(describe(result.errors)));
        QCOMPARE(result.client->peerCertificate(), m_leaf.certificate);
        QCOMPARE(result.client->peerVerifyName(), QStringLiteral("127.0.0.1"));
        // The server hands out a connection only once its side of the handshake is done too.
        QTRY_VERIFY_WITH_TIMEOUT(m_server.hasPendingConnections(), kHandshakeTimeoutMs);
        delete m_server.nextPendingConnection();
    }

    void namesComeFromTheSubjectAltNames()
    {
        TestCertificateAuthority::Leaf named;
        QString error;
        QVERIFY2(m_ca.issue(QStringLiteral("named"), {QStringLiteral("DNS:localhost")}, &named, &error),
                 qPrintable(error));
        m_server.setSslConfiguration(TestCertificateAuthority::serverConfiguration(named));

        const Handshake byName =
            handshake(m_server.serverPort(), m_ca.clientConfiguration(), QStringLiteral("localhost"));
        QVERIFY2(byName.encrypted, qPrintable(describe(byName.errors)));

        const Handshake byAddress =
            handshake(m_server.serverPort(), m_ca.clientConfiguration(), QStringLiteral("127.0.0.1"));
        QVERIFY(!byAddress.encrypted);
        QVERIFY2(hasError(byAddress.errors, QSslError::HostNameMismatch),
                 qPrintable(describe(byAddress.errors)));
    }

    void defaultConfigurationRefusesThePrivateAuthority()
    {
        m_server.setSslConfiguration(TestCertificateAuthority::serverConfiguration(m_leaf));
        const Handshake result = handshake(m_server.serverPort(), QSslConfiguration::defaultConfiguration(),
                                           QStringLiteral("127.0.0.1"));
        QVERIFY(!result.encrypted);
        QVERIFY2(hasError(result.errors, QSslError::UnableToGetLocalIssuerCertificate),
                 qPrintable(describe(result.errors)));
    }

    void untrustedServerIsRefused()
    {
        TestCertificateAuthority::Leaf untrusted;
        QString error;
        QVERIFY2(m_ca.issueUntrusted(QStringLiteral("stranger"), &untrusted, &error), qPrintable(error));
        QVERIFY(untrusted.certificate.issuerDisplayName() !=
                m_ca.caCertificates().first().subjectDisplayName());
        m_server.setSslConfiguration(TestCertificateAuthority::serverConfiguration(untrusted));
        const Handshake result =
            handshake(m_server.serverPort(), m_ca.clientConfiguration(), QStringLiteral("127.0.0.1"));
        QVERIFY(!result.encrypted);
        QVERIFY2(hasError(result.errors, QSslError::UnableToGetLocalIssuerCertificate),
                 qPrintable(describe(result.errors)));
    }

    void badNamesAreRejected()
    {
        TestCertificateAuthority::Leaf leaf;
        QString error;
        QVERIFY(!m_ca.issue(QStringLiteral("../escape"), &leaf, &error));
        QVERIFY(!error.isEmpty());
        error.clear();
        QVERIFY(
            !m_ca.issue(QStringLiteral("server"), {QStringLiteral("IP:127.0.0.1, DNS:evil")}, &leaf, &error));
        QVERIFY(!error.isEmpty());
    }

    void postgresServes()
    {
        const QString reason = TestPostgresServer::unavailableReason();
        if (!reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
        TestPostgresServer postgres;
        QString error;
        QVERIFY2(postgres.start(&error), qPrintable(error));
        QVERIFY(postgres.port() != 0);
        QCOMPARE(postgres.connectionString(),
                 QStringLiteral("host=127.0.0.1 port=%1 dbname=postgres user=nimbara").arg(postgres.port()));
        QVERIFY(QFileInfo::exists(QDir(postgres.dataDirectory()).filePath(QStringLiteral("PG_VERSION"))));

        {
            QSqlDatabase db = postgres.addDatabase(QStringLiteral("main"));
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QSqlQuery query(db);
            QVERIFY2(
                query.exec(QStringLiteral("CREATE TABLE items (id integer PRIMARY KEY, name text NOT NULL)")),
                qPrintable(query.lastError().text()));
            QVERIFY2(query.exec(QStringLiteral("INSERT INTO items VALUES (1, 'eins'), (2, '二')")),
                     qPrintable(query.lastError().text()));
            QVERIFY2(query.exec(QStringLiteral("SELECT name FROM items ORDER BY id")),
                     qPrintable(query.lastError().text()));
            QStringList names;
            while (query.next()) {
                names += query.value(0).toString();
            }
            QCOMPARE(names, (QStringList{QStringLiteral("eins"), QStringLiteral("二")}));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("main"));

        QVERIFY2(postgres.createDatabase(QStringLiteral("other"), &error), qPrintable(error));
        QVERIFY(!postgres.createDatabase(QStringLiteral("other"), &error));
        QVERIFY2(error.contains(QLatin1String("already exists")), qPrintable(error));
        QVERIFY(!postgres.createDatabase(QStringLiteral("bad-name"), &error));
        qint64 postmaster = 0;
        QList<qint64> backends;
        {
            QSqlDatabase db = postgres.addDatabase(QStringLiteral("other"), QStringLiteral("other"));
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QSqlQuery query(db);
            // Nothing of the first database is visible in the new one.
            QVERIFY2(query.exec(QStringLiteral("SELECT to_regclass('items') IS NULL")),
                     qPrintable(query.lastError().text()));
            QVERIFY(query.next());
            QCOMPARE(query.value(0).toBool(), true);

            // Stopping ends the server with every backend, including this open session's.
            postmaster = postgres.processId();
            backends = childrenOf(postmaster);
            QVERIFY(!backends.isEmpty());
            postgres.stop();
            QVERIFY(!postgres.isRunning());
            QVERIFY(!query.exec(QStringLiteral("SELECT 1")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
        for (const qint64 pid : backends) {
            QVERIFY2(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)),
                     qPrintable(QString::number(pid)));
        }
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(postmaster)));
        QVERIFY2(postgres.log().contains("database system is shut down"), postgres.log().constData());

        {
            QSqlDatabase db = postgres.addDatabase(QStringLiteral("after"));
            QVERIFY(!db.open());
        }
        QSqlDatabase::removeDatabase(QStringLiteral("after"));
    }

private:
    TestCertificateAuthority m_ca;
    TestCertificateAuthority::Leaf m_leaf;
    QSslServer m_server;
};

QTEST_GUILESS_MAIN(TestPeerTestSupport)
#include "test_peer_test_support.moc"
