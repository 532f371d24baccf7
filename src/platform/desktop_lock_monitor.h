#pragma once

#include <QObject>

#include <memory>

// Tells when the desktop itself locks (screen saver lock, session lock, the machine going to sleep), so
// the program can lock along with it.
class IDesktopLockMonitor : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~IDesktopLockMonitor() override = default;

signals:
    // May come more than once for one lock (several desktop services announce it); locking twice must
    // be harmless.
    void desktopLocked();
};

// The monitor for this desktop on the user's session bus and the system bus; without a bus it never fires.
std::unique_ptr<IDesktopLockMonitor> createDesktopLockMonitor();
