#include "support/private_memory.h"

#include <QFile>

qint64 PrivateMemory::bytes()
{
    return bytes(0);
}

qint64 PrivateMemory::bytes(qint64 processId)
{
    QFile file(processId > 0 ? QStringLiteral("/proc/%1/smaps_rollup").arg(processId)
                             : QStringLiteral("/proc/self/smaps_rollup"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 kib = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("Anonymous:"))
            kib += line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return kib * 1024;
}
