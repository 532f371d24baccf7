#include "platform/idle_lock_timer.h"

#include "logger.h"
#include "platform/clock.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

namespace {

// Longer waits are split into several wake-ups: QTimer takes an int of milliseconds.
constexpr qint64 kLongestWakeUpMs = 3600 * 1000;

} // namespace

IdleLockTimer::IdleLockTimer(const IClock* clock, QObject* parent)
    : QObject(parent), m_clock(clock ? clock : &steadyClock())
{
    m_wakeUp.setSingleShot(true);
    m_wakeUp.setTimerType(Qt::CoarseTimer);
    connect(&m_wakeUp, &QTimer::timeout, this, &IdleLockTimer::check);
    m_lastInputMs = m_clock->nowMs();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
    }
}

IdleLockTimer::~IdleLockTimer()
{
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeEventFilter(this);
    }
}

void IdleLockTimer::setTimeoutSeconds(int seconds)
{
    m_timeoutSeconds = std::max(seconds, 0);
    arm();
}

void IdleLockTimer::setEnabled(bool enabled)
{
    if (enabled == m_enabled) {
        return;
    }
    m_enabled = enabled;
    if (enabled) {
        restart();
    } else {
        m_wakeUp.stop();
    }
}

void IdleLockTimer::noteActivity()
{
    m_lastInputMs = m_clock->nowMs();
    // The armed wake-up stays as it is and re-arms itself from the new time when it comes; only after a
    // timeout has fired does input have to start a new wait.
    if (m_fired) {
        m_fired = false;
        arm();
    }
}

void IdleLockTimer::restart()
{
    m_lastInputMs = m_clock->nowMs();
    m_fired = false;
    arm();
}

void IdleLockTimer::check()
{
    if (!isRunning() || m_fired) {
        return;
    }
    const qint64 idleMs = m_clock->nowMs() - m_lastInputMs;
    if (idleMs < qint64(m_timeoutSeconds) * 1000) {
        arm();
        return;
    }
    m_fired = true;
    m_wakeUp.stop();
    SPDLOG_INFO("{} 秒无操作，请求锁定", idleMs / 1000);
    emit idleTimeoutReached();
}

void IdleLockTimer::arm()
{
    if (!isRunning() || m_fired) {
        m_wakeUp.stop();
        return;
    }
    const qint64 remainingMs = qint64(m_timeoutSeconds) * 1000 - (m_clock->nowMs() - m_lastInputMs);
    m_wakeUp.start(int(std::clamp<qint64>(remainingMs, 0, kLongestWakeUpMs)));
}

bool IdleLockTimer::isUserInput(int type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}

bool IdleLockTimer::eventFilter(QObject* watched, QEvent* event)
{
    if (isUserInput(event->type())) {
        noteActivity();
    }
    return QObject::eventFilter(watched, event);
}
