#include "platform/windows/windows_adapter.h"

#include "platform/atomic_file_writer.h"
#include "platform/windows/user_only_acl.h"

#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

#include <new>

std::unique_ptr<IPlatformAdapter> createPlatformAdapter()
{
    return std::unique_ptr<IPlatformAdapter>(new (std::nothrow) WindowsAdapter);
}

uint32_t WindowsAdapter::mapCode(uint32_t code)
{
    return code;
}

void WindowsAdapter::setTextPair(const QString& first, const QString& second)
{
    m_firstText = first;
    m_secondText = second;
}

void WindowsAdapter::clearTextPair()
{
    m_firstText.clear();
    m_secondText.clear();
}

QString WindowsAdapter::dataDirectory() const
{
    QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (path.isEmpty()) {
        path = QDir::homePath() + QStringLiteral("/AppData/Roaming/Kestrune");
    }
    AtomicFileWriter::makePrivateDirectory(path);
    return path;
}

QString WindowsAdapter::configFilePath() const
{
    return dataDirectory() + QStringLiteral("/config.toml");
}

bool WindowsAdapter::isSupported() const
{
    return true;
}

double WindowsAdapter::devicePixelRatio() const
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return 1.0;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->devicePixelRatio() : 1.0;
}

QString WindowsAdapter::platformName() const
{
    return QStringLiteral("Windows");
}

bool WindowsAdapter::restrictToUser(const QString& directory, QString* error)
{
    if (!AtomicFileWriter::makePrivateDirectory(directory, error)) {
        return false;
    }
    QStringList failures;
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    while (it.hasNext()) {
        const QString path = it.next();
        QString reason;
        if (!UserOnlyAcl::apply(path, false, &reason)) {
            failures << QStringLiteral("%1：%2").arg(QDir::toNativeSeparators(path), reason);
        }
    }
    if (!failures.isEmpty() && error) {
        *error = failures.join(QStringLiteral("；"));
    }
    return failures.isEmpty();
}
