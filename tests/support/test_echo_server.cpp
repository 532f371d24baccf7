#include "support/test_echo_server.h"

#include <QTcpSocket>

TestEchoServer::TestEchoServer()
{
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            ++m_connections;
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [socket] { socket->write(socket->readAll()); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool TestEchoServer::listen(const QHostAddress& address, QString* error)
{
    if (m_server.listen(address, 0))
        return true;
    if (error)
        *error = m_server.errorString();
    return false;
}

int TestEchoServer::openConnections() const
{
    int open = 0;
    for (const QTcpSocket* socket : m_server.findChildren<QTcpSocket*>()) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
    return open;
}
