#include "cloud/sync_baseline.h"

#include <QCryptographicHash>
#include <QDateTime>

namespace {

QString seconds(const QDateTime& time)
{
    return time.isValid() ? QString::number(time.toSecsSinceEpoch()) : QString();
}

QString hashOf(const QStringList& fields)
{
    // Fields joined with a separator no field of a record can hold unescaped.
    QByteArray bytes;
    for (const QString& field : fields) {
        bytes += field.toUtf8().toBase64();
        bytes += ',';
    }
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(32));
}

} // namespace

QString SyncBaseline::digest(const Remote& remote)
{
    return hashOf(
        {remote.name, remote.host, QString::number(remote.port), remote.username, remote.password,
         remote.remark, remote.group_id, remote.mac_address,
         remote.legacy_rdp_security ? QStringLiteral("1") : QStringLiteral("0"), remote.protocol,
         remote.agent_device_id, remote.rdp_certificate_fingerprint,
         remote.access_scope == QLatin1String("team") ? QStringLiteral("team") : QStringLiteral("owner"),
         seconds(remote.created_at), seconds(remote.updated_at)});
}

QString SyncBaseline::digest(const Group& group)
{
    // The creation time differs between computers that each made the default group: not a change.
    return hashOf({group.name, QString::number(group.sort_order)});
}

SyncBaseline::Digests SyncBaseline::digests(const HostSnapshot& snapshot)
{
    Digests result;
    result.reserve(snapshot.groups.size() + snapshot.remotes.size());
    for (const Group& group : snapshot.groups) {
        result.insert(groupKey(group.id), digest(group));
    }
    for (const Remote& remote : snapshot.remotes) {
        result.insert(hostKey(remote.id), digest(remote));
    }
    return result;
}

QStringList SyncBaseline::changes(const Digests& base, const Digests& local)
{
    QStringList changed;
    for (auto it = local.constBegin(); it != local.constEnd(); ++it) {
        const auto known = base.constFind(it.key());
        if (known == base.constEnd() || *known != it.value()) {
            changed.append(it.key());
        }
    }
    for (auto it = base.constBegin(); it != base.constEnd(); ++it) {
        if (!local.contains(it.key())) {
            changed.append(it.key());
        }
    }
    return changed;
}

SyncBaseline::Decision SyncBaseline::decide(const std::optional<Digests>& base, const QString& key,
                                            const QString* local, const QString& cloud, bool cloudIsNewer)
{
    if (!base) {
        if (!local) {
            return Decision::AddCloud;
        }
        return cloudIsNewer ? Decision::TakeCloud : Decision::KeepLocal;
    }
    const auto known = base->constFind(key);
    const bool inBase = known != base->constEnd();
    const bool cloudChanged = !inBase || *known != cloud;
    if (!local) {
        // Removed here: the removal stands unless the cloud changed the host since.
        return inBase && !cloudChanged ? Decision::SkipCloud : Decision::AddCloud;
    }
    if (!cloudChanged || *local == cloud) {
        return Decision::KeepLocal;
    }
    const bool localChanged = !inBase || *known != *local;
    return localChanged ? Decision::Conflict : Decision::TakeCloud;
}

SyncBaseline::Digests SyncBaseline::afterMerge(const std::optional<Digests>& base, const Digests& cloud,
                                               const Digests& localAfter)
{
    Digests next;
    next.reserve(cloud.size());
    for (auto it = cloud.constBegin(); it != cloud.constEnd(); ++it) {
        const bool here = localAfter.contains(it.key());
        const bool removedHere = base && base->value(it.key()) == it.value();
        // Held here (in whatever form), or removed here with the removal still to go up. A cloud host
        // left out as a duplicate of one here is neither: it goes when this computer next uploads.
        if (here || removedHere) {
            next.insert(it.key(), it.value());
        }
    }
    if (base) {
        for (auto it = localAfter.constBegin(); it != localAfter.constEnd(); ++it) {
            // Gone from the cloud but unchanged here: another computer removed it. Merges never remove,
            // and it is no change of this computer's to send back either.
            if (!cloud.contains(it.key()) && base->value(it.key()) == it.value() &&
                base->contains(it.key())) {
                next.insert(it.key(), it.value());
            }
        }
    }
    return next;
}
