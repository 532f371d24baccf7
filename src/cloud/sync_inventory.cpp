#include "cloud/sync_inventory.h"

#include "logger.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"

#include <QHash>
#include <QPair>

#include <utility>

namespace {

const QString kLocalOnly = QString::fromLatin1(DatabaseManager::kLocalOnlyOrigin);

using Decide =
    std::function<SyncBaseline::Decision(const Remote& cloud, bool localExists, bool cloudIsNewer)>;

// Merges `cloud` over `db` and tags what came in with `origin`; `withdraw` drops hosts of that origin the
// snapshot no longer holds (a member's copy of the team hosts). Run inside the caller's transaction:
// false when any write failed, and the caller rolls all of it back.
bool mergeInto(DatabaseManager& db, const HostSnapshot& cloud, const QString& origin, bool withdraw,
               const Decide& decide)
{
    QSet<QString> localIds;
    for (const Group& group : db.getGroups()) {
        localIds.insert(group.id);
    }
    for (Group group : cloud.groups) {
        if (localIds.contains(group.id)) {
            continue; // a local group keeps its name and place
        }
        if (group.created_at.isNull()) {
            group.created_at = QDateTime::currentDateTimeUtc();
        }
        if (!db.addGroup(group)) {
            return false;
        }
        localIds.insert(group.id);
    }
    const QList<Group> groups = db.getGroups();
    if (groups.isEmpty()) {
        return true;
    }
    const QString fallbackGroupId = groups.first().id;
    // One read of the local hosts instead of two look-ups per cloud host. The sets do not change during
    // the loop (new hosts are written together at the end), so the answers are the same.
    QHash<QString, QDateTime> localUpdated;
    QSet<QPair<QString, int>> localAddresses;
    for (const Remote& local : db.getAllRemotes(DatabaseManager::Passwords::Skip)) {
        localUpdated.insert(local.id, local.updated_at);
        localAddresses.insert({local.host, local.port});
    }
    QList<Remote> added;
    QStringList taken;
    QSet<QString> inCloud;
    for (Remote remote : cloud.remotes) {
        inCloud.insert(remote.id);
        if (!localIds.contains(remote.group_id)) {
            remote.group_id = fallbackGroupId;
        }
        const auto local = localUpdated.constFind(remote.id);
        const bool localExists = local != localUpdated.constEnd();
        const bool cloudIsNewer =
            localExists && (local->isNull() || (!remote.updated_at.isNull() && remote.updated_at > *local));
        const SyncBaseline::Decision decision = decide(remote, localExists, cloudIsNewer);
        if (decision == SyncBaseline::Decision::SkipCloud) {
            continue; // removed here; the removal goes up with the next upload
        }
        if (localExists) {
            if (decision == SyncBaseline::Decision::TakeCloud) {
                // With the cloud's time: stamped now, this computer's copy would look newer than an
                // edit made elsewhere in the meantime and overwrite it at that computer's next restore.
                if (!db.updateRemote(remote, DatabaseManager::UpdatedAt::Keep)) {
                    return false;
                }
                taken.append(remote.id);
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
        taken.append(remote.id);
        added.append(remote);
    }
    if (!added.isEmpty() && !db.addRemotes(added)) {
        return false;
    }
    if (origin.isEmpty()) {
        return true;
    }
    const QHash<QString, QString> origins = db.syncOrigins();
    QStringList tagged;
    for (const QString& id : taken) {
        if (origins.value(id) != kLocalOnly) {
            tagged.append(id);
        }
    }
    if (!db.setSyncOrigin(tagged, origin)) {
        return false;
    }
    if (withdraw) {
        // Team hosts the owner no longer shares (made private, deleted, or the member removed from a
        // host's scope) leave this computer with their passwords.
        QStringList withdrawn;
        for (auto it = origins.constBegin(); it != origins.constEnd(); ++it) {
            if (it.value() == origin && !inCloud.contains(it.key())) {
                withdrawn.append(it.key());
            }
        }
        if (!withdrawn.isEmpty()) {
            if (!db.deleteRemotes(withdrawn)) {
                return false;
            }
            SPDLOG_INFO("主账号已不再共享 {} 台团队主机，已从本机移除", withdrawn.size());
        }
    }
    return true;
}

} // namespace

SyncInventory::SyncInventory(DatabaseManager& db, const CryptoManager* crypto, quint64 locksBefore,
                             QString account)
    : m_db(db), m_crypto(crypto), m_locksBefore(locksBefore), m_account(std::move(account))
{
}

bool SyncInventory::lockedSince() const
{
    return m_crypto != nullptr && (m_crypto->isLocked() || m_crypto->lockCount() != m_locksBefore);
}

HostSnapshot SyncInventory::uploadSnapshot(DatabaseManager& db, const QString& account)
{
    const QHash<QString, QString> origins = db.syncOrigins();
    HostSnapshot snapshot{db.getGroups(), {}};
    for (Remote& remote : db.getAllRemotes()) {
        const QString origin = origins.value(remote.id);
        if (origin.isEmpty() || origin == account) {
            snapshot.remotes.append(std::move(remote));
        }
    }
    return snapshot;
}

SyncInventory::OwnMerge SyncInventory::mergeOwn(const HostSnapshot& cloud,
                                                const std::optional<QSet<QString>>& asked, bool takeCloud)
{
    OwnMerge result;
    bool merged = false;
    const bool committed = m_db.inTransaction([&] {
        const std::optional<SyncBaseline::Digests> base = m_db.syncBaseline(m_account);
        const HostSnapshot local = uploadSnapshot(m_db, m_account);
        if (lockedSince()) {
            result.outcome = OwnMerge::Outcome::Locked;
            return false;
        }
        const SyncBaseline::Digests localDigests = SyncBaseline::digests(local);
        const SyncBaseline::Digests cloudDigests = SyncBaseline::digests(cloud);
        QHash<QString, const Remote*> localHosts;
        for (const Remote& remote : local.remotes) {
            localHosts.insert(remote.id, &remote);
        }
        // Hosts changed on both sides since the last agreement: the only question a merge asks.
        QSet<QString> conflicted;
        for (const Remote& remote : cloud.remotes) {
            const QString key = SyncBaseline::hostKey(remote.id);
            const auto own = localDigests.constFind(key);
            if (own != localDigests.constEnd() &&
                SyncBaseline::decide(base, key, &*own, cloudDigests.value(key), false) ==
                    SyncBaseline::Decision::Conflict) {
                conflicted.insert(remote.id);
                if (!asked) {
                    result.conflicts.append({*localHosts.value(remote.id), remote});
                }
            }
        }
        if (!asked && !conflicted.isEmpty()) {
            result.outcome = OwnMerge::Outcome::Conflicts;
            return false;
        }
        // Groups renamed or reordered on another computer (and not here) follow.
        if (base) {
            for (const Group& group : cloud.groups) {
                const QString key = SyncBaseline::groupKey(group.id);
                const auto own = localDigests.constFind(key);
                if (own != localDigests.constEnd() &&
                    SyncBaseline::decide(base, key, &*own, cloudDigests.value(key), false) ==
                        SyncBaseline::Decision::TakeCloud &&
                    !m_db.updateGroup(group)) {
                    return false;
                }
            }
        }
        const auto decide = [&](const Remote& remote, bool localExists, bool cloudIsNewer) {
            const QString key = SyncBaseline::hostKey(remote.id);
            const auto own = localDigests.constFind(key);
            if (localExists && own == localDigests.constEnd()) {
                // Kept on this computer only, or another account's: the later edit wins, as always.
                return cloudIsNewer ? SyncBaseline::Decision::TakeCloud : SyncBaseline::Decision::KeepLocal;
            }
            if (conflicted.contains(remote.id)) {
                // Edited here after the question was asked: that edit stays.
                return takeCloud && asked->contains(remote.id) ? SyncBaseline::Decision::TakeCloud
                                                               : SyncBaseline::Decision::KeepLocal;
            }
            return SyncBaseline::decide(base, key, own == localDigests.constEnd() ? nullptr : &*own,
                                        cloudDigests.value(key), cloudIsNewer);
        };
        if (!mergeInto(m_db, cloud, m_account, false, decide)) {
            return false;
        }
        const SyncBaseline::Digests localAfter = SyncBaseline::digests(uploadSnapshot(m_db, m_account));
        if (lockedSince()) {
            result.outcome = OwnMerge::Outcome::Locked;
            return false;
        }
        result.baseline = SyncBaseline::afterMerge(base, cloudDigests, localAfter);
        result.pending = static_cast<int>(SyncBaseline::changes(result.baseline, localAfter).size());
        merged = m_db.setSyncBaseline(m_account, result.baseline);
        return merged;
    });
    if (merged && committed) {
        result.outcome = OwnMerge::Outcome::Merged;
    }
    return result;
}

bool SyncInventory::mergeTeam(const HostSnapshot& team, const QString& owner)
{
    return m_db.inTransaction([&] {
        return mergeInto(m_db, team, owner, true, [](const Remote&, bool localExists, bool cloudIsNewer) {
            using D = SyncBaseline::Decision;
            return !localExists ? D::AddCloud : cloudIsNewer ? D::TakeCloud : D::KeepLocal;
        });
    });
}

SyncInventory::Upload SyncInventory::readUpload()
{
    Upload upload;
    upload.snapshot = uploadSnapshot(m_db, m_account);
    if (lockedSince()) {
        upload.snapshot = HostSnapshot();
        upload.outcome = Upload::Outcome::Locked;
        return upload;
    }
    upload.digests = SyncBaseline::digests(upload.snapshot);
    upload.outcome = Upload::Outcome::Read;
    return upload;
}

bool SyncInventory::recordUpload(const SyncBaseline::Digests& uploaded, const QStringList& uploadedIds)
{
    return m_db.inTransaction([&] {
        const QHash<QString, QString> origins = m_db.syncOrigins();
        QStringList fresh;
        for (const QString& id : uploadedIds) {
            if (origins.value(id).isEmpty()) {
                fresh.append(id);
            }
        }
        return m_db.setSyncBaseline(m_account, uploaded) && m_db.setSyncOrigin(fresh, m_account);
    });
}

SyncInventory::Count SyncInventory::countPending(const std::optional<SyncBaseline::Digests>& known)
{
    Count count;
    if (!known) {
        count.baseline = m_db.syncBaseline(m_account);
    }
    const std::optional<SyncBaseline::Digests>& base = known ? known : count.baseline;
    const HostSnapshot snapshot = base ? uploadSnapshot(m_db, m_account) : HostSnapshot();
    count.read = !lockedSince();
    if (base && count.read) {
        count.pending =
            static_cast<int>(SyncBaseline::changes(*base, SyncBaseline::digests(snapshot)).size());
    }
    return count;
}
