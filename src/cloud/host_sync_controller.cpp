#include "cloud/host_sync_controller.h"

#include "cloud/account_client.h"
#include "cloud/host_snapshot_codec.h"
#include "cloud/host_sync_ui.h"
#include "cloud/signed_snapshot_codec.h"
#include "cloud/sync_inventory.h"
#include "logger.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"

#include <QCryptographicHash>
#include <QHash>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

const QString kLocalOnly = QString::fromLatin1(DatabaseManager::kLocalOnlyOrigin);
constexpr int kFormatSigned = 2;

// Never empty, so that "not known" (empty) differs from "sealed to nobody".
QString recipientsDigest(QStringList memberIds)
{
    memberIds.sort();
    return QStringLiteral("members:") + memberIds.join(QLatin1Char(','));
}

// One pool for the whole program: a derivation takes 64 MiB, so never more than one at a time.
QThreadPool& derivationPool()
{
    static QThreadPool* pool = [] {
        auto* created = new QThreadPool;
        created->setMaxThreadCount(1);
        return created;
    }();
    return *pool;
}

} // namespace

HostSyncController::HostSyncController(DatabaseManager* database, ConfigManager* config,
                                       CryptoManager* crypto, AccountClient* account, HostSyncUi* ui,
                                       QObject* parent)
    : QObject(parent), m_db(database), m_config(config), m_crypto(crypto), m_account(account), m_ui(ui),
      m_runner([](std::function<void()> work) { derivationPool().start(std::move(work)); }), m_trust(crypto)
{
    m_autoSyncTimer.setSingleShot(true);
    m_autoSyncTimer.setInterval(kAutoSyncDelayMs);
    connect(&m_autoSyncTimer, &QTimer::timeout, this, &HostSyncController::uploadHostSyncNow);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &HostSyncController::retryNow);
    connect(&m_fetchTimer, &QTimer::timeout, this, &HostSyncController::fetchInBackground);
    connect(m_account, &AccountClient::syncRequestFailed, this, &HostSyncController::onSyncRequestFailed);
    connect(m_account, &AccountClient::signedOut, this, &HostSyncController::onSignedOut);
    connect(m_config, &ConfigManager::configChanged, this, &HostSyncController::applyConfig);
    applyConfig();
}

HostSyncController::~HostSyncController()
{
    // Worker jobs read through the database and the device key, which outlive this object but not the
    // program: none may still run when the program goes on to close them.
    derivationPool().waitForDone();
}

bool HostSyncController::isSyncAvailable() const
{
    // Locked, the passphrase and every host password stay closed: nothing starts until the unlock.
    return m_account->isSignedIn() && !m_account->isPartnerMode() && !(m_crypto && m_crypto->isLocked());
}

void HostSyncController::resumeAfterUnlock()
{
    fetchInBackground();
    scheduleHostSyncUpload();
}

bool HostSyncController::isMainAccount() const
{
    return m_account->account().isMainAccount();
}

QString HostSyncController::accountId() const
{
    return m_account->account().id;
}

QString HostSyncController::signedInAccount() const
{
    return isSyncAvailable() ? accountId() : QString();
}

QString HostSyncController::storedSyncPassphrase() const
{
    return m_trust.passphrase(signedInAccount());
}

bool HostSyncController::storeSyncPassphrase(const QString& passphrase)
{
    return m_trust.storePassphrase(passphrase, signedInAccount());
}

QString HostSyncController::ownFingerprint() const
{
    return m_identity && m_identityAccount == accountId() ? m_identity->fingerprint() : QString();
}

void HostSyncController::offThread(std::function<void()> work, std::function<void()> done)
{
    QPointer<HostSyncController> self(this);
    const int operation = m_operation;
    m_ui->setSyncBusy(true);
    m_runner([self, operation, work = std::move(work), done = std::move(done)]() mutable {
        work();
        // Queued to the controller's thread; dropped with the controller when it is gone by then.
        QMetaObject::invokeMethod(
            self.data(),
            [self, operation, done = std::move(done)] {
                if (!self) {
                    return;
                }
                self->m_ui->setSyncBusy(false);
                if (self->m_operation == operation) {
                    done();
                }
            },
            Qt::QueuedConnection);
    });
}

void HostSyncController::offThreadWithInventory(std::function<void(SyncInventory*)> work,
                                                std::function<void()> done)
{
    offThread(inventoryJob(std::move(work)), std::move(done));
}

std::function<void()> HostSyncController::inventoryJob(std::function<void(SyncInventory*)> work) const
{
    const DatabaseManager* source = m_db;
    const CryptoManager* crypto = m_crypto;
    // Taken now: a lock from here on may empty the passwords the job reads.
    const quint64 locks = m_crypto ? m_crypto->lockCount() : 0;
    return [source, crypto, locks, me = accountId(), work = std::move(work)] {
        // SQLite connections belong to one thread: this one is opened, used and closed here.
        const std::unique_ptr<DatabaseManager> own = source->openForThisThread();
        if (!own) {
            work(nullptr);
            return;
        }
        SyncInventory inventory(*own, crypto, locks, me);
        work(&inventory);
    };
}

void HostSyncController::stopForLock()
{
    SPDLOG_INFO("程序已锁定，云同步未写入任何内容，解锁后继续");
    m_uploadAfterFetch = false;
    finish(QStringLiteral("程序已锁定，云同步将在解锁后继续"), 8000);
}

void HostSyncController::finish(const QString& text, int timeoutMs, bool recount)
{
    const bool upload = m_uploadAfterFetch && m_cloudStateKnown && !m_uploading;
    m_syncInProgress = false;
    m_restoreRequested = false;
    m_uploading = false;
    m_enabling = false;
    m_uploadAfterFetch = false;
    ++m_operation;
    // Whatever the outcome, the progress text ends with the operation.
    m_ui->showSyncStatus(text, timeoutMs);
    const bool touched = m_touchedDuringSync;
    m_touchedDuringSync = false;
    if (recount || touched) {
        recountPending([this, upload, touched] {
            if (upload && m_pendingChanges > 0) {
                uploadHostSyncNow();
            } else if (touched) {
                armAutoUpload(); // edits made while the operation ran go up as any edit does
            }
        });
    } else {
        showPending();
        if (upload && m_pendingChanges > 0) {
            // A refused upload was followed by a fetch and merge: what changed here goes up now.
            QTimer::singleShot(0, this, &HostSyncController::uploadHostSyncNow);
        }
    }
    emit syncSettled();
}

