#pragma once

#include "storage/app_config.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// What the [connection] and [share] settings ask of every RDP session, whichever engine draws it.
struct RdpSessionOptions
{
    BandwidthMode bandwidth = BandwidthMode::High;
    bool reconnect = true;
    int reconnectTimes = 5;
    int reconnectIntervalSeconds = 3;
    // [share]
    bool clipboard = true;
    bool clipboardFiles = true;
    bool printers = true;
    AudioMode audio = AudioMode::Local;
    QStringList driveFolders; // local folders offered to the remote side as drives

    // Counts outside the settings' bounds (ConfigManager) are taken as the nearest bound.
    static RdpSessionOptions fromConfig(const AppConfig& config);

    // The connection type the client announces for the bandwidth profile (CONNECTION_TYPE_* of the RDP
    // core data); the performance flags (wallpaper, themes, font smoothing, composition, window drag,
    // menu animations) follow from it as FreeRDP's clients set them.
    quint32 connectionType() const;
    // A connection type as xfreerdp's /network: names it; empty for none it knows.
    static QString networkName(quint32 connectionType);
    // How many times a dropped session is connected again; 0 when reconnecting is off.
    int reconnectAttempts() const { return reconnect ? reconnectTimes : 0; }
    // The audio mode as the Remote Desktop control and xfreerdp's /audio-mode: number it: 0 played here,
    // 1 left on the server, 2 not played.
    int audioRedirectionMode() const;

    // A local folder as the remote side sees it: a drive named after the folder, in the letters a drive
    // name may hold, at most kMaxDriveNameLength of them and unique.
    struct SharedDrive
    {
        QString name;
        QString folder;
    };
    static constexpr int kMaxDriveNameLength = 8;
    // The folders that can be shared: absolute, existing and free of commas (both clients split device
    // options at commas); the others are skipped with a log line.
    static QList<SharedDrive> sharedDrives(const QStringList& folders);

    bool operator==(const RdpSessionOptions&) const = default;
};
