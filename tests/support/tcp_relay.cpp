#include "support/tcp_relay.h"

#include <QHostAddress>
#include <QTcpSocket>

TcpRelay::TcpRelay(quint16 targetPort, QObject* parent) : QObject(parent), m_targetPort(targetPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TcpRelay::onNewConnection);
}

TcpRelay::~TcpRelay()
{
    cut();
}

bool TcpRelay::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void TcpRelay::cut()
{
    for (const QPointer<QTcpSocket>& socket : std::as_const(m_sockets)) {
        if (socket) {
            socket->abort();
            socket->deleteLater();
        }
    }
    m_sockets.clear();
}

void TcpRelay::onNewConnection()
{
    while (QTcpSocket* client = m_server.nextPendingConnection()) {
        ++m_accepted;
        if (m_refusing) {
            client->abort();
            client->deleteLater();
            continue;
        }
        auto* upstream = new QTcpSocket(this);
        client->setParent(this);
        m_sockets << client << upstream;
        // Bytes the client sends before the upstream connection is up wait in the client's buffer.
        const auto pump = [](QTcpSocket* from, QTcpSocket* to) {
            if (to->state() == QAbstractSocket::ConnectedState) {
                to->write(from->readAll());
            }
        };
        connect(client, &QTcpSocket::readyRead, upstream, [=] { pump(client, upstream); });
        connect(upstream, &QTcpSocket::readyRead, client, [=] { pump(upstream, client); });
        connect(upstream, &QTcpSocket::connected, client, [=] { pump(client, upstream); });
        const auto close = [client, upstream] {
            client->disconnectFromHost();
            upstream->disconnectFromHost();
        };
        connect(client, &QTcpSocket::disconnected, upstream, close);
        connect(upstream, &QTcpSocket::disconnected, client, close);
        connect(upstream, &QTcpSocket::errorOccurred, client, close);
        upstream->connectToHost(QHostAddress::LocalHost, m_targetPort);
    }
}
