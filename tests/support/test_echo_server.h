#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

// A TCP server that sends every byte back, standing in for a host behind a tunnel.
//
//     TestEchoServer echo;
//     QVERIFY2(echo.listen(QHostAddress::LocalHost, &error), qPrintable(error));
//     ... connect to echo.port(), write, read the same back ...
class TestEchoServer
{
public:
    TestEchoServer();

    bool listen(const QHostAddress& address, QString* error);
    quint16 port() const { return m_server.serverPort(); }
    // Connections accepted so far, and those still open.
    int connections() const { return m_connections; }
    int openConnections() const;

private:
    QTcpServer m_server;
    int m_connections = 0;
};
