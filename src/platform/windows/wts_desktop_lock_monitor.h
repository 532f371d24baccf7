#pragma once

#include "platform/desktop_lock_monitor.h"

#include <QAbstractNativeEventFilter>

// The desktop lock on Windows: the session notifications (WTSRegisterSessionNotification) of a
// hidden message window, and the system going to sleep.
class WtsDesktopLockMonitor : public IDesktopLockMonitor, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    explicit WtsDesktopLockMonitor(QObject* parent = nullptr);
    ~WtsDesktopLockMonitor() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    void* m_window = nullptr;
};
