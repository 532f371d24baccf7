#include "network/acceleration_manager.h"

#include "cloud/account_client.h"
#include "cloud/service_endpoint.h"
#include "logger.h"
#include "storage/app_config.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

constexpr qint64 kMaxNodeListBytes = 65536;
constexpr qint64 kMaxTokenReplyBytes = 4096;
constexpr qsizetype kMaxTokenBytes = 512;
constexpr int kMaxNodes = 20;
// Bound of the relay: each socket buffers at most this much, and one read moves at most the room
// left in the other socket's queue.
constexpr qint64 kBufferLimit = 262144;
// How long a tunnel whose client has left waits for the host to take the client's last bytes.
constexpr int kLingerMs = 30000;
constexpr qsizetype kMaxHandshakeBytes = 8192;
// A node that could not be reached is left out of new tunnels for this long, so that connections after
// a relay died neither wait for it nor fail on it.
constexpr qint64 kDeadNodeMs = 60000;

const char kUserAgent[] = "NIMBARA-Vantrel-Acceleration/1";

QString text(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

const char kNoSession[] = "请先登录Vantrel账号，再启动远程加速。";
const char kNodeListUnusable[] = "加速节点配置不可用，请稍后再试。";
const char kSessionLost[] = "Vantrel登录会话已失效，远程加速已关闭。";
const char kTokenRefused[] = "Vantrel用户加速权限验证失败，请检查登录状态和节点服务。";
const char kNoNodeReachable[] = "加速功能失败：所有香港节点均不可用。";

// Bytes waiting to leave `socket`; for TLS also those already encrypted but not yet sent.
qint64 pendingWrite(const QAbstractSocket* socket)
{
    qint64 pending = socket->bytesToWrite();
    if (const auto* tls = qobject_cast<const QSslSocket*>(socket))
        pending += tls->encryptedBytesToWrite();
    return pending;
}

// Hands `size` bytes to `socket`. On a plain TCP socket with nothing queued, what the kernel takes at
// once is sent straight from `data`: no copy into the socket's queue, no wait for the event loop's
// next pass. The rest is queued in blocks of at most kQueueBlock, which the heap reuses, where one
// block of a whole read would be mapped and unmapped each time.
bool writeThrough(QAbstractSocket* socket, const char* data, qint64 size)
{
    constexpr qint64 kQueueBlock = 65536;
#ifdef Q_OS_UNIX
    if (!qobject_cast<QSslSocket*>(socket) && socket->bytesToWrite() == 0 &&
        socket->socketDescriptor() >= 0) {
        const ssize_t sent = ::send(static_cast<int>(socket->socketDescriptor()), data,
                                    static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= sent;
        }
    }
#endif
    while (size > 0) {
        const qint64 block = std::min(size, kQueueBlock);
        if (socket->write(data, block) != block)
            return false;
        data += block;
        size -= block;
    }
    return true;
}

// The reply body if the reply counts: no network error, status 200, at most `limit` bytes.
std::optional<QByteArray> boundedBody(QNetworkReply* reply, qint64 limit)
{
    const QByteArray body = reply->read(limit + 1);
    if (reply->error() != QNetworkReply::NoError || body.size() > limit ||
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
        return std::nullopt;
    }
    return body;
}

// Nodes of a node list document (at most kMaxNodes); empty when the version is not 1.
QList<AccelerationNode> parseNodeList(const QByteArray& document)
{
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9.-]{1,253}$"));
    const QJsonObject root = QJsonDocument::fromJson(document).object();
    const QJsonValue version = root.value(QStringLiteral("version"));
    if (!version.isDouble() || version.toDouble() != 1.0)
        return {};
    QList<AccelerationNode> nodes;
    for (const QJsonValue& value : root.value(QStringLiteral("nodes")).toArray()) {
        if (nodes.size() >= kMaxNodes)
            break;
        const QJsonObject object = value.toObject();
        AccelerationNode node;
        node.id = object.value(QStringLiteral("id")).toString();
        node.name = object.value(QStringLiteral("name")).toString();
        node.host = object.value(QStringLiteral("host")).toString().trimmed();
        const QJsonValue portValue = object.value(QStringLiteral("port"));
        const double port = portValue.isUndefined() ? 443.0 : portValue.toDouble(-1.0);
        // The range first: converting a double outside int's range is undefined.
        if (!hostPattern.match(node.host).hasMatch() || !(port >= 1 && port <= 65535) ||
            port != std::floor(port) || node.id.isEmpty()) {
            continue;
        }
        node.port = static_cast<quint16>(port);
        if (node.name.isEmpty())
            node.name = node.id;
        nodes.append(node);
    }
    return nodes;
}

