#include "rdp/embedded_client_window.h"

#include "logger.h"

#include <QGuiApplication>

// Xlib last: its macros (None, Bool, KeyPress, ...) collide with names in the Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

Display* x11Display()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

// The topmost viewable child of the container: the window xfreerdp reparented into it.
Window embeddedClientWindow(Display* display, Window container)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, container, &root, &parent, &children, &count)) {
        return 0;
    }
    Window found = 0;
    for (unsigned i = count; i > 0 && found == 0; --i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i - 1], &attributes) &&
            attributes.map_state == IsViewable) {
            found = children[i - 1];
        }
    }
    if (children) {
        XFree(children);
    }
    return found;
}

// X keycode of an RDP scan code under the evdev keycodes every current X server uses: the plain keys
// are offset by 8, the E0-prefixed ones have keycodes of their own.
unsigned x11Keycode(quint32 scanCode, bool extended)
{
    if (!extended) {
        if (scanCode == 0x54) {
            return 107; // Alt+PrintScreen (SysRq)
        }
        return (scanCode >= 0x01 && scanCode <= 0x58) ? scanCode + 8 : 0;
    }
    switch (scanCode) {
    case 0x1C:
        return 104; // keypad Enter
    case 0x1D:
        return 105; // right Ctrl
    case 0x35:
        return 106; // keypad divide
    case 0x37:
        return 107; // PrintScreen
    case 0x38:
        return 108; // right Alt
    case 0x46:
        return 127; // Break
    case 0x47:
        return 110; // Home
    case 0x48:
        return 111; // Up
    case 0x49:
        return 112; // PageUp
    case 0x4B:
        return 113; // Left
    case 0x4D:
        return 114; // Right
    case 0x4F:
        return 115; // End
    case 0x50:
        return 116; // Down
    case 0x51:
        return 117; // PageDown
    case 0x52:
        return 118; // Insert
    case 0x53:
        return 119; // Delete
    case 0x5B:
        return 133; // left Windows
    case 0x5C:
        return 134; // right Windows
    case 0x5D:
        return 135; // Menu
    default:
        return 0;
    }
}

} // namespace

QString EmbeddedClientWindow::unsupportedReason()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !x11Display()) {
        return QStringLiteral("当前桌面环境不是 X11，无法嵌入系统 RDP 客户端（xfreerdp）");
    }
    return QString();
}

void EmbeddedClientWindow::prepareEnvironment(QProcessEnvironment& environment)
{
    if (Display* display = x11Display()) {
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLocal8Bit(DisplayString(display)));
    }
}

bool EmbeddedClientWindow::fit(quint64 container, int width, int height)
{
    Display* display = x11Display();
    if (!display) {
        return false;
    }
    const Window client = embeddedClientWindow(display, static_cast<Window>(container));
    if (client == 0) {
        return false;
    }
    XMoveResizeWindow(display, client, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(display);
    return true;
}

bool EmbeddedClientWindow::requestClose(quint64)
{
    return false;
}

EmbeddedClientWindow::KeyResult EmbeddedClientWindow::sendKeys(quint64 container,
                                                               const std::vector<Key>& keys)
{
    Display* display = x11Display();
    if (!display) {
        return KeyResult::Failed;
    }
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        return KeyResult::NotSupported;
    }
    std::vector<unsigned> keycodes;
    keycodes.reserve(keys.size());
    for (const Key& key : keys) {
        const unsigned keycode = x11Keycode(key.scanCode, key.extended);
        if (keycode == 0) {
            return KeyResult::UnknownKey;
        }
        keycodes.push_back(keycode);
    }

    // XTest input goes to whatever has the focus: send nothing unless that is the client's window.
    const Window client = embeddedClientWindow(display, static_cast<Window>(container));
    if (client == 0) {
        return KeyResult::Failed;
    }
    XSetInputFocus(display, client, RevertToParent, CurrentTime);
    XSync(display, False);
    Window focus = 0;
    int revertTo = 0;
    XGetInputFocus(display, &focus, &revertTo);
    if (focus != client) {
        SPDLOG_WARN("无法把键盘焦点交给 xfreerdp 窗口");
        return KeyResult::Failed;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        XTestFakeKeyEvent(display, keycodes[i], keys[i].up ? False : True, CurrentTime);
    }
    XSync(display, False);
    return KeyResult::Sent;
}
