#pragma once

#include <QObject>

class AppLock;
class ConfigManager;
class IDesktopLockMonitor;
class IdleLockTimer;

// When the program locks by itself: after `[security] auto_lock_timeout` seconds without input, and
// when the desktop locks or goes to sleep, both only with `auto_lock` on and a master password set
// (without one a lock could not be undone by proving who one is).
class AutoLock : public QObject
{
    Q_OBJECT

public:
    // Nothing is owned; all must outlive this object. `desktop` may be null.
    AutoLock(AppLock* lock, ConfigManager* config, IdleLockTimer* idle, IDesktopLockMonitor* desktop,
             QObject* parent = nullptr);

    bool isActive() const;

public slots:
    // Reads the settings and whether a master password is set again.
    void apply();

private:
    void lockIfActive();

    AppLock* m_lock;
    ConfigManager* m_config;
    IdleLockTimer* m_idle;
};
