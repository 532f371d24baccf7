#pragma once

#include "storage/app_config.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

// Holds the global settings: reads them from config.toml, writes them back as a fixed text
// and reloads them whenever the file changes on disk.
class ConfigManager : public QObject
{
    Q_OBJECT

public:
    explicit ConfigManager(QObject* parent = nullptr);

    // Remembers `path`, applies the keys it holds and watches it (also after a failure, and its folder
    // for a file that is replaced or not there yet). A file that cannot be opened keeps the current
    // values and counts as success; one that does not parse (or is too large or too deeply nested to
    // parse safely) keeps them and returns false.
    bool load(const QString& path);
    // Writes all settings to `path`, replacing the file atomically.
    bool save(const QString& path);
    // Saves to the path last given to load(); false when there is none.
    bool save();

    const AppConfig& config() const { return m_config; }
    const QString& configPath() const { return m_configPath; }

    // Setters change the settings in memory only; nothing is written until a save.
    void setDefaultKernel(RdpKernel kernel);
    // The size is clamped to 640…7680 × 480…4320 whatever the mode.
    void setDefaultResolution(ResolutionMode mode, int width, int height);
    void setColorDepth(int bitsPerPixel);
    void setSmartForward(bool enabled);
    void setSyncEnabled(bool enabled);
    void setAutoSync(bool enabled);
    // Clamped to kMinConnectTimeout…kMaxConnectTimeout seconds.
    void setConnectTimeout(int seconds);
    // A program name or path; surrounding white space is dropped, empty means automatic choice.
    void setSshTerminal(const QString& program);
    void setMasterPasswordEnabled(bool enabled);
    void setAutoLock(bool enabled);
    // Clamped to kMinAutoLockTimeout…kMaxAutoLockTimeout seconds.
    void setAutoLockTimeout(int seconds);
    void setShowPassword(bool shown);
    void setBandwidth(BandwidthMode mode);
    // Times clamped to 0…kMaxReconnectTimes, the interval to 1…kMaxReconnectInterval seconds.
    void setReconnect(bool enabled, int times, int intervalSeconds);
    // Folders are kept as given, without empty ones and repeats.
    void setShare(bool clipboard, bool clipboardFiles, bool printers, AudioMode audio,
                  const QStringList& drives);
    // Rows clamped to 1…kMaxWallRows, columns to 0 (automatic)…kMaxWallColumns.
    void setWallLayout(int rows, int columns, bool autoFill);

    static constexpr int kMinCustomWidth = 640;
    static constexpr int kMaxCustomWidth = 7680;
    static constexpr int kMinCustomHeight = 480;
    static constexpr int kMaxCustomHeight = 4320;
    static constexpr int kMinConnectTimeout = 5;
    static constexpr int kMaxConnectTimeout = 300;
    static constexpr int kMinAutoLockTimeout = 30;
    static constexpr int kMaxAutoLockTimeout = 86400;
    static constexpr int kMaxReconnectTimes = 100;
    static constexpr int kMaxReconnectInterval = 600;
    static constexpr int kMaxWallRows = 12;
    static constexpr int kMaxWallColumns = 6; // the densest row the wall's menu offers

    // Larger files are refused unread; the real file is a few hundred bytes.
    static constexpr qint64 kMaxFileSize = 4 * 1024 * 1024;
    // Deepest table/array nesting accepted; the settings themselves need two levels.
    static constexpr int kMaxNestingDepth = 128;

signals:
    // Emitted after every reload triggered by a change of the file, also a failed one.
    void configChanged();

public slots:
    void onFileChanged(const QString& path);

private:
    bool readConfigFile();
    void onWatchedFileChanged(const QString& path);
    void onDirectoryChanged();
    void watchConfigFile();

    QString m_configPath;
    // SHA-256 of the bytes last read from or written to the file; empty when they are not known.
    QByteArray m_knownDigest;
    QFileSystemWatcher m_watcher;
    AppConfig m_config;
};
