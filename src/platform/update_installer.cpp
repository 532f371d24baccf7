#include "platform/update_installer.h"

#include "platform/process_launcher.h"

#include <QDir>
#include <QProcessEnvironment>
#include <QStringList>

UpdateInstaller::Kind UpdateInstaller::nativeKind()
{
#ifdef Q_OS_WIN
    return Kind::WindowsSetup;
#else
    return Kind::DebianPackage;
#endif
}

UpdateInstaller::UpdateInstaller(IProcessLauncher& launcher, Kind kind) : m_launcher(launcher), m_kind(kind)
{
}

QString UpdateInstaller::platformKey() const
{
    return m_kind == Kind::WindowsSetup ? QStringLiteral("windows") : QStringLiteral("linux");
}

QString UpdateInstaller::fileName(const QString& version) const
{
    return m_kind == Kind::WindowsSetup ? QStringLiteral("NIMBARA-%1-x64-Setup.exe").arg(version)
                                        : QStringLiteral("NIMBARA-%1-amd64.deb").arg(version);
}

QString UpdateInstaller::manualInstruction(const QString& path) const
{
    if (m_kind == Kind::WindowsSetup)
        return QStringLiteral("请双击运行该安装程序：\n%1").arg(QDir::toNativeSeparators(path));
    // Quoted for the shell: the folder may hold blanks or quotes.
    QString quoted = path;
    quoted.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QStringLiteral("本机没有可用的 pkexec 或 xdg-open。请在终端中运行：\nsudo apt-get install '%1'")
        .arg(quoted);
}

bool UpdateInstaller::start(const QString& path, QString* error)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (m_kind == Kind::WindowsSetup) {
        // The installer is made with NSIS: "/S" installs silently into the folder of the installed copy.
        return m_launcher.startDetached(path, {QStringLiteral("/S")}, environment, nullptr, error);
    }

    // pkexec asks for the administrator's password in the desktop's own dialog and runs apt-get, which
    // also installs what the new version newly depends on. pkexec wants a full program path.
    const QString pkexec = m_launcher.findExecutable(QStringLiteral("pkexec"));
    if (!pkexec.isEmpty()) {
        QString aptGet = m_launcher.findExecutable(QStringLiteral("apt-get"));
        if (aptGet.isEmpty())
            aptGet = QStringLiteral("/usr/bin/apt-get");
        return m_launcher.startDetached(pkexec,
                                        {aptGet, QStringLiteral("install"), QStringLiteral("-y"), path},
                                        environment, nullptr, error);
    }
    // Without pkexec the desktop's package installer (the program registered for .deb files) opens it.
    const QString opener = m_launcher.findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (error)
            *error = QStringLiteral("neither pkexec nor xdg-open is installed");
        return false;
    }
    return m_launcher.startDetached(opener, {path}, environment, nullptr, error);
}
