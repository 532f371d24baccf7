#include "storage/auto_lock.h"

#include "logger.h"
#include "platform/desktop_lock_monitor.h"
#include "platform/idle_lock_timer.h"
#include "storage/app_lock.h"
#include "storage/config_manager.h"

AutoLock::AutoLock(AppLock* lock, ConfigManager* config, IdleLockTimer* idle, IDesktopLockMonitor* desktop,
                   QObject* parent)
    : QObject(parent), m_lock(lock), m_config(config), m_idle(idle)
{
    connect(m_idle, &IdleLockTimer::idleTimeoutReached, this, [this] {
        if (isActive()) {
            SPDLOG_INFO("长时间无操作，自动锁定");
        }
        lockIfActive();
    });
    if (desktop) {
        connect(desktop, &IDesktopLockMonitor::desktopLocked, this, [this] {
            if (isActive() && !m_lock->isLocked()) {
                SPDLOG_INFO("桌面已锁定，程序随之锁定");
            }
            lockIfActive();
        });
    }
    connect(m_config, &ConfigManager::configChanged, this, &AutoLock::apply);
    connect(m_lock, &AppLock::locked, this, &AutoLock::apply);
    connect(m_lock, &AppLock::unlocked, this, [this] {
        apply();
        m_idle->restart();
    });
    apply();
}

bool AutoLock::isActive() const
{
    return m_config->config().auto_lock && m_lock->isAvailable();
}

void AutoLock::apply()
{
    m_idle->setTimeoutSeconds(m_config->config().auto_lock_timeout);
    m_idle->setEnabled(isActive() && !m_lock->isLocked());
}

void AutoLock::lockIfActive()
{
    if (isActive()) {
        m_lock->lock();
    }
}
