#pragma once

#include "cloud/host_snapshot.h"
#include "cloud/member_account.h"
#include "cloud/sync_baseline.h"
#include "cloud/sync_identity.h"
#include "cloud/sync_trust_store.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class AccountClient;
class ConfigManager;
class CryptoManager;
class DatabaseManager;
class HostSyncUi;
struct SyncDownload;
struct SyncRoster;
class SyncInventory;
struct TeamRecipient;

// The end-to-end encrypted host sync of the main window.
//
// Each account has its own keys (SyncIdentity), wrapped under its own sync passphrase and kept by the
// service. The owner of a team uploads its whole inventory signed and encrypted for its own computers,
// and the hosts shared with the team under a new team key sealed to each member's key; members read
// only the latter and never upload. Before anything is merged its signature is checked against a key
// this computer trusts (its own account's, or the owner's as first seen), and a revision older than
// one already accepted is refused. Merges never delete a local host, except that a member drops team
// hosts the owner no longer shares. Only the main account uploads, only after the cloud state was read
// (so a wrong passphrase can never overwrite the cloud copy), and hosts another account's cloud brought
// here go up only once the user said so. Key derivation, encryption, and every read and write of the
// whole inventory (the snapshot with its passwords, its digests, a merge, the baseline) run on a worker
// thread with a database connection of its own; what happens before and after keeps its order, and the
// window refreshes its table once at the end.
//
// Edits in the window while a sync runs: a merge reads the inventory, decides and writes in one
// transaction that holds the database's write lock, so an edit saved meanwhile either came first (and
// the merge decides on it, by the same rules) or waits until the merge committed (the window waits
// then, at most as long as the merge) and stays as typed. Either way it counts as a change made here
// and goes up with the next upload. When a merge must ask about hosts changed on both sides, it asks
// with nothing written; a host edited here between the question and the merge keeps that edit. A lock
// of the program while a worker opens passwords ends the operation without writing or uploading
// anything; it runs again after the unlock.
class HostSyncController : public QObject
{
    Q_OBJECT

public:
    static constexpr int kAutoSyncDelayMs = 1800;
    // Pauses before a failed upload is tried again: doubled each time up to the last.
    static constexpr int kFirstRetryMs = 15000;
    static constexpr int kMaxRetryMs = 300000;
    // Window activations closer together than this fetch once.
    static constexpr qint64 kActivationFetchGapMs = 60000;
    // The per-user settings keys of the sealed sync passphrase and the account it belongs to.
    static constexpr const char* kPassphraseKey = SyncTrustStore::kPassphraseKey;
    static constexpr const char* kPassphraseAccountKey = SyncTrustStore::kPassphraseAccountKey;

    // A team peer's key as this computer sees it.
    struct PeerKey
    {
        enum class State { Trusted, FirstSeen, Changed, NoKeys };
        QString id;
        QString email;
        QString fingerprint; // the key the service shows now (empty for NoKeys)
        State state = State::NoKeys;
    };

    // None of the services is owned; all must outlive the controller.
    HostSyncController(DatabaseManager* database, ConfigManager* config, CryptoManager* crypto,
                       AccountClient* account, HostSyncUi* ui, QObject* parent = nullptr);
    ~HostSyncController() override;

    // The passphrase kept sealed in the per-user settings for the account signed in; empty when none,
    // when it does not open, or when it was set for another account.
    QString storedSyncPassphrase() const;
    // Seals and keeps `passphrase` (taken as typed) for the account signed in. False when sealing failed.
    bool storeSyncPassphrase(const QString& passphrase);
    // Asks for a new passphrase, wraps this account's keys under it on the service, then keeps it here.
    // False (with a message shown) when the keys are not open yet.
    bool changeSyncPassphrase();

    // Turns sync on here: asks for the passphrase in the form that fits (set on the account's first
    // computer, entered on the others), then syncs. Cancelling leaves sync off.
    void enableSync();
    // Turns sync off here: nothing pending, passphrase and keys forgotten, so turning it on asks afresh.
    void disableSync();