void HostSyncController::fail(const QString& title, const QString& text)
{
    m_problem = text;
    m_conflictRetries = 0; // given up and said: the next upload may try again
    m_ui->showSyncStatus(QString(), 0);
    m_ui->showSyncMessage(HostSyncUi::MessageKind::Warning, title, text);
    m_uploadAfterFetch = false;
    finish();
}

bool HostSyncController::isFresh(const QString& snapshotAccount, qint64 revision)
{
    const qint64 accepted = m_trust.acceptedRevision(snapshotAccount);
    if (revision >= accepted) {
        return true;
    }
    m_cloudStateKnown = false;
    SPDLOG_WARN("云端主机数据版本 {} 早于本机已接受的版本 {}，已拒绝", revision, accepted);
    fail(QStringLiteral("云端数据已被回退"),
         QStringLiteral(
             "服务器提供的云端主机数据是第 %1 版，而本机已接受过第 %2 版。旧版本可能带回已删除的主机或旧"
             "密码，已拒绝合并，也不会上传。请联系服务管理员。")
             .arg(revision)
             .arg(accepted));
    return false;
}

HostSyncController::PeerKey HostSyncController::checkPeer(const QString& id, const QString& email,
                                                          const QByteArray& boxPublic,
                                                          const QByteArray& signPublic)
{
    PeerKey peer{id, email, QString(), PeerKey::State::NoKeys};
    if (boxPublic.isEmpty() || signPublic.isEmpty()) {
        return peer;
    }
    peer.fingerprint = SyncIdentity::fingerprint(boxPublic, signPublic);
    switch (m_trust.checkPin(accountId(), id, peer.fingerprint)) {
    case SyncTrustStore::Pin::FirstSeen:
        peer.state = PeerKey::State::FirstSeen;
        break;
    case SyncTrustStore::Pin::Trusted:
        peer.state = PeerKey::State::Trusted;
        break;
    case SyncTrustStore::Pin::Changed:
        peer.state = PeerKey::State::Changed;
        break;
    }
    m_trust.keepAccountName(id, email);
    return peer;
}

void HostSyncController::acceptChangedKey(const QString& peerId)
{
    for (PeerKey& peer : m_peerKeys) {
        if (peer.id == peerId && peer.state == PeerKey::State::Changed) {
            m_trust.pin(accountId(), peerId, peer.fingerprint);
            peer.state = PeerKey::State::Trusted;
            m_lastRecipients.clear();
            if (isMainAccount()) {
                uploadHostSyncNow();
            } else {
                startHostSyncDownload(false);
            }
            return;
        }
    }
}

void HostSyncController::withIdentity(std::function<void()> next)
{
    const QString me = accountId();
    if (m_identity && m_identityAccount == me) {
        next();
        return;
    }
    m_identity.reset();
    const QString passphrase = storedSyncPassphrase();
    m_account->fetchSyncKeys(this, [this, me, passphrase, next,
                                    operation = m_operation](const SyncKeysRecord& keys) {
        if (operation != m_operation) {
            return;
        }
        auto identity = std::make_shared<std::optional<SyncIdentity>>();
        auto wrapped = std::make_shared<QString>();
        auto error = std::make_shared<QString>();
        if (!keys.exists) {
            // This account's first computer with sync: its keys are made here.
            offThread(
                [me, passphrase, identity, wrapped, error] {
                    *identity = SyncIdentity::generate(error.get());
                    if (*identity) {
                        *wrapped = (*identity)->wrap(me, passphrase, error.get());
                    }
                },
                [this, me, next, identity, wrapped, error] {
                    if (wrapped->isEmpty()) {
                        fail(QStringLiteral("云同步失败"), *error);
                        return;
                    }
                    const SyncKeysRecord record{true, (*identity)->boxPublic(), (*identity)->signPublic(),
                                                *wrapped};
                    m_account->storeSyncKeys(record, {}, this,
                                             [this, me, next, identity, operation = m_operation] {
                                                 if (operation != m_operation) {
                                                     return;
                                                 }
                                                 m_identity = *identity;
                                                 m_identityAccount = me;
                                                 SPDLOG_INFO("已为本账号生成云同步密钥");
                                                 next();
                                             });
                });
            return;
        }
        offThread(
            [keys, me, passphrase, identity, error] {
                *identity = SyncIdentity::unwrap(keys.privateKeys, me, keys.boxPublic, keys.signPublic,
                                                 passphrase, error.get());
            },
            [this, me, next, identity, error] {
                if (!*identity) {
                    // A wrong passphrase (or one changed on another computer since) is not kept: the
                    // user is asked again, and a cancel leaves sync waiting for the right one.
                    m_cloudStateKnown = false;
                    SPDLOG_WARN("同步密码无法打开本账号的云同步密钥");
                    m_trust.forgetPassphrase();
                    withPassphrase(
                        true,
                        QStringLiteral("同步密码不正确，或已在其他电脑上更改。请输入本账号当前的同步密码。"),
                        [this, next] { withIdentity(next); },
                        [this] {
                            m_problem = QStringLiteral("同步密码不正确，尚未读取云端数据");
                            finish(m_problem, 8000);
                        });
                    return;
                }
                m_identity = *identity;
                m_identityAccount = me;
                next();
            });
    });
}

void HostSyncController::startHostSyncDownload(bool userInitiated)
{
    startDownload(userInitiated ? Trigger::User : Trigger::Auto);
}

void HostSyncController::fetchInBackground()
{
    if (!m_config->config().sync_enabled || storedSyncPassphrase().isEmpty()) {
        return;
    }
    startDownload(Trigger::Background);
}

