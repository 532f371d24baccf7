#pragma once

#include "cloud/host_snapshot.h"

#include <QByteArray>
#include <QString>

// The host snapshot as the account service stores it, readable only with the sync passphrase.
//
// Payload: compact UTF-8 JSON {"groups":[...],"remotes":[...],"schema":1} with sorted keys and times
// in ISO 8601 with milliseconds (an unset time is ""). Container: "NIMBARA-SYNC-1." followed by the
// salt (16 bytes), the nonce (24 bytes) and the secretbox (tag first) in URL-safe Base64 without
// padding, separated by dots. Key: Argon2id 1.3 over the passphrase's UTF-8 bytes, opslimit 2,
// memlimit 64 MiB. Other computers must keep decrypting what this one wrote, so none of it may change.
//
// Errors are ready-to-show Chinese texts; `error` and `snapshot` may be null.

// The payload of `snapshot`. It holds the passwords in plain text: wipe it after use.
QByteArray serializeHostSnapshot(const HostSnapshot& snapshot);

// Reads a payload; invalid groups and hosts are skipped. On failure `snapshot` is left as it was.
bool parseHostSnapshot(const QByteArray& json, HostSnapshot* snapshot, QString* error);

// The container of `snapshot` under a new salt and nonce, or empty on failure.
QString encryptHostSnapshot(const HostSnapshot& snapshot, const QString& passphrase, QString* error);

// Opens a container; on failure `snapshot` is left as it was.
bool decryptHostSnapshot(const QString& container, const QString& passphrase, HostSnapshot* snapshot,
                         QString* error);

// Lower-case hexadecimal SHA-256 of the payload: equal snapshots have equal digests.
QString snapshotDigest(const HostSnapshot& snapshot);
