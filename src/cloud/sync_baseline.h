#pragma once

#include "cloud/host_snapshot.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// What this computer and its account's cloud copy agreed on at the last sync, item by item ("g:" or
// "h:" and the id, mapped to a digest of what sync carries of it). Comparing the inventory with it
// tells the user's own changes from the cloud's: a computer uploads only what changed here, takes
// what changed only in the cloud, and asks only when the same host changed on both sides.
class SyncBaseline
{
public:
    using Digests = QHash<QString, QString>;

    enum class Decision {
        KeepLocal, // unchanged in the cloud, or changed only here
        TakeCloud, // changed only in the cloud
        AddCloud,  // new in the cloud
        SkipCloud, // removed here and unchanged in the cloud: the removal goes up
        Conflict   // changed differently on both sides
    };

    static QString groupKey(const QString& id) { return QStringLiteral("g:") + id; }
    static QString hostKey(const QString& id) { return QStringLiteral("h:") + id; }
    // Times count to the second, as the host database keeps them.
    static QString digest(const Remote& remote);
    static QString digest(const Group& group);
    static Digests digests(const HostSnapshot& snapshot);

    // The items that differ between `base` and `local`: changed, added or removed here.
    static QStringList changes(const Digests& base, const Digests& local);

    // For a cloud host: `base` is nullopt when this computer never synced with the account (then the
    // later edit wins, as before any baseline existed).
    static Decision decide(const std::optional<Digests>& base, const QString& key, const QString* local,
                           const QString& cloud, bool cloudIsNewer);

    // The baseline after a merge: every item the cloud holds and this computer kept as the cloud has
    // it counts as agreed; what changed here only (or was kept against the cloud) stays a change.
    static Digests afterMerge(const std::optional<Digests>& base, const Digests& cloud,
                              const Digests& localAfter);
};
