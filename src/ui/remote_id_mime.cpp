#include "ui/remote_id_mime.h"

#include <QDataStream>
#include <QIODevice>

QByteArray encodeRemoteIds(const QStringList& ids)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out << ids;
    return payload;
}

QStringList decodeRemoteIds(const QByteArray& payload)
{
    // Read element by element instead of `in >> list`: a drop can come from any program, and the
    // list operator would reserve room for whatever count the bytes claim.
    QDataStream in(payload);
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok) {
        return {};
    }
    // Each id needs at least its 4-byte length.
    const qint64 remaining = payload.size() - static_cast<qint64>(sizeof(quint32));
    if (static_cast<qint64>(count) > remaining / 4) {
        return {};
    }
    QStringList ids;
    ids.reserve(static_cast<qsizetype>(count));
    for (quint32 i = 0; i < count; ++i) {
        QString id;
        in >> id;
        if (in.status() != QDataStream::Ok) {
            return {};
        }
        ids.append(id);
    }
    if (!in.atEnd()) {
        return {};
    }
    return ids;
}
