#pragma once

#include "platform/desktop_lock_monitor.h"

// Stand-in for the desktop's lock announcements: the test says when the desktop locks.
class FakeDesktopLockMonitor : public IDesktopLockMonitor
{
    Q_OBJECT
public:
    using IDesktopLockMonitor::IDesktopLockMonitor;

    void lockDesktop() { emit desktopLocked(); }
};
