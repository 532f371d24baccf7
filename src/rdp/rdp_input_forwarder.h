#pragma once

#include "rdp/freerdp_input.h"

#include <QPair>
#include <QPoint>
#include <QSet>
#include <QSize>

#include <functional>

class QEvent;
class QWidget;

// Forwards mouse, wheel, keyboard and input-method events of the widget that shows a FreeRDP session to
// that session, mapped to remote desktop coordinates; remembers what is held down so that nothing stays
// pressed on the remote side when the widget loses the focus.
class RdpInputForwarder
{
public:
    using Sink = std::function<void(const InputEvent& event)>;
    using FrameSize = std::function<QSize()>;

    RdpInputForwarder(QWidget* surface, FrameSize frameSize, Sink send)
        : m_surface(surface), m_frameSize(std::move(frameSize)), m_send(std::move(send))
    {
    }

    // True when the event was sent (or is to go nowhere else).
    bool handle(QEvent* event);
    // Releases every held key and button on the remote side.
    void releasePressed();
    // Forgets what is held without sending anything: the session is gone.
    void forget()
    {
        m_pressedButtons.clear();
        m_pressedKeys.clear();
        releaseMouseGrab();
    }

private:
    void releaseMouseGrab();

    QWidget* m_surface;
    FrameSize m_frameSize;
    Sink m_send;
    QPoint m_lastPosition{-1, -1};
    QSet<int> m_pressedButtons;
    QSet<QPair<int, int>> m_pressedKeys;
};