// One accepted local connection carried to its host: through the candidate relay nodes in turn
// (TLS, HTTP CONNECT with the bearer token), or directly once none is left.
class Tunnel : public QObject
{
public:
    struct Route
    {
        QString host;
        quint16 port = 0;
        QList<AccelerationNode> candidates;
        QByteArray token;
        QSslConfiguration tls;
        int nodeTimeoutMs = AccelerationManager::kNodeTimeoutMs;
    };

    struct Reports
    {
        // A node's TLS connection failed or it did not answer in time.
        std::function<void(const QString& nodeId)> nodeDown;
        // The direct connection was tried (it connected or failed): no node carried this one.
        std::function<void()> wentDirect;
    };

    Tunnel(QTcpSocket* client, Route route, Reports reports, QObject* parent)
        : QObject(parent), m_client(client), m_route(std::move(route)), m_reports(std::move(reports))
    {
        m_client->setParent(this);
        m_client->setReadBufferSize(kBufferLimit);
        // Remote desktop and shell traffic is small and interactive: no Nagle delay on either leg.
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(m_client, &QTcpSocket::disconnected, this, &Tunnel::clientLeft);
        tryNextNode();
    }

private:
    void tryNextNode()
    {
        if (!m_client || m_client->state() != QAbstractSocket::ConnectedState) {
            deleteLater();
            return;
        }
        if (m_upstream) {
            m_upstream->disconnect();
            m_upstream->abort();
            m_upstream->deleteLater();
            m_upstream = nullptr;
        }
        m_handshake.clear();

        if (m_nextNodeIndex >= m_route.candidates.size()) {
            connectDirectly();
            return;
        }
        const AccelerationNode node = m_route.candidates.at(m_nextNodeIndex);
        ++m_nextNodeIndex;
        auto* socket = new QSslSocket(this);
        socket->setReadBufferSize(kBufferLimit);
        socket->setSslConfiguration(m_route.tls);
        connect(socket, &QAbstractSocket::connected, socket,
                [socket] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        m_upstream = socket;
        const quint32 attempt = ++m_attempt;
        connect(socket, &QSslSocket::encrypted, this, &Tunnel::sendConnectRequest);
        connect(socket, &QSslSocket::readyRead, this, [this] {
            if (m_established)
                pumpSoon(Direction::Down);
            else
                readHandshake();
        });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, attempt, id = node.id] {
            if (attempt != m_attempt)
                return;
            if (m_established) {
                closeClient();
                return;
            }
            reportNodeDown(id);
            tryNextNode();
        });
        QTimer::singleShot(m_route.nodeTimeoutMs, this, [this, attempt, id = node.id] {
            if (attempt == m_attempt && !m_established) {
                reportNodeDown(id);
                tryNextNode();
            }
        });
        socket->connectToHostEncrypted(node.host, node.port);
    }

    void reportNodeDown(const QString& nodeId)
    {
        if (m_reports.nodeDown)
            m_reports.nodeDown(nodeId);
    }

    // Said once the direct connection was really tried, not before.
    void reportDirect()
    {
        if (m_reports.wentDirect)
            std::exchange(m_reports.wentDirect, nullptr)();
    }

    void connectDirectly()
    {
        auto* socket = new QTcpSocket(this);
        socket->setReadBufferSize(kBufferLimit);
        connect(socket, &QAbstractSocket::connected, socket,
                [socket] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        m_upstream = socket;
        const quint32 attempt = ++m_attempt;
        connect(socket, &QTcpSocket::connected, this, [this, attempt] {
            if (attempt != m_attempt)
                return;
            m_established = true;
            startRelaying();
            reportDirect();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this] { pump(Direction::Down); });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, attempt] {
            if (attempt != m_attempt)
                return;
            reportDirect();
            closeClient();
        });
        socket->connectToHost(m_route.host, m_route.port);
    }

    void sendConnectRequest()
    {
        QByteArray authority = m_route.host.toUtf8();
        if (authority.contains(':'))
            authority = '[' + authority + ']';
        authority += ':' + QByteArray::number(m_route.port);
        m_upstream->write("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority +
                          "\r\nProxy-Authorization: Bearer " + m_route.token +
                          "\r\nConnection: keep-alive\r\n\r\n");
    }

    void readHandshake()
    {
        m_handshake += m_upstream->readAll();
        if (m_handshake.size() > kMaxHandshakeBytes) {
            tryNextNode();
            return;
        }
        const qsizetype end = m_handshake.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        if (!m_handshake.startsWith("HTTP/1.1 200 ") && !m_handshake.startsWith("HTTP/1.0 200 ")) {
            tryNextNode();
            return;
        }
        const QByteArray early = m_handshake.mid(end + 4);
        m_handshake.clear();
        m_established = true;
        startRelaying();
        if (!early.isEmpty())
            m_client->write(early);
    }

    void startRelaying()
    {
        connect(m_client, &QTcpSocket::readyRead, this, [this] { pump(Direction::Up); });
        connect(m_upstream, &QTcpSocket::bytesWritten, this, [this] { pump(Direction::Up); });
        if (auto* tls = qobject_cast<QSslSocket*>(m_upstream.data()))
            connect(tls, &QSslSocket::encryptedBytesWritten, this, [this] { pump(Direction::Up); });
        connect(m_client, &QTcpSocket::bytesWritten, this, [this] { pump(Direction::Down); });
        connect(m_upstream, &QTcpSocket::disconnected, this, &Tunnel::closeClient);
        pump(Direction::Up);
        pump(Direction::Down);
    }

    // The host is done: everything it sent still reaches the client (at most the read buffer beyond
    // the limit), and the connection closes once the client has taken it.
    void closeClient()
    {
        pump(Direction::Down, Limit::None);
        if (m_client)
            m_client->disconnectFromHost();
    }

    // The client is gone: what it sent before leaving still goes to the host, then the tunnel ends.
    void clientLeft()
    {
        if (!m_established || !m_upstream || m_upstream->state() != QAbstractSocket::ConnectedState) {
            deleteLater();
            return;
        }
        pump(Direction::Up, Limit::None);
        connect(m_upstream, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
        m_upstream->disconnectFromHost();
        if (m_upstream && m_upstream->state() == QAbstractSocket::UnconnectedState)
            deleteLater();
        else // a host that never takes the rest must not keep the tunnel for ever
            QTimer::singleShot(kLingerMs, this, &QObject::deleteLater);
    }

    enum class Limit { Buffer, None };
    enum Direction { Up, Down }; // Up: client to host

    // TLS emits readyRead for every 4 KiB it decrypts: moving the bytes once the socket has decrypted
    // all it holds (in the next pass of the event loop) takes them in one read and one write.
    void pumpSoon(Direction direction)
    {
        if (std::exchange(m_pumpQueued[direction], true))
            return;
        QMetaObject::invokeMethod(
            this,
            [this, direction] {
                m_pumpQueued[direction] = false;
                pump(direction);
            },
            Qt::QueuedConnection);
    }

    // Moves what one end holds to the other while the other's queue has room (at most the read buffer
    // beyond it with Limit::None), and hands it to the network at once rather than one 16 KiB block
    // per pass of the event loop.
    void pump(Direction direction, Limit limit = Limit::Buffer)
    {
        QAbstractSocket* from = direction == Up ? m_client.data() : m_upstream.data();
        QAbstractSocket* to = direction == Up ? m_upstream.data() : m_client.data();
        // A flush below emits bytesWritten, which lands here again: the loop below goes on anyway.
        if (!from || !to || m_pumping[direction])
            return;
        m_pumping[direction] = true;
        // One buffer for every read: a fresh allocation per block made the heap grow and shrink
        // through a whole transfer.
        thread_local std::vector<char> buffer(kBufferLimit);
        while (from->bytesAvailable() > 0 && to->state() == QAbstractSocket::ConnectedState) {
            const qint64 room = limit == Limit::None ? kBufferLimit : kBufferLimit - pendingWrite(to);
            if (room <= 0)
                break;
            const qint64 read = from->read(buffer.data(), room);
            if (read <= 0 || !writeThrough(to, buffer.data(), read))
                break;
            to->flush();
        }
        m_pumping[direction] = false;
    }

    QPointer<QTcpSocket> m_client;
    QPointer<QTcpSocket> m_upstream;
    Route m_route;
    QByteArray m_handshake;
    Reports m_reports;
    int m_nextNodeIndex = 0;
    quint32 m_attempt = 0;
    bool m_established = false;
    std::array<bool, 2> m_pumping{};
    std::array<bool, 2> m_pumpQueued{};
};

} // namespace

