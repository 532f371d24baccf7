#include "platform/linux_adapter.h"

#include "platform/atomic_file_writer.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

#include <QDirIterator>

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>

std::unique_ptr<IPlatformAdapter> createPlatformAdapter()
{
    return std::unique_ptr<IPlatformAdapter>(new (std::nothrow) LinuxAdapter);
}

uint32_t LinuxAdapter::mapCode(uint32_t code)
{
    return code;
}

void LinuxAdapter::setTextPair(const QString& first, const QString& second)
{
    m_firstText = first;
    m_secondText = second;
}

void LinuxAdapter::clearTextPair()
{
    m_firstText.clear();
    m_secondText.clear();
}

QString LinuxAdapter::dataDirectory() const
{
    QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (path.isEmpty()) {
        path = QDir::homePath() + QStringLiteral("/.local/share/NIMBARA");
    }
    AtomicFileWriter::makePrivateDirectory(path);
    return path;
}

QString LinuxAdapter::configFilePath() const
{
    return dataDirectory() + QStringLiteral("/config.toml");
}

bool LinuxAdapter::isSupported() const
{
    return true;
}

double LinuxAdapter::devicePixelRatio() const
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return 1.0;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->devicePixelRatio() : 1.0;
}

QString LinuxAdapter::platformName() const
{
    return QStringLiteral("Linux");
}

bool LinuxAdapter::restrictToUser(const QString& directory, QString* error)
{
    if (!AtomicFileWriter::makePrivateDirectory(directory, error)) {
        return false;
    }
    QStringList failures;
    // Symbolic links are left alone: chmod would change whatever they point at.
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray name = QFile::encodeName(path);
        struct stat st
        {
        };
        if (::lstat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) {
            continue;
        }
        if (::chmod(name.constData(), st.st_mode & 0700) != 0) {
            failures << QStringLiteral("%1：%2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
    if (!failures.isEmpty() && error) {
        *error = failures.join(QStringLiteral("；"));
    }
    return failures.isEmpty();
}
