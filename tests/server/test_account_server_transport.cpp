#include "support/account_test_server.h"
#include "support/http_test_client.h"
#include "support/private_memory.h"
#include "support/raw_http_client.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTest>
#include <QTimer>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kWaitMs = 20000;
// Short server time-outs, so that each test sees them fire (the defaults are 30 and 60 seconds).
constexpr int kRequestTimeoutSeconds = 2;
constexpr int kPerAddress = 8;
const QString kPassword = QStringLiteral("Correct-Horse-电池-9");
const QByteArray kHealth = "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Each test speaks from loopback addresses of its own, so that connections one test leaves behind
// while the server notices them gone do not count against the next test's address.
QHostAddress loopback(int test, int client = 0)
{
    return QHostAddress(QStringLiteral("127.0.%1.%2").arg(test).arg(client + 1));
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20261209);
    for (char& byte : bytes) {
        byte = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

// A TLS client that writes requests and never reads, on a thread of its own: its writes block once
// the server stops taking requests, and fail once the server cuts the connection.
class NonReadingClient
{
public:
    ~NonReadingClient() { stop(); }

    bool connect(quint16 port, const QHostAddress& local, const QString& caPath, QString* error)
    {
        boost::system::error_code code;
        m_tls.load_verify_file(caPath.toStdString(), code);
        m_stream.set_verify_mode(boost::asio::ssl::verify_peer, code);
        auto& socket = m_stream.next_layer();
        socket.open(boost::asio::ip::tcp::v4(), code);
        if (!code) {
            socket.bind({boost::asio::ip::make_address(local.toString().toStdString()), 0}, code);
        }
        if (!code) {
            socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, code);
        }
        if (!code) {
            m_stream.handshake(boost::asio::ssl::stream_base::client, code);
        }
        *error = QString::fromStdString(code.message());
        return !code;
    }

    void start(const QByteArray& batch, qint64 total)
    {
        m_thread = std::thread([this, batch, total] {
            while (m_written < total) {
                boost::system::error_code code;
                boost::asio::write(m_stream, boost::asio::buffer(batch.constData(), batch.size()), code);
                if (code) {
                    m_cutOff = !m_stopping;
                    break;
                }
                m_written += batch.size();
            }
            m_ended = true;
        });
    }

    void stop()
    {
        if (m_thread.joinable()) {
            m_stopping = true;
            boost::system::error_code ignored;
            m_stream.next_layer().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
            m_thread.join();
        }
    }

    bool ended() const { return m_ended; }
    bool cutOff() const { return m_cutOff; }
    qint64 written() const { return m_written; }

private:
    boost::asio::io_context m_io;
    boost::asio::ssl::context m_tls{boost::asio::ssl::context::tls_client};
    boost::asio::ssl::stream<boost::asio::ip::tcp::socket> m_stream{m_io, m_tls};
    std::thread m_thread;
    std::atomic<qint64> m_written{0};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_cutOff{false};
    std::atomic<bool> m_stopping{false};
};

} // namespace