AccelerationManager::AccelerationManager(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)), m_reauthTimer(new QTimer(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_reauthTimer->setInterval(kReauthIntervalMs);
    connect(m_reauthTimer, &QTimer::timeout, this, [this] {
        if (m_enabled)
            exchangeToken(m_generation, true);
    });
}

AccelerationManager::~AccelerationManager()
{
    // Tunnels and listeners go before the network objects they may still signal.
    const QSet<QObject*> tunnels = std::exchange(m_tunnels, {});
    qDeleteAll(tunnels);
}

AccelerationManager* AccelerationManager::instance()
{
    // Parented to the application object, so it goes with it; the guard notices that.
    static QPointer<AccelerationManager> manager;
    if (manager.isNull()) {
        manager = new AccelerationManager(QCoreApplication::instance());
    }
    return manager.data();
}

bool AccelerationManager::setServiceEndpoint(const QUrl& baseUrl,
                                             const QList<QSslCertificate>& extraCaCertificates)
{
    const std::optional<QString> normalized = AccountClient::normalizedServiceUrl(baseUrl);
    if (!normalized) {
        SPDLOG_WARN("加速服务地址不可用，继续使用 {}: {}", m_serviceUrl,
                    baseUrl.toString(QUrl::RemoveUserInfo));
        return false;
    }
    m_serviceUrl = *normalized;
    m_tls.reset();
    if (!extraCaCertificates.isEmpty())
        m_tls = tlsConfigurationTrusting(extraCaCertificates);
    // A kept-alive connection to the former service (or one trusted under the former certificates) is
    // never reused: it may even answer on the same address and port after that service went away.
    m_network->clearConnectionCache();
    return true;
}

void AccelerationManager::setReauthIntervalMs(int milliseconds)
{
    m_reauthTimer->setInterval(milliseconds);
}

void AccelerationManager::setPartnerSession(const QByteArray& cookie, const QByteArray& jwt)
{
    disableAcceleration();
    m_partnerCookie = cookie;
    m_partnerJwt = jwt;
}

void AccelerationManager::clearPartnerSession()
{
    disableAcceleration();
    m_partnerCookie.clear();
    m_partnerJwt.clear();
}

QNetworkRequest AccelerationManager::request(const QUrl& url) const
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(kRequestTimeoutMs);
    request.setRawHeader("User-Agent", kUserAgent);
    if (m_tls)
        request.setSslConfiguration(*m_tls);
    return request;
}

