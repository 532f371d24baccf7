#include "damage_watch.h"

#include "process_figures.h"

#include <QElapsedTimer>

#include <poll.h>
#include <set>

// Xlib last: its macros (None, Bool, KeyPress, ...) collide with names in the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

namespace {

// A window that is gone or not viewable makes requests fail; that must not end the benchmark.
int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

DamageWatch::~DamageWatch()
{
    if (m_display) {
        XCloseDisplay(m_display);
    }
}

bool DamageWatch::open(const QString& displayName, QString* error)
{
    XSetErrorHandler(&ignoreXError);
    m_display = XOpenDisplay(displayName.toLatin1().constData());
    if (!m_display) {
        *error = QStringLiteral("cannot open display ") + displayName;
        return false;
    }
    int damageError = 0;
    if (!XDamageQueryExtension(m_display, &m_damageEvent, &damageError)) {
        *error = QStringLiteral("no Damage extension on ") + displayName;
        return false;
    }
    XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
    XSync(m_display, False);
    return true;
}

void DamageWatch::watch(unsigned long window, const QPoint& probe)
{
    // One event when the window goes from undamaged to damaged; subtracting re-arms it.
    const Damage damage = XDamageCreate(m_display, window, XDamageReportNonEmpty);
    m_watched[window] = {damage, probe};
    XFlush(m_display);
}

void DamageWatch::moveWindow(unsigned long window, const QPoint& to)
{
    XMoveWindow(m_display, window, to.x(), to.y());
    XFlush(m_display);
}

QColor DamageWatch::pixel(unsigned long window, const QPoint& at)
{
    XImage* image = XGetImage(m_display, window, at.x(), at.y(), 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        return {};
    }
    const unsigned long value = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return QColor(static_cast<QRgb>(value & 0xFFFFFFU));
}

qint64 DamageWatch::pidOf(unsigned long window)
{
    const Atom pidAtom = XInternAtom(m_display, "_NET_WM_PID", True);
    if (pidAtom == 0) {
        return 0;
    }
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    qint64 pid = 0;
    if (XGetWindowProperty(m_display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                           &after, &data) == Success &&
        data) {
        if (items == 1) {
            pid = static_cast<qint64>(*reinterpret_cast<unsigned long*>(data));
        }
        XFree(data);
    }
    return pid;
}

void DamageWatch::dispatchPending(qint64 atNs)
{
    std::set<unsigned long> changed;
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == m_damageEvent + XDamageNotify) {
            const auto* notify = reinterpret_cast<const XDamageNotifyEvent*>(&event);
            XDamageSubtract(m_display, notify->damage, 0, 0);
            changed.insert(notify->drawable);
        } else if (event.type == MapNotify && event.xmap.event == DefaultRootWindow(m_display)) {
            if (onMapped) {
                onMapped(event.xmap.window, pidOf(event.xmap.window));
            }
        }
    }
    // One image read per changed window, however many events it sent.
    for (const unsigned long window : changed) {
        const auto watched = m_watched.find(window);
        if (watched != m_watched.end() && onChanged) {
            onChanged(window, pixel(window, watched->second.probe), atNs);
        }
    }
}

bool DamageWatch::runUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    dispatchPending(ProcessFigures::monotonicNs());
    while (!done()) {
        const qint64 left = timeoutMs - waited.elapsed();
        if (left <= 0) {
            return false;
        }
        // Flush first: writing can read what the server sent into the library's buffers, where poll()
        // would not see it. Replies to the pixel reads may have brought events along the same way.
        XFlush(m_display);
        if (XEventsQueued(m_display, QueuedAfterReading) == 0) {
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            poll(&connection, 1, static_cast<int>(left));
        }
        dispatchPending(ProcessFigures::monotonicNs());
    }
    return true;
}
