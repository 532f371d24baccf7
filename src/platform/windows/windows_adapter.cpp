#include "platform/windows/windows_adapter.h"

#include "platform/windows/user_only_acl.h"

#include <QDir>

#include <new>

std::unique_ptr<IPlatformAdapter> createPlatformAdapter()
{
    return std::unique_ptr<IPlatformAdapter>(new (std::nothrow) WindowsAdapter);
}

QString WindowsAdapter::platformName() const
{
    return QStringLiteral("Windows");
}

QString WindowsAdapter::fallbackDataDirectory() const
{
    return QDir::homePath() + QStringLiteral("/AppData/Roaming/Kestrune");
}

bool WindowsAdapter::restrictFileToUser(const QString& path, QString* reason)
{
    return UserOnlyAcl::apply(path, false, reason);
}
