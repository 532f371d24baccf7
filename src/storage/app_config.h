#pragma once

#include <QString>
#include <QStringList>

enum class RdpKernel { FreeRdp = 0, Mstsc = 1, Auto = 2 };
enum class ResolutionMode { Fullscreen = 0, Window = 1, Custom = 2 };
enum class BandwidthMode { Modem = 0, Low = 1, High = 2, Lan = 3 };
enum class AudioMode { Local = 0, Remote = 1, None = 2 };

// The global settings; each field is one key of config.toml.
struct AppConfig
{
    // [app]
    QString version = QStringLiteral("1.0.0");
    QString language = QStringLiteral("zh_CN");

    // [connection]
    RdpKernel default_kernel = RdpKernel::Auto;
    ResolutionMode default_resolution = ResolutionMode::Fullscreen;
    int custom_width = 1920;
    int custom_height = 1080;
    int color_depth = 32;
    BandwidthMode bandwidth = BandwidthMode::High;
    bool reconnect = true;
    bool smart_forward = true;
    int reconnect_times = 5;
    int reconnect_interval = 3;
    int connect_timeout = 30;

    // [display]
    bool toolbar_show = true;
    bool toolbar_auto_hide = true;
    int toolbar_auto_hide_delay = 5;
    int screen_wall_rows = 2;
    int screen_wall_cols = 2;
    bool screen_wall_auto_fill = true;

    // [share]
    bool clipboard = true;
    bool clipboard_files = true;
    QStringList drives;
    bool printers = true;
    AudioMode audio = AudioMode::Local;
    bool usb = false;

    // [sync]
    bool sync_enabled = false;
    bool auto_sync = true;
    int sync_interval = 10;

    // [security]
    bool master_password = true;
    bool auto_lock = true;
    int auto_lock_timeout = 300;
    bool show_password = false;

    // [ssh]
    QString ssh_terminal; // terminal program for SSH sessions; empty for the automatic choice

    // [account]
    QString account_service_url;     // base address of the account service; empty for the built-in one
    QString account_ca_certificates; // PEM file of extra roots trusted for that service only

    // [acceleration]
    QString acceleration_service_url; // base address of the acceleration service; empty for the built-in one
    QString
        acceleration_ca_certificates; // PEM file of extra roots trusted for that service and its relay nodes

    // [portal]
    QString portal_base_url;
    QString portal_ca_certificates;

    bool operator==(const AppConfig&) const = default;
};
