#include "network/acceleration_manager.h"

#include <QTest>

class TestAccelerationManager : public QObject
{
    Q_OBJECT

private slots:
    void oneManagerOwnedByTheApplication()
    {
        AccelerationManager* first = AccelerationManager::instance();
        QVERIFY(first != nullptr);
        QCOMPARE(AccelerationManager::instance(), first);
        QCOMPARE(first->parent(), QCoreApplication::instance());
        QVERIFY(!first->isEnabled());
        QVERIFY(first->directRemoteIds().isEmpty());
    }

    void routesDirectWhileOff_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("rdp") << "rdp"
                             << "10.0.0.5" << 3389;
        QTest::newRow("ssh") << "SSH"
                             << "db.example.com" << 22;
        QTest::newRow("empty host") << "rdp"
                                    << "" << 3389;
        QTest::newRow("port out of range") << "ssh"
                                           << "h" << 70000;
    }

    void routesDirectWhileOff()
    {
        QFETCH(QString, protocol);
        QFETCH(QString, host);
        QFETCH(int, port);
        Remote remote;
        remote.id = QStringLiteral("r1");
        remote.name = QStringLiteral("机房-01");
        remote.host = host;
        remote.port = port;
        remote.protocol = protocol;
        remote.username = QStringLiteral("admin");
        remote.password = QStringLiteral("pw");
        remote.group_id = QStringLiteral("default");
        remote.created_at = QDateTime::currentDateTimeUtc();

        AccelerationManager* manager = AccelerationManager::instance();
        QCOMPARE(manager->route(remote), remote);
        QVERIFY(!manager->handleConnectionFailure(remote.id, remote.name, QStringLiteral("超时")));
    }
};

QTEST_GUILESS_MAIN(TestAccelerationManager)
#include "test_acceleration_manager.moc"