void HostSyncController::onWindowActivated()
{
    if (m_sinceFetch.isValid() && !m_sinceFetch.hasExpired(kActivationFetchGapMs)) {
        return;
    }
    fetchInBackground();
}

void HostSyncController::startDownload(Trigger trigger)
{
    if (!isSyncAvailable() || m_syncInProgress) {
        return;
    }
    ++m_operation;
    m_trigger = trigger;
    m_restoreRequested = trigger == Trigger::User;
    m_syncInProgress = true;
    m_earlierHostsHeld = false; // a question left open is asked again, not at every debounced upload
    m_sinceFetch.start();
    if (trigger != Trigger::Background) {
        m_ui->showSyncStatus(QStringLiteral("正在读取加密的云端主机数据…"), 0);
    }
    withPassphrase(
        trigger != Trigger::Background, QString(),
        [this] {
            m_account->downloadSync(this, [this, operation = m_operation](const QByteArray& answer) {
                if (operation != m_operation) {
                    return;
                }
                // Megabytes of JSON: read on the worker.
                auto download = std::make_shared<SyncDownload>();
                offThread([answer, download] { *download = AccountClient::parseSyncDownload(answer); },
                          [this, download] { handleDownload(*download); });
            });
        },
        [this] {
            m_problem = QStringLiteral("尚未输入同步密码");
            if (m_enabling) {
                // Turning sync on was cancelled at the passphrase: it stays off.
                m_config->setSyncEnabled(false);
                if (!m_config->save()) {
                    SPDLOG_WARN("无法保存关闭云同步的配置");
                }
                m_problem.clear();
            }
            finish();
        });
}

void HostSyncController::withPassphrase(bool mayAsk, const QString& problem, std::function<void()> next,
                                        std::function<void()> cancelled)
{
    if (!storedSyncPassphrase().isEmpty()) {
        next();
        return;
    }
    if (!mayAsk) {
        cancelled();
        return;
    }
    // Whether this account has keys already decides what the user is asked: to choose a passphrase, or
    // to enter the one chosen on the first computer.
    m_account->fetchSyncKeys(this, [this, problem, next, cancelled,
                                    operation = m_operation](const SyncKeysRecord& keys) {
        if (operation != m_operation) {
            return;
        }
        const auto mode = keys.exists ? HostSyncUi::PassphraseMode::Enter : HostSyncUi::PassphraseMode::Set;
        m_ui->showSyncStatus(QString(), 0);
        std::optional<QString> typed = m_ui->askSyncPassphrase(mode, problem);
        if (operation != m_operation) {
            return; // signed out while the dialog was open
        }
        if (!typed) {
            cancelled();
            return;
        }
        const bool stored = storeSyncPassphrase(*typed);
        typed->fill(QChar(u'\0')); // not left in a freed buffer
        if (!stored) {
            fail(QStringLiteral("无法保存"), QStringLiteral("同步密码本机加密失败。"));
            return;
        }
        if (m_trigger != Trigger::Background) {
            m_ui->showSyncStatus(QStringLiteral("正在读取加密的云端主机数据…"), 0);
        }
        next();
    });
}

void HostSyncController::enableSync()
{
    if (!isSyncAvailable()) {
        return;
    }
    m_config->setSyncEnabled(true);
    m_config->setAutoSync(true);
    if (!m_config->save()) {
        // On for this run either way; only the next start would not know it.
        m_ui->showSyncMessage(HostSyncUi::MessageKind::Warning, QStringLiteral("保存失败"),
                              QStringLiteral("无法写入全局配置文件，云同步只在本次运行中开启。"));
    }
    applyConfig();
    if (m_syncInProgress) {
        return; // the download under way reads the cloud copy
    }
    startDownload(Trigger::Auto);
    m_enabling = m_syncInProgress;
}

void HostSyncController::disableSync()
{
    resetCloudState();
    m_trust.forgetPassphrase();
    m_problem.clear();
    m_ui->showSyncState(QString());
    applyConfig();
}

void HostSyncController::applyConfig()
{
    const AppConfig& config = m_config->config();
    if (!config.sync_enabled) {
        m_fetchTimer.stop();
        m_retryTimer.stop();
        return;
    }
    const int minutes = std::clamp(config.sync_interval, 1, 24 * 60);
    if (!m_fetchTimer.isActive() || m_fetchTimer.interval() != minutes * 60000) {
        m_fetchTimer.start(minutes * 60000);
    }
}

void HostSyncController::onHostSyncDownloaded(bool exists, const QString& payload, int deviceCount,
                                              qint64 revision, const QDateTime& updatedAt)
{
    Q_UNUSED(deviceCount)
    ++m_operation;
    m_syncInProgress = true;
    SyncDownload download;
    download.exists = exists;
    download.format = 1;
    download.accountId = accountId();
    download.revision = revision;
    download.updatedAt = updatedAt;
    download.payload = payload;
    handleDownload(download);
}

void HostSyncController::handleDownload(const SyncDownload& download)
{
    if (isSyncAvailable() && !download.accountId.isEmpty()) {
        m_trust.keepAccountName(accountId(), m_account->account().email);
    }
    if (isMainAccount()) {
        ownerDownloaded(download);
    } else {
        memberDownloaded(download);
    }
}

