#pragma once

#include "cloud/host_snapshot.h"
#include "cloud/member_account.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class AccountClient;
class ConfigManager;
class CryptoManager;
class DatabaseManager;
class HostSyncUi;

// The end-to-end encrypted host sync of the main window: reads the cloud snapshot and merges it into
// the local database (never deleting a local host), and uploads the local inventory 1.8 s after it
// last changed. Only the main account uploads, and only after the cloud state was read, so a wrong
// passphrase can never overwrite the cloud copy. The 64 MiB key derivation runs on a worker thread;
// what happens before and after it keeps its order.
class HostSyncController : public QObject
{
    Q_OBJECT

public:
    static constexpr int kAutoSyncDelayMs = 1800;

    // None of the services is owned; all must outlive the controller.
    HostSyncController(DatabaseManager* database, ConfigManager* config, CryptoManager* crypto,
                       AccountClient* account, HostSyncUi* ui, QObject* parent = nullptr);

    // The passphrase kept sealed in the per-user settings; empty when none (or it does not open).
    QString storedSyncPassphrase() const;
    // Seals and keeps `passphrase` (taken as typed). False when sealing failed.
    bool storeSyncPassphrase(const QString& passphrase);
    // Asks the user through the window.
    bool promptSyncPassphrase();

    void startHostSyncDownload(bool userInitiated);
    void uploadHostSyncNow();
    // After every refresh of the host table: uploads 1.8 s later when the inventory differs from the
    // cloud copy.
    void scheduleHostSyncUpload();
    // Sync switched off: no pending upload, and none until the cloud state was read again.
    void stopAutoSync();
    // After a passphrase change: the next upload re-encrypts even an unchanged inventory.
    void forgetSyncedDigest() { m_lastSyncedDigest.clear(); }

    // Signed in to the account service (not the partner mode).
    bool isSyncAvailable() const;
    bool isMainAccount() const;

    qint64 cloudRevision() const { return m_cloudRevision; }
    QDateTime cloudUpdatedAt() const { return m_cloudUpdatedAt; }
    bool isCloudStateKnown() const { return m_cloudStateKnown; }
    bool isSyncInProgress() const { return m_syncInProgress; }
    QTimer* autoSyncTimer() { return &m_autoSyncTimer; }

    // Handlers of the account client's signals (connected by the constructor).
    void onHostSyncDownloaded(bool exists, const QString& payload, int deviceCount, qint64 revision,
                              const QDateTime& updatedAt);
    void onHostSyncUploaded(qint64 revision, const QDateTime& updatedAt);
    void onRequestFailed(const QString& message);
    void onAccountChanged(const MemberAccount& account);

    // How a key-derivation job reaches a worker thread; tests may run it in place.
    using Runner = std::function<void(std::function<void()> work)>;
    void setRunner(Runner runner) { m_runner = std::move(runner); }

signals:
    // A download or upload finished (also when it failed): for tests and the window's busy state.
    void syncSettled();

private:
    HostSnapshot localSnapshot() const;
    void encryptAndUpload(const HostSnapshot& snapshot);
    void merge(const HostSnapshot& cloud);
    // Runs `work` on the runner, then `done` on this object's thread (not at all once it is gone).
    void offThread(std::function<void()> work, std::function<void()> done);

    DatabaseManager* m_db;
    ConfigManager* m_config;
    CryptoManager* m_crypto;
    AccountClient* m_account;
    HostSyncUi* m_ui;
    Runner m_runner;

    qint64 m_cloudRevision = 0;
    QDateTime m_cloudUpdatedAt;
    QString m_lastSyncedDigest;
    bool m_cloudStateKnown = false;
    bool m_syncInProgress = false;
    bool m_restoreRequested = false;
    QTimer m_autoSyncTimer;
};
