#pragma once

#include "platform/desktop_lock_monitor.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QString>

class QDBusPendingCallWatcher;

// Desktop locks on Linux, from D-Bus: the screen savers' ActiveChanged(true) on the session bus, and on
// the system bus logind's Lock for this process's session and PrepareForSleep(true).
class DbusDesktopLockMonitor : public IDesktopLockMonitor, protected QDBusContext
{
    Q_OBJECT
public:
    // A bus that is not connected is skipped.
    DbusDesktopLockMonitor(const QDBusConnection& sessionBus, const QDBusConnection& systemBus,
                           QObject* parent = nullptr);

    // logind's object path of this process's session once it is known, else empty.
    QString sessionPath() const { return m_sessionPath; }

private slots:
    void onScreenSaverActiveChanged(bool active);
    void onPrepareForSleep(bool sleeping);
    void onSessionLock();

private:
    void askSession(const QString& method, const QVariant& argument);
    void sessionFound(QDBusPendingCallWatcher* call, bool byProcess);

    QDBusConnection m_sessionBus;
    QDBusConnection m_systemBus;
    QString m_sessionPath;
};
