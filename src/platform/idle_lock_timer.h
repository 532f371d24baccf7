#pragma once

#include <QObject>
#include <QTimer>

class IClock;

// Asks for a lock after the user has given the program no input for a while. It watches input to every
// window of the program through an event filter on the application object; only real input counts
// (keys, mouse, wheel, touch, tablet), not the paint and timer events a busy remote picture produces.
// The filter only stores the time; a coarse timer wakes up and the clock decides, so a test with a fake
// clock calls check() instead of waiting.
class IdleLockTimer : public QObject
{
    Q_OBJECT
public:
    // `clock` must outlive the timer; nullptr means the system's steady clock.
    explicit IdleLockTimer(const IClock* clock = nullptr, QObject* parent = nullptr);
    ~IdleLockTimer() override;

    // Seconds without input until idleTimeoutReached(); <= 0 turns the timer off. Counts from the last
    // input already seen, so a shorter timeout can fire at the next check.
    void setTimeoutSeconds(int seconds);
    int timeoutSeconds() const { return m_timeoutSeconds; }
    // Turning the timer on starts a fresh count.
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }

    // Input the event filter cannot see (another process's window, a global shortcut).
    void noteActivity();
    // Starts a fresh count and allows the next timeout, e.g. after the program was unlocked.
    void restart();
    // Fires idleTimeoutReached() if the timeout has passed since the last input, else re-arms the wake-up.
    void check();

    // Whether `type` is user input that keeps the program awake.
    static bool isUserInput(int type);

signals:
    // Once per idle period; again only after new input and another full timeout.
    void idleTimeoutReached();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool isRunning() const { return m_enabled && m_timeoutSeconds > 0; }
    void arm();

    const IClock* m_clock;
    QTimer m_wakeUp;
    int m_timeoutSeconds = 0;
    bool m_enabled = true;
    bool m_fired = false;
    qint64 m_lastInputMs = 0;
};
