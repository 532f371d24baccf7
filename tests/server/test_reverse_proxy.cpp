// The account server behind nginx with server/deploy/nginx.conf.example (ports, certificate and
// private paths put in): TLS at nginx, plain HTTP on loopback with trust_forwarded_for, the sign-in
// throttle counting the real client address. Also the server's reading of X-Forwarded-For lines.

#include "support/account_test_server.h"
#include "support/http_test_client.h"
#include "support/test_certificate_authority.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

namespace {

constexpr int kWaitMs = 60000;
constexpr int kFailuresPerAddress = 3;
const QString kPassword = QStringLiteral("correct horse battery");

QString uniqueEmail()
{
    static int counter = 0;
    return QStringLiteral("proxy.%1@example.com").arg(++counter);
}

QByteArray signInBody(const QString& email)
{
    return QStringLiteral(
               R"({"email":"%1","password":"not the password","client_id":"proxy-test","client_name":"proxy"})")
        .arg(email)
        .toUtf8();
}

} // namespace

class TestReverseProxy : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AccountTestServer> m_server;
    TestCertificateAuthority m_ca;
    QTemporaryDir m_nginxDirectory;
    QProcess m_nginx;
    quint16 m_proxyPort = 0;
    QString m_proxyUnavailable;

    QUrl proxyUrl(const QString& path) const
    {
        return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_proxyPort).arg(path));
    }

    // The example configuration with this machine's ports and paths; false when it no longer has
    // the lines replaced here.
    bool writeNginxConfig(const TestCertificateAuthority::Leaf& leaf, QString* error)
    {
        QFile example(QStringLiteral(NIMBARA_TEST_DATA_DIR "/../../server/deploy/nginx.conf.example"));
        if (!example.open(QIODevice::ReadOnly)) {
            *error = example.fileName() + QStringLiteral(": ") + example.errorString();
            return false;
        }
        QString text = QString::fromUtf8(example.readAll());
        const QString dir = m_nginxDirectory.path();
        const QList<std::pair<QString, QString>> replacements{
            {QStringLiteral("user www-data;"), ::geteuid() == 0 ? QStringLiteral("user root;") : QString()},
            {QStringLiteral("/run/nginx.pid"), dir + QStringLiteral("/nginx.pid")},
            {QStringLiteral("error_log /var/log/nginx/error.log warn;"),
             QStringLiteral("error_log stderr notice;")},
            {QStringLiteral("/var/log/nginx/"), dir + QLatin1Char('/')},
            {QStringLiteral("listen 443 ssl;"), QStringLiteral("listen 127.0.0.1:%1 ssl;").arg(m_proxyPort)},
            {QStringLiteral("listen [::]:443 ssl;"), QString()},
            {QStringLiteral("/etc/nginx/tls/accounts.example.org/fullchain.pem"), leaf.certificatePath},
            {QStringLiteral("/etc/nginx/tls/accounts.example.org/privkey.pem"), leaf.keyPath},
            {QStringLiteral("http://127.0.0.1:8080;"),
             QStringLiteral("http://127.0.0.1:%1;").arg(m_server->port())},
            {QStringLiteral("\nhttp {\n"),
             QStringLiteral("\nhttp {\n") +
                 QStringLiteral("client_body_temp_path %1/body; proxy_temp_path %1/proxy; "
                                "fastcgi_temp_path %1/fastcgi; uwsgi_temp_path "
                                "%1/uwsgi; scgi_temp_path %1/scgi;\n")
                     .arg(dir)},
        };
        for (const auto& [from, to] : replacements) {
            if (!text.contains(from)) {
                *error = QStringLiteral("the example no longer has \"%1\"").arg(from);
                return false;
            }
            text.replace(from, to);
        }
        QFile config(m_nginxDirectory.filePath(QStringLiteral("nginx.conf")));
        if (!config.open(QIODevice::WriteOnly) || config.write(text.toUtf8()) < 0 || !config.flush()) {
            *error = config.errorString();
            return false;
        }
        return true;
    }

    // Starts nginx in the foreground and waits for its workers; false with its output.
    bool startNginx(const QString& program, QString* error)
    {
        QTcpServer probe; // a free port, given back at once
        probe.listen(QHostAddress::LocalHost);
        m_proxyPort = probe.serverPort();
        probe.close();
        TestCertificateAuthority::Leaf leaf;
        if (!m_nginxDirectory.isValid() || !m_ca.create(error) ||
            !m_ca.issue(QStringLiteral("proxy"), &leaf, error) || !writeNginxConfig(leaf, error))
            return false;
        m_nginx.setProcessChannelMode(QProcess::MergedChannels);
        m_nginx.start(program,
                      {QStringLiteral("-p"), m_nginxDirectory.path(), QStringLiteral("-c"),
                       m_nginxDirectory.filePath(QStringLiteral("nginx.conf")), QStringLiteral("-e"),
                       QStringLiteral("stderr"), QStringLiteral("-g"), QStringLiteral("daemon off;")});
        QByteArray output;
        const QDeadlineTimer deadline(kWaitMs);
        while (!output.contains("start worker process") && m_nginx.state() != QProcess::NotRunning &&
               !deadline.hasExpired()) {
            m_nginx.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
            output += m_nginx.readAll();
        }
        *error = QStringLiteral("nginx did not start: ") + QString::fromUtf8(output);
        return output.contains("start worker process") && m_nginx.state() == QProcess::Running;
    }

    // A failed sign-in straight to the server with these X-Forwarded-For lines, as a proxy that
    // appends a line of its own sends them; the status code, 0 without an answer.
    int signInWithForwardedFor(const QList<QByteArray>& lines)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_server->port());
        if (!socket.waitForConnected(kWaitMs))
            return 0;
        const QByteArray body = signInBody(uniqueEmail());
        QByteArray request = "POST /api/v1/auth/login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                             "Content-Type: application/json\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n";
        for (const QByteArray& line : lines)
            request += "X-Forwarded-For: " + line + "\r\n";
        socket.write(request + "\r\n" + body);
        QByteArray answer;
        while (!answer.contains("\r\n") && socket.waitForReadyRead(kWaitMs))
            answer += socket.readAll();
        return answer.split(' ').value(1).toInt();
    }

