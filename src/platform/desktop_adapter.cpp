#include "platform/desktop_adapter.h"

#include "platform/atomic_file_writer.h"

#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

uint32_t DesktopAdapter::mapCode(uint32_t code)
{
    return code;
}

void DesktopAdapter::setTextPair(const QString& first, const QString& second)
{
    m_firstText = first;
    m_secondText = second;
}

void DesktopAdapter::clearTextPair()
{
    m_firstText.clear();
    m_secondText.clear();
}

QString DesktopAdapter::dataDirectory() const
{
    QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (path.isEmpty()) {
        path = fallbackDataDirectory();
    }
    AtomicFileWriter::makePrivateDirectory(path);
    return path;
}

QString DesktopAdapter::configFilePath() const
{
    return dataDirectory() + QStringLiteral("/config.toml");
}

bool DesktopAdapter::isSupported() const
{
    return true;
}

double DesktopAdapter::devicePixelRatio() const
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return 1.0;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->devicePixelRatio() : 1.0;
}

bool DesktopAdapter::restrictToUser(const QString& directory, QString* error)
{
    if (!AtomicFileWriter::makePrivateDirectory(directory, error)) {
        return false;
    }
    QStringList failures;
    // Symbolic links are left alone: changing them would change whatever they point at.
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    while (it.hasNext()) {
        const QString path = it.next();
        QString reason;
        if (!restrictFileToUser(path, &reason)) {
            failures << QStringLiteral("%1：%2").arg(QDir::toNativeSeparators(path), reason);
        }
    }
    if (!failures.isEmpty() && error) {
        *error = failures.join(QStringLiteral("；"));
    }
    return failures.isEmpty();
}