    void startHostSyncDownload(bool userInitiated);
    // A quiet fetch (the periodic one, a window activation): never asks for a passphrase first.
    void fetchInBackground();
    void onWindowActivated();
    // What waited while the program was locked: a fetch and the upload of changes made before.
    void resumeAfterUnlock();
    void uploadHostSyncNow();
    // After every refresh of the host table: counts the changes made here and uploads 1.8 s later when
    // there are any.
    void scheduleHostSyncUpload();
    // [sync] settings changed: the periodic fetch follows sync_interval.
    void applyConfig();

    // Signed in to the account service (not the partner mode).
    bool isSyncAvailable() const;
    bool isMainAccount() const;

    qint64 cloudRevision() const { return m_cloudRevision; }
    QDateTime cloudUpdatedAt() const { return m_cloudUpdatedAt; }
    bool isCloudStateKnown() const { return m_cloudStateKnown; }
    bool isSyncInProgress() const { return m_syncInProgress; }
    // The changes not uploaded yet are being counted (on the worker).
    bool isCountingChanges() const { return m_countsUnderway > 0; }
    // Changes made here that the cloud does not have yet (hosts and groups), -1 before the first sync.
    int pendingChanges() const { return m_pendingChanges; }
    // Why the last sync did not go through; empty after a good one.
    QString lastProblem() const { return m_problem; }
    // When this computer last agreed with the cloud copy.
    QDateTime lastSyncedHere() const { return m_lastSyncedHere; }
    // The hosts the host table shows this account (a member sees the team's).
    qsizetype visibleHostCount() const;
    QTimer* autoSyncTimer() { return &m_autoSyncTimer; }
    QTimer* retryTimer() { return &m_retryTimer; }
    QTimer* fetchTimer() { return &m_fetchTimer; }
    void setRetryDelays(int firstMs, int maxMs);

    // This account's key fingerprint (empty until its keys were opened) and the team's keys as last
    // seen: the members for an owner, the owner for a member.
    QString ownFingerprint() const;
    QList<PeerKey> peerKeys() const { return m_peerKeys; }
    // Trusts the key `peerId` shows now in place of the one trusted before, and syncs again.
    void acceptChangedKey(const QString& peerId);

    // The answer of the service's first host data form (kept for accounts that have not moved on): a
    // container readable with the passphrase. Merged, then uploaded again in the signed form.
    void onHostSyncDownloaded(bool exists, const QString& payload, int deviceCount, qint64 revision,
                              const QDateTime& updatedAt);
    void onSyncRequestFailed(const QString& message, int httpStatus);
    void onAccountChanged(const MemberAccount& account);
    // The user signed out here: sync off, passphrase and keys forgotten on this computer.
    void onSignedOut();