private slots:
    void initTestCase()
    {
        if (!AccountTestServer::unavailableReason().isEmpty())
            QSKIP(qPrintable(AccountTestServer::unavailableReason()));
        m_server = std::make_unique<AccountTestServer>();
        AccountTestServer::Options options;
        options.tls = false;
        options.trustForwardedFor = true;
        // The round trip's 20 MiB snapshot is above a self-registered account's default quota.
        options.extraConfig = QStringLiteral("[limits]\nsign_in_failures_per_email = 1000\n"
                                             "sign_in_failures_per_address = %1\nsnapshot_quota_mib = 64\n")
                                  .arg(kFailuresPerAddress);
        QString error;
        QVERIFY2(m_server->start(options, &error), qPrintable(error));

        // A user's PATH often lacks the sbin folders.
        QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"));
        if (nginx.isEmpty())
            nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
        if (nginx.isEmpty()) {
            m_proxyUnavailable = QStringLiteral("nginx is not installed (Debian package nginx-light)");
            return;
        }
        QVERIFY2(startNginx(nginx, &error), qPrintable(error));
    }

    void cleanupTestCase()
    {
        m_nginx.terminate();
        if (!m_nginx.waitForFinished(kWaitMs))
            m_nginx.kill();
    }

    // Only the proxy's hop counts, whether it appends an entry or a line of its own: a client that
    // changes its own entry on every try is throttled all the same.
    void lastForwardedHopCounts_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("entry appended") << QList<QByteArray>{"203.0.113.%1, 198.51.100.7"};
        QTest::newRow("line appended") << QList<QByteArray>{"203.0.113.%1", "198.51.100.8"};
    }

    void lastForwardedHopCounts()
    {
        QFETCH(QList<QByteArray>, lines);
        for (int attempt = 0; attempt <= kFailuresPerAddress; ++attempt) {
            QList<QByteArray> spoofed = lines;
            spoofed.first().replace("%1", QByteArray::number(attempt));
            QCOMPARE(signInWithForwardedFor(spoofed), attempt < kFailuresPerAddress ? 401 : 429);
        }
    }

    void roundTripThroughTheProxy()
    {
        if (!m_proxyUnavailable.isEmpty())
            QSKIP(qPrintable(m_proxyUnavailable));
        HttpTestClient http(m_ca.clientConfiguration());
        const QString email = uniqueEmail();
        const QJsonObject credentials{{QStringLiteral("name"), QStringLiteral("Proxy")},
                                      {QStringLiteral("email"), email},
                                      {QStringLiteral("password"), kPassword},
                                      {QStringLiteral("accept_terms"), true},
                                      {QStringLiteral("client_id"), QStringLiteral("proxy-test")},
                                      {QStringLiteral("client_name"), QStringLiteral("proxy")}};
        const HttpTestClient::Reply registered =
            http.post(proxyUrl(QStringLiteral("/api/v1/auth/register")), credentials);
        QVERIFY2(registered.status == 201, registered.body.constData());
        const HttpTestClient::Reply signedIn =
            http.post(proxyUrl(QStringLiteral("/api/v1/auth/login")), credentials);
        QCOMPARE(signedIn.status, 200);
        const QByteArray token = signedIn.json.value(QStringLiteral("access_token")).toString().toUtf8();
        QCOMPARE(http.post(proxyUrl(QStringLiteral("/api/v1/account/session/heartbeat")), {}, token).status,
                 200);

        // 20 MiB each way: past nginx's default body limit and its in-memory buffers.
        const QString payload = QStringLiteral("NIMBARA-SYNC-1.") + QString(20 << 20, u'p');
        const QJsonObject snapshot{{QStringLiteral("payload"), payload},
                                   {QStringLiteral("device_count"), 1},
                                   {QStringLiteral("expected_revision"), 0}};
        const HttpTestClient::Reply stored =
            http.put(proxyUrl(QStringLiteral("/api/v1/account/host-sync")), snapshot, token);
        QVERIFY2(stored.status == 200, stored.body.left(300).constData());
        const HttpTestClient::Reply read =
            http.get(proxyUrl(QStringLiteral("/api/v1/account/host-sync")), token);
        QCOMPARE(read.status, 200);
        QVERIFY(read.json.value(QStringLiteral("payload")).toString() == payload);

        // The team form, on its own path, within the same limits.
        const QJsonObject team{{QStringLiteral("payload"), QStringLiteral("NIMBARA-SYNC-2.") + payload},
                               {QStringLiteral("team_payload"), QStringLiteral("NIMBARA-TEAM-2.t")},
                               {QStringLiteral("sealed_keys"), QJsonArray()},
                               {QStringLiteral("device_count"), 1},
                               {QStringLiteral("expected_revision"), 1}};
        const HttpTestClient::Reply moved =
            http.put(proxyUrl(QStringLiteral("/api/v1/account/sync")), team, token);
        QVERIFY2(moved.status == 200, moved.body.left(300).constData());
    }

    // Runs last: it uses up the failures allowed to 127.0.0.1, the address nginx reports.
    void clientForwardedForIsIgnored()
    {
        if (!m_proxyUnavailable.isEmpty())
            QSKIP(qPrintable(m_proxyUnavailable));
        HttpTestClient http(m_ca.clientConfiguration());
        for (int attempt = 0; attempt <= kFailuresPerAddress; ++attempt) {
            QNetworkRequest request(proxyUrl(QStringLiteral("/api/v1/auth/login")));
            request.setSslConfiguration(m_ca.clientConfiguration());
            request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
            request.setRawHeader("X-Forwarded-For", "203.0.113." + QByteArray::number(attempt));
            const int status =
                HttpTestClient::wait(http.network().post(request, signInBody(uniqueEmail()))).status;
            QCOMPARE(status, attempt < kFailuresPerAddress ? 401 : 429);
        }
    }
};

QTEST_GUILESS_MAIN(TestReverseProxy)
#include "test_reverse_proxy.moc"
