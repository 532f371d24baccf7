#include "support/test_relay_node.h"

#include "support/test_http_head.h"

#include <QAtomicInt>
#include <QHostAddress>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <limits>
#include <memory>

namespace {

constexpr qint64 kQueueLimit = 256 * 1024;
constexpr qint64 kChunk = 32 * 1024;

qint64 queued(const QAbstractSocket* socket)
{
    qint64 bytes = socket->bytesToWrite();
    if (const auto* tls = qobject_cast<const QSslSocket*>(socket))
        bytes += tls->encryptedBytesToWrite();
    return bytes;
}

// Moves what `source` holds to `sink` while the sink's queue is short; the rest waits for the sink's
// bytesWritten.
void forward(QAbstractSocket* source, QAbstractSocket* sink, qint64 queueLimit = kQueueLimit)
{
    while (sink->state() == QAbstractSocket::ConnectedState && source->bytesAvailable() > 0 &&
           queued(sink) < queueLimit) {
        // One buffer for every read, as the program's own tunnel does: an allocation per chunk makes
        // the heap grow and shrink through a whole transfer.
        static thread_local char buffer[kChunk];
        const qint64 read = source->read(buffer, kChunk);
        if (read <= 0 || sink->write(buffer, read) != read)
            return;
    }
}

// Both ends of one relayed connection; each end closing closes the other once its bytes are out.
void relay(QSslSocket* client, QTcpSocket* target)
{
    const auto toTarget = [client, target] {
        forward(client, target);
    };
    const auto toClient = [client, target] {
        forward(target, client);
    };
    QObject::connect(client, &QSslSocket::readyRead, target, toTarget);
    QObject::connect(target, &QTcpSocket::bytesWritten, target, toTarget);
    QObject::connect(target, &QTcpSocket::readyRead, client, toClient);
    QObject::connect(client, &QSslSocket::bytesWritten, client, toClient);
    QObject::connect(client, &QSslSocket::encryptedBytesWritten, client, toClient);
    // A closing end's last bytes are still handed on whole before the other end closes.
    QObject::connect(client, &QSslSocket::disconnected, target, [client, target] {
        forward(client, target, std::numeric_limits<qint64>::max());
        target->disconnectFromHost();
    });
    QObject::connect(target, &QTcpSocket::disconnected, client, [client, target] {
        forward(target, client, std::numeric_limits<qint64>::max());
        client->disconnectFromHost();
    });
    toTarget();
    toClient();
}

} // namespace

TestRelayNode::TestRelayNode(TestCertificateAuthority& ca, bool trusted)
    : m_ca(ca), m_trusted(trusted), m_server([this](QSslSocket* socket) { serve(socket); })
{
}

TestRelayNode::~TestRelayNode() = default;

QString TestRelayNode::nextCertificateName()
{
    static QAtomicInt serial;
    return QStringLiteral("relay-%1").arg(serial.fetchAndAddRelaxed(1));
}

bool TestRelayNode::presentUntrustedCertificate(QString* error)
{
    TestCertificateAuthority::Leaf leaf;
    if (!m_ca.issueUntrusted(nextCertificateName(), &leaf, error))
        return false;
    m_server.setSslConfiguration(TestCertificateAuthority::serverConfiguration(leaf));
    return true;
}

bool TestRelayNode::start(QString* error)
{
    const QString name = nextCertificateName();
    TestCertificateAuthority::Leaf leaf;
    const bool issued = m_trusted ? m_ca.issue(name, &leaf, error) : m_ca.issueUntrusted(name, &leaf, error);
    return issued && m_server.listen(TestCertificateAuthority::serverConfiguration(leaf), error);
}

QJsonObject TestRelayNode::nodeEntry(const QString& id, const QString& name) const
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                       {QStringLiteral("port"), port()}};
}

int TestRelayNode::openRelays() const
{
    int open = 0;
    for (const QSslSocket* socket : m_context.findChildren<QSslSocket*>()) {
        if (socket->property("relaying").toBool() && socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
    return open;
}

void TestRelayNode::serve(QSslSocket* socket)
{
    socket->setParent(&m_context);
    socket->setReadBufferSize(kQueueLimit);
    QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    auto readHead = std::make_shared<QMetaObject::Connection>();
    const auto onReadable = [this, socket, buffer, readHead] {
        // Once the head is answered, the bytes belong to the relayed connection.
        if (!*readHead)
            return;
        *buffer += socket->readAll();
        const std::optional<TestHttpHead> head = TestHttpHead::parse(*buffer);
        if (!head)
            return;
        QObject::disconnect(*readHead);
        *readHead = {};
        const QByteArray bearer = "Bearer " + m_token;
        if (head->method == "GET" && head->target == "/probe") {
            ++m_probes;
            if (head->header("Authorization") != bearer) {
                socket->write(TestHttpHead::response(401, "Unauthorized"));
            } else if (m_probeStatus == 0) {
                return;
            } else {
                socket->write(
                    TestHttpHead::response(m_probeStatus, m_probeStatus == 204 ? "No Content" : "OK"));
            }
            socket->disconnectFromHost();
            return;
        }
        if (head->method != "CONNECT") {
            socket->write(TestHttpHead::response(405, "Method Not Allowed"));
            socket->disconnectFromHost();
            return;
        }
        m_connectLines.append(head->requestLine);
        m_hostHeaders.append(head->header("Host"));
        m_proxyAuthorizations.append(head->header("Proxy-Authorization"));
        if (head->header("Proxy-Authorization") != bearer) {
            socket->write(TestHttpHead::response(407, "Proxy Authentication Required"));
            socket->disconnectFromHost();
            return;
        }
        handleConnect(socket, head->target, buffer->mid(head->size));
    };
    *readHead = QObject::connect(socket, &QSslSocket::readyRead, socket, onReadable);
    QTimer::singleShot(0, socket, onReadable);
}

void TestRelayNode::handleConnect(QSslSocket* socket, const QByteArray& target, const QByteArray& early)
{
    switch (m_behaviour) {
    case Behaviour::Refuse:
        socket->write(TestHttpHead::response(403, "Forbidden"));
        socket->disconnectFromHost();
        return;
    case Behaviour::Silent:
        return;
    case Behaviour::OversizedHeader:
        socket->write("HTTP/1.1 200 Connection established\r\nX-Padding: " + QByteArray(9000, 'p') +
                      "\r\n\r\n");
        return;
    case Behaviour::Relay:
        break;
    }
    const qsizetype colon = target.lastIndexOf(':');
    QByteArray host = target.left(colon);
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    const quint16 port = target.mid(colon + 1).toUShort();

    // Not the client socket's child: when the client leaves first, its last bytes must still reach
    // the host before this socket goes.
    auto* upstream = new QTcpSocket(&m_context);
    upstream->setReadBufferSize(kQueueLimit);
    QObject::connect(upstream, &QTcpSocket::disconnected, upstream, &QObject::deleteLater);
    QObject::connect(upstream, &QTcpSocket::connected, socket, [this, socket, upstream, early] {
        socket->setProperty("relaying", true);
        socket->write("HTTP/1.1 200 Connection established\r\n\r\n" + m_bytesAfterAnswer);
        upstream->write(early);
        relay(socket, upstream);
    });
    QObject::connect(upstream, &QTcpSocket::errorOccurred, socket, [socket, upstream] {
        upstream->deleteLater();
        if (!socket->property("relaying").toBool()) {
            socket->write(TestHttpHead::response(502, "Bad Gateway"));
            socket->disconnectFromHost();
        }
    });
    upstream->connectToHost(QString::fromUtf8(host), port);
}
