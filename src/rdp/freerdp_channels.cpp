#include "rdp/freerdp_channels.h"

#include "logger.h"
#include "platform/sound_output.h"

#include <freerdp/addin.h>
#include <freerdp/channels/cliprdr.h>
#include <freerdp/client/channels.h>
#include <freerdp/client/cliprdr.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/client/disp.h>
#include <freerdp/freerdp.h>
#include <freerdp/settings.h>

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

constexpr int kMinDisplaySide = 200;
constexpr int kMaxDisplaySide = 8192;

UINT onDisplayControlCaps(DispClientContext* context, UINT32 maxMonitors, UINT32 factorA, UINT32 factorB)
{
    auto* channels = static_cast<FreeRdpChannels*>(context->custom);
    if (channels && maxMonitors > 0) {
        channels->displayControlReady(factorA * factorB);
    }
    return CHANNEL_RC_OK;
}

bool addDrive(rdpSettings* settings, const RdpSessionOptions::SharedDrive& drive)
{
    QByteArray name = drive.name.toUtf8();
    QByteArray path = drive.folder.toUtf8();
    char* params[] = {const_cast<char*>("drive"), name.data(), path.data()};
    return freerdp_client_add_device_channel(settings, 3, params);
}

} // namespace

FreeRdpChannels::Selection FreeRdpChannels::select(const RdpSessionOptions& options)
{
    Selection selection;
    selection.clipboard = options.clipboard;
    selection.printers = options.printers;
    selection.audioMode = options.audioRedirectionMode();
    selection.soundOutput = selection.audioMode == 0 && SoundOutput::available();
    selection.drives = RdpSessionOptions::sharedDrives(options.driveFolders);
    return selection;
}

bool FreeRdpChannels::configure(rdp_context* context, const Selection& selection)
{
    rdpSettings* settings = context->settings;
    bool ok = freerdp_settings_set_bool(settings, FreeRDP_RedirectClipboard, selection.clipboard) &&
              freerdp_settings_set_bool(settings, FreeRDP_RedirectPrinters, selection.printers) &&
              freerdp_settings_set_bool(settings, FreeRDP_AudioPlayback, selection.audioMode == 0) &&
              freerdp_settings_set_bool(settings, FreeRDP_RemoteConsoleAudio, selection.audioMode == 1) &&
              freerdp_settings_set_bool(settings, FreeRDP_SupportDisplayControl, selection.displayControl);
    for (const RdpSessionOptions::SharedDrive& drive : selection.drives) {
        ok = ok && addDrive(settings, drive);
    }
    if (ok && !selection.drives.isEmpty()) {
        ok = freerdp_settings_set_bool(settings, FreeRDP_DeviceRedirection, TRUE);
    }
    // Sound that cannot be played here goes to FreeRDP's silent back end: its ALSA back end would be
    // taken without a sound card and fail at the first sound, ending the session. Device redirection
    // (printers, drives) brings the sound channel with it even when sound is off; then the client info
    // still asks the server to play none.
    const bool soundChannel = selection.audioMode == 0 || selection.printers || !selection.drives.isEmpty();
    if (ok && soundChannel && !selection.soundOutput) {
        char* params[] = {const_cast<char*>("rdpsnd"), const_cast<char*>("sys:fake")};
        ok = freerdp_client_add_static_channel(settings, 2, params) &&
             (selection.audioMode != 0 || freerdp_client_add_dynamic_channel(settings, 2, params));
        if (selection.audioMode == 0) {
            SPDLOG_INFO("本机没有可用的声音输出，远程声音不播放");
        }
    }
    if (!ok) {
        SPDLOG_ERROR("FreeRDP 虚拟通道设置失败");
    }
    return ok;
}

bool FreeRdpChannels::load(rdp_context* context)
{
    // The add-ins are built into FreeRDP's client library; it finds them once told to look there.
    static std::once_flag registered;
    std::call_once(registered,
                   [] { freerdp_register_addin_provider(freerdp_channels_load_static_addin_entry, 0); });
    if (!freerdp_client_load_addins(context->channels, context->settings)) {
        SPDLOG_ERROR("FreeRDP 虚拟通道加载失败");
        return false;
    }
    return true;
}

_cliprdr_client_context* FreeRdpChannels::connected(const char* name, void* pInterface)
{
    if (!name || !pInterface) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    if (std::strcmp(name, CLIPRDR_SVC_CHANNEL_NAME) == 0) {
        m_clipboard = static_cast<CliprdrClientContext*>(pInterface);
        return m_clipboard;
    }
    if (std::strcmp(name, DISP_DVC_CHANNEL_NAME) == 0) {
        m_display = static_cast<DispClientContext*>(pInterface);
        m_display->custom = this;
        m_display->DisplayControlCaps = &onDisplayControlCaps;
    }
    return nullptr;
}

void FreeRdpChannels::disconnected(const char* name, void* pInterface)
{
    if (!name) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (std::strcmp(name, CLIPRDR_SVC_CHANNEL_NAME) == 0 && m_clipboard == pInterface) {
        m_clipboard = nullptr;
    } else if (std::strcmp(name, DISP_DVC_CHANNEL_NAME) == 0 && m_display == pInterface) {
        m_display = nullptr;
        m_displayReady.store(false);
    }
}

void FreeRdpChannels::displayControlReady(quint32 maxArea)
{
    m_maxDisplayArea.store(maxArea);
    m_displayReady.store(true);
    if (m_displayHandler) {
        m_displayHandler();
    }
}

bool FreeRdpChannels::withClipboard(const std::function<void(_cliprdr_client_context*)>& use)
{
    std::lock_guard lock(m_mutex);
    if (!m_clipboard) {
        return false;
    }
    use(m_clipboard);
    return true;
}

QSize FreeRdpChannels::boundedDesktopSize(QSize size)
{
    const int width = std::clamp(size.width(), kMinDisplaySide, kMaxDisplaySide) & ~1;
    return {width, std::clamp(size.height(), kMinDisplaySide, kMaxDisplaySide)};
}

bool FreeRdpChannels::requestDesktopSize(QSize size)
{
    const QSize bounded = boundedDesktopSize(size);
    const quint32 maxArea = m_maxDisplayArea.load();
    if (maxArea > 0 &&
        static_cast<quint64>(bounded.width()) * static_cast<quint64>(bounded.height()) > maxArea) {
        SPDLOG_INFO("远程桌面不支持该尺寸: {}x{}", bounded.width(), bounded.height());
        return false;
    }
    std::lock_guard lock(m_mutex);
    if (!m_display || !m_displayReady.load()) {
        return false;
    }
    DISPLAY_CONTROL_MONITOR_LAYOUT layout = {};
    layout.Flags = DISPLAY_CONTROL_MONITOR_PRIMARY;
    layout.Width = static_cast<UINT32>(bounded.width());
    layout.Height = static_cast<UINT32>(bounded.height());
    layout.Orientation = ORIENTATION_LANDSCAPE;
    layout.DesktopScaleFactor = 100;
    layout.DeviceScaleFactor = 100;
    return m_display->SendMonitorLayout(m_display, 1, &layout) == CHANNEL_RC_OK;
}
