#pragma once

#include "cloud/service_endpoint.h"

#include <QJsonObject>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

class IUpdatePrompter;
class UpdateInstaller;

// A newer client announced by the account service, after every check passed.
struct UpdateInfo
{
    bool available = false;
    QString latestVersion;
    QString minimumVersion;
    QString downloadUrl;
    QString sha256;
    QString releaseNotes;
};

// The check made once at start-up, before anything else: when the account service announces a newer
// client, the program only offers to download it (over HTTPS from the service's own host), verify its
// SHA-256 and hand it to the system's installer, or to quit. Synchronous: its waits run local event
// loops, so the progress dialog stays responsive.
class UpdateChecker
{
public:
    static constexpr int kFetchTimeoutMs = 8000;
    static constexpr int kDownloadTimeoutMs = 90000;
    static constexpr qint64 kHashBlockSize = 1024 * 1024;
    static constexpr int kMaxAnnouncementSize = 64 * 1024;

    UpdateChecker(ServiceEndpoint endpoint, QString runningVersion, IUpdatePrompter& prompter,
                  UpdateInstaller& installer);

    // True when start-up may go on, false when the program must exit (an installer runs, or the user
    // quit).
    bool checkForUpdateAtStartup();
    UpdateInfo fetchUpdateInfo();
    enum class InstallResult {
        Started,
        Cancelled,       // by the user, in the progress dialog
        Failed,          // `error` says why; nothing was kept
        InstallerFailed, // the verified package is at `packagePath`, but no installer could start
    };
    InstallResult downloadAndInstallUpdate(const UpdateInfo& info, QString* error,
                                           QString* packagePath = nullptr);
    // A GET that waits in a local event loop for at most `timeoutMs`.
    QJsonObject fetchJson(const QUrl& url, int timeoutMs, bool* ok);

    // -1, 0 or 1, comparing the runs of digits in each text as numbers, a missing one counting as 0.
    static int compareVersions(const QString& a, const QString& b);
    // The announcement `object`, validated against the account service host.
    static UpdateInfo parseUpdateInfo(const QJsonObject& object, const QString& serviceHost);
    static QString requiredUpdateText(const QString& version, const QString& notes);
    // Where the verified package is, how to install it, and whether this version may go on.
    static QString manualInstallText(const QString& version, const QString& instruction,
                                     const QString& running, const QString& minimum, bool mayContinue);

    QUrl updateEndpoint() const;
    // Seams for the tests: shorter waits, another download folder (empty: the user's).
    void setFetchTimeout(int milliseconds) { m_fetchTimeoutMs = milliseconds; }
    void setDownloadTimeout(int milliseconds) { m_downloadTimeoutMs = milliseconds; }
    void setDownloadDirectory(const QString& directory) { m_downloadDirectory = directory; }
    int fetchTimeout() const { return m_fetchTimeoutMs; }

private:
    QString downloadDirectory() const;

    ServiceEndpoint m_endpoint;
    QString m_runningVersion;
    IUpdatePrompter& m_prompter;
    UpdateInstaller& m_installer;
    QSslConfiguration m_tls;
    int m_fetchTimeoutMs = kFetchTimeoutMs;
    int m_downloadTimeoutMs = kDownloadTimeoutMs;
    QString m_downloadDirectory;
};
