#include "single_instance_guard.h"

#include <QHashFunctions>

#if defined(Q_OS_WIN)
#include "platform/windows/user_only_acl.h"

#include <windows.h>

#include <sddl.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

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

#if defined(Q_OS_WIN)
// The user's security identifier: the same name on another account is another user.
QString SingleInstanceGuard::keyForCurrentUser()
{
    QString sid;
    unsigned long error = 0;
    LPWSTR text = nullptr;
    if (const std::unique_ptr<char[]> user = UserOnlyAcl::currentUser(&error);
        user && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, &text)) {
        sid = QString::fromWCharArray(text);
        LocalFree(text);
    }
    return keyFor(sid + QLatin1Char('_') + qEnvironmentVariable("USERNAME"));
}
#else
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
#endif
