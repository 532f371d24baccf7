#pragma once

#include "cloud/host_snapshot.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class SyncIdentity;

// The signed snapshots of the team sync. The owner uploads two containers at once:
//
//   full: "NIMBARA-SYNC-2." nonce "." box "." signature — every group and host, encrypted with the
//         owner's vault key, readable only by the owner's own computers;
//   team: "NIMBARA-TEAM-2." nonce "." box "." signature — only the hosts shared with the team and their
//         groups, encrypted with a team key that is new for every upload and sealed to each member's
//         public key (so a member removed before an upload cannot read it).
//
// Parts are URL-safe Base64 without padding; box is XChaCha20-Poly1305 of the payload JSON of the first
// form, with the kind, the account id and the revision as associated data; the Ed25519 signature covers
// the same data and the nonce and box. A container therefore opens only as the revision of the account
// it was made for, and only the owner's signing key can make one that verifies: a member who holds a
// team key, or the server, cannot forge or move one. Errors are ready-to-show Chinese texts.

struct TeamRecipient
{
    QString memberId;
    QByteArray boxPublic;
};

struct SealedTeamKey
{
    QString memberId;
    QString sealed; // URL-safe Base64 of crypto_box_seal(team key, member's box key)

    bool operator==(const SealedTeamKey&) const = default;
};

struct TeamUpload
{
    QString container;
    QList<SealedTeamKey> keys;
};

// What members may receive: the hosts whose scope is "team" and the groups they are in.
HostSnapshot teamShare(const HostSnapshot& full);

QString sealFullSnapshot(const HostSnapshot& snapshot, const SyncIdentity& owner, const QString& accountId,
                         qint64 revision, QString* error);
bool openFullSnapshot(const QString& container, const SyncIdentity& owner, const QString& accountId,
                      qint64 revision, HostSnapshot* snapshot, QString* error);

std::optional<TeamUpload> sealTeamSnapshot(const HostSnapshot& team, const SyncIdentity& owner,
                                           const QString& accountId, qint64 revision,
                                           const QList<TeamRecipient>& recipients, QString* error);
// `ownerSignPublic` is the owner's key as this computer trusts it, never one taken from the answer
// unchecked.
bool openTeamSnapshot(const QString& container, const QString& sealedKey, const SyncIdentity& member,
                      const QByteArray& ownerSignPublic, const QString& accountId, qint64 revision,
                      HostSnapshot* snapshot, QString* error);
