#include "rdp/embedded_client_window.h"

#include <QGuiApplication>

#include <windows.h>

namespace {

// The topmost visible child of the container: the window wfreerdp made in it (/parent-window).
HWND embeddedClientWindow(quint64 container)
{
    HWND child = GetWindow(reinterpret_cast<HWND>(static_cast<quintptr>(container)), GW_CHILD);
    while (child != nullptr && !IsWindowVisible(child)) {
        child = GetWindow(child, GW_HWNDNEXT);
    }
    return child;
}

} // namespace

QString EmbeddedClientWindow::unsupportedReason()
{
    if (QGuiApplication::platformName() != QLatin1String("windows")) {
        return QStringLiteral("当前桌面环境无法嵌入系统 RDP 客户端（wfreerdp）");
    }
    return QString();
}

void EmbeddedClientWindow::prepareEnvironment(QProcessEnvironment&) {}

bool EmbeddedClientWindow::fit(quint64 container, int width, int height)
{
    HWND client = embeddedClientWindow(container);
    if (client == nullptr) {
        return false;
    }
    // The client's window lives in another process: ask, do not wait for it.
    SetWindowPos(client, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    return true;
}

bool EmbeddedClientWindow::requestClose(quint64 container)
{
    // A quit message ends wfreerdp's message loop and with it the client. QProcess::terminate() closes
    // top-level windows only, and this one is a child of ours; closing it would not do either: the
    // window's end sends our (then waiting) thread messages it must answer.
    HWND client = embeddedClientWindow(container);
    const DWORD thread = client != nullptr ? GetWindowThreadProcessId(client, nullptr) : 0;
    return thread != 0 && PostThreadMessageW(thread, WM_QUIT, 0, 0);
}

EmbeddedClientWindow::KeyResult EmbeddedClientWindow::sendKeys(quint64 container,
                                                               const std::vector<Key>& keys)
{
    HWND client = embeddedClientWindow(container);
    if (client == nullptr) {
        return KeyResult::Failed;
    }
    for (const Key& key : keys) {
        if (key.scanCode == 0 || key.scanCode > 0x7F) {
            return KeyResult::UnknownKey;
        }
    }
    // Posted as the keyboard would: the scan code and the extended flag in the message's bits.
    for (const Key& key : keys) {
        const UINT virtualKey =
            MapVirtualKeyW(key.scanCode | (key.extended ? 0xE000U : 0U), MAPVK_VSC_TO_VK_EX);
        LPARAM bits = 1 | (static_cast<LPARAM>(key.scanCode) << 16);
        if (key.extended) {
            bits |= LPARAM(1) << 24;
        }
        if (key.up) {
            bits |= (LPARAM(1) << 30) | (LPARAM(1) << 31);
        }
        if (!PostMessageW(client, key.up ? WM_KEYUP : WM_KEYDOWN, virtualKey, bits)) {
            return KeyResult::Failed;
        }
    }
    return KeyResult::Sent;
}
