#pragma once

#include "rdp/rdp_session_options.h"

#include <QList>
#include <QSize>

#include <atomic>
#include <functional>
#include <mutex>

struct rdp_context;
struct _cliprdr_client_context;
struct _disp_client_context;

// The virtual channels of one embedded session: which of FreeRDP's add-ins it loads for the [share]
// settings, and the two it drives itself (clipboard and display control) while FreeRDP reports them
// connected. The worker connects and disconnects them; any thread may use them under the lock.
class FreeRdpChannels
{
public:
    struct Selection
    {
        bool clipboard = false;
        bool printers = false;
        // RdpSessionOptions::audioRedirectionMode: 0 played here, 1 left on the server, 2 not played.
        int audioMode = 2;
        // Whether sound can be played here at all; else it goes to FreeRDP's silent back end.
        bool soundOutput = false;
        QList<RdpSessionOptions::SharedDrive> drives;
        bool displayControl = true;
    };
    static Selection select(const RdpSessionOptions& options);

    // Worker, before the first connection: puts the selection into FreeRDP's settings.
    static bool configure(rdp_context* context, const Selection& selection);
    // Worker, before every connection: loads the add-ins the settings name.
    static bool load(rdp_context* context);

    // Worker (FreeRDP's channel events): the channel `name` with the interface FreeRDP hands out came up or
    // went down. Returns the clipboard context that came up, for the caller to hook.
    _cliprdr_client_context* connected(const char* name, void* pInterface);
    void disconnected(const char* name, void* pInterface);
    // The server opened display control and told its limits; `ready` learns of it (on FreeRDP's thread).
    void displayControlReady(quint32 maxArea);
    void setDisplayControlHandler(std::function<void()> ready) { m_displayHandler = std::move(ready); }

    // Runs `use` with the clipboard channel while it is connected; false (and `use` not run) otherwise.
    bool withClipboard(const std::function<void(_cliprdr_client_context*)>& use);
    // Asks the server for a desktop of `size` through display control; false when the server offers none
    // or the size is out of its bounds.
    bool requestDesktopSize(QSize size);
    bool hasDisplayControl() const { return m_displayReady.load(); }

    // Display control's bounds (MS-RDPEDISP): each side 200 to 8192 pixels, width even.
    static QSize boundedDesktopSize(QSize size);

private:
    std::mutex m_mutex;
    _cliprdr_client_context* m_clipboard = nullptr;
    _disp_client_context* m_display = nullptr;
    std::atomic<bool> m_displayReady{false};
    std::atomic<quint32> m_maxDisplayArea{0};
    std::function<void()> m_displayHandler;
};