void AccelerationManager::checkAvailability()
{
    if (m_enabled || m_busy)
        return;
    if (m_partnerCookie.isEmpty() && m_partnerJwt.isEmpty()) {
        emit availabilityFailed(text(kNoSession));
        return;
    }
    m_busy = true;
    const quint32 generation = ++m_generation;
    emit statusChanged(text("正在读取加速节点…"));
    QNetworkReply* reply = m_network->get(request(QUrl(m_serviceUrl + QStringLiteral("/jiasu.txt"))));
    // A document far beyond the limit is cut off rather than buffered whole.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxNodeListBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, generation] { onNodeListReply(reply, generation); });
}

void AccelerationManager::onNodeListReply(QNetworkReply* reply, quint32 generation)
{
    reply->deleteLater();
    if (generation != m_generation)
        return;
    const QList<AccelerationNode> nodes =
        parseNodeList(boundedBody(reply, kMaxNodeListBytes).value_or(QByteArray()));
    if (nodes.isEmpty()) {
        // The message to the user is one sentence; the log says which of the causes it was.
        SPDLOG_WARN("加速节点配置不可用: {} (HTTP {})", reply->errorString(),
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        m_busy = false;
        emit availabilityFailed(text(kNodeListUnusable));
        return;
    }
    m_nodes = nodes;
    exchangeToken(generation, false);
}

void AccelerationManager::exchangeToken(quint32 generation, bool refresh)
{
    if (m_partnerCookie.isEmpty() && m_partnerJwt.isEmpty()) {
        disableAcceleration();
        emit availabilityFailed(text(kSessionLost));
        return;
    }
    QNetworkRequest post = request(QUrl(m_serviceUrl + QStringLiteral("/auth/vantrel")));
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("cookie"), QString::fromUtf8(m_partnerCookie)},
                           {QStringLiteral("jwt"), QString::fromUtf8(m_partnerJwt)}};
    QNetworkReply* reply = m_network->post(post, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxTokenReplyBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, generation, refresh] { onTokenReply(reply, generation, refresh); });
}