void HostSyncController::ownerDownloaded(const SyncDownload& download)
{
    const QString me = accountId();
    if (!download.exists) {
        m_cloudRevision = download.revision;
        m_cloudUpdatedAt = download.updatedAt;
        m_cloudStateKnown = true;
        m_lastRecipients.clear();
        if (m_restoreRequested) {
            m_ui->showSyncMessage(HostSyncUi::MessageKind::Information, QStringLiteral("云端暂无数据"),
                                  QStringLiteral("当前会员账号还没有主机云备份，将上传本机主机列表。"));
        }
        m_restoreRequested = false;
        if (m_config->config().sync_enabled && isSyncAvailable() && !storedSyncPassphrase().isEmpty()) {
            withIdentity([this] { upload(true); });
            return;
        }
        finish();
        return;
    }
    // The service answers for the account signed in; a snapshot of another account is never taken.
    if (download.accountId != me) {
        m_cloudStateKnown = false;
        fail(QStringLiteral("无法解密云端主机"),
             QStringLiteral("服务器返回的云端主机数据不属于当前账号，已拒绝。"));
        return;
    }
    if (!isFresh(me, download.revision)) {
        return;
    }
    if (download.format == kFormatSigned && m_cloudStateKnown && download.revision == m_cloudRevision &&
        m_identity && m_identityAccount == me && !m_restoreRequested) {
        // Nothing new since this computer last read or wrote it: no decryption, no merge.
        m_lastSyncedHere = QDateTime::currentDateTimeUtc();
        m_problem.clear();
        finish();
        return;
    }
    // The cloud state counts as read only once the merge is in: a failed or interrupted one is read
    // and merged again at the next fetch.
    auto merged = [this, me, download](const HostSnapshot& snapshot, std::function<void()> then) {
        mergeOwn(snapshot, std::nullopt, false, [this, me, download, then = std::move(then)] {
            m_cloudRevision = download.revision;
            m_cloudUpdatedAt = download.updatedAt;
            m_cloudStateKnown = true;
            m_trust.acceptRevision(me, download.revision);
            then();
        });
    };
    auto result = std::make_shared<std::pair<bool, HostSnapshot>>();
    auto error = std::make_shared<QString>();
    if (download.format != kFormatSigned) {
        // The first form, readable with the passphrase: merged, then moved to the signed form.
        const QString passphrase = storedSyncPassphrase();
        offThread(
            [payload = download.payload, passphrase, result, error] {
                result->first = decryptHostSnapshot(payload, passphrase, &result->second, error.get());
            },
            [this, result, error, merged] {
                if (!result->first) {
                    m_cloudStateKnown = false;
                    fail(QStringLiteral("无法解密云端主机"),
                         *error + QStringLiteral("\n请确认输入的是创建该备份时使用的同步密码。"));
                    return;
                }
                merged(result->second, [this] {
                    m_forceUpload = true; // whatever the inventory, it goes up in the signed form
                    afterMerge();
                });
            });
        return;
    }
    withIdentity([this, download, result, error, merged, me] {
        const SyncIdentity identity = *m_identity;
        offThread(
            [identity, download, me, result, error] {
                result->first = openFullSnapshot(download.payload, identity, me, download.revision,
                                                 &result->second, error.get());
            },
            [this, result, error, merged, sealedFor = download.sealedFor] {
                if (!result->first) {
                    m_cloudStateKnown = false;
                    m_identity.reset(); // read again next time: it may have been wrapped anew
                    fail(QStringLiteral("无法解密云端主机"), *error);
                    return;
                }
                merged(result->second, [this, sealedFor] {
                    m_lastRecipients = recipientsDigest(sealedFor);
                    // A member who joined, turned sync on or left since that upload: the team copy is
                    // sealed again (a new key that a member who left cannot open).
                    withRecipients([this](const QList<TeamRecipient>&, const QString& current) {
                        m_currentRecipients = current;
                        afterMerge();
                    });
                });
            });
    });
}

void HostSyncController::mergeOwn(const HostSnapshot& cloud, const std::optional<QSet<QString>>& asked,
                                  bool takeCloud, std::function<void()> merged)
{
    const QString me = accountId();
    auto result = std::make_shared<SyncInventory::OwnMerge>();
    offThreadWithInventory(
        [result, cloud, asked, takeCloud](SyncInventory* inventory) {
            if (inventory) {
                *result = inventory->mergeOwn(cloud, asked, takeCloud);
            }
        },
        [this, result, cloud, me, merged = std::move(merged)]() mutable {
            switch (result->outcome) {
            case SyncInventory::OwnMerge::Outcome::Conflicts: {
                // Asked with nothing written; the second pass merges with the answer.
                QSet<QString> ids;
                for (const HostSyncUi::Conflict& conflict : std::as_const(result->conflicts)) {
                    ids.insert(conflict.cloud.id);
                }
                const bool take =
                    m_ui->resolveConflicts(result->conflicts) == HostSyncUi::ConflictChoice::TakeCloud;
                mergeOwn(cloud, ids, take, std::move(merged));
                return;
            }
            case SyncInventory::OwnMerge::Outcome::Locked:
                stopForLock();
                return;
            case SyncInventory::OwnMerge::Outcome::Failed:
                fail(QStringLiteral("无法合并云端主机"),
                     QStringLiteral("写入本机主机数据库失败，本机数据没有任何改动。下次同步时会再试。"));
                return;
            case SyncInventory::OwnMerge::Outcome::Merged:
                break;
            }
            m_baseline = result->baseline;
            m_baselineAccount = me;
            setPendingChanges(result->pending);
            m_lastSyncedHere = QDateTime::currentDateTimeUtc();
            m_problem.clear();
            reloadInventory();
            merged();
        });
}

void HostSyncController::tellMember(const QString& title, const QString& text)
{
    // Asked for: a box. At sign-in: the status bar, so that nothing interrupts the start.
    if (m_restoreRequested) {
        m_ui->showSyncMessage(HostSyncUi::MessageKind::Information, title, text);
        m_ui->showSyncStatus(QString(), 0);
    } else {
        m_ui->showSyncStatus(text, 8000);
    }
    finish();
}

