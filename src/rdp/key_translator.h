#pragma once

#include <QtGlobal>

class QKeyEvent;

// A key as an RDP server expects it: a Windows virtual key and an RDP scan code, the latter with
// KeyTranslator::kExtendedFlag set for extended keys (arrows, navigation block, right-hand modifiers).
struct TranslatedKey
{
    int virtualKey = 0;
    int scanCode = 0;

    bool isValid() const { return virtualKey != 0 || scanCode != 0; }
    bool operator==(const TranslatedKey&) const = default;
};

// Turns a local key event (X11 keycode and keysym, or on Windows the scan code and virtual key, as Qt
// reports them) into what the remote side expects.
class KeyTranslator
{
public:
    static constexpr int kExtendedFlag = 0x100;

    // Invalid when the event carries no native codes (synthesized events, platforms without them);
    // such a key can only be delivered as text.
    static TranslatedKey translate(const QKeyEvent& event);
    static TranslatedKey translate(quint32 nativeKeycode, quint32 keysym, int qtKey);

    // The Windows virtual key of a Qt key; 0 when there is none.
    static int virtualKeyFromQtKey(int qtKey);
    // The side-neutral modifiers (Shift, Ctrl, Alt) as their left-hand keys, as Windows maps them; every
    // other key unchanged. Scan code tables know only the sided ones.
    static int sidedVirtualKey(int virtualKey);
};
