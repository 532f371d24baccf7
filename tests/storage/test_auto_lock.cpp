#include "platform/clock.h"
#include "platform/idle_lock_timer.h"
#include "storage/app_lock.h"
#include "storage/auto_lock.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/master_key_record.h"
#include "support/fake_data_protection.h"
#include "support/fake_desktop_lock_monitor.h"
#include "support/manual_clock.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

// When the program locks by itself: which settings and which source lead to a lock.
class TestAutoLock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        MasterKeyRecord::setSealingLimits({crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN});
    }

    void locksOnlyWhenOnAndPossible_data()
    {
        QTest::addColumn<bool>("autoLock");
        QTest::addColumn<bool>("masterPassword");
        QTest::addColumn<QString>("source"); // "idle", "almost idle", "desktop"
        QTest::addColumn<bool>("locks");
        QTest::newRow("idle for the timeout") << true << true << "idle" << true;
        QTest::newRow("idle a second short") << true << true << "almost idle" << false;
        QTest::newRow("desktop locked") << true << true << "desktop" << true;
        QTest::newRow("auto-lock off, idle") << false << true << "idle" << false;
        QTest::newRow("auto-lock off, desktop") << false << true << "desktop" << false;
        QTest::newRow("no master password, idle") << true << false << "idle" << false;
        QTest::newRow("no master password, desktop") << true << false << "desktop" << false;
    }

    void locksOnlyWhenOnAndPossible()
    {
        QFETCH(bool, autoLock);
        QFETCH(bool, masterPassword);
        QFETCH(QString, source);
        QFETCH(bool, locks);
        CryptoManager crypto(std::make_unique<FakeDataProtection>());
        QTemporaryDir dir;
        QVERIFY(crypto.initialize(dir.filePath(QStringLiteral("credential.key"))));
        if (masterPassword) {
            QVERIFY(crypto.setMasterPassword({}, QStringLiteral("auto lock 1"), nullptr));
        }
        ManualClock clock;
        AppLock lock(&crypto, &clock);
        ConfigManager config;
        config.setAutoLock(autoLock);
        config.setAutoLockTimeout(120);
        IdleLockTimer idle(&clock);
        FakeDesktopLockMonitor desktop;
        AutoLock autoLocker(&lock, &config, &idle, &desktop);

        if (source == QLatin1String("desktop")) {
            desktop.lockDesktop();
        } else {
            clock.now += source == QLatin1String("idle") ? 120 * 1000 : 119 * 1000;
            idle.check();
        }
        QCOMPARE(lock.isLocked(), locks);
        QCOMPARE(crypto.isLocked(), locks);
    }

    // The timeout follows the settings, and after an unlock a full new one must pass.
    void timeoutFollowsSettingsAndRestartsAfterUnlock()
    {
        CryptoManager crypto(std::make_unique<FakeDataProtection>());
        QTemporaryDir dir;
        QVERIFY(crypto.initialize(dir.filePath(QStringLiteral("credential.key"))));
        QVERIFY(crypto.setMasterPassword({}, QStringLiteral("auto lock 2"), nullptr));
        ManualClock clock;
        AppLock lock(&crypto, &clock);
        ConfigManager config;
        config.setAutoLockTimeout(600);
        IdleLockTimer idle(&clock);
        AutoLock autoLocker(&lock, &config, &idle, nullptr);

        clock.now += 300 * 1000;
        idle.check();
        QVERIFY(!lock.isLocked());
        config.setAutoLockTimeout(300);
        autoLocker.apply(); // as after the settings were saved
        idle.check();
        QVERIFY(lock.isLocked());

        QSignalSpy unlocked(&lock, &AppLock::unlocked);
        QVERIFY(lock.unlock(QStringLiteral("auto lock 2")));
        QVERIFY(unlocked.wait(10000));
        clock.now += 299 * 1000;
        idle.check();
        QVERIFY(!lock.isLocked());
        clock.now += 1000;
        idle.check();
        QVERIFY(lock.isLocked());
    }
};

QTEST_GUILESS_MAIN(TestAutoLock)
#include "test_auto_lock.moc"
