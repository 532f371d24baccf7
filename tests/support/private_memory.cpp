#include "support/private_memory.h"

#include <QFile>

qint64 PrivateMemory::bytes()
{
    QFile file(QStringLiteral("/proc/self/smaps_rollup"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 kib = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("Anonymous:"))
            kib += line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return kib * 1024;
}
