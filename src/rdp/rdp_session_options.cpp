#include "rdp/rdp_session_options.h"

#include "logger.h"
#include "storage/config_manager.h"

#include <freerdp/settings.h>

#include <QFileInfo>
#include <QSet>

#include <algorithm>

RdpSessionOptions RdpSessionOptions::fromConfig(const AppConfig& config)
{
    RdpSessionOptions options;
    options.bandwidth = config.bandwidth;
    options.reconnect = config.reconnect;
    options.reconnectTimes = std::clamp(config.reconnect_times, 0, ConfigManager::kMaxReconnectTimes);
    options.reconnectIntervalSeconds =
        std::clamp(config.reconnect_interval, 1, ConfigManager::kMaxReconnectInterval);
    options.clipboard = config.clipboard;
    options.clipboardFiles = config.clipboard_files;
    options.printers = config.printers;
    options.audio = config.audio;
    options.driveFolders = config.drives;
    return options;
}

quint32 RdpSessionOptions::connectionType() const
{
    switch (bandwidth) {
    case BandwidthMode::Modem:
        return CONNECTION_TYPE_MODEM;
    case BandwidthMode::Low:
        return CONNECTION_TYPE_BROADBAND_LOW;
    case BandwidthMode::Lan:
        return CONNECTION_TYPE_LAN;
    case BandwidthMode::High:
        break;
    }
    return CONNECTION_TYPE_BROADBAND_HIGH;
}

QString RdpSessionOptions::networkName(quint32 connectionType)
{
    switch (connectionType) {
    case CONNECTION_TYPE_MODEM:
        return QStringLiteral("modem");
    case CONNECTION_TYPE_BROADBAND_LOW:
        return QStringLiteral("broadband-low");
    case CONNECTION_TYPE_SATELLITE:
        return QStringLiteral("broadband"); // xfreerdp's name for the satellite profile
    case CONNECTION_TYPE_BROADBAND_HIGH:
        return QStringLiteral("broadband-high");
    case CONNECTION_TYPE_WAN:
        return QStringLiteral("wan");
    case CONNECTION_TYPE_LAN:
        return QStringLiteral("lan");
    case CONNECTION_TYPE_AUTODETECT:
        return QStringLiteral("auto");
    default:
        return {};
    }
}

int RdpSessionOptions::audioRedirectionMode() const
{
    switch (audio) {
    case AudioMode::Remote:
        return 1;
    case AudioMode::None:
        return 2;
    case AudioMode::Local:
        break;
    }
    return 0;
}

QList<RdpSessionOptions::SharedDrive> RdpSessionOptions::sharedDrives(const QStringList& folders)
{
    QList<SharedDrive> drives;
    QSet<QString> names;
    for (const QString& folder : folders) {
        const QFileInfo info(folder);
        // A folder that is not there would end xfreerdp.
        if (!info.isAbsolute() || !info.isDir() || folder.contains(QLatin1Char(','))) {
            SPDLOG_WARN("共享文件夹不可用，已跳过: {}", folder);
            continue;
        }
        QString name;
        for (const QChar c : info.fileName()) {
            if (c.isLetterOrNumber() && c.unicode() < 0x80) {
                name.append(c);
            }
        }
        name.truncate(kMaxDriveNameLength);
        if (name.isEmpty() || names.contains(name.toLower())) {
            name = QStringLiteral("drive%1").arg(drives.size() + 1);
        }
        names.insert(name.toLower());
        drives.append({name, info.absoluteFilePath()});
    }
    return drives;
}
