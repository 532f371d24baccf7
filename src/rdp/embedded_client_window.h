#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <vector>

// The window system side of the system RDP client drawing into a window of ours: whether this
// desktop can embed it, finding its window in our container, sizing it and typing into it. X11 and
// Windows each have their own implementation.
class EmbeddedClientWindow
{
public:
    struct Key
    {
        quint32 scanCode; // RDP scan code
        bool extended;    // E0-prefixed
        bool up;
    };
    enum class KeyResult { Sent, UnknownKey, NotSupported, Failed };

    // Empty when this desktop can embed the client, else why not (shown to the user).
    static QString unsupportedReason();
    // What the client needs in its environment to reach this desktop.
    static void prepareEnvironment(QProcessEnvironment& environment);
    // Sizes the client's window in `container` (device pixels); false while it has none yet.
    static bool fit(quint64 container, int width, int height);
    // Asks the client's window in `container` to close, which ends the client; false where that is not
    // the way to end it (X11, where the terminate signal is) or it has no window there.
    static bool requestClose(quint64 container);
    // Types `keys` into the client's window in `container`, in order.
    static KeyResult sendKeys(quint64 container, const std::vector<Key>& keys);
};