void AccelerationManager::onTokenReply(QNetworkReply* reply, quint32 generation, bool refresh)
{
    reply->deleteLater();
    if (generation != m_generation)
        return;
    QByteArray token;
    if (const std::optional<QByteArray> body = boundedBody(reply, kMaxTokenReplyBytes))
        token = QJsonDocument::fromJson(*body).object().value(QStringLiteral("token")).toString().toUtf8();
    if (token.isEmpty() || token.size() > kMaxTokenBytes) {
        disableAcceleration();
        emit availabilityFailed(text(kTokenRefused));
        return;
    }
    m_token = token;
    if (!refresh)
        startProbes();
}

void AccelerationManager::startProbes()
{
    m_pendingProbes = static_cast<int>(m_nodes.size());
    emit statusChanged(text("正在检测加速节点延迟…"));
    const quint32 generation = m_generation;
    for (int i = 0; i < m_nodes.size(); ++i) {
        const AccelerationNode& node = m_nodes.at(i);
        QNetworkRequest probe =
            request(QUrl(QStringLiteral("https://%1:%2/probe").arg(node.host).arg(node.port)));
        probe.setRawHeader("Authorization", "Bearer " + m_token);
        const qint64 sentAtMs = QDateTime::currentMSecsSinceEpoch();
        QNetworkReply* reply = m_network->get(probe);
        connect(reply, &QNetworkReply::finished, this,
                [this, reply, generation, i, sentAtMs] { onProbeReply(reply, generation, i, sentAtMs); });
    }
}

void AccelerationManager::onProbeReply(QNetworkReply* reply, quint32 generation, int nodeIndex,
                                       qint64 sentAtMs)
{
    reply->deleteLater();
    if (generation != m_generation || nodeIndex >= m_nodes.size())
        return;
    if (reply->error() == QNetworkReply::NoError &&
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 204) {
        m_nodes[nodeIndex].latencyMs =
            static_cast<qint32>(std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch() - sentAtMs));
    }
    if (--m_pendingProbes == 0)
        finishProbes();
}