void HostSyncController::memberDownloaded(const SyncDownload& download)
{
    // A member's own keys come first: the owner can share the team's hosts only once they exist.
    withIdentity([this, download] {
        m_cloudRevision = download.revision;
        m_cloudUpdatedAt = download.updatedAt;
        if (!download.exists || download.format != kFormatSigned || download.teamPayload.isEmpty()) {
            m_cloudStateKnown = true;
            const QString text =
                download.exists && download.format != kFormatSigned
                    ? QStringLiteral(
                          "主账号的云端主机数据还是旧格式，成员无法读取。请主账号更新客户端并同步一次。")
                    : QStringLiteral("主账号尚未创建团队主机云备份，请联系主账号先开启云同步。");
            tellMember(QStringLiteral("云端暂无数据"), text);
            return;
        }
        if (download.sealedKey.isEmpty()) {
            m_cloudStateKnown = true;
            const QString text = QStringLiteral(
                "主账号还没有把团队主机共享给本账号。请主账号在你开启云同步之后同步一次，再从云端恢复。");
            tellMember(QStringLiteral("等待主账号共享"), text);
            return;
        }
        if (!isFresh(download.accountId, download.revision)) {
            return;
        }
        m_account->fetchSyncRoster(this, [this, download, operation = m_operation](const SyncRoster& roster) {
            if (operation != m_operation) {
                return;
            }
            if (!roster.member || roster.owner.id != download.accountId) {
                fail(QStringLiteral("无法读取团队主机"),
                     QStringLiteral("服务器返回的团队信息前后不一致，已拒绝。"));
                return;
            }
            const PeerKey owner = checkPeer(roster.owner.id, roster.owner.email, roster.owner.boxPublic,
                                            roster.owner.signPublic);
            m_peerKeys = {owner};
            if (owner.state == PeerKey::State::NoKeys) {
                fail(QStringLiteral("无法读取团队主机"), QStringLiteral("主账号还没有云同步密钥。"));
                return;
            }
            if (owner.state == PeerKey::State::Changed) {
                m_cloudStateKnown = false;
                SPDLOG_WARN("主账号的云同步密钥已变化，已拒绝团队主机数据");
                fail(QStringLiteral("主账号密钥已变化"),
                     QStringLiteral(
                         "主账号 %1 的同步密钥与本机上次信任的不同（新指纹 %2）。请当面或电话与主账号核对"
                         "指纹；确认无误后在“云同步”中接受新密钥。在此之前不会合并任何团队主机。")
                         .arg(owner.email, owner.fingerprint));
                return;
            }
            const SyncIdentity identity = *m_identity;
            const QByteArray ownerKey = roster.owner.signPublic;
            auto result = std::make_shared<std::pair<bool, HostSnapshot>>();
            auto error = std::make_shared<QString>();
            offThread(
                [identity, ownerKey, download, result, error] {
                    result->first =
                        openTeamSnapshot(download.teamPayload, download.sealedKey, identity, ownerKey,
                                         download.accountId, download.revision, &result->second, error.get());
                },
                [this, download, result, error] {
                    if (!result->first) {
                        m_cloudStateKnown = false;
                        SPDLOG_WARN("团队主机数据未通过校验，已拒绝");
                        fail(QStringLiteral("无法读取团队主机"), *error);
                        return;
                    }
                    // The whole merge in one transaction on the worker: all of it or nothing.
                    auto merged = std::make_shared<bool>(false);
                    offThreadWithInventory(
                        [snapshot = result->second, owner = download.accountId,
                         merged](SyncInventory* inventory) {
                            *merged = inventory && inventory->mergeTeam(snapshot, owner);
                        },
                        [this, download, merged] {
                            if (!*merged) {
                                m_cloudStateKnown = false;
                                fail(QStringLiteral("无法读取团队主机"),
                                     QStringLiteral("写入本机主机数据库失败，本机数据没有任何改动。"));
                                return;
                            }
                            m_cloudStateKnown = true;
                            m_trust.acceptRevision(download.accountId, download.revision);
                            reloadInventory();
                            afterMerge();
                        });
                });
        });
    });
}

void HostSyncController::afterMerge()
{
    if (m_restoreRequested) {
        m_ui->showSyncMessage(
            HostSyncUi::MessageKind::Information, QStringLiteral("云端恢复完成"),
            QStringLiteral("已安全合并云端数据，本机独有主机不会被删除。当前共有 %1 台主机。")
                .arg(visibleHostCount()));
    }
    const bool force = m_forceUpload || m_lastRecipients.isEmpty() ||
                       (!m_currentRecipients.isEmpty() && m_currentRecipients != m_lastRecipients);
    const bool uploadNow = m_uploadAfterFetch;
    m_lastSyncedHere = QDateTime::currentDateTimeUtc();
    m_problem.clear();
    m_uploadAfterFetch = false;
    finish(QString(), 0, !isMainAccount()); // mergeOwn counted the changes
    const AppConfig& config = m_config->config();
    if (!config.sync_enabled || !m_cloudStateKnown || !isSyncAvailable() || !isMainAccount()) {
        return;
    }
    if (uploadNow && (m_pendingChanges > 0 || force)) {
        uploadHostSyncNow(); // a refused upload goes up again at once, merged
    } else if (config.auto_sync && (m_pendingChanges > 0 || force)) {
        // Changes made here, a move to the signed form, or a team not sealed to yet.
        m_autoSyncTimer.start();
    }
}

void HostSyncController::uploadHostSyncNow()
{
    upload(false);
}

