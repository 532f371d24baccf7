#include "platform/linux_adapter.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

#include <new>

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
    QDir().mkpath(path);
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