void AccelerationManager::finishProbes()
{
    m_nodes.removeIf([](const AccelerationNode& node) { return node.latencyMs < 0; });
    std::stable_sort(
        m_nodes.begin(), m_nodes.end(),
        [](const AccelerationNode& a, const AccelerationNode& b) { return a.latencyMs < b.latencyMs; });
    m_busy = false;
    if (!m_nodes.isEmpty()) {
        // A copy: a receiver may switch off (clearing the nodes) before the next one reads the name.
        const AccelerationNode best = m_nodes.first();
        emit readyToEnable(best.name, best.latencyMs);
        return;
    }
    m_token.clear();
    emit availabilityFailed(text(kNoNodeReachable));
}

void AccelerationManager::enableAcceleration()
{
    if (m_enabled || m_busy || m_nodes.isEmpty() || m_token.isEmpty())
        return;
    m_enabled = true;
    m_reauthTimer->start();
    emit enabledChanged(true);
    emit statusChanged(
        text("远程加速已开启：%1 · 节点延迟 %2 ms").arg(m_nodes.first().name).arg(m_nodes.first().latencyMs));
}

void AccelerationManager::disableAcceleration()
{
    ++m_generation;
    m_busy = false;
    m_reauthTimer->stop();
    const QSet<QObject*> tunnels = std::exchange(m_tunnels, {});
    qDeleteAll(tunnels);
    const QHash<QString, QTcpServer*> listeners = std::exchange(m_listeners, {});
    qDeleteAll(listeners);
    m_token.clear();
    m_nodes.clear();
    m_directRemoteIds.clear();
    m_nodeIndexByRemote.clear();
    m_nodeDownUntilMs.clear();
    m_remotesBehindDeadNodes.clear();
    if (m_enabled) {
        m_enabled = false;
        emit enabledChanged(false);
        emit statusChanged(text("远程加速已关闭"));
    }
}

Remote AccelerationManager::route(const Remote& remote)
{
    // Direct while acceleration is off, and for hosts that no node could carry.
    if (!m_enabled || m_token.isEmpty() || remote.host.isEmpty() || remote.port < 1 || remote.port > 65535 ||
        m_directRemoteIds.contains(remote.id)) {
        return remote;
    }
    const QString key =
        remote.id + QLatin1Char('|') + remote.host + QLatin1Char(':') + QString::number(remote.port);
    QTcpServer* listener = m_listeners.value(key);
    if (!listener) {
        listener = new QTcpServer(this);
        if (!listener->listen(QHostAddress::LocalHost, 0)) {
            SPDLOG_WARN("无法监听本机加速端口: {}", listener->errorString());
            delete listener;
            emit fallbackToDirect(remote.id, remote.name);
            return remote;
        }
        m_listeners.insert(key, listener);
        connect(listener, &QTcpServer::newConnection, this,
                [this, listener, host = remote.host, port = static_cast<quint16>(remote.port), id = remote.id,
                 name = remote.name] { acceptConnections(listener, host, port, id, name); });
    }
    Remote routed = remote;
    routed.host = QStringLiteral("127.0.0.1");
    routed.port = listener->serverPort();
    return routed;
}