void HostSyncController::upload(bool force)
{
    if (!m_config->config().sync_enabled || !isSyncAvailable() || !isMainAccount() || !m_cloudStateKnown) {
        if (force) {
            finish();
        }
        return;
    }
    if (m_syncInProgress && !force) {
        return;
    }
    if (storedSyncPassphrase().isEmpty()) {
        if (force) {
            finish();
        }
        return;
    }
    if (!force) {
        ++m_operation;
        m_syncInProgress = true;
        m_trigger = Trigger::Auto;
    }
    m_uploading = true;
    // This upload takes the place of a pending debounced one or a retry.
    m_autoSyncTimer.stop();
    m_retryTimer.stop();
    withIdentity([this, force] {
        withRecipients([this, force](const QList<TeamRecipient>& recipients,
                                     const QString& recipientsDigest) {
            if (!settleEarlierHosts()) {
                finish();
                return;
            }
            // The inventory with every password opened, and its digests, read on the worker.
            auto read = std::make_shared<SyncInventory::Upload>();
            offThreadWithInventory(
                [read](SyncInventory* inventory) {
                    if (inventory) {
                        *read = inventory->readUpload();
                    }
                },
                [this, force, recipients, recipientsDigest, read] {
                    if (read->outcome == SyncInventory::Upload::Outcome::Locked) {
                        stopForLock(); // passwords that did not open never go up as empty ones
                        return;
                    }
                    if (read->outcome != SyncInventory::Upload::Outcome::Read) {
                        fail(QStringLiteral("云同步失败"), QStringLiteral("无法读取本机主机数据库。"));
                        return;
                    }
                    const HostSnapshot snapshot = std::move(read->snapshot);
                    SyncBaseline::Digests digests = std::move(read->digests);
                    const bool changedHere = !m_baseline || m_baselineAccount != accountId() ||
                                             !SyncBaseline::changes(*m_baseline, digests).isEmpty();
                    if (!force && !m_forceUpload && !changedHere && recipientsDigest == m_lastRecipients) {
                        finish(); // nothing changed here
                        return;
                    }
                    const QString me = accountId();
                    const qint64 revision = m_cloudRevision + 1;
                    const int hosts = static_cast<int>(snapshot.remotes.size());
                    const SyncIdentity identity = *m_identity;
                    const qint64 expected = m_cloudRevision;
                    auto body = std::make_shared<QByteArray>();
                    auto error = std::make_shared<QString>();
                    QStringList uploadedIds;
                    for (const Remote& remote : snapshot.remotes) {
                        uploadedIds.append(remote.id);
                    }
                    offThread(
                        [snapshot, identity, me, revision, expected, hosts, recipients, body, error] {
                            const QString full =
                                sealFullSnapshot(snapshot, identity, me, revision, error.get());
                            if (full.isEmpty()) {
                                return;
                            }
                            const std::optional<TeamUpload> team = sealTeamSnapshot(
                                teamShare(snapshot), identity, me, revision, recipients, error.get());
                            if (team) {
                                // Megabytes of JSON: written here, not on the GUI thread.
                                *body = AccountClient::syncUploadBody(full, *team, hosts, expected);
                            }
                        },
                        [this, body, error, hosts, me, digests = std::move(digests), recipientsDigest,
                         uploadedIds] {
                            if (body->isEmpty()) {
                                fail(QStringLiteral("云同步失败"), *error);
                                return;
                            }
                            m_ui->showSyncStatus(QStringLiteral("正在端到端加密并上传 %1 台主机…").arg(hosts),
                                                 0);
                            m_account->uploadSync(
                                std::move(*body), this,
                                [this, me, digests, recipientsDigest, uploadedIds,
                                 operation = m_operation](qint64 stored, const QDateTime& updatedAt) {
                                    if (operation != m_operation) {
                                        return;
                                    }
                                    m_cloudStateKnown = true;
                                    m_cloudRevision = stored;
                                    m_cloudUpdatedAt = updatedAt;
                                    m_lastRecipients = recipientsDigest;
                                    m_forceUpload = false;
                                    m_conflictRetries = 0;
                                    m_retryDelayMs = m_firstRetryMs;
                                    m_lastSyncedHere = QDateTime::currentDateTimeUtc();
                                    m_problem.clear();
                                    m_trust.acceptRevision(me, stored);
                                    // What went up is the baseline now, and these hosts are this account's:
                                    // another account signing in here is asked before taking them. Written on
                                    // the worker, in one transaction.
                                    auto saved = std::make_shared<bool>(false);
                                    offThreadWithInventory(
                                        [digests, uploadedIds, saved](SyncInventory* inventory) {
                                            *saved =
                                                inventory && inventory->recordUpload(digests, uploadedIds);
                                        },
                                        [this, me, digests, saved, stored] {
                                            if (!*saved) {
                                                // Kept in memory for this run; the next start counts from the
                                                // last one kept.
                                                SPDLOG_WARN("无法保存云同步基线");
                                            }
                                            m_baseline = digests;
                                            m_baselineAccount = me;
                                            setPendingChanges(0);
                                            // Edits made while this one was on its way are counted by
                                            // finish and go up next.
                                            finish(QStringLiteral("主机云同步完成 · 云端版本 %1").arg(stored),
                                                   6000, false);
                                        });
                                });
                        });
                });
        });
    });
}

void HostSyncController::withRecipients(std::function<void(const QList<TeamRecipient>&, const QString&)> next)
{
    m_account->fetchSyncRoster(this, [this, next, operation = m_operation](const SyncRoster& roster) {
        if (operation != m_operation) {
            return;
        }
        if (roster.member) {
            finish(); // a member never uploads
            return;
        }
        QList<TeamRecipient> recipients;
        QList<PeerKey> peers;
        QStringList sealedTo;
        m_currentRecipients.clear();
        for (const SyncPeer& member : roster.members) {
            const PeerKey peer = checkPeer(member.id, member.email, member.boxPublic, member.signPublic);
            peers.append(peer);
            if (peer.state == PeerKey::State::Trusted || peer.state == PeerKey::State::FirstSeen) {
                recipients.append({member.id, member.boxPublic});
                sealedTo.append(member.id);
            } else if (peer.state == PeerKey::State::Changed) {
                SPDLOG_WARN("团队成员 {} 的云同步密钥已变化，等待主账号确认前不再向其共享",
                            member.id.toStdString());
            }
        }
        m_peerKeys = peers;
        next(recipients, recipientsDigest(sealedTo));
    });
}

