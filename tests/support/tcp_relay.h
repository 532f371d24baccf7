#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

// A plain TCP relay on 127.0.0.1 in front of a server on 127.0.0.1: what a test cuts to stand for a
// network that drops. Runs on the test's event loop.
//
//     TcpRelay relay(rdp->port());
//     QVERIFY(relay.listen());
//     ... connect to relay.port() ...
//     relay.cut();            // every connection through it ends; new ones are relayed again
//     relay.setRefusing(true) // from now on new connections are closed at once
class TcpRelay : public QObject
{
    Q_OBJECT

public:
    explicit TcpRelay(quint16 targetPort, QObject* parent = nullptr);
    ~TcpRelay() override;

    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    // Connections accepted so far (refused ones included).
    int accepted() const { return m_accepted; }
    void cut();
    void setRefusing(bool refusing) { m_refusing = refusing; }

private:
    void onNewConnection();

    QTcpServer m_server;
    quint16 m_targetPort;
    bool m_refusing = false;
    int m_accepted = 0;
    QList<QPointer<QTcpSocket>> m_sockets;
};