void AccelerationManager::acceptConnections(QTcpServer* listener, const QString& host, quint16 port,
                                            const QString& remoteId, const QString& remoteName)
{
    while (QTcpSocket* client = listener->nextPendingConnection()) {
        Tunnel::Route route;
        route.host = host;
        route.port = port;
        if (!m_directRemoteIds.contains(remoteId)) {
            route.candidates =
                m_nodes.mid(std::min<qsizetype>(m_nodeIndexByRemote.value(remoteId, 0), m_nodes.size()));
            route.candidates.removeIf([this](const AccelerationNode& node) { return isNodeDown(node.id); });
        }
        route.token = m_token;
        route.tls = m_tls.value_or(QSslConfiguration::defaultConfiguration());
        route.nodeTimeoutMs = m_nodeTimeoutMs;
        const QPointer<AccelerationManager> manager(this);
        const quint32 generation = m_generation;
        Tunnel::Reports reports;
        reports.nodeDown = [manager, generation, remoteId](const QString& nodeId) {
            if (manager && manager->m_generation == generation)
                manager->markNodeDown(nodeId, remoteId);
        };
        reports.wentDirect = [manager, generation, remoteId, remoteName] {
            if (manager && manager->m_generation == generation)
                manager->markDirect(remoteId, remoteName);
        };
        auto* tunnel = new Tunnel(client, std::move(route), std::move(reports), this);
        m_tunnels.insert(tunnel);
        connect(tunnel, &QObject::destroyed, this, [this, tunnel] { m_tunnels.remove(tunnel); });
    }
}

void AccelerationManager::markNodeDown(const QString& nodeId, const QString& remoteId)
{
    if (!isNodeDown(nodeId))
        SPDLOG_WARN("加速节点 {} 无法连接，{} 秒内不再使用", nodeId, kDeadNodeMs / 1000);
    m_nodeDownUntilMs.insert(nodeId, QDateTime::currentMSecsSinceEpoch() + kDeadNodeMs);
    m_remotesBehindDeadNodes.insert(remoteId);
}

bool AccelerationManager::isNodeDown(const QString& nodeId) const
{
    return m_nodeDownUntilMs.value(nodeId, 0) > QDateTime::currentMSecsSinceEpoch();
}

void AccelerationManager::markDirect(const QString& remoteId, const QString& remoteName)
{
    if (!m_directRemoteIds.contains(remoteId))
        m_directRemoteIds.insert(remoteId);
    emit fallbackToDirect(remoteId, remoteName);
}

bool AccelerationManager::handleConnectionFailure(const QString& remoteId, const QString& remoteName,
                                                  const QString& error)
{
    if (!m_enabled || m_nodes.isEmpty() || m_directRemoteIds.contains(remoteId))
        return false;
    const QString lower = error.toLower();
    const auto mentions = [&lower](std::initializer_list<const char*> words) {
        return std::any_of(words.begin(), words.end(),
                           [&lower](const char* word) { return lower.contains(QString::fromUtf8(word)); });
    };
    // A tunnel of this host found its relay dead: whatever the session made of the broken stream (a
    // failed TLS handshake reads as a certificate or security error), the path is at fault.
    const bool relayDied = m_remotesBehindDeadNodes.remove(remoteId);
    if (!relayDied) {
        // An authentication or security problem: another node would fail the same way.
        if (mentions({"password", "logon", "login", "authentication", "credential", "certificate", "credssp",
                      "tls", "security", "密码", "登录", "身份", "凭据", "证书", "安全"})) {
            return false;
        }
        if (!mentions({"transport", "network", "timeout", "connect", "socket", "网络", "超时", "无法连接",
                       "连接失败"}))
            return false;
    }
    const int next = m_nodeIndexByRemote.value(remoteId, 0) + 1;
    m_nodeIndexByRemote.insert(remoteId, next);
    if (next < m_nodes.size()) {
        emit statusChanged(text("“%1”正在尝试其他加速节点…").arg(remoteName));
        return true;
    }
    // Nothing has been tried yet: the session reconnects directly, and says so once it has.
    m_directRemoteIds.insert(remoteId);
    emit statusChanged(text("“%1”的加速节点均不可用，正在直接连接…").arg(remoteName));
    return true;
}

bool applyAccelerationServiceConfig(AccelerationManager& manager, const AppConfig& config)
{
    const ServiceEndpoint endpoint =
        accelerationServiceEndpoint(config, QString::fromLatin1(AccelerationManager::kDefaultServiceUrl));
    return manager.setServiceEndpoint(QUrl(endpoint.baseUrl), endpoint.extraCaCertificates) &&
           endpoint.fromConfiguration;
}
