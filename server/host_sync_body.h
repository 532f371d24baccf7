#pragma once

#include "account_store.h"

#include <QByteArray>
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

    // The JSON answer to a read: exists, payload, device_count, revision, updated_at.
    static QByteArray answer(const HostSnapshot& snapshot);
    // An upload's fields; empty with `error` set (the English text of a 400) when they are unusable.
    static std::optional<Upload> readUpload(const QByteArray& body, QString* error);
};
