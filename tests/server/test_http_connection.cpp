#include "http_server.h"
#include "support/raw_http_client.h"
#include "support/test_certificate_authority.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Bound for any wait on a loaded machine; every wait ends as soon as its event happens.
constexpr int kWaitMs = 20000;
// The test admission refuses bodies above this before reading them.
constexpr qint64 kMaxBody = 1024 * 1024;
// Time-outs for the tests about time-outs: short ones end the tests quickly, long ones never fire
// within a wait, so that each test sees the time-out it is about.
constexpr int kShortTimeoutMs = 200;
constexpr int kLongTimeoutMs = 10 * kWaitMs;

using Answer = RawAnswer;

class RawClient : public RawHttpClient
{
public:
    explicit RawClient(QTcpSocket* socket = new QTcpSocket) : RawHttpClient(socket, kWaitMs) {}
};

HttpResponse text(const QByteArray& body)
{
    HttpResponse response;
    response.contentType = "text/plain";
    response.body = body;
    return response;
}

// "path:body", so that every answer names the request it belongs to.
HttpResponse echo(const HttpRequest& request)
{
    return text(request.path.toUtf8() + ':' + request.body);
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20240917);
    for (char& byte : bytes) {
        byte = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

} // namespace

class TestHttpConnection : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_requests.clear();
        m_logged.clear();
        m_held.clear();
        m_handle = [](const HttpRequest& request, HttpResponder respond) {
            respond(echo(request));
        };
        m_admit = [](const HttpRequest&, qint64 contentLength) -> std::optional<HttpResponse> {
            if (contentLength > kMaxBody) {
                return HttpResponse::error(413, QStringLiteral("body too large"));
            }
            return std::nullopt;
        };
        QVERIFY(start(std::nullopt));
    }

    void cleanup() { m_server.reset(); }

    void answersARequest()
    {
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send("GET /a%20b/c?token=secret HTTP/1.1\r\nHost: localhost\r\n"
                            "X-Thing: \t value \t\r\nX-THING: second\r\n\r\n"));
        const Answer answer = client.next();
        QCOMPARE(answer.statusLine, "HTTP/1.1 200 OK");
        QCOMPARE(answer.body, "/a b/c:");
        QCOMPARE(answer.header("content-type"), "text/plain");
        QCOMPARE(answer.header("connection"), "keep-alive");

        QCOMPARE(m_requests.size(), 1);
        const HttpRequest& request = m_requests.first();
        QCOMPARE(request.method, "GET");
        QCOMPARE(request.path, QStringLiteral("/a b/c"));
        QCOMPARE(request.header("x-thing"), "value");
        QCOMPARE(request.peer, QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(m_logged, QList<int>{200});
    }

    void pipelinedRequestsAreAnsweredInOrder_data()
    {
        QTest::addColumn<bool>("later");
        QTest::newRow("answered at once") << false;
        QTest::newRow("answered later") << true;
    }

    void pipelinedRequestsAreAnsweredInOrder()
    {
        QFETCH(bool, later);
        if (later) {
            m_handle = [this](const HttpRequest& request, HttpResponder respond) {
                QTimer::singleShot(0, m_server.get(),
                                   [respond, response = echo(request)] { respond(response); });
            };
        }
        RawClient client;
        QVERIFY(client.connectTo(port()));
        // One write; the blank line between two requests is tolerated.
        QVERIFY(client.send("POST /one HTTP/1.1\r\nContent-Length: 5\r\n\r\nab\r\nc"
                            "\r\n"
                            "GET /two HTTP/1.1\r\n\r\n"
                            "POST /three HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
        QCOMPARE(client.next().body, "/one:ab\r\nc");
        QCOMPARE(client.next().body, "/two:");
        QCOMPARE(client.next().body, "/three:");

        // The connection stays for the next request.
        QVERIFY(client.send("GET /four HTTP/1.1\r\n\r\n"));
        QCOMPARE(client.next().body, "/four:");
        QVERIFY(!client.isClosed());
        QCOMPARE(m_server->connectionCount(), 1);
        QCOMPARE(m_logged, QList<int>({200, 200, 200, 200}));
    }

    void connectionEndsWhenAskedTo_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("keepAlive");
        QTest::newRow("HTTP/1.1") << QByteArray("GET /x HTTP/1.1\r\n\r\n") << true;
        QTest::newRow("HTTP/1.1 close")
            << QByteArray("GET /x HTTP/1.1\r\nConnection: close\r\n\r\n") << false;
        QTest::newRow("HTTP/1.1 close in a list")
            << QByteArray("GET /x HTTP/1.1\r\nConnection: TE, Close\r\n\r\n") << false;
        QTest::newRow("HTTP/1.0") << QByteArray("GET /x HTTP/1.0\r\n\r\n") << false;
        QTest::newRow("HTTP/1.0 keep-alive")
            << QByteArray("GET /x HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << true;
    }

    void connectionEndsWhenAskedTo()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, keepAlive);
        RawClient client;
        QVERIFY(client.connectTo(port()));
        // A second request right behind the first: answered only when the connection stays.
        QVERIFY(client.send(request + "GET /y HTTP/1.1\r\n\r\n"));
        const Answer answer = client.next();
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.body, "/x:");
        if (keepAlive) {
            QCOMPARE(answer.header("connection"), "keep-alive");
            QCOMPARE(client.next().body, "/y:");
        } else {
            QCOMPARE(answer.header("connection"), "close");
            QVERIFY(client.waitClosed());
            QVERIFY(client.unread().isEmpty());
            QCOMPARE(m_requests.size(), 1);
        }
    }

    void malformedRequestIsRefused_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("request line without version") << QByteArray("GET /\r\n\r\n") << 400;
        QTest::newRow("request line with four fields") << QByteArray("GET / HTTP/1.1 x\r\n\r\n") << 400;
        QTest::newRow("double space") << QByteArray("GET  / HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("target without slash") << QByteArray("GET index.html HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("method not a token") << QByteArray("G(T / HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("header without colon")
            << QByteArray("GET / HTTP/1.1\r\nHost localhost\r\n\r\n") << 400;
        QTest::newRow("folded header line")
            << QByteArray("GET / HTTP/1.1\r\nX-A: a\r\n  continued\r\n\r\n") << 400;
        QTest::newRow("folded line with colon")
            << QByteArray("GET / HTTP/1.1\r\nX-A: a\r\n\tX-B: b\r\n\r\n") << 400;
        QTest::newRow("blank before colon") << QByteArray("GET / HTTP/1.1\r\nHost : a\r\n\r\n") << 400;
        QTest::newRow("conflicting Content-Length")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!") << 400;
        QTest::newRow("Content-Length list")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\nhello") << 400;
        QTest::newRow("Content-Length not digits")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 5x\r\n\r\nhello") << 400;
        QTest::newRow("Content-Length signed")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello") << 400;
        QTest::newRow("Content-Length negative")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n") << 400;
        QTest::newRow("Content-Length too long")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1234567890123456789\r\n\r\n") << 400;
        // An empty value is no length: reading it as 0 would run the body as the next request.
        QTest::newRow("Content-Length empty")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length:\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("Content-Length empty, then a value")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: \r\nContent-Length: 5\r\n\r\nhello") << 400;
        QTest::newRow("head over 16 KiB")
            << QByteArray("GET / HTTP/1.1\r\nX-Pad: " + QByteArray(17 * 1024, 'a') + "\r\n\r\n") << 431;
        QTest::newRow("head without end")
            << QByteArray("GET / HTTP/1.1\r\nX-Pad: " + QByteArray(17 * 1024, 'a')) << 431;
        QTest::newRow("chunked")
            << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
            << 411;
        QTest::newRow("chunked with Content-Length")
            << QByteArray(
                   "POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: gzip, chunked\r\n\r\nhello")
            << 411;
        QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\n\r\n") << 505;
        QTest::newRow("HTTP/3") << QByteArray("GET / HTTP/3\r\n\r\n") << 505;
    }

    void malformedRequestIsRefused()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send(request));
        const Answer answer = client.next();
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.header("content-type"), "application/json");
        QCOMPARE(answer.header("connection"), "close");
        QVERIFY(!answer.errorText().isEmpty());
        QVERIFY(client.waitClosed());
        QVERIFY(client.unread().isEmpty());
        QVERIFY(m_requests.isEmpty());
        QCOMPARE(m_logged, QList<int>{status});
    }

    void headLimits_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        // The head counts up to the blank line that ends it (not included).
        const QByteArray start = "GET / HTTP/1.1\r\nX-Pad: ";
        QTest::newRow("16 KiB head") << start + QByteArray(16 * 1024 - start.size(), 'a') + "\r\n\r\n" << 200;
        QTest::newRow("one byte more") << start + QByteArray(16 * 1024 + 1 - start.size(), 'a') + "\r\n\r\n"
                                       << 431;
        QByteArray fields = "GET / HTTP/1.1\r\n";
        for (int i = 0; i < 100; ++i) {
            fields += "X-Field-" + QByteArray::number(i) + ": x\r\n";
        }
        QTest::newRow("100 header fields") << fields + "\r\n" << 200;
        QTest::newRow("101 header fields") << fields + "X-One-More: x\r\n\r\n" << 431;
    }

    void headLimits()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send(request));
        QCOMPARE(client.next().status, status);
    }

    void bodyArrivesInPieces()
    {
        // Bytes that look like requests inside a body are body.
        const QByteArray body =
            randomBytes(48 * 1024) + "\r\n\r\nGET /inside HTTP/1.1\r\n\r\n" + randomBytes(1000);
        const QByteArray head = "PUT /upload HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
                                "\r\nExpect: 100-continue\r\n\r\n";
        RawClient client;
        QVERIFY(client.connectTo(port()));
        for (qsizetype i = 0; i < head.size(); ++i) {
            QVERIFY(client.send(head.mid(i, 1)));
        }
        QCOMPARE(client.next().status, 100);
        const qsizetype pieceSizes[] = {1, 2, 7, 100, 1499, 4093, 16384};
        qsizetype offset = 0;
        for (int i = 0; offset < body.size(); ++i) {
            const QByteArray piece = body.mid(offset, pieceSizes[i % std::size(pieceSizes)]);
            offset += piece.size();
            // The next request follows the last body byte in the same write.
            QVERIFY(client.send(offset < body.size() ? piece : piece + "GET /next HTTP/1.1\r\n\r\n"));
        }
        const Answer answer = client.next();
        QCOMPARE(answer.status, 200);
        QVERIFY(answer.body == "/upload:" + body);
        QCOMPARE(client.next().body, "/next:");
        QCOMPARE(m_requests.size(), 2);
        QVERIFY(m_requests.first().body == body);
    }

    void expectContinue_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<int>("status");
        QTest::newRow("admitted") << qint64(5) << 200;
        QTest::newRow("refused") << 2 * kMaxBody << 413;
    }

    void expectContinue()
    {
        QFETCH(qint64, length);
        QFETCH(int, status);
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send("POST /upload HTTP/1.1\r\nContent-Length: " + QByteArray::number(length) +
                            "\r\nExpect: 100-continue\r\n\r\n"));
        Answer answer = client.next();
        if (status == 200) {
            QCOMPARE(answer.statusLine, "HTTP/1.1 100 Continue");
            QVERIFY(answer.body.isEmpty());
            QVERIFY(m_requests.isEmpty());
            QVERIFY(client.send("hello"));
            answer = client.next();
            QCOMPARE(answer.body, "/upload:hello");
        }
        // A refused upload gets its refusal instead of the go-ahead.
        QCOMPARE(answer.status, status);
    }

    void refusedUploadIsDrainedBeforeClosing()
    {
        const qint64 length = 4 * kMaxBody;
        const QByteArray head =
            "PUT /upload HTTP/1.1\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
        const QByteArray body(length, 'x');
        const qsizetype firstPart = 64 * 1024;
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send(head + body.left(firstPart)));

        const Answer answer = client.next();
        QCOMPARE(answer.statusLine, "HTTP/1.1 413 Content Too Large");
        QCOMPARE(answer.header("content-type"), "application/json");
        QCOMPARE(answer.header("connection"), "close");
        QCOMPARE(answer.errorText(), QStringLiteral("body too large"));
        // The server takes the rest of the body before it closes: closing with unread input resets the
        // connection, which can destroy the answer before the client reads it.
        QVERIFY(!client.isClosed());
        QVERIFY(client.send(body.mid(firstPart)));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.written(), head.size() + length);
        QVERIFY(client.unread().isEmpty());
        QVERIFY(m_requests.isEmpty());
    }

    void refusedUploadDrainsAsLongAsItMoves()
    {
        // The body trickles in over several stall time-outs, one piece per timer tick: the drain lasts
        // as long as the client keeps sending. No time is measured.
        constexpr int kStallMs = 500;
        constexpr int kPieceIntervalMs = 50;
        constexpr int kPieces = 2 * kStallMs / kPieceIntervalMs;
        const QByteArray piece(1024, 'x');
        setTimeouts(kLongTimeoutMs, kStallMs);
        m_admit = [](const HttpRequest&, qint64) -> std::optional<HttpResponse> {
            return HttpResponse::error(401, QStringLiteral("sign in first"));
        };
        RawClient client;
        QVERIFY(client.connectTo(port()));
        const QByteArray head =
            "PUT /upload HTTP/1.1\r\nContent-Length: " + QByteArray::number(kPieces * piece.size()) +
            "\r\n\r\n";
        QVERIFY(client.send(head));
        QCOMPARE(client.next().status, 401);

        int sent = 0;
        QTimer pacer;
        pacer.setInterval(kPieceIntervalMs);
        connect(&pacer, &QTimer::timeout, this, [&] {
            client.socket()->write(piece);
            if (++sent == kPieces) {
                pacer.stop();
            }
        });
        pacer.start();
        QVERIFY(client.waitClosed());
        QCOMPARE(sent, kPieces);
        QCOMPARE(client.written(), head.size() + kPieces * piece.size());
    }

    void answerAfterTheClientLeftIsDropped()
    {
        m_handle = [this](const HttpRequest&, HttpResponder respond) {
            m_held.append(std::move(respond));
        };
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send("GET /slow HTTP/1.1\r\n\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m_held.size(), 1, kWaitMs);
        client.socket()->abort();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
        m_held.first()(text("too late"));
        m_held.first()(text("much too late"));
        QCoreApplication::processEvents();
        QVERIFY(m_logged.isEmpty());
    }

    void onlyTheFirstAnswerCounts()
    {
        m_handle = [this](const HttpRequest&, HttpResponder respond) {
            m_held.append(std::move(respond));
        };
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send("GET /first HTTP/1.1\r\n\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m_held.size(), 1, kWaitMs);
        const HttpResponder first = m_held.first();
        first(text("first"));
        first(text("first again"));
        QCOMPARE(client.next().body, "first");

        // A responder of an answered request must not answer the request now waiting.
        QVERIFY(client.send("GET /second HTTP/1.1\r\n\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m_held.size(), 2, kWaitMs);
        first(text("stale"));
        m_held.at(1)(text("second"));
        QCOMPARE(client.next().body, "second");

        m_handle = [](const HttpRequest& request, HttpResponder respond) {
            respond(echo(request));
        };
        QVERIFY(client.send("GET /third HTTP/1.1\r\n\r\n"));
        QCOMPARE(client.next().body, "/third:");
        QCOMPARE(m_logged, QList<int>({200, 200, 200}));
    }

    void sendsFiles()
    {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString path = directory.filePath(QStringLiteral("download.bin"));
        const QByteArray content = writeFile(path, 5 * 1024 * 1024 + 123);
        QVERIFY(!content.isEmpty());
        serveFiles(path, directory.filePath(QStringLiteral("missing.bin")));

        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send(
            "GET /file HTTP/1.1\r\n\r\nGET /missing HTTP/1.1\r\n\r\nGET /after HTTP/1.1\r\n\r\n"));
        const Answer file = client.next();
        QCOMPARE(file.status, 200);
        QCOMPARE(file.header("content-type"), "application/octet-stream");
        QCOMPARE(file.header("content-length"), QByteArray::number(content.size()));
        QVERIFY(file.body == content);

        const Answer missing = client.next();
        QCOMPARE(missing.status, 404);
        QVERIFY(!missing.errorText().isEmpty());
        QCOMPARE(client.next().body, "/after:");
        QCOMPARE(m_logged, QList<int>({200, 404, 200}));
    }

    void unfinishedRequestTimesOut_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("half a head") << QByteArray("GET / HTTP/1.1\r\nHost: loc");
        QTest::newRow("half a body") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    }

    void unfinishedRequestTimesOut()
    {
        QFETCH(QByteArray, request);
        setTimeouts(kLongTimeoutMs, kShortTimeoutMs);
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send(request));
        const Answer answer = client.next();
        QCOMPARE(answer.status, 408);
        QCOMPARE(answer.header("connection"), "close");
        QVERIFY(!answer.errorText().isEmpty());
        QVERIFY(client.waitClosed());
        QVERIFY(m_requests.isEmpty());
    }

    void idleConnectionIsClosed_data()
    {
        QTest::addColumn<bool>("answerFirst");
        QTest::newRow("never used") << false;
        QTest::newRow("after an answer") << true;
    }

    void idleConnectionIsClosed()
    {
        QFETCH(bool, answerFirst);
        setTimeouts(kShortTimeoutMs, kLongTimeoutMs);
        RawClient client;
        QVERIFY(client.connectTo(port()));
        if (answerFirst) {
            QVERIFY(client.send("GET / HTTP/1.1\r\n\r\n"));
            QCOMPARE(client.next().status, 200);
        }
        QVERIFY(client.waitClosed());
        QVERIFY(client.unread().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
    }

    void slowHandlerIsNotTimedOut()
    {
        setTimeouts(kShortTimeoutMs, kShortTimeoutMs);
        m_handle = [this](const HttpRequest& request, HttpResponder respond) {
            QTimer::singleShot(5 * kShortTimeoutMs, m_server.get(),
                               [respond, response = echo(request)] { respond(response); });
        };
        RawClient client;
        QVERIFY(client.connectTo(port()));
        QVERIFY(client.send("GET /slow HTTP/1.1\r\n\r\n"));
        QCOMPARE(client.next().body, "/slow:");
    }

    void connectionsAreCounted()
    {
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(std::make_unique<RawClient>());
            QVERIFY(clients.back()->connectTo(port()));
            QVERIFY(clients.back()->send("GET / HTTP/1.1\r\n\r\n"));
            QCOMPARE(clients.back()->next().status, 200);
        }
        QCOMPARE(m_server->connectionCount(), 3);

        clients.at(0)->socket()->disconnectFromHost();
        clients.at(1)->socket()->abort();
        QVERIFY(clients.at(2)->send("GET / HTTP/1.1\r\nConnection: close\r\n\r\n"));
        QCOMPARE(clients.at(2)->next().status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
    }

    void connectionsPastTheLimitAreClosed()
    {
        m_server->setMaxConnections(1);
        RawClient first;
        QVERIFY(first.connectTo(port()));
        QVERIFY(first.send("GET /first HTTP/1.1\r\n\r\n"));
        QCOMPARE(first.next().body, "/first:");

        RawClient second;
        second.socket()->connectToHost(QHostAddress::LocalHost, port());
        QVERIFY(second.waitClosed());
        QVERIFY(second.unread().isEmpty());

        QVERIFY(first.send("GET /again HTTP/1.1\r\n\r\n"));
        QCOMPARE(first.next().body, "/again:");
        QCOMPARE(m_server->connectionCount(), 1);

        // A freed place is taken again.
        first.socket()->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 0, kWaitMs);
        RawClient third;
        QVERIFY(third.connectTo(port()));
        QVERIFY(third.send("GET /third HTTP/1.1\r\n\r\n"));
        QCOMPARE(third.next().body, "/third:");
    }

    void servesOverTls()
    {
        const QString reason = TestCertificateAuthority::unavailableReason();
        if (!reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
        TestCertificateAuthority ca;
        TestCertificateAuthority::Leaf leaf;
        QString error;
        QVERIFY2(ca.create(&error), qPrintable(error));
        QVERIFY2(ca.issue(QStringLiteral("server"), &leaf, &error), qPrintable(error));
        m_server.reset();
        QVERIFY(start(TestCertificateAuthority::serverConfiguration(leaf)));

        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString path = directory.filePath(QStringLiteral("download.bin"));
        const QByteArray content = writeFile(path, 3 * 1024 * 1024 + 7);
        QVERIFY(!content.isEmpty());
        serveFiles(path, directory.filePath(QStringLiteral("missing.bin")));

        auto* socket = new QSslSocket;
        socket->setSslConfiguration(ca.clientConfiguration());
        RawClient client(socket);
        QVERIFY(client.connectEncrypted(port()));
        QVERIFY(client.send("POST /one HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /file HTTP/1.1\r\n\r\n"
                            "GET /two HTTP/1.1\r\nConnection: close\r\n\r\n"));
        QCOMPARE(client.next().body, "/one:abc");
        const Answer file = client.next();
        QCOMPARE(file.status, 200);
        QVERIFY(file.body == content);
        QCOMPARE(client.next().body, "/two:");
        QVERIFY(client.waitClosed());
    }

private:
    bool start(const std::optional<QSslConfiguration>& tls)
    {
        m_server = std::make_unique<HttpServer>();
        m_server->setHandler([this](const HttpRequest& request, HttpResponder respond) {
            m_requests.append(request);
            m_handle(request, std::move(respond));
        });
        m_server->setAdmission(
            [this](const HttpRequest& head, qint64 contentLength) { return m_admit(head, contentLength); });
        m_server->setAccessLog([this](const HttpRequest&, int status, qint64) { m_logged.append(status); });
        QString error;
        if (!m_server->listen(QHostAddress::LocalHost, 0, tls, &error)) {
            qWarning("listen: %s", qPrintable(error));
            return false;
        }
        return true;
    }

    quint16 port() const { return m_server->port(); }

    void setTimeouts(int idleMs, int stallMs)
    {
        HttpConnection::Limits limits;
        limits.idleTimeoutMs = idleMs;
        limits.stallTimeoutMs = stallMs;
        m_server->setLimits(limits);
    }

    // /file answers with the file at `path`, /missing with `missingPath`, anything else is echoed.
    void serveFiles(const QString& path, const QString& missingPath)
    {
        m_handle = [path, missingPath](const HttpRequest& request, HttpResponder respond) {
            if (request.path == QLatin1String("/file") || request.path == QLatin1String("/missing")) {
                HttpResponse response;
                response.contentType = "application/octet-stream";
                response.filePath = request.path == QLatin1String("/file") ? path : missingPath;
                respond(response);
                return;
            }
            respond(echo(request));
        };
    }

    // Writes `size` random bytes to `path` and returns them; empty when the file cannot be written.
    static QByteArray writeFile(const QString& path, qsizetype size)
    {
        const QByteArray content = randomBytes(size);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            return {};
        }
        return content;
    }

    std::unique_ptr<HttpServer> m_server;
    HttpConnection::Handler m_handle;
    HttpConnection::Admission m_admit;
    QList<HttpRequest> m_requests;
    QList<int> m_logged;
    QList<HttpResponder> m_held;
};

QTEST_GUILESS_MAIN(TestHttpConnection)
#include "test_http_connection.moc"
