#include "network/acceleration_manager.h"
#include "storage/app_config.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

    void tokenRenewalEveryEightMinutes()
    {
        AccelerationManager manager;
        auto* timer = manager.findChild<QTimer*>();
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 480000);
        QVERIFY(!timer->isSingleShot());
        QVERIFY(!timer->isActive());
        QCOMPARE(AccelerationManager::kNodeTimeoutMs, 9000);
    }

    // [acceleration] service_url and ca_certificates move the service; unusable values keep the built-in one.
    void serviceAddressFromConfiguration()
    {
        const QString builtIn = QString::fromLatin1(AccelerationManager::kDefaultServiceUrl);
        AccelerationManager manager;
        QCOMPARE(manager.serviceUrl(), builtIn);
        AppConfig config;
        applyAccelerationServiceConfig(manager, config);
        QCOMPARE(manager.serviceUrl(), builtIn);

        config.acceleration_service_url = QStringLiteral("https://accel.example.org:8443/staging/");
        QVERIFY(applyAccelerationServiceConfig(manager, config));
        QCOMPARE(manager.serviceUrl(), QStringLiteral("https://accel.example.org:8443/staging"));

        for (const char* unusable :
             {"http://accel.example.org", "ftp://127.0.0.1", "https://user@accel.example.org"}) {
            AccelerationManager other;
            config.acceleration_service_url = QString::fromLatin1(unusable);
            QVERIFY2(!applyAccelerationServiceConfig(other, config), unusable);
            QCOMPARE(other.serviceUrl(), builtIn);
        }

        QTemporaryDir dir;
        AccelerationManager withoutRoots;
        config.acceleration_service_url = QStringLiteral("https://127.0.0.1:9443");
        config.acceleration_ca_certificates = dir.filePath(QStringLiteral("missing.pem"));
        QVERIFY(!applyAccelerationServiceConfig(withoutRoots, config));
        QCOMPARE(withoutRoots.serviceUrl(), builtIn);
    }
};

QTEST_GUILESS_MAIN(TestAccelerationManager)
#include "test_acceleration_manager.moc"
