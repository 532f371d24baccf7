#include "network/acceleration_manager.h"
#include "support/acceleration_test_bed.h"
#include "support/test_echo_server.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

// Connections through the local listeners and real TLS relay nodes to a real host on loopback: what
// the relay is asked, how a failing node hands over to the next one, the direct fallback, and the
// failure classification of the screen wall.
class TestAccelerationTunnel : public QObject
{
    Q_OBJECT

    static QString text(const char* utf8) { return QString::fromUtf8(utf8); }

    static Remote remoteFor(const QString& id, const QString& host, int port)
    {
        Remote remote;
        remote.id = id;
        remote.name = QStringLiteral("机房-%1").arg(id);
        remote.host = host;
        remote.port = port;
        remote.protocol = QStringLiteral("ssh");
        remote.username = QStringLiteral("root");
        remote.password = QStringLiteral("pw");
        remote.rdp_certificate_fingerprint = QStringLiteral("ab:cd");
        return remote;
    }

    // Connects to `routed` and checks that `payload` comes back from the echo host.
    static bool echoes(QTcpSocket& socket, const Remote& routed, const QByteArray& payload)
    {
        if (socket.state() == QAbstractSocket::UnconnectedState) {
            socket.connectToHost(routed.host, static_cast<quint16>(routed.port));
            if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 30000))
                return false;
        }
        socket.write(payload);
        QByteArray received;
        const bool ended = QTest::qWaitFor(
            [&] {
                received += socket.readAll();
                return received.size() >= payload.size() || socket.state() != QAbstractSocket::ConnectedState;
            },
            60000);
        return ended && received == payload;
    }

    // A started and enabled bed with an echo host on 127.0.0.1; null (test failed) if a peer cannot run.
    std::unique_ptr<AccelerationTestBed> enabledBed(int relays = 3)
    {
        auto bed = std::make_unique<AccelerationTestBed>(relays);
        QString error;
        if (!bed->start(&error) || !bed->enable(&error)) {
            QTest::qFail(qPrintable(error), __FILE__, __LINE__);
            return nullptr;
        }
        return bed;
    }

    static int connectCount(AccelerationTestBed& bed)
    {
        int count = 0;
        for (int i = 0; i < bed.relayCount(); ++i)
            count += static_cast<int>(bed.relay(i).connectLines().size());
        return count;
    }

    static QByteArray pattern(qsizetype size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 131) ^ (i >> 11));
        return bytes;
    }

    TestEchoServer m_echo;

