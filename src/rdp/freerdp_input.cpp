#include "rdp/freerdp_input.h"

#include "rdp/freerdp_compat.h"
#include "rdp/key_translator.h"

#include <winpr/input.h>

#include <algorithm>

void FreeRdpInput::send(rdpInput* input, const std::deque<InputEvent>& events)
{
    if (!input) {
        return;
    }
    for (const InputEvent& event : events) {
        switch (event.kind) {
        case InputEvent::MouseMove:
            freerdp_input_send_mouse_event(input, PTR_FLAGS_MOVE, static_cast<UINT16>(event.a),
                                           static_cast<UINT16>(event.b));
            break;
        case InputEvent::MouseButton: {
            UINT16 flags = 0;
            switch (event.a) {
            case 1:
                flags = PTR_FLAGS_BUTTON1;
                break;
            case 2:
                flags = PTR_FLAGS_BUTTON2;
                break;
            case 4:
                flags = PTR_FLAGS_BUTTON3;
                break;
            default:
                break;
            }
            if (flags == 0) {
                break;
            }
            if (event.b != 0) {
                flags |= PTR_FLAGS_DOWN;
            }
            freerdp_input_send_mouse_event(input, flags, static_cast<UINT16>(event.c),
                                           static_cast<UINT16>(event.d));
            break;
        }
        case InputEvent::Wheel:
            for (const quint16 flags : wheelPointerFlags(event.a)) {
                freerdp_input_send_mouse_event(input, flags, static_cast<UINT16>(event.b),
                                               static_cast<UINT16>(event.c));
            }
            break;
        case InputEvent::Key: {
            const quint32 code = rdpScanCode(event.a, event.b);
            if (code != 0) {
                freerdp_compat::sendKeyboardEvent(input, event.c != 0 ? TRUE : FALSE,
                                                  event.d != 0 ? TRUE : FALSE, code);
            }
            break;
        }
        case InputEvent::Text:
            for (const QChar unit : event.text) {
                freerdp_input_send_unicode_keyboard_event(input, 0, unit.unicode());
                freerdp_input_send_unicode_keyboard_event(input, KBD_FLAGS_RELEASE, unit.unicode());
            }
            break;
        default:
            break;
        }
    }
}

quint32 FreeRdpInput::rdpScanCode(int virtualKey, int scanCode)
{
    // winpr answers unmapped keys with scan code 0 (extended or not); only a real code counts.
    const auto lookup = [](DWORD vk) -> DWORD {
        const DWORD code = GetVirtualScanCodeFromVirtualKeyCode(vk, freerdp_compat::kKeyboardTypeIbmEnhanced);
        return (code & 0xFF) != 0 ? code : 0;
    };
    DWORD code = 0;
    if (virtualKey != 0) {
        // Combinations send the side-neutral modifiers, which the tables know only by side.
        const auto vk = static_cast<DWORD>(KeyTranslator::sidedVirtualKey(virtualKey & 0xFF));
        code = lookup(vk);
        if (code == 0) {
            // Extended keys (arrows, navigation block, right-hand modifiers) are found only when asked for.
            code = lookup(vk | KBDEXT);
        }
    }
    if (code == 0) {
        code = static_cast<DWORD>(scanCode);
    }
    if (code == 0) {
        return 0;
    }
    // A non-zero high byte is an E0/E1 prefix (or winpr's KBDEXT): the RDP extended flag.
    return (code & 0xFF) | ((code & 0xFF00) != 0 ? KBDEXT : 0);
}

QList<quint16> FreeRdpInput::wheelPointerFlags(int delta)
{
    // The rotation is a 9-bit two's-complement field (-256..255); larger turns go out as several events.
    QList<quint16> flags;
    int remaining = std::clamp(delta, -kMaxWheelDelta, kMaxWheelDelta);
    while (remaining != 0) {
        const int step = std::clamp(remaining, -256, 255);
        remaining -= step;
        quint16 value = PTR_FLAGS_WHEEL | (static_cast<quint16>(step) & WheelRotationMask);
        if (step < 0) {
            value |= PTR_FLAGS_WHEEL_NEGATIVE;
        }
        flags.append(value);
    }
    return flags;
}
