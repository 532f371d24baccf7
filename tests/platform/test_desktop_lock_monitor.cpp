#include "platform/dbus_desktop_lock_monitor.h"
#include "support/log_capture.h"
#include "support/test_environment.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/_31");

// logind's manager as far as the monitor uses it.
class FakeLogind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    uint askedPid = 0;

public slots:
    QDBusObjectPath GetSessionByPID(uint pid)
    {
        askedPid = pid;
        return QDBusObjectPath(kSessionPath);
    }
};

// Receives a signal sent after the one under test: signals from one sender arrive in order, so once it
// is here the monitor has seen the one before.
class Marker : public QObject
{
    Q_OBJECT
public slots:
    void seen() { emit arrived(); }
signals:
    void arrived();
};

} // namespace

class TestDesktopLockMonitor : public QObject
{
    Q_OBJECT

private slots:
    void missingBusesAreNoError()
    {
        QTemporaryDir dir;
        ScopedEnvironment env;
        env.unset("DBUS_SESSION_BUS_ADDRESS");
        env.set("XDG_RUNTIME_DIR", dir.path());
        env.set("DBUS_SYSTEM_BUS_ADDRESS",
                QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("none")));
        LogCapture log;
        const std::unique_ptr<IDesktopLockMonitor> monitor = createDesktopLockMonitor();
        QVERIFY(monitor);
        QVERIFY(log.contains(QStringLiteral("没有会话总线")));
        QVERIFY(log.contains(QStringLiteral("没有系统总线")));
    }

    void initTestCase()
    {
        m_daemon.start(
            QStringLiteral("/usr/bin/dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        QVERIFY2(m_daemon.waitForStarted(5000), "dbus-daemon (package dbus-daemon) does not start");
        for (int i = 0; i < 50 && !m_daemon.canReadLine(); ++i) {
            m_daemon.waitForReadyRead(100);
        }
        const QString address = QString::fromUtf8(m_daemon.readLine().trimmed());
        QVERIFY(!address.isEmpty());
        m_bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("monitor")));
        m_peer =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, QStringLiteral("peer")));
        m_stranger = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("stranger")));
        QVERIFY(m_bus->isConnected() && m_peer->isConnected() && m_stranger->isConnected());
        QVERIFY(m_peer->registerService(QStringLiteral("org.freedesktop.login1")));
        QVERIFY(m_peer->registerObject(QStringLiteral("/org/freedesktop/login1"), &m_logind,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(m_bus->connect(QString(), QStringLiteral("/test"), QStringLiteral("org.example.Test"),
                               QStringLiteral("Done"), &m_marker, SLOT(seen())));

        // The same private bus stands in for the session and the system bus.
        m_monitor = std::make_unique<DbusDesktopLockMonitor>(*m_bus, *m_bus);
        QTRY_COMPARE_WITH_TIMEOUT(m_monitor->sessionPath(), kSessionPath, 5000);
        QCOMPARE(m_logind.askedPid, uint(QCoreApplication::applicationPid()));
    }

    void firesOnLockSignals_data()
    {
        QTest::addColumn<bool>("fromLogind");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("iface");
        QTest::addColumn<QString>("member");
        QTest::addColumn<QVariant>("argument");
        QTest::addColumn<bool>("fires");
        const QString saver = QStringLiteral("/org/freedesktop/ScreenSaver");
        const QString manager = QStringLiteral("/org/freedesktop/login1");
        const QString active = QStringLiteral("ActiveChanged");
        const QString sleep = QStringLiteral("PrepareForSleep");
        const QString freedesktop = QStringLiteral("org.freedesktop.ScreenSaver");
        const QString logind = QStringLiteral("org.freedesktop.login1.Manager");
        const QString session = QStringLiteral("org.freedesktop.login1.Session");
        QTest::newRow("screen saver on") << false << saver << freedesktop << active << QVariant(true) << true;
        QTest::newRow("screen saver off")
            << false << saver << freedesktop << active << QVariant(false) << false;
        QTest::newRow("wrong signature")
            << false << saver << freedesktop << active << QVariant(QStringLiteral("true")) << false;
        QTest::newRow("gnome") << false << QStringLiteral("/org/gnome/ScreenSaver")
                               << QStringLiteral("org.gnome.ScreenSaver") << active << QVariant(true) << true;
        QTest::newRow("unknown interface") << false << saver << QStringLiteral("org.example.ScreenSaver")
                                           << active << QVariant(true) << false;
        QTest::newRow("going to sleep") << true << manager << logind << sleep << QVariant(true) << true;
        QTest::newRow("waking up") << true << manager << logind << sleep << QVariant(false) << false;
        QTest::newRow("sleep not from logind")
            << false << manager << logind << sleep << QVariant(true) << false;
        QTest::newRow("session lock")
            << true << kSessionPath << session << QStringLiteral("Lock") << QVariant() << true;
        QTest::newRow("another session's lock")
            << true << QStringLiteral("/org/freedesktop/login1/session/_32") << session
            << QStringLiteral("Lock") << QVariant() << false;
    }

    void firesOnLockSignals()
    {
        QFETCH(bool, fromLogind);
        QFETCH(QString, path);
        QFETCH(QString, iface);
        QFETCH(QString, member);
        QFETCH(QVariant, argument);
        QFETCH(bool, fires);
        QSignalSpy locked(m_monitor.get(), &IDesktopLockMonitor::desktopLocked);
        QSignalSpy marker(&m_marker, &Marker::arrived);
        QDBusConnection& sender = fromLogind ? *m_peer : *m_stranger;
        QDBusMessage signal = QDBusMessage::createSignal(path, iface, member);
        if (argument.isValid()) {
            signal << argument;
        }
        QVERIFY(sender.send(signal));
        QVERIFY(sender.send(QDBusMessage::createSignal(
            QStringLiteral("/test"), QStringLiteral("org.example.Test"), QStringLiteral("Done"))));
        QVERIFY(marker.wait(5000));
        QCOMPARE(locked.count(), fires ? 1 : 0);
    }

    void cleanupTestCase()
    {
        m_monitor.reset();
        for (const char* name : {"monitor", "peer", "stranger"}) {
            QDBusConnection::disconnectFromBus(QString::fromLatin1(name));
        }
        m_daemon.terminate();
        QVERIFY(m_daemon.waitForFinished(5000));
    }

private:
    QProcess m_daemon;
    std::unique_ptr<QDBusConnection> m_bus;
    std::unique_ptr<QDBusConnection> m_peer;
    std::unique_ptr<QDBusConnection> m_stranger;
    FakeLogind m_logind;
    Marker m_marker;
    std::unique_ptr<DbusDesktopLockMonitor> m_monitor;
};

QTEST_GUILESS_MAIN(TestDesktopLockMonitor)
#include "test_desktop_lock_monitor.moc"
