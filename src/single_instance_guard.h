#pragma once

#include <QSharedMemory>
#include <QString>

// Allows one running copy per login user: a 1-byte shared memory segment named after the user.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString& key);

    // True when this process now holds the segment. A segment left behind by a copy that crashed
    // is released by the attach/detach round and taken over.
    bool tryAcquire();

    // "NIMBARA.Controller.<hash>" of the login user (uid and user name).
    static QString keyForCurrentUser();
    static QString keyFor(const QString& userIdentity);

private:
    QSharedMemory m_memory;
};
