#include "support/test_acceleration_service.h"

#include "support/test_http_head.h"

#include <QJsonDocument>
#include <QSslSocket>
#include <QTimer>

TestAccelerationService::TestAccelerationService(TestCertificateAuthority& ca)
    : m_ca(ca), m_server([this](QSslSocket* socket) { serve(socket); })
{
    setNodes({});
}

TestAccelerationService::~TestAccelerationService() = default;

bool TestAccelerationService::start(QString* error)
{
    return m_server.listen(m_ca, QStringLiteral("acceleration-service"), error);
}

QString TestAccelerationService::baseUrl() const
{
    return m_server.baseUrl();
}

void TestAccelerationService::setNodes(const QJsonArray& nodes, int version)
{
    setNodeListReply(
        QJsonDocument(QJsonObject{{QStringLiteral("version"), version}, {QStringLiteral("nodes"), nodes}})
            .toJson(QJsonDocument::Compact));
}

void TestAccelerationService::setNodeListReply(const QByteArray& body, int status)
{
    m_nodeListBody = body;
    m_nodeListStatus = status;
}

void TestAccelerationService::setSession(const QByteArray& cookie, const QByteArray& jwt)
{
    m_cookie = cookie;
    m_jwt = jwt;
}

void TestAccelerationService::setToken(const QByteArray& token, int status)
{
    m_token = token;
    m_tokenStatus = status;
}

void TestAccelerationService::releaseHeldReplies()
{
    const auto held = std::exchange(m_held, {});
    for (const auto& [socket, reply] : held) {
        if (socket) {
            socket->write(reply);
            socket->disconnectFromHost();
        }
    }
}

QByteArray TestAccelerationService::lastHeader(const QByteArray& name) const
{
    TestHttpHead head;
    head.headers = m_lastHeaders;
    return head.header(name);
}

void TestAccelerationService::serve(QSslSocket* socket)
{
    socket->setParent(&m_context);
    QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    const auto onReadable = [this, socket, buffer] {
        *buffer += socket->readAll();
        const std::optional<TestHttpHead> head = TestHttpHead::parse(*buffer);
        if (!head)
            return;
        const qsizetype length = head->header("Content-Length").toLongLong();
        if (buffer->size() < head->size + length)
            return;
        m_lastHeaders = head->headers;
        const QByteArray reply = answer(head->method, head->target, buffer->mid(head->size, length));
        buffer->clear();
        if (m_hold) {
            m_held.append({QPointer<QSslSocket>(socket), reply});
            return;
        }
        socket->write(reply);
        socket->disconnectFromHost();
    };
    QObject::connect(socket, &QSslSocket::readyRead, socket, onReadable);
    // Bytes may have come with the handshake.
    QTimer::singleShot(0, socket, onReadable);
}

QByteArray TestAccelerationService::answer(const QByteArray& method, const QByteArray& target,
                                           const QByteArray& body)
{
    if (method == "GET" && target == "/jiasu.txt") {
        ++m_nodeListRequests;
        return TestHttpHead::response(m_nodeListStatus, m_nodeListStatus == 200 ? "OK" : "Error",
                                      m_nodeListBody, "text/plain");
    }
    if (method == "POST" && target == "/auth/vantrel") {
        ++m_tokenRequests;
        const QJsonObject request = QJsonDocument::fromJson(body).object();
        const bool sessionMatches = request.value(QStringLiteral("cookie")).toString().toUtf8() == m_cookie &&
                                    request.value(QStringLiteral("jwt")).toString().toUtf8() == m_jwt &&
                                    !(m_cookie.isEmpty() && m_jwt.isEmpty());
        if (!sessionMatches)
            return TestHttpHead::response(401, "Unauthorized", R"({"error":"unauthorized"})");
        if (m_tokenStatus != 200)
            return TestHttpHead::response(m_tokenStatus, "Error", R"({"error":"unavailable"})");
        ++m_tokensIssued;
        return TestHttpHead::response(
            200, "OK",
            QJsonDocument(QJsonObject{{QStringLiteral("token"), QString::fromUtf8(m_token)}})
                .toJson(QJsonDocument::Compact));
    }
    return TestHttpHead::response(404, "Not Found", R"({"error":"not found"})");
}
