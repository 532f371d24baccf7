#pragma once

#include <QColor>
#include <QPoint>
#include <QString>

#include <functional>
#include <map>

struct _XDisplay;

// Watches the top-level windows of one X display through the Damage extension. The watcher sleeps in
// poll() on its X connection until the X server reports a change, and then reads one pixel per changed
// window: it takes no CPU from the clients it watches while nothing happens (unlike sampling the screen).
class DamageWatch
{
public:
    DamageWatch() = default;
    ~DamageWatch();
    DamageWatch(const DamageWatch&) = delete;
    DamageWatch& operator=(const DamageWatch&) = delete;

    bool open(const QString& displayName, QString* error);

    // A top-level window was mapped: its id and the process that owns it (_NET_WM_PID, 0 if unknown).
    std::function<void(unsigned long window, qint64 pid)> onMapped;
    // A watched window changed: the colour of its probe pixel, read right after the event, and when the
    // event was taken (CLOCK_MONOTONIC nanoseconds).
    std::function<void(unsigned long window, const QColor& colour, qint64 atNs)> onChanged;

    // Reports changes of `window` with the colour at `probe` (window coordinates).
    void watch(unsigned long window, const QPoint& probe);
    void moveWindow(unsigned long window, const QPoint& to);
    QColor pixel(unsigned long window, const QPoint& at);

    // Sleeps on the connection and dispatches events until done() holds or the time is up; returns
    // done(). Pass a done() that is always false to just watch for a while.
    bool runUntil(const std::function<bool()>& done, int timeoutMs);

private:
    void dispatchPending(qint64 atNs);
    qint64 pidOf(unsigned long window);

    _XDisplay* m_display = nullptr;
    int m_damageEvent = 0;
    struct Watched
    {
        unsigned long damage;
        QPoint probe;
    };
    std::map<unsigned long, Watched> m_watched;
};