    // How a key-derivation job reaches a worker thread; tests may run it in place.
    using Runner = std::function<void(std::function<void()> work)>;
    void setRunner(Runner runner) { m_runner = std::move(runner); }

signals:
    // A download or upload finished (also when it failed): for tests and the window's busy state.
    void syncSettled();

private:
    QString accountId() const;
    // accountId() while sync is available, else empty.
    QString signedInAccount() const;
    enum class Trigger { User, Auto, Background };
    void startDownload(Trigger trigger);
    // Runs `next` once a passphrase is stored for this account, asking first when none is (unless
    // `mayAsk` is false); `cancelled` when there is none.
    void withPassphrase(bool mayAsk, const QString& problem, std::function<void()> next,
                        std::function<void()> cancelled);
    void handleDownload(const SyncDownload& download);
    // Merges the account's own cloud copy against the baseline on the worker, asking about hosts
    // changed on both sides (the first pass writes nothing when there are any), then runs `merged`.
    // `asked`: the hosts the user decided about, and how.
    void mergeOwn(const HostSnapshot& cloud, const std::optional<QSet<QString>>& asked, bool takeCloud,
                  std::function<void()> merged);
    // Counts the changes not uploaded yet on the worker, shows the count and then runs `counted` (unless
    // the account changed meanwhile).
    void recountPending(std::function<void()> counted = {});
    void onCounted(const std::optional<SyncBaseline::Digests>& baseline, int pending, bool read);
    // Runs (and forgets) what waited for the count.
    void runAfterCount();
    // A count set by an operation that knows it; a count under way is dropped.
    void setPendingChanges(int count);
    // Starts the debounced upload when there are changes and nothing stands in the way.
    void armAutoUpload();
    void showPending();
    void reloadInventory();
    void scheduleRetry(const QString& problem);
    void retryNow();
    void offerSyncHere();
    void ownerDownloaded(const SyncDownload& download);
    void memberDownloaded(const SyncDownload& download);
    // Why a member has nothing to merge; ends the operation.
    void tellMember(const QString& title, const QString& text);
    void afterMerge();
    // Opens (or makes, for an account's first computer) this account's keys, then runs `next`.
    void withIdentity(std::function<void()> next);
    // The members this upload is sealed to, as trusted here, and a digest of that list.
    void withRecipients(std::function<void(const QList<TeamRecipient>&, const QString&)> next);
    void upload(bool force);
    // Asks about hosts of earlier accounts; false when nothing may go up now.
    bool settleEarlierHosts();
    // A revision older than one accepted before is a replay: refused with a message.
    bool isFresh(const QString& snapshotAccount, qint64 revision);
    // Pins `peer`'s key on first sight; returns its state.
    PeerKey checkPeer(const QString& id, const QString& email, const QByteArray& boxPublic,
                      const QByteArray& signPublic);
    // Ends the operation under way: its progress text replaced by `text` (none: cleared), state
    // unblocked, syncSettled.
    // `recount` false: m_pendingChanges was just set by the caller (and nothing changed since).
    void finish(const QString& text = QString(), int timeoutMs = 0, bool recount = true);
    void fail(const QString& title, const QString& text);
    // Runs `work` on the runner, then `done` on this object's thread unless the operation was ended or
    // the controller is gone by then.
    void offThread(std::function<void()> work, std::function<void()> done);
    // offThread with the inventory over a connection to the database opened for the worker (null when
    // it did not open) and closed there again.
    void offThreadWithInventory(std::function<void(SyncInventory*)> work, std::function<void()> done);
    // That job, for the account signed in and the locks until now.
    std::function<void()> inventoryJob(std::function<void(SyncInventory*)> work) const;
    // Ends an operation a lock interrupted: nothing was written; it runs again after the unlock.
    void stopForLock();
    void resetCloudState();

    DatabaseManager* m_db;
    ConfigManager* m_config;
    CryptoManager* m_crypto;
    AccountClient* m_account;
    HostSyncUi* m_ui;
    Runner m_runner;
    SyncTrustStore m_trust;

    std::optional<SyncIdentity> m_identity;
    QString m_identityAccount;
    QList<PeerKey> m_peerKeys;
    // Every operation has a number; answers to an ended one are dropped.
    int m_operation = 0;

    qint64 m_cloudRevision = 0;
    QDateTime m_cloudUpdatedAt;
    std::optional<SyncBaseline::Digests> m_baseline; // of m_baselineAccount, as kept in the database
    QString m_baselineAccount;
    int m_pendingChanges = -1;
    quint64 m_countGeneration = 0;
    int m_countsUnderway = 0;
    QList<std::function<void()>> m_afterCount; // follow-ups of the count under way
    QString m_problem;
    QDateTime m_lastSyncedHere;
    Trigger m_trigger = Trigger::Auto;
    bool m_uploading = false;
    bool m_uploadAfterFetch = false; // a refused or failed upload: the fetch that follows uploads again
    bool m_forceUpload = false;      // moving to the signed form uploads even an unchanged inventory
    bool m_enabling = false;
    bool m_touchedDuringSync = false; // the inventory changed while an operation was under way
    bool m_reloading = false;         // the window is redrawing what the sync wrote
    int m_conflictRetries = 0;
    int m_firstRetryMs = kFirstRetryMs;
    int m_maxRetryMs = kMaxRetryMs;
    int m_retryDelayMs = kFirstRetryMs;
    QElapsedTimer m_sinceFetch;
    QString m_lastRecipients;    // the members the cloud's team copy is sealed to
    QString m_currentRecipients; // the members it would be sealed to now
    bool m_cloudStateKnown = false;
    bool m_syncInProgress = false;
    bool m_restoreRequested = false;
    bool m_earlierHostsHeld = false; // the question about them was left open: no upload until the next sync
    QTimer m_autoSyncTimer;
    QTimer m_retryTimer;
    QTimer m_fetchTimer;
};