bool HostSyncController::settleEarlierHosts()
{
    const QString me = accountId();
    const QHash<QString, QString> origins = m_db->syncOrigins();
    QStringList ids;
    QSet<QString> accounts;
    for (auto it = origins.constBegin(); it != origins.constEnd(); ++it) {
        if (it.value() != me && it.value() != kLocalOnly) {
            ids.append(it.key());
            accounts.insert(it.value());
        }
    }
    if (ids.isEmpty()) {
        return true;
    }
    if (m_earlierHostsHeld) {
        return false;
    }
    QStringList accountNames;
    for (const QString& account : accounts) {
        const QString name = m_trust.accountName(account);
        accountNames.append(name.isEmpty() ? account : name);
    }
    accountNames.sort();
    QStringList hostNames;
    const QSet<QString> wanted(ids.cbegin(), ids.cend());
    for (const Remote& remote :
         m_db->getAllRemotes(DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip)) {
        if (wanted.contains(remote.id) && hostNames.size() < 10) {
            hostNames.append(remote.name.isEmpty() ? remote.host : remote.name);
        }
    }
    switch (m_ui->askAboutEarlierHosts(accountNames.join(QStringLiteral("、")), hostNames,
                                       static_cast<int>(ids.size()), m_account->account().email)) {
    case HostSyncUi::EarlierHostsChoice::KeepInAccount:
        return m_db->setSyncOrigin(ids, me);
    case HostSyncUi::EarlierHostsChoice::KeepLocalOnly:
        return m_db->setSyncOrigin(ids, kLocalOnly);
    case HostSyncUi::EarlierHostsChoice::Remove: {
        const bool removed = m_db->deleteRemotes(ids);
        reloadInventory();
        return removed;
    }
    case HostSyncUi::EarlierHostsChoice::Undecided:
        break;
    }
    m_earlierHostsHeld = true;
    m_ui->showSyncStatus(QStringLiteral("本机有其他账号的主机，尚未决定如何处理，暂不上传"), 8000);
    return false;
}

bool HostSyncController::changeSyncPassphrase()
{
    if (!m_identity || m_identityAccount != accountId() || m_syncInProgress || !isSyncAvailable()) {
        m_ui->showSyncMessage(HostSyncUi::MessageKind::Warning, QStringLiteral("更改同步密码"),
                              QStringLiteral("请先用当前同步密码完成一次云同步，再更改同步密码。"));
        return false;
    }
    std::optional<QString> typed = m_ui->askSyncPassphrase(HostSyncUi::PassphraseMode::Change, QString());
    if (!typed || m_syncInProgress || !m_identity) {
        return false;
    }
    const QString passphrase = *typed;
    typed->fill(QChar(u'\0'));
    ++m_operation;
    m_syncInProgress = true;
    const SyncIdentity identity = *m_identity;
    const QString me = accountId();
    auto wrapped = std::make_shared<QString>();
    auto error = std::make_shared<QString>();
    m_ui->showSyncStatus(QStringLiteral("正在用新同步密码重新加密本账号的同步密钥…"), 0);
    offThread(
        [identity, me, passphrase, wrapped, error] { *wrapped = identity.wrap(me, passphrase, error.get()); },
        [this, identity, passphrase, wrapped, error] {
            if (wrapped->isEmpty()) {
                fail(QStringLiteral("更改同步密码"), *error);
                return;
            }
            const SyncKeysRecord record{true, identity.boxPublic(), identity.signPublic(), *wrapped};
            m_account->storeSyncKeys(
                record, identity.signPublic(), this, [this, passphrase, operation = m_operation] {
                    if (operation != m_operation) {
                        return;
                    }
                    if (!storeSyncPassphrase(passphrase)) {
                        fail(QStringLiteral("无法保存"), QStringLiteral("同步密码本机加密失败。"));
                        return;
                    }
                    finish(QStringLiteral("同步密码已更改；本账号的其他电脑下次启动或登录后会要求输入新密码"),
                           8000);
                });
        });
    return true;
}

void HostSyncController::resetCloudState()
{
    m_autoSyncTimer.stop();
    m_retryTimer.stop();
    ++m_operation;
    m_syncInProgress = false;
    m_restoreRequested = false;
    m_uploading = false;
    m_uploadAfterFetch = false;
    m_forceUpload = false;
    m_enabling = false;
    m_conflictRetries = 0;
    m_retryDelayMs = m_firstRetryMs;
    m_cloudStateKnown = false;
    m_cloudRevision = 0;
    m_cloudUpdatedAt = QDateTime();
    m_lastSyncedHere = QDateTime();
    m_lastRecipients.clear();
    m_currentRecipients.clear();
    m_earlierHostsHeld = false;
    m_peerKeys.clear();
    m_identity.reset();
    m_identityAccount.clear();
    m_baseline.reset();
    m_baselineAccount.clear();
    setPendingChanges(-1);
    m_afterCount.clear();
    m_sinceFetch.invalidate();
}

void HostSyncController::onAccountChanged(const MemberAccount& account)
{
    if (isSyncAvailable()) {
        if (account.id != m_identityAccount) {
            resetCloudState();
            m_problem.clear();
        }
        m_trust.claimPassphrase(account.id);
        applyConfig();
        if (m_config->config().sync_enabled) {
            recountPending();
            // Asks for the passphrase when none is kept for this account (its first sign-in here).
            startHostSyncDownload(false);
        } else {
            offerSyncHere();
        }
        return;
    }
    if (m_syncInProgress) {
        m_ui->showSyncStatus(QString(), 0);
        emit syncSettled();
    }
    resetCloudState();
    m_problem.clear();
    m_fetchTimer.stop();
    m_ui->showSyncState(QString());
}

void HostSyncController::offerSyncHere()
{
    const QString me = accountId();
    if (m_trust.wasOffered(me)) {
        return;
    }
    // Sync is on for this account on another computer when its keys exist: say so once, and how to
    // join, instead of leaving this computer silently apart.
    m_account->fetchSyncKeys(this, [this, me](const SyncKeysRecord& keys) {
        if (!keys.exists || accountId() != me || m_config->config().sync_enabled) {
            return;
        }
        m_trust.markOffered(me);
        if (m_ui->offerSync(m_account->account().email)) {
            enableSync();
        }
    });
}

void HostSyncController::onSignedOut()
{
    resetCloudState();
    m_trust.forgetPassphrase();
    m_problem.clear();
    m_ui->showSyncState(QString());
    if (m_config->config().sync_enabled) {
        m_config->setSyncEnabled(false);
        if (!m_config->save()) {
            SPDLOG_WARN("退出登录后无法保存关闭云同步的配置");
        }
    }
    applyConfig();
}

void HostSyncController::reloadInventory()
{
    // The window refreshes and calls scheduleHostSyncUpload: what the sync itself wrote is no change of
    // the user's, and the operation counts it when it ends.
    m_reloading = true;
    m_ui->reloadInventory();
    m_reloading = false;
}

