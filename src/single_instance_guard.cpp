#include "single_instance_guard.h"

#include <QHashFunctions>

#include <pwd.h>
#include <unistd.h>

SingleInstanceGuard::SingleInstanceGuard(const QString& key)
{
    m_memory.setKey(key);
}

bool SingleInstanceGuard::tryAcquire()
{
    if (m_memory.create(1, QSharedMemory::ReadWrite)) {
        return true;
    }
    if (m_memory.attach(QSharedMemory::ReadWrite)) {
        m_memory.detach();
        return m_memory.create(1, QSharedMemory::ReadWrite);
    }
    return false;
}

QString SingleInstanceGuard::keyFor(const QString& userIdentity)
{
    return QStringLiteral("NIMBARA.Controller.%1").arg(qHash(userIdentity, 0));
}

QString SingleInstanceGuard::keyForCurrentUser()
{
    const uid_t uid = ::getuid();
    QString name;
    if (const passwd* entry = ::getpwuid(uid); entry != nullptr && entry->pw_name != nullptr) {
        name = QString::fromLocal8Bit(entry->pw_name);
    } else {
        name = qEnvironmentVariable("USER");
    }
    return keyFor(QString::number(uid) + QLatin1Char('_') + name);
}
