#pragma once

#include "account_store.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The bodies of the host data exchange, which may be 64 MiB: read and written here without the
// copies a JSON document makes, so that the work can run on a worker thread and an answer can be
// shared by every connection that reads it.
class HostSyncBody
{
public:
    struct Upload
    {
        QByteArray payload; // UTF-8
        qint64 deviceCount = 0;
        qint64 expectedRevision = 0;
    };

    // A format 2 upload: the owner's payload, the team payload and its key sealed to members.
    struct TeamUpload
    {
        QByteArray payload;     // UTF-8
        QByteArray teamPayload; // UTF-8
        QList<SealedKey> sealedKeys;
        qint64 deviceCount = 0;
        qint64 expectedRevision = 0;
    };

    static constexpr qsizetype kMaxSealedKeyLength = 512;

    // The JSON answer to a read: exists, payload, device_count, revision, updated_at.
    static QByteArray answer(const HostSnapshot& snapshot);
    // The same answer built around the stored bytes: `out` holds kAnswerPrefix and the payload (an
    // existing snapshot's, as AccountStore::snapshotInto() leaves it), and only the rest is appended.
    // Stored bytes that would need escaping (clients store Base64 text, which never does) make the
    // answer anew on the escaping path, so the answer is valid JSON whatever was stored.
    static constexpr char kAnswerPrefix[] = "{\"exists\":true,\"payload\":\"";
    static void finishAnswer(const HostSnapshot& snapshot, QByteArray* out);
    // A quote, a backslash or a control character: bytes a JSON string cannot hold as they are.
    static bool needsEscaping(const char* data, qsizetype size);
    // The owner's answer on the second path: exists, format, account_id, revision, updated_at,
    // device_count and the payload (whichever format it is in) when there is one.
    static QByteArray ownerAnswer(const HostSnapshot& snapshot, const QString& accountId);
    // A member's answer: the same head, the team payload and the member's own sealed key; never the
    // owner's payload.
    static QByteArray memberAnswer(const HostSnapshot& snapshot, const QString& ownerId);
    // An upload's fields; empty with `error` set (the English text of a 400) when they are unusable.
    static std::optional<Upload> readUpload(const QByteArray& body, QString* error);
    // The same for a format 2 upload: both payloads with their format's prefix, sealed keys of
    // printable ASCII, no member twice. Whether the members are in the team is the caller's check.
    static std::optional<TeamUpload> readTeamUpload(const QByteArray& body, QString* error);
    // Printable ASCII (space to tilde), 1 to `maxLength` characters.
    static bool isPrintableAscii(const QString& text, qsizetype maxLength);
};
