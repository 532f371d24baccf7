#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <deque>

typedef struct rdp_input rdpInput;

// One pending input event. The meaning of a..d depends on the kind:
// mouse move (x, y), mouse button (button, pressed, x, y), wheel (delta, x, y),
// key (virtual key, native scan code, pressed, auto-repeat); text carries its code units.
struct InputEvent
{
    enum Kind : qint32 {
        MouseMove = 1,
        MouseButton = 2,
        Wheel = 3,
        Key = 4,
        Text = 5,
    };

    qint32 kind = 0;
    qint32 a = 0;
    qint32 b = 0;
    qint32 c = 0;
    qint32 d = 0;
    QString text;
};

// Turns queued input events into FreeRDP's input PDUs (worker thread).
class FreeRdpInput
{
public:
    static constexpr int kMaxWheelDelta = 511;

    // Sends `events` in order; nothing without an input object.
    static void send(rdpInput* input, const std::deque<InputEvent>& events);
    // The RDP scan code (with the extended flag) for a Windows virtual key, or the native scan code
    // when the key has none; 0 when neither gives one.
    static quint32 rdpScanCode(int virtualKey, int scanCode);
    // Pointer flags for a wheel turn: larger turns than the 9-bit field holds become several events.
    static QList<quint16> wheelPointerFlags(int delta);
};