void HostSyncController::scheduleHostSyncUpload()
{
    if (m_reloading) {
        return;
    }
    if (m_syncInProgress) {
        m_touchedDuringSync = true; // counted when the operation ends
        return;
    }
    recountPending([this] { armAutoUpload(); });
}

void HostSyncController::armAutoUpload()
{
    const AppConfig& config = m_config->config();
    if (!config.sync_enabled || !config.auto_sync || !m_cloudStateKnown || m_syncInProgress ||
        !isSyncAvailable() || !isMainAccount() || m_retryTimer.isActive()) {
        return;
    }
    if (m_pendingChanges > 0) {
        m_autoSyncTimer.start();
    }
}

qsizetype HostSyncController::visibleHostCount() const
{
    const QList<Remote> hosts =
        m_db->getAllRemotes(DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip);
    if (isSyncAvailable() && !isMainAccount()) {
        return std::count_if(hosts.cbegin(), hosts.cend(), [](const Remote& remote) {
            return remote.access_scope == QLatin1String("team");
        });
    }
    return hosts.size();
}

void HostSyncController::setPendingChanges(int count)
{
    m_pendingChanges = count;
    ++m_countGeneration; // a count under way was made against what this replaces
}

void HostSyncController::recountPending(std::function<void()> counted)
{
    if (counted) {
        m_afterCount.append(std::move(counted));
    }
    const QString me = accountId();
    if (!m_config->config().sync_enabled || !isSyncAvailable() || !isMainAccount()) {
        setPendingChanges(-1);
        m_ui->showSyncState(QString());
        runAfterCount();
        return;
    }
    // Every password opened and every host digested: about half a second at 10,000 hosts, so on the
    // worker with its own connection. Only the latest count is shown; the ones it replaced run their
    // follow-ups with it.
    const quint64 generation = ++m_countGeneration;
    ++m_countsUnderway;
    auto count = std::make_shared<SyncInventory::Count>();
    std::optional<SyncBaseline::Digests> known;
    if (m_baselineAccount == me && m_baseline) {
        known = m_baseline;
    }
    // Not an operation of its own (offThread): a count runs beside them and ends none.
    const std::function<void()> job =
        inventoryJob([count, known = std::move(known)](SyncInventory* inventory) {
            if (inventory) {
                *count = inventory->countPending(known);
            }
        });
    QPointer<HostSyncController> self(this);
    m_runner([self, generation, count, job, me] {
        job();
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, count, me] {
                if (!self) {
                    return;
                }
                --self->m_countsUnderway;
                if (self->m_countGeneration == generation && self->accountId() == me) {
                    self->onCounted(count->baseline, count->pending, count->read);
                }
            },
            Qt::QueuedConnection);
    });
}

void HostSyncController::onCounted(const std::optional<SyncBaseline::Digests>& baseline, int pending,
                                   bool read)
{
    if (baseline && !(m_baselineAccount == accountId() && m_baseline)) {
        m_baseline = baseline;
        m_baselineAccount = accountId();
    }
    if (read) {
        m_pendingChanges = pending;
        showPending();
    }
    runAfterCount();
}

void HostSyncController::runAfterCount()
{
    const QList<std::function<void()>> waiting = std::exchange(m_afterCount, {});
    for (const std::function<void()>& next : waiting) {
        next();
    }
}

void HostSyncController::showPending()
{
    const bool counts = m_config->config().sync_enabled && isSyncAvailable() && isMainAccount();
    m_ui->showSyncState(counts && m_pendingChanges > 0
                            ? QStringLiteral("%1 处更改尚未上传").arg(m_pendingChanges)
                            : QString());
}

void HostSyncController::onSyncRequestFailed(const QString& message, int httpStatus)
{
    if (!m_syncInProgress) {
        return;
    }
    const bool uploading = m_uploading;
    const bool transient = httpStatus == 0 || httpStatus == 429 || httpStatus >= 500;
    SPDLOG_WARN("云同步请求失败 (HTTP {}): {}", httpStatus, message);
    if (uploading && httpStatus == 409 && ++m_conflictRetries <= 3) {
        // Another computer uploaded first: read its copy, merge, and go up again, without a question
        // unless the same host changed on both sides.
        finish();
        m_uploadAfterFetch = true;
        startDownload(Trigger::Background);
        return;
    }
    if (transient && (uploading || m_pendingChanges > 0)) {
        // Kept: the changes stay in the database and go up when the service answers again.
        scheduleRetry(message);
        return;
    }
    m_problem = message;
    if (m_trigger == Trigger::User || (!transient && httpStatus != 401)) {
        fail(uploading ? QStringLiteral("云同步失败") : QStringLiteral("无法读取云端主机"), message);
        return;
    }
    // A quiet fetch that found no service: said in the status bar, tried again at the next one.
    finish(QStringLiteral("云同步暂时无法完成：%1").arg(message), 8000);
}

void HostSyncController::scheduleRetry(const QString& problem)
{
    m_problem = problem;
    const int delay = m_retryDelayMs;
    m_retryDelayMs = std::min(m_retryDelayMs * 2, m_maxRetryMs);
    m_conflictRetries = 0;
    finish(QStringLiteral("云同步暂时无法完成（%1），%2 秒后重试").arg(problem).arg((delay + 999) / 1000),
           8000);
    m_retryTimer.start(delay);
}

void HostSyncController::retryNow()
{
    if (m_syncInProgress) {
        m_retryTimer.start(m_retryDelayMs);
        return;
    }
    if (m_cloudStateKnown) {
        uploadHostSyncNow();
    } else {
        // The cloud copy must be read first; what changed here follows it up.
        startDownload(Trigger::Background);
        m_uploadAfterFetch = m_syncInProgress;
    }
}

void HostSyncController::setRetryDelays(int firstMs, int maxMs)
{
    m_firstRetryMs = firstMs;
    m_maxRetryMs = maxMs;
    m_retryDelayMs = firstMs;
}