// The account server's transport as a hostile client meets it: the real process over TLS on loopback.
class AccountServerTransportTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!AccountTestServer::unavailableReason().isEmpty()) {
            QSKIP(qPrintable(AccountTestServer::unavailableReason()));
        }
        AccountTestServer::Options options;
        options.extraConfig = QStringLiteral("[limits]\nmax_connections_per_address = %1\n"
                                             "request_timeout_seconds = %2\nidle_timeout_seconds = 5\n")
                                  .arg(kPerAddress)
                                  .arg(kRequestTimeoutSeconds);
        QString error;
        QVERIFY2(m_server.start(options, &error), qPrintable(error));
    }

    // Clients that close before their handshake, or never start it, cost the others nothing.
    void listenerOutlivesAbandonedConnections()
    {
        for (int round = 0; round < 3; ++round) {
            std::vector<std::unique_ptr<QTcpSocket>> abandoned;
            for (int i = 0; i < 6 * (kPerAddress - 1); ++i) {
                auto socket = std::make_unique<QTcpSocket>();
                QVERIFY(socket->bind(loopback(1, i / (kPerAddress - 1))));
                socket->connectToHost(QHostAddress::LocalHost, m_server.port());
                QVERIFY(socket->waitForConnected(kWaitMs));
                abandoned.push_back(std::move(socket));
            }
            for (const auto& socket : abandoned) {
                socket->abort();
            }
        }
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        for (int i = 0; i < 4 * (kPerAddress - 1); ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            QVERIFY(socket->bind(loopback(1, 6 + i / (kPerAddress - 1))));
            socket->connectToHost(QHostAddress::LocalHost, m_server.port());
            QVERIFY(socket->waitForConnected(kWaitMs));
            silent.push_back(std::move(socket));
        }
        QVERIFY(healthy(loopback(1, 10)));
        // Served while the silent ones still wait for their handshake deadline.
        for (const auto& socket : silent) {
            QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
        }
    }

    void connectionsPerAddressAreCapped()
    {
        std::vector<std::unique_ptr<RawHttpClient>> clients;
        for (int i = 0; i < kPerAddress; ++i) {
            clients.push_back(tlsClient());
            QVERIFY(clients.back()->connectEncrypted(m_server.port(), loopback(2)));
        }
        auto refused = tlsClient();
        QVERIFY(!refused->connectEncrypted(m_server.port(), loopback(2)));
        QVERIFY(refused->waitClosed());
        QVERIFY(healthy(loopback(2, 1)));

        // A place that comes free is taken again.
        clients.front()->socket()->disconnectFromHost();
        QVERIFY(clients.front()->waitClosed());
        bool admitted = false;
        for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
            auto again = tlsClient();
            admitted = again->connectEncrypted(m_server.port(), loopback(2));
        }
        QVERIFY(admitted);
    }

    // A head trickled byte by byte is cut off at its deadline, not kept alive by every byte.
    void headTrickledByteByByteIsCutOff()
    {
        auto client = tlsClient();
        QVERIFY(client->connectEncrypted(m_server.port(), loopback(3)));
        const QByteArray head =
            "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + QByteArray(200, 'a');
        constexpr int kIntervalMs = 250;
        int sent = 0;
        QTimer pacer;
        pacer.setInterval(kIntervalMs);
        connect(&pacer, &QTimer::timeout, this, [&] {
            if (sent < head.size() && !client->isClosed()) {
                client->socket()->write(head.mid(sent++, 1));
            }
        });
        pacer.start();
        (void)QTest::qWaitFor([&] { return client->isClosed() || sent == head.size(); },
                              head.size() * kIntervalMs * 2);
        pacer.stop();
        QVERIFY(client->isClosed());
        // The deadline ends it after about kRequestTimeoutSeconds of trickling; allow twice that.
        QVERIFY2(sent < 2 * kRequestTimeoutSeconds * 1000 / kIntervalMs, qPrintable(QString::number(sent)));
        QByteArray rest = client->unread();
        const std::optional<RawAnswer> answer = RawHttpClient::takeAnswer(&rest);
        QVERIFY(answer);
        QCOMPARE(answer->status, 408);
    }

    // Heads that two parsers could read differently are refused, and nothing in them is run as a
    // second request.
    void ambiguousHeadsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
        const QByteArray smuggled = "GET /api/v1/health HTTP/1.1\r\nHost: x\r\n\r\n";
        QTest::newRow("empty Transfer-Encoding, then chunked")
            << "POST /api/v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding:\r\n"
               "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
                   smuggled
            << 411;
        QTest::newRow("Transfer-Encoding, then Content-Length")
            << "POST /api/v1/auth/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
               "Content-Length: 5\r\n\r\n0\r\n\r\n" +
                   smuggled
            << 400;
        QTest::newRow("bare LF between fields")
            << "POST /api/v1/auth/login HTTP/1.1\r\nHost: x\nContent-Length: 0\r\nX-A: b\r\n\r\n" + smuggled
            << 400;
        QTest::newRow("CR inside a value")
            << "GET /api/v1/health HTTP/1.1\r\nX-A: a\rb\r\n\r\n" + smuggled << 400;
        QTest::newRow("NUL inside a value")
            << QByteArray("GET /api/v1/health HTTP/1.1\r\nX-A: a\0b\r\n\r\n", 41) + smuggled << 400;
        QTest::newRow("folded field")
            << "GET /api/v1/health HTTP/1.1\r\nX-A: a\r\n b\r\n\r\n" + smuggled << 400;
    }

    void ambiguousHeadsAreRefused()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        auto client = tlsClient();
        QVERIFY(client->connectEncrypted(m_server.port(), loopback(4)));
        QVERIFY(client->send(head));
        const RawAnswer answer = client->next();
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.header("connection"), "close");
        QVERIFY(client->waitClosed());
        QVERIFY(!client->unread().contains("HTTP/1.1"));
    }

    // A client that sends requests and never reads the answers costs a bounded amount of memory and is
    // cut off once the answers stop moving.
    void clientThatNeverReadsHoldsBoundedMemory()
    {
        const qint64 before = PrivateMemory::bytes(m_server.processId());
        QVERIFY(before > 0);
        NonReadingClient client;
        QString error;
        QVERIFY2(client.connect(m_server.port(), loopback(5), m_server.caCertificatePath(), &error),
                 qPrintable(error));
        QByteArray batch;
        for (int i = 0; i < 1000; ++i) {
            batch += kHealth;
        }
        client.start(batch, 64LL * 1024 * 1024); // about 1.4 million requests
        qint64 peak = before;
        const QDeadlineTimer deadline(90000);
        while (!client.ended() && !deadline.hasExpired()) {
            QTest::qWait(10);
            peak = qMax(peak, PrivateMemory::bytes(m_server.processId()));
        }
        client.stop();
        QVERIFY2(client.cutOff(),
                 qPrintable(QStringLiteral("%1 bytes of requests taken").arg(client.written())));
        const qint64 growth = peak - before;
        QVERIFY2(growth < 32LL * 1024 * 1024,
                 qPrintable(QStringLiteral("grew by %1 KiB").arg(growth / 1024)));
        QVERIFY(healthy(loopback(5, 1)));
    }

    // An answer far larger than the socket buffers, read slowly for longer than the request time-out,
    // arrives whole: the time-out counts from the last progress, not from the last write call.
    void slowReaderGetsEveryByte_data()
    {
        QTest::addColumn<bool>("hostData");
        QTest::newRow("update file") << false;
        QTest::newRow("host data") << true;
    }

    void slowReaderGetsEveryByte()
    {
        QFETCH(bool, hostData);
        const QByteArray content = randomBytes(8 * 1024 * 1024).toBase64();
        QByteArray request;
        if (hostData) {
            HttpTestClient http(m_server.clientConfiguration());
            const QString email =
                QStringLiteral("slow-%1@example.org").arg(QRandomGenerator::global()->generate());
            const HttpTestClient::Reply registered =
                http.post(m_server.url(QStringLiteral("/api/v1/auth/register")),
                          {{QStringLiteral("email"), email},
                           {QStringLiteral("password"), kPassword},
                           {QStringLiteral("name"), QStringLiteral("Slow Reader")},
                           {QStringLiteral("accept_terms"), true},
                           {QStringLiteral("client_id"), QStringLiteral("slow-client")},
                           {QStringLiteral("client_name"), QStringLiteral("slow-pc")}});
            QCOMPARE(registered.status, 201);
            const QByteArray token =
                registered.json.value(QStringLiteral("access_token")).toString().toLatin1();
            const HttpTestClient::Reply stored =
                http.put(m_server.url(QStringLiteral("/api/v1/account/host-sync")),
                         {{QStringLiteral("payload"), QString::fromLatin1(content)},
                          {QStringLiteral("device_count"), 1},
                          {QStringLiteral("expected_revision"), 0}},
                         token);
            QCOMPARE(stored.status, 200);
            request = "GET /api/v1/account/host-sync HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                      token + "\r\n\r\n";
        } else {
            QVERIFY(QDir().mkpath(m_server.updateDirectory()));
            QFile file(m_server.updateDirectory() + QStringLiteral("/slow.bin"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), content.size());
            file.close();
            request = "GET /downloads/slow.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        }

        auto* socket = new QSslSocket;
        socket->setSslConfiguration(m_server.clientConfiguration());
        socket->setReadBufferSize(32 * 1024);
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 32 * 1024);
        RawHttpClient client(socket, kWaitMs);
        QVERIFY(client.connectEncrypted(m_server.port(), loopback(6)));
        // About 1.3 MB/s: several seconds for the answer, longer than the request time-out.
        QByteArray received;
        QTimer pacer;
        pacer.setInterval(25);
        connect(&pacer, &QTimer::timeout, this, [&] { received += socket->read(32 * 1024); });
        socket->blockSignals(true); // read only by the pacer
        socket->write(request);
        pacer.start();
        std::optional<RawAnswer> answer;
        (void)QTest::qWaitFor(
            [&] {
                answer = RawHttpClient::takeAnswer(&received);
                return answer.has_value() || socket->state() == QAbstractSocket::UnconnectedState;
            },
            120000);
        pacer.stop();
        socket->blockSignals(false);
        answer = answer ? answer : RawHttpClient::takeAnswer(&received);
        QVERIFY2(answer, qPrintable(QStringLiteral("%1 bytes arrived").arg(received.size())));
        QCOMPARE(answer->status, 200);
        const QByteArray body = hostData ? QJsonDocument::fromJson(answer->body)
                                               .object()
                                               .value(QStringLiteral("payload"))
                                               .toString()
                                               .toLatin1()
                                         : answer->body;
        QCOMPARE(QCryptographicHash::hash(body, QCryptographicHash::Sha256),
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256));
    }

private:
    std::unique_ptr<RawHttpClient> tlsClient()
    {
        auto* socket = new QSslSocket;
        socket->setSslConfiguration(m_server.clientConfiguration());
        return std::make_unique<RawHttpClient>(socket, kWaitMs);
    }

    bool healthy(const QHostAddress& from)
    {
        auto client = tlsClient();
        if (!client->connectEncrypted(m_server.port(), from) || !client->send(kHealth)) {
            return false;
        }
        return client->next().status == 200;
    }

    AccountTestServer m_server;
};

QTEST_GUILESS_MAIN(AccountServerTransportTest)
#include "test_account_server_transport.moc"
