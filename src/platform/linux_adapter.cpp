#include "platform/linux_adapter.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>

std::unique_ptr<IPlatformAdapter> createPlatformAdapter()
{
    return std::unique_ptr<IPlatformAdapter>(new (std::nothrow) LinuxAdapter);
}

QString LinuxAdapter::platformName() const
{
    return QStringLiteral("Linux");
}

QString LinuxAdapter::fallbackDataDirectory() const
{
    return QDir::homePath() + QStringLiteral("/.local/share/NIMBARA");
}

bool LinuxAdapter::restrictFileToUser(const QString& path, QString* reason)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    // Gone since it was listed, not a regular file, or private already: nothing to do.
    if (::lstat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) {
        return true;
    }
    if (::chmod(name.constData(), st.st_mode & 0700) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}
