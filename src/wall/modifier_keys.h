#pragma once

#include <QList>

// Windows virtual keys of the modifiers a batch combination may hold, in the order they are pressed.
namespace ModifierKeys {

constexpr int kCtrl = 17;
constexpr int kAlt = 18;
constexpr int kShift = 16;
constexpr int kWin = 91;

inline QList<int> pressed(bool ctrl, bool alt, bool shift, bool win)
{
    QList<int> keys;
    if (ctrl) {
        keys << kCtrl;
    }
    if (alt) {
        keys << kAlt;
    }
    if (shift) {
        keys << kShift;
    }
    if (win) {
        keys << kWin;
    }
    return keys;
}

} // namespace ModifierKeys
