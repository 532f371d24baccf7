#include "http_server.h"

#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
constexpr int kHandshakeTimeoutMs = 10000;
}

HttpServer::HttpServer(QObject* parent) : QObject(parent) {}

bool HttpServer::listen(const QHostAddress& address, quint16 port,
                        const std::optional<QSslConfiguration>& tls, QString* error)
{
    if (tls) {
        auto* server = new QSslServer(this);
        server->setSslConfiguration(*tls);
        server->setHandshakeTimeout(kHandshakeTimeoutMs);
        m_listener = server;
    } else {
        m_listener = new QTcpServer(this);
    }
    // QSslServer offers a connection only once its handshake is complete.
    connect(m_listener, &QTcpServer::pendingConnectionAvailable, this, &HttpServer::acceptPending);
    if (!m_listener->listen(address, port)) {
        if (error) {
            *error = m_listener->errorString();
        }
        return false;
    }
    return true;
}

quint16 HttpServer::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

void HttpServer::acceptPending()
{
    while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
        if (m_connections >= m_maxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_connections;
        auto* connection = new HttpConnection(socket, m_handler, m_admission, m_accessLog, m_limits, this);
        connect(connection, &HttpConnection::closed, this, [this] { --m_connections; });
    }
}
