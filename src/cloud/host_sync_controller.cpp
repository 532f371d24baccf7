#include "cloud/host_sync_controller.h"

#include "cloud/account_client.h"
#include "cloud/host_snapshot_codec.h"
#include "cloud/host_sync_ui.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"

#include <QHash>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QThreadPool>

#include <memory>

namespace {

const QString kPassphraseKey = QStringLiteral("sync/passphrase");

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
      m_runner([](std::function<void()> work) { derivationPool().start(std::move(work)); })
{
    m_autoSyncTimer.setSingleShot(true);
    m_autoSyncTimer.setInterval(kAutoSyncDelayMs);
    connect(&m_autoSyncTimer, &QTimer::timeout, this, &HostSyncController::uploadHostSyncNow);
    connect(m_account, &AccountClient::hostSyncDownloaded, this, &HostSyncController::onHostSyncDownloaded);
    connect(m_account, &AccountClient::hostSyncUploaded, this, &HostSyncController::onHostSyncUploaded);
    connect(m_account, &AccountClient::requestFailed, this, &HostSyncController::onRequestFailed);
}

bool HostSyncController::isSyncAvailable() const
{
    return m_account->isSignedIn() && !m_account->isPartnerMode();
}

bool HostSyncController::isMainAccount() const
{
    return m_account->account().isMainAccount();
}

QString HostSyncController::storedSyncPassphrase() const
{
    const QString sealed = QSettings().value(kPassphraseKey).toString();
    if (sealed.isEmpty() || !m_crypto) {
        return {};
    }
    return m_crypto->sealDecrypt(sealed);
}

bool HostSyncController::storeSyncPassphrase(const QString& passphrase)
{
    const QString sealed = m_crypto ? m_crypto->sealEncrypt(passphrase) : QString();
    if (sealed.isEmpty()) {
        return false;
    }
    QSettings settings;
    settings.setValue(kPassphraseKey, sealed);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool HostSyncController::promptSyncPassphrase()
{
    return m_ui->promptSyncPassphrase();
}

HostSnapshot HostSyncController::localSnapshot() const
{
    return HostSnapshot{m_db->getGroups(), m_db->getAllRemotes()};
}

void HostSyncController::offThread(std::function<void()> work, std::function<void()> done)
{
    QPointer<HostSyncController> self(this);
    m_ui->setSyncBusy(true);
    m_runner([self, work = std::move(work), done = std::move(done)]() mutable {
        work();
        // Queued to the controller's thread; dropped with the controller when it is gone by then.
        QMetaObject::invokeMethod(
            self.data(),
            [self, done = std::move(done)] {
                if (self) {
                    self->m_ui->setSyncBusy(false);
                    done();
                }
            },
            Qt::QueuedConnection);
    });
}

void HostSyncController::startHostSyncDownload(bool userInitiated)
{
    if (!isSyncAvailable() || m_syncInProgress) {
        return;
    }
    if (storedSyncPassphrase().isEmpty() && !promptSyncPassphrase()) {
        return;
    }
    m_restoreRequested = userInitiated;
    m_syncInProgress = true;
    m_ui->showSyncStatus(QStringLiteral("正在读取加密的云端主机数据…"), 0);
    m_account->downloadHostSync();
}

void HostSyncController::onHostSyncDownloaded(bool exists, const QString& payload, int deviceCount,
                                              qint64 revision, const QDateTime& updatedAt)
{
    Q_UNUSED(deviceCount)
    m_syncInProgress = false;
    m_cloudRevision = revision;
    m_cloudUpdatedAt = updatedAt;
    m_cloudStateKnown = true;
    const AppConfig& config = m_config->config();

    if (!exists) {
        m_lastSyncedDigest.clear();
        if (m_restoreRequested) {
            m_ui->showSyncMessage(
                HostSyncUi::MessageKind::Information, QStringLiteral("云端暂无数据"),
                isMainAccount() ? QStringLiteral("当前会员账号还没有主机云备份，将上传本机主机列表。")
                                : QStringLiteral("主账号尚未创建团队主机云备份，请联系主账号先开启云同步。"));
        }
        m_restoreRequested = false;
        if (isMainAccount() && config.sync_enabled && isSyncAvailable() && m_cloudStateKnown &&
            !m_syncInProgress && !storedSyncPassphrase().isEmpty()) {
            encryptAndUpload(localSnapshot());
            return;
        }
        emit syncSettled();
        return;
    }

    // Decrypted off the GUI thread; until it is done nothing else may start.
    m_syncInProgress = true;
    auto result = std::make_shared<std::pair<bool, HostSnapshot>>();
    auto error = std::make_shared<QString>();
    const QString passphrase = storedSyncPassphrase();
    offThread(
        [payload, passphrase, result, error] {
            result->first = decryptHostSnapshot(payload, passphrase, &result->second, error.get());
        },
        [this, result, error] {
            m_syncInProgress = false;
            if (!result->first) {
                m_cloudStateKnown = false;
                m_restoreRequested = false;
                m_ui->showSyncMessage(HostSyncUi::MessageKind::Warning, QStringLiteral("无法解密云端主机"),
                                      *error +
                                          QStringLiteral("\n请确认输入的是创建该备份时使用的同步密码。"));
                emit syncSettled();
                return;
            }
            m_lastSyncedDigest = snapshotDigest(result->second);
            merge(result->second);
            if (m_restoreRequested) {
                const qsizetype hosts =
                    m_db->getAllRemotes(DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip)
                        .size();
                m_ui->showSyncMessage(
                    HostSyncUi::MessageKind::Information, QStringLiteral("云端恢复完成"),
                    QStringLiteral("已安全合并云端数据，本机独有主机不会被删除。当前共有 %1 台主机。")
                        .arg(hosts));
            }
            m_restoreRequested = false;
            const AppConfig& current = m_config->config();
            if (current.sync_enabled && current.auto_sync && m_cloudStateKnown && !m_syncInProgress &&
                isSyncAvailable() && isMainAccount() &&
                snapshotDigest(localSnapshot()) != m_lastSyncedDigest) {
                m_autoSyncTimer.start();
            }
            emit syncSettled();
        });
}

void HostSyncController::merge(const HostSnapshot& cloud)
{
    QSet<QString> localIds;
    for (const Group& group : m_db->getGroups()) {
        localIds.insert(group.id);
    }
    for (Group group : cloud.groups) {
        if (localIds.contains(group.id)) {
            continue; // a local group keeps its name and place
        }
        if (group.created_at.isNull()) {
            group.created_at = QDateTime::currentDateTimeUtc();
        }
        if (m_db->addGroup(group)) {
            localIds.insert(group.id);
        }
    }
    const QList<Group> groups = m_db->getGroups();
    if (groups.isEmpty()) {
        m_ui->reloadInventory();
        return;
    }
    const QString fallbackGroupId = groups.first().id;
    // One read of the local hosts instead of two look-ups per cloud host: with 10,000 hosts that is
    // the difference between a moment and seconds of a frozen window. The sets do not change during
    // the loop (new hosts are written together at the end), so the answers are the same.
    QHash<QString, QDateTime> localUpdated;
    QSet<QPair<QString, int>> localAddresses;
    for (const Remote& local : m_db->getAllRemotes(DatabaseManager::Passwords::Skip)) {
        localUpdated.insert(local.id, local.updated_at);
        localAddresses.insert({local.host, local.port});
    }
    QList<Remote> added;
    for (Remote remote : cloud.remotes) {
        if (!localIds.contains(remote.group_id)) {
            remote.group_id = fallbackGroupId;
        }
        const auto local = localUpdated.constFind(remote.id);
        if (local != localUpdated.constEnd()) {
            const bool cloudIsNewer =
                local->isNull() || (!remote.updated_at.isNull() && remote.updated_at > *local);
            if (cloudIsNewer) {
                // With the cloud's time: stamped now, this computer's copy would look newer than an
                // edit made elsewhere in the meantime and overwrite it at that computer's next restore.
                m_db->updateRemote(remote, DatabaseManager::UpdatedAt::Keep);
            }
            continue;
        }
        if (localAddresses.contains({remote.host, remote.port})) {
            continue; // the same machine under another id
        }
        if (remote.created_at.isNull()) {
            remote.created_at = QDateTime::currentDateTimeUtc();
        }
        if (remote.updated_at.isNull()) {
            remote.updated_at = remote.created_at;
        }
        added.append(remote);
    }
    if (!added.isEmpty()) {
        m_db->addRemotes(added);
    }
    m_ui->reloadInventory();
}

void HostSyncController::uploadHostSyncNow()
{
    if (!m_config->config().sync_enabled || !isSyncAvailable() || !isMainAccount() || !m_cloudStateKnown ||
        m_syncInProgress) {
        return;
    }
    if (storedSyncPassphrase().isEmpty()) {
        return;
    }
    const HostSnapshot snapshot = localSnapshot();
    if (!m_lastSyncedDigest.isEmpty() && m_lastSyncedDigest == snapshotDigest(snapshot)) {
        return;
    }
    encryptAndUpload(snapshot);
}

void HostSyncController::encryptAndUpload(const HostSnapshot& snapshot)
{
    // This upload takes the place of a pending debounced one.
    m_autoSyncTimer.stop();
    m_syncInProgress = true;
    auto container = std::make_shared<QString>();
    auto error = std::make_shared<QString>();
    const QString passphrase = storedSyncPassphrase();
    const int hosts = static_cast<int>(snapshot.remotes.size());
    offThread([snapshot, passphrase, container,
               error] { *container = encryptHostSnapshot(snapshot, passphrase, error.get()); },
              [this, container, error, hosts] {
                  if (container->isEmpty()) {
                      m_syncInProgress = false;
                      m_ui->showSyncMessage(HostSyncUi::MessageKind::Warning, QStringLiteral("云同步失败"),
                                            *error);
                      emit syncSettled();
                      return;
                  }
                  m_ui->showSyncStatus(QStringLiteral("正在端到端加密并上传 %1 台主机…").arg(hosts), 0);
                  m_account->uploadHostSync(*container, hosts, m_cloudRevision);
              });
}

void HostSyncController::onHostSyncUploaded(qint64 revision, const QDateTime& updatedAt)
{
    m_syncInProgress = false;
    m_cloudStateKnown = true;
    m_cloudRevision = revision;
    m_cloudUpdatedAt = updatedAt;
    m_lastSyncedDigest = snapshotDigest(localSnapshot());
    m_ui->showSyncStatus(QStringLiteral("主机云同步完成 · 云端版本 %1").arg(revision), 6000);
    emit syncSettled();
}

void HostSyncController::onRequestFailed(const QString& message)
{
    Q_UNUSED(message) // the window shows it
    m_syncInProgress = false;
    m_restoreRequested = false;
    emit syncSettled();
}

void HostSyncController::onAccountChanged(const MemberAccount& account)
{
    Q_UNUSED(account)
    if (isSyncAvailable()) {
        if (m_config->config().sync_enabled && !storedSyncPassphrase().isEmpty()) {
            startHostSyncDownload(false);
        }
        return;
    }
    m_autoSyncTimer.stop();
    m_cloudStateKnown = false;
    m_cloudRevision = 0;
    m_cloudUpdatedAt = QDateTime();
    m_lastSyncedDigest.clear();
}

void HostSyncController::scheduleHostSyncUpload()
{
    const AppConfig& config = m_config->config();
    if (!config.sync_enabled || !config.auto_sync || !m_cloudStateKnown || m_syncInProgress ||
        !isSyncAvailable() || !isMainAccount()) {
        return;
    }
    if (snapshotDigest(localSnapshot()) != m_lastSyncedDigest) {
        m_autoSyncTimer.start();
    }
}

void HostSyncController::stopAutoSync()
{
    m_autoSyncTimer.stop();
    m_cloudStateKnown = false;
}
