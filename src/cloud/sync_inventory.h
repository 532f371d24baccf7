#pragma once

#include "cloud/host_snapshot.h"
#include "cloud/host_sync_ui.h"
#include "cloud/sync_baseline.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

class CryptoManager;
class DatabaseManager;

// The inventory as the host sync of one account reads and writes it: every read of the whole inventory
// with its passwords, its digests, the merges and the baseline. Made and used on a worker thread over a
// database connection of that thread.
//
// Passwords read after the program locked come out empty, and empty passwords must neither go up nor
// count every host as changed: every answer that read them says whether a lock came since `locksBefore`
// (even when the program was unlocked again since), and then holds nothing else.
class SyncInventory
{
public:
    // `crypto` may be null (no lock to watch); `account` is the account signed in.
    SyncInventory(DatabaseManager& db, const CryptoManager* crypto, quint64 locksBefore, QString account);

    // What an owner's merge of its own cloud copy came to.
    struct OwnMerge
    {
        enum class Outcome { Merged, Conflicts, Locked, Failed };
        Outcome outcome = Outcome::Failed;
        QList<HostSyncUi::Conflict> conflicts; // Conflicts: to ask about; nothing was written
        SyncBaseline::Digests baseline;        // Merged: stored with the merge
        int pending = 0;                       // Merged: changes made here the cloud does not have
    };
    // Merges the account's own cloud copy against the baseline in one transaction: read, decide, write,
    // new baseline. The first pass (`asked` nullopt) writes nothing when hosts changed on both sides;
    // the second decides those in `asked` by `takeCloud`.
    OwnMerge mergeOwn(const HostSnapshot& cloud, const std::optional<QSet<QString>>& asked, bool takeCloud);

    // A member's merge of the team hosts `owner` shares, in one transaction: the later edit wins, and
    // team hosts the owner no longer shares leave this computer. False when nothing was written.
    bool mergeTeam(const HostSnapshot& team, const QString& owner);

    struct Upload
    {
        enum class Outcome { Read, Locked, Failed };
        Outcome outcome = Outcome::Failed;
        HostSnapshot snapshot; // Read: every password opened
        SyncBaseline::Digests digests;
    };
    // What this account uploads now, and its digests.
    Upload readUpload();

    // What went up is the baseline now, and hosts that belonged to no account's cloud are this
    // account's. One transaction; false when nothing was written.
    bool recordUpload(const SyncBaseline::Digests& uploaded, const QStringList& uploadedIds);

    struct Count
    {
        bool read = false;                             // false: locked meanwhile, or no database
        std::optional<SyncBaseline::Digests> baseline; // read here when `known` was none
        int pending = -1;                              // -1: never synced here
    };
    // The changes made here that the cloud does not have, against `known` (read from the database when
    // none).
    Count countPending(const std::optional<SyncBaseline::Digests>& known);

    // The hosts account `account` may upload: every group; hosts that belong to no account's cloud yet
    // or to this one's (never "local" ones, nor those of another account).
    static HostSnapshot uploadSnapshot(DatabaseManager& db, const QString& account);

private:
    bool lockedSince() const;

    DatabaseManager& m_db;
    const CryptoManager* m_crypto;
    quint64 m_locksBefore;
    QString m_account;
};
