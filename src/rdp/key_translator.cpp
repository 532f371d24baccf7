#include "rdp/key_translator.h"

#include <QKeyEvent>

#include <freerdp/locale/keyboard.h>
#include <freerdp/version.h>
#include <winpr/input.h>

#include <mutex>

namespace {

#if FREERDP_VERSION_MAJOR >= 3

#if !defined(Q_OS_WIN)
// FreeRDP 3 dropped the X11 keycode table from its keyboard module; winpr maps XKB keycodes itself.
DWORD scanCodeFromX11Keycode(DWORD keycode)
{
    const DWORD virtualKey = GetVirtualKeyCodeFromKeycode(keycode, WINPR_KEYCODE_TYPE_XKB);
    return GetVirtualScanCodeFromVirtualKeyCode(virtualKey, WINPR_KBD_TYPE_IBM_ENHANCED);
}

#endif

constexpr DWORD kKeyboardTypeIbmEnhanced = WINPR_KBD_TYPE_IBM_ENHANCED;

#else

#if !defined(Q_OS_WIN)
DWORD scanCodeFromX11Keycode(DWORD keycode)
{
    static std::once_flag initialized;
    // With a layout given, FreeRDP skips guessing one (which runs xprop/setxkbmap); the layout does
    // not change the keycode table, which comes from the X server's keymap or the evdev default.
    std::call_once(initialized, [] { freerdp_keyboard_init(KBD_US); });
    return freerdp_keyboard_get_rdp_scancode_from_x11_keycode(keycode);
}

#endif

constexpr DWORD kKeyboardTypeIbmEnhanced = 4; // winpr 2 takes the plain number

#endif

} // namespace

TranslatedKey KeyTranslator::translate(const QKeyEvent& event)
{
    return translate(event.nativeScanCode(), event.nativeVirtualKey(), event.key());
}

TranslatedKey KeyTranslator::translate(quint32 nativeKeycode, quint32 keysym, int qtKey)
{
    if (nativeKeycode == 0 && keysym == 0) {
        return {};
    }
#if defined(Q_OS_WIN)
    // Windows hands over the scan code itself (bit 8 set for extended keys, as Qt takes it from the
    // message). The virtual key follows from the scan code, as on X11: the message's own one is
    // side-neutral for modifiers and follows the local layout, while the remote side applies its own.
    Q_UNUSED(qtKey);
    const int scanCode = static_cast<int>(nativeKeycode & 0xFF);
    const bool extended = (nativeKeycode & 0x100) != 0;
    const int code = scanCode != 0 && extended ? scanCode | kExtendedFlag : scanCode;
    const DWORD virtualKey =
        scanCode != 0 ? GetVirtualKeyCodeFromVirtualScanCode(
                            static_cast<DWORD>(scanCode) | (extended ? KBDEXT : 0), kKeyboardTypeIbmEnhanced)
                      : 0;
    // A key outside the table keeps the virtual key Windows said.
    return {(virtualKey & 0xFF) != 0 ? static_cast<int>(virtualKey & 0xFF)
                                     : sidedVirtualKey(static_cast<int>(keysym & 0xFF)),
            code};
#else
    if (nativeKeycode != 0 && nativeKeycode < 256) {
        const DWORD scanCode = scanCodeFromX11Keycode(nativeKeycode);
        if ((scanCode & 0xFF) != 0) {
            const DWORD virtualKey = GetVirtualKeyCodeFromVirtualScanCode(scanCode, kKeyboardTypeIbmEnhanced);
            return {static_cast<int>(virtualKey & 0xFF),
                    static_cast<int>((scanCode & 0xFF) | ((scanCode & KBDEXT) != 0 ? kExtendedFlag : 0))};
        }
    }
    // A keycode outside the table (an unusual keymap): the virtual key alone still names the key, and
    // the session finds its scan code.
    return {virtualKeyFromQtKey(qtKey), 0};
#endif
}

int KeyTranslator::virtualKeyFromQtKey(int qtKey)
{
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        return 0x41 + (qtKey - Qt::Key_A);
    }
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
        return 0x30 + (qtKey - Qt::Key_0);
    }
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) {
        return 0x70 + (qtKey - Qt::Key_F1);
    }
    switch (qtKey) {
    case Qt::Key_Backspace:
        return 0x08;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return 0x09;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 0x0D;
    case Qt::Key_Shift:
        return 0x10;
    case Qt::Key_Control:
        return 0x11;
    case Qt::Key_Alt:
        return 0x12;
    case Qt::Key_Pause:
        return 0x13;
    case Qt::Key_CapsLock:
        return 0x14;
    case Qt::Key_Escape:
        return 0x1B;
    case Qt::Key_Space:
        return 0x20;
    case Qt::Key_PageUp:
        return 0x21;
    case Qt::Key_PageDown:
        return 0x22;
    case Qt::Key_End:
        return 0x23;
    case Qt::Key_Home:
        return 0x24;
    case Qt::Key_Left:
        return 0x25;
    case Qt::Key_Up:
        return 0x26;
    case Qt::Key_Right:
        return 0x27;
    case Qt::Key_Down:
        return 0x28;
    case Qt::Key_Print:
        return 0x2C;
    case Qt::Key_Insert:
        return 0x2D;
    case Qt::Key_Delete:
        return 0x2E;
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
        return 0x5B;
    case Qt::Key_Super_R:
        return 0x5C;
    case Qt::Key_Menu:
        return 0x5D;
    case Qt::Key_NumLock:
        return 0x90;
    case Qt::Key_ScrollLock:
        return 0x91;
    default:
        return 0;
    }
}

int KeyTranslator::sidedVirtualKey(int virtualKey)
{
    switch (virtualKey) {
    case VK_SHIFT:
        return VK_LSHIFT;
    case VK_CONTROL:
        return VK_LCONTROL;
    case VK_MENU:
        return VK_LMENU;
    default:
        return virtualKey;
    }
}
