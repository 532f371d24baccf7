#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Host ids carried by a drag from the host table to the navigation tree.
inline const QString kRemoteIdsMimeType = QStringLiteral("application/x-nimbara-remote-ids");

// Qt data-stream encoding of a string list (default version, big-endian): a 32-bit count, then per
// id a 32-bit byte length and the id in UTF-16.
QByteArray encodeRemoteIds(const QStringList& ids);

// The id list of a payload made by encodeRemoteIds; empty when the bytes are not such a payload.
QStringList decodeRemoteIds(const QByteArray& payload);