private slots:
    void initTestCase()
    {
        const QString reason = TestCertificateAuthority::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QString error;
        QVERIFY2(m_echo.listen(QHostAddress(QHostAddress::LocalHost), &error), qPrintable(error));
    }

    void routeRules()
    {
        auto bed = enabledBed(1);
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        const Remote remote = remoteFor(QStringLiteral("r1"), QStringLiteral("10.1.2.3"), 3389);

        const Remote routed = manager.route(remote);
        QCOMPARE(routed.host, QStringLiteral("127.0.0.1"));
        QVERIFY(routed.port > 0 && routed.port != remote.port);
        Remote expected = remote;
        expected.host = routed.host;
        expected.port = routed.port;
        QCOMPARE(routed, expected);
        // One listener per route key.
        QCOMPARE(manager.route(remote).port, routed.port);
        QVERIFY(manager.route(remoteFor(QStringLiteral("r2"), remote.host, remote.port)).port != routed.port);
        QVERIFY(manager.route(remoteFor(QStringLiteral("r1"), remote.host, 3390)).port != routed.port);

        for (const Remote& unchanged : {remoteFor(QStringLiteral("r3"), QStringLiteral("h"), 0),
                                        remoteFor(QStringLiteral("r3"), QStringLiteral("h"), 65536),
                                        remoteFor(QStringLiteral("r3"), QString(), 22)}) {
            QCOMPARE(manager.route(unchanged), unchanged);
        }

        manager.disableAcceleration();
        QCOMPARE(manager.route(remote), remote);
        // The listener is gone with it.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(routed.port));
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 30000));
        QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);
    }

    void bytesCrossTheRelayToTheHost()
    {
        auto bed = enabledBed();
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        const Remote remote = remoteFor(QStringLiteral("r1"), QStringLiteral("127.0.0.1"), m_echo.port());
        const Remote routed = manager.route(remote);

        QTcpSocket socket;
        QVERIFY(echoes(socket, routed, "SSH-2.0-probe\r\n"));
        QByteArray large(1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = static_cast<char>((i * 7919) >> 3);
        QVERIFY(echoes(socket, routed, large));
        QCOMPARE(manager.tunnelCount(), 1);

        TestRelayNode* first = bed->relayOf(manager.nodes().first());
        QVERIFY(first);
        const QByteArray authority = "127.0.0.1:" + QByteArray::number(m_echo.port());
        QCOMPARE(first->connectLines(), QList<QByteArray>{"CONNECT " + authority + " HTTP/1.1"});
        QCOMPARE(first->hostHeaders(), QList<QByteArray>{authority});
        QCOMPARE(first->proxyAuthorizations(),
                 QList<QByteArray>{QByteArray("Bearer ") + AccelerationTestBed::kToken});
        QCOMPARE(connectCount(*bed), 1);

        // The client leaving ends the tunnel.
        socket.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return manager.tunnelCount() == 0; }, 30000));
        QVERIFY(QTest::qWaitFor([&] { return first->openRelays() == 0; }, 30000));
    }

    void aFailingNodeHandsOverToTheNext_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("refuses") << QStringLiteral("refuse");
        QTest::newRow("silent") << QStringLiteral("silent");
        QTest::newRow("untrusted certificate") << QStringLiteral("tls");
        QTest::newRow("answer head over 8192 bytes") << QStringLiteral("oversized");
    }

    void aFailingNodeHandsOverToTheNext()
    {
        QFETCH(QString, failure);
        auto bed = enabledBed();
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        QSignalSpy fallback(&manager, &AccelerationManager::fallbackToDirect);
        TestRelayNode* first = bed->relayOf(manager.nodes().at(0));
        TestRelayNode* second = bed->relayOf(manager.nodes().at(1));
        QVERIFY(first && second);
        if (failure == QLatin1String("refuse")) {
            first->setBehaviour(TestRelayNode::Behaviour::Refuse);
        } else if (failure == QLatin1String("silent")) {
            first->setBehaviour(TestRelayNode::Behaviour::Silent);
        } else if (failure == QLatin1String("oversized")) {
            first->setBehaviour(TestRelayNode::Behaviour::OversizedHeader);
        } else {
            QString error;
            QVERIFY2(first->presentUntrustedCertificate(&error), qPrintable(error));
        }

        const Remote remote = remoteFor(QStringLiteral("r1"), QStringLiteral("127.0.0.1"), m_echo.port());
        QTcpSocket socket;
        QVERIFY(echoes(socket, manager.route(remote), "hello through the second node"));
        const QByteArray line = "CONNECT 127.0.0.1:" + QByteArray::number(m_echo.port()) + " HTTP/1.1";
        QCOMPARE(second->connectLines(), QList<QByteArray>{line});
        if (failure == QLatin1String("tls")) {
            QVERIFY(first->connectLines().isEmpty());
            QVERIFY(first->failedHandshakes() >= 1);
        } else {
            QCOMPARE(first->connectLines(), QList<QByteArray>{line});
        }
        QVERIFY(fallback.isEmpty());
        QVERIFY(manager.directRemoteIds().isEmpty());
    }

    void everyNodeDownFallsBackToDirectUntilSwitchedOff()
    {
        auto bed = enabledBed();
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        QSignalSpy fallback(&manager, &AccelerationManager::fallbackToDirect);
        bed->relay(0).setBehaviour(TestRelayNode::Behaviour::Refuse);
        bed->relay(1).setBehaviour(TestRelayNode::Behaviour::OversizedHeader);
        bed->relay(2).setBehaviour(TestRelayNode::Behaviour::Silent);

        const Remote remote = remoteFor(QStringLiteral("r1"), QStringLiteral("127.0.0.1"), m_echo.port());
        const Remote routed = manager.route(remote);
        const int echoConnections = m_echo.connections();
        QTcpSocket socket;
        QVERIFY(echoes(socket, routed, "direct after all"));
        QCOMPARE(fallback.size(), 1);
        QCOMPARE(fallback.first().at(0).toString(), remote.id);
        QCOMPARE(fallback.first().at(1).toString(), remote.name);
        QCOMPARE(connectCount(*bed), 3);
        QCOMPARE(m_echo.connections(), echoConnections + 1);
        QCOMPARE(manager.directRemoteIds(), QSet<QString>{remote.id});

        // The host stays direct: route hands out the host itself, and the listener it already has
        // connects directly without asking a node.
        QCOMPARE(manager.route(remote), remote);
        QTcpSocket again;
        QVERIFY(echoes(again, routed, "still direct"));
        QCOMPARE(connectCount(*bed), 3);
        // Each direct connection is reported, so the window says why the host is not accelerated.
        QCOMPARE(fallback.size(), 2);
        QCOMPARE(fallback.last().at(0).toString(), remote.id);
        QVERIFY(
            !manager.handleConnectionFailure(remote.id, remote.name, QStringLiteral("connection timeout")));

        // Until acceleration is switched off: then the next start routes it again.
        manager.disableAcceleration();
        QVERIFY(manager.directRemoteIds().isEmpty());
        for (int i = 0; i < bed->relayCount(); ++i)
            bed->relay(i).setBehaviour(TestRelayNode::Behaviour::Relay);
        QString error;
        QVERIFY2(bed->enable(&error), qPrintable(error));
        const Remote rerouted = manager.route(remote);
        QCOMPARE(rerouted.host, QStringLiteral("127.0.0.1"));
        QTcpSocket relayed;
        QVERIFY(echoes(relayed, rerouted, "relayed again"));
        QCOMPARE(connectCount(*bed), 4);
    }

    // The relay behind a tunnel in use dies (hangs): the session that waited for it (and failed its TLS
    // handshake, read as a certificate error) reconnects, and later connections of every host leave the
    // dead node out instead of waiting for it.
    void aDeadRelayIsLeftOutOfLaterConnections()
    {
        auto bed = enabledBed(2);
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        QSignalSpy fallback(&manager, &AccelerationManager::fallbackToDirect);
        TestRelayNode* first = bed->relayOf(manager.nodes().at(0));
        TestRelayNode* second = bed->relayOf(manager.nodes().at(1));
        QVERIFY(first && second);
        const Remote remote = remoteFor(QStringLiteral("r1"), QStringLiteral("127.0.0.1"), m_echo.port());
        const Remote routed = manager.route(remote);
        QTcpSocket inUse;
        QVERIFY(echoes(inUse, routed, "through the first node"));

        first->setBehaviour(TestRelayNode::Behaviour::Silent);
        QTcpSocket waiting;
        waiting.connectToHost(routed.host, static_cast<quint16>(routed.port));
        QVERIFY(QTest::qWaitFor([&] { return first->connectLines().size() == 2; }, 10000));
        const QString certificate = text("ERRCONNECT_TLS_CONNECT_FAILED: certificate verify failed");
        QVERIFY(QTest::qWaitFor(
            [&] { return manager.handleConnectionFailure(remote.id, remote.name, certificate); },
            AccelerationTestBed::kNodeTimeoutMs * 3));
        waiting.abort();

        const Remote other = remoteFor(QStringLiteral("r2"), QStringLiteral("127.0.0.1"), m_echo.port());
        for (const Remote& next : {routed, manager.route(other)}) {
            QElapsedTimer clock;
            clock.start();
            QTcpSocket socket;
            QVERIFY(echoes(socket, next, "through the second node at once"));
            QVERIFY(clock.elapsed() < AccelerationTestBed::kNodeTimeoutMs);
        }
        QCOMPARE(first->connectLines().size(), 2);
        QVERIFY(fallback.isEmpty());
        QVERIFY(echoes(inUse, routed, "the tunnel in use is not touched"));
    }

    void ipv6LiteralIsBracketed()
    {
        TestEchoServer echo6;
        QString error;
        if (!echo6.listen(QHostAddress(QHostAddress::LocalHostIPv6), &error))
            QSKIP(qPrintable(QStringLiteral("no IPv6 loopback here: ") + error));
        auto bed = enabledBed(1);
        if (!bed)
            return;
        const Remote remote = remoteFor(QStringLiteral("r6"), QStringLiteral("::1"), echo6.port());
        QTcpSocket socket;
        QVERIFY(echoes(socket, bed->manager().route(remote), "over IPv6"));
        const QByteArray authority = "[::1]:" + QByteArray::number(echo6.port());
        QCOMPARE(bed->relay(0).connectLines(), QList<QByteArray>{"CONNECT " + authority + " HTTP/1.1"});
        QCOMPARE(bed->relay(0).hostHeaders(), QList<QByteArray>{authority});
    }

    void bytesAfterTheRelaysBlankLineReachTheClient()
    {
        auto bed = enabledBed(1);
        if (!bed)
            return;
        bed->relay(0).setBytesAfterAnswer("SSH-2.0-early-banner\r\n");
        const Remote remote = remoteFor(QStringLiteral("r1"), QStringLiteral("127.0.0.1"), m_echo.port());
        const Remote routed = bed->manager().route(remote);
        QTcpSocket socket;
        socket.connectToHost(routed.host, static_cast<quint16>(routed.port));
        QByteArray received;
        QVERIFY(QTest::qWaitFor(
            [&] {
                received += socket.readAll();
                return received.size() >= 22;
            },
            30000));
        QCOMPARE(received, QByteArray("SSH-2.0-early-banner\r\n"));
        QVERIFY(echoes(socket, routed, "and then the host"));
    }

    // The screen wall reports failed accelerated sessions; only transport failures change the path.
    void connectionFailureClassification()
    {
        auto bed = enabledBed();
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        QSignalSpy status(&manager, &AccelerationManager::statusChanged);
        QSignalSpy fallback(&manager, &AccelerationManager::fallbackToDirect);
        const Remote remote = remoteFor(QStringLiteral("w1"), QStringLiteral("127.0.0.1"), m_echo.port());
        const Remote routed = manager.route(remote);
        const QList<AccelerationNode> nodes = manager.nodes();
        QCOMPARE(nodes.size(), 3);

        // Which relay carries the next connection.
        const auto carrier = [&]() -> TestRelayNode* {
            QList<int> before;
            for (int i = 0; i < bed->relayCount(); ++i)
                before.append(static_cast<int>(bed->relay(i).connectLines().size()));
            QTcpSocket socket;
            if (!echoes(socket, routed, "which node?"))
                return nullptr;
            for (int i = 0; i < bed->relayCount(); ++i) {
                if (bed->relay(i).connectLines().size() > before.at(i))
                    return &bed->relay(i);
            }
            return nullptr;
        };

        for (const char* security :
             {"ERRCONNECT_TLS_CONNECT_FAILED: certificate verify failed",
              "Authentication failure, check credentials", "CredSSP 错误", "远程主机证书已变更",
              "登录失败：密码错误", "SECURITY negotiation connect failed"}) {
            QVERIFY2(!manager.handleConnectionFailure(remote.id, remote.name, text(security)), security);
        }
        for (const char* other : {"session closed by the administrator", "服务器已关闭会话"})
            QVERIFY2(!manager.handleConnectionFailure(remote.id, remote.name, text(other)), other);
        QVERIFY(status.isEmpty());
        QCOMPARE(carrier(), bed->relayOf(nodes.at(0)));

        QVERIFY(manager.handleConnectionFailure(remote.id, remote.name,
                                                text("ERRCONNECT_CONNECT_TRANSPORT_FAILED")));
        QCOMPARE(status.last().first().toString(), text("“%1”正在尝试其他加速节点…").arg(remote.name));
        QCOMPARE(carrier(), bed->relayOf(nodes.at(1)));
        QVERIFY(manager.handleConnectionFailure(remote.id, remote.name, text("网络超时")));
        QCOMPARE(carrier(), bed->relayOf(nodes.at(2)));
        QVERIFY(fallback.isEmpty());

        // Going direct is announced as under way; that it was tried, once the connection was made.
        QVERIFY(manager.handleConnectionFailure(remote.id, remote.name, text("无法连接到远程计算机")));
        QCOMPARE(status.last().first().toString(),
                 text("“%1”的加速节点均不可用，正在直接连接…").arg(remote.name));
        QVERIFY(fallback.isEmpty());
        QCOMPARE(manager.directRemoteIds(), QSet<QString>{remote.id});
        const int connects = connectCount(*bed);
        QTcpSocket direct;
        QVERIFY(echoes(direct, routed, "direct now"));
        QCOMPARE(connectCount(*bed), connects);
        QCOMPARE(fallback.size(), 1);
        QCOMPARE(fallback.first().at(0).toString(), remote.id);
        QVERIFY(!manager.handleConnectionFailure(remote.id, remote.name, text("socket error")));

        // Other hosts keep their own node index.
        QVERIFY(
            manager.handleConnectionFailure(QStringLiteral("w2"), QStringLiteral("other"), text("timeout")));
        manager.disableAcceleration();
        QVERIFY(
            !manager.handleConnectionFailure(QStringLiteral("w2"), QStringLiteral("other"), text("timeout")));
    }

    // A side that closes right after its last bytes loses none of them in the tunnel or the relay,
    // in either direction.
    void lastBytesBeforeACloseArrive_data()
    {
        QTest::addColumn<bool>("hostSends");
        // A client that takes its bytes slowly fills the kernel's buffers: the tunnel's writes to it
        // are taken in part and the rest queued.
        QTest::addColumn<bool>("clientReadsSlowly");
        QTest::newRow("host sends and closes") << true << false;
        QTest::newRow("host sends and closes, client reads slowly") << true << true;
        QTest::newRow("client sends and closes") << false << false;
    }

    void lastBytesBeforeACloseArrive()
    {
        QFETCH(bool, hostSends);
        QFETCH(bool, clientReadsSlowly);
        auto bed = enabledBed(1);
        if (!bed)
            return;
        const QByteArray payload = pattern(6 * 1024 * 1024 + 123);
        QTcpServer host;
        QVERIFY(host.listen(QHostAddress::LocalHost));
        QByteArray hostReceived;
        bool hostSawEnd = false;
        connect(&host, &QTcpServer::newConnection, &host, [&] {
            QTcpSocket* socket = host.nextPendingConnection();
            if (hostSends) {
                socket->write(payload);
                socket->disconnectFromHost(); // closes once the bytes are written
                return;
            }
            connect(socket, &QTcpSocket::readyRead, socket,
                    [&, socket] { hostReceived += socket->readAll(); });
            connect(socket, &QTcpSocket::disconnected, socket, [&, socket] {
                hostReceived += socket->readAll();
                hostSawEnd = true;
            });
        });

        const Remote routed = bed->manager().route(
            remoteFor(QStringLiteral("tail"), QStringLiteral("127.0.0.1"), host.serverPort()));
        QTcpSocket client;
        client.connectToHost(routed.host, static_cast<quint16>(routed.port));
        QVERIFY(QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, 30000));
        if (clientReadsSlowly)
            client.setReadBufferSize(16 * 1024);
        if (hostSends) {
            QByteArray received;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    received += client.readAll();
                    return client.state() == QAbstractSocket::UnconnectedState;
                },
                120000));
            received += client.readAll();
            QCOMPARE(received.size(), payload.size());
            QVERIFY(received == payload);
        } else {
            // Wait until the relay carries the connection, so the bytes take the relayed path.
            QVERIFY(QTest::qWaitFor([&] { return bed->relay(0).openRelays() == 1; }, 30000));
            client.write(payload);
            client.disconnectFromHost();
            QVERIFY(QTest::qWaitFor([&] { return hostSawEnd; }, 120000));
            QCOMPARE(hostReceived.size(), payload.size());
            QVERIFY(hostReceived == payload);
        }
        QCOMPARE(bed->relay(0).connectLines().size(), 1);
        QVERIFY(QTest::qWaitFor([&] { return bed->manager().tunnelCount() == 0; }, 60000));
    }

    void disableClosesEveryTunnelAtOnce()
    {
        auto bed = enabledBed(2);
        if (!bed)
            return;
        AccelerationManager& manager = bed->manager();
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 3; ++i) {
            const Remote remote =
                remoteFor(QStringLiteral("d%1").arg(i), QStringLiteral("127.0.0.1"), m_echo.port());
            clients.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(echoes(*clients.back(), manager.route(remote), "live"));
        }
        QCOMPARE(manager.tunnelCount(), 3);
        QVERIFY(QTest::qWaitFor([&] { return bed->relay(0).openRelays() + bed->relay(1).openRelays() == 3; },
                                30000));

        manager.disableAcceleration();
        QCOMPARE(manager.tunnelCount(), 0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(clients.begin(), clients.end(), [](const auto& client) {
                    return client->state() == QAbstractSocket::UnconnectedState;
                });
            },
            30000));
        QVERIFY(QTest::qWaitFor([&] { return bed->relay(0).openRelays() + bed->relay(1).openRelays() == 0; },
                                30000));
        // Sessions reconnect directly.
        const Remote remote = remoteFor(QStringLiteral("d0"), QStringLiteral("127.0.0.1"), m_echo.port());
        QCOMPARE(manager.route(remote), remote);
        QTcpSocket direct;
        QVERIFY(echoes(direct, manager.route(remote), "direct"));
    }
};

QTEST_GUILESS_MAIN(TestAccelerationTunnel)
#include "test_acceleration_tunnel.moc"
