#include "platform/windows/wts_desktop_lock_monitor.h"

#include <QCoreApplication>

#include <windows.h>

#include <wtsapi32.h>

namespace {

const wchar_t kWindowClass[] = L"NimbaraDesktopLockMonitor";

} // namespace

std::unique_ptr<IDesktopLockMonitor> createDesktopLockMonitor()
{
    return std::make_unique<WtsDesktopLockMonitor>();
}

WtsDesktopLockMonitor::WtsDesktopLockMonitor(QObject* parent) : IDesktopLockMonitor(parent)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass); // fails harmlessly when a second monitor registered it already
    // Messages of this thread's windows pass Qt's event dispatcher, and with it this filter.
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window != nullptr && WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION)) {
        m_window = window;
        QCoreApplication::instance()->installNativeEventFilter(this);
    } else if (window != nullptr) {
        DestroyWindow(window);
    }
}

WtsDesktopLockMonitor::~WtsDesktopLockMonitor()
{
    if (m_window != nullptr) {
        if (QCoreApplication::instance() != nullptr) {
            QCoreApplication::instance()->removeNativeEventFilter(this);
        }
        WTSUnRegisterSessionNotification(static_cast<HWND>(m_window));
        DestroyWindow(static_cast<HWND>(m_window));
    }
}

bool WtsDesktopLockMonitor::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "windows_generic_MSG") {
        return false;
    }
    const MSG* msg = static_cast<const MSG*>(message);
    const bool locked =
        msg->hwnd == m_window && msg->message == WM_WTSSESSION_CHANGE && msg->wParam == WTS_SESSION_LOCK;
    const bool sleeping = msg->message == WM_POWERBROADCAST && msg->wParam == PBT_APMSUSPEND;
    if (locked || sleeping) {
        emit desktopLocked();
    }
    return false;
}
