#include "platform/dbus_desktop_lock_monitor.h"

#include "logger.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kLogindSession = QStringLiteral("org.freedesktop.login1.Session");

// The screen savers that announce their state with ActiveChanged(bool), on any object path.
const char* const kScreenSaverInterfaces[] = {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver",
                                              "org.mate.ScreenSaver", "org.cinnamon.ScreenSaver"};

} // namespace

DbusDesktopLockMonitor::DbusDesktopLockMonitor(const QDBusConnection& sessionBus,
                                               const QDBusConnection& systemBus, QObject* parent)
    : IDesktopLockMonitor(parent), m_sessionBus(sessionBus), m_systemBus(systemBus)
{
    if (m_sessionBus.isConnected()) {
        // Any sender: each desktop has its own service name. The slot's (bool) makes Qt drop signals with
        // another signature.
        for (const char* iface : kScreenSaverInterfaces) {
            m_sessionBus.connect(QString(), QString(), QString::fromLatin1(iface),
                                 QStringLiteral("ActiveChanged"), this,
                                 SLOT(onScreenSaverActiveChanged(bool)));
        }
    } else {
        SPDLOG_INFO("没有会话总线，不监听屏幕保护程序的锁定");
    }
    if (!m_systemBus.isConnected()) {
        SPDLOG_INFO("没有系统总线，不监听会话锁定和休眠");
        return;
    }
    m_systemBus.connect(kLogindService, kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"), this,
                        SLOT(onPrepareForSleep(bool)));
    askSession(QStringLiteral("GetSessionByPID"),
               QVariant::fromValue(uint(QCoreApplication::applicationPid())));
}

void DbusDesktopLockMonitor::askSession(const QString& method, const QVariant& argument)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, method);
    call << argument;
    // Asynchronous: start-up does not wait for logind.
    auto* watcher = new QDBusPendingCallWatcher(m_systemBus.asyncCall(call), this);
    const bool byProcess = method == QLatin1String("GetSessionByPID");
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, byProcess](QDBusPendingCallWatcher* finished) { sessionFound(finished, byProcess); });
}

void DbusDesktopLockMonitor::sessionFound(QDBusPendingCallWatcher* call, bool byProcess)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *call;
    if (reply.isError()) {
        // A process started outside the session (a service, a container) may still know its session id.
        const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
        if (byProcess && !sessionId.isEmpty()) {
            askSession(QStringLiteral("GetSession"), sessionId);
        } else {
            SPDLOG_INFO("找不到本进程的登录会话，不监听会话锁定: {}", reply.error().message());
        }
        return;
    }
    m_sessionPath = reply.value().path();
    m_systemBus.connect(kLogindService, m_sessionPath, kLogindSession, QStringLiteral("Lock"), this,
                        SLOT(onSessionLock()));
    SPDLOG_INFO("监听登录会话的锁定: {}", m_sessionPath);
}

void DbusDesktopLockMonitor::onScreenSaverActiveChanged(bool active)
{
    if (!active) {
        return;
    }
    SPDLOG_INFO("桌面锁定信号: {}.ActiveChanged", message().interface());
    emit desktopLocked();
}

void DbusDesktopLockMonitor::onPrepareForSleep(bool sleeping)
{
    if (!sleeping) {
        return;
    }
    SPDLOG_INFO("桌面锁定信号: {}", QStringLiteral("PrepareForSleep"));
    emit desktopLocked();
}

void DbusDesktopLockMonitor::onSessionLock()
{
    SPDLOG_INFO("桌面锁定信号: {}", QStringLiteral("Lock"));
    emit desktopLocked();
}

std::unique_ptr<IDesktopLockMonitor> createDesktopLockMonitor()
{
    return std::make_unique<DbusDesktopLockMonitor>(QDBusConnection::sessionBus(),
                                                    QDBusConnection::systemBus());
}
