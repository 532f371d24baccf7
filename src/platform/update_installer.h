#pragma once

#include <QString>

class IProcessLauncher;

// Hands a downloaded, verified client package to the operating system's installer and names the
// file it is kept under. Started detached: the installer replaces this program after it exits.
class UpdateInstaller
{
public:
    enum class Kind {
        DebianPackage, // "pkexec apt-get install -y FILE", or the desktop's package installer
        WindowsSetup,  // the setup program itself, silent and closing running copies
    };

    static Kind nativeKind();

    explicit UpdateInstaller(IProcessLauncher& launcher, Kind kind = nativeKind());

    Kind kind() const { return m_kind; }
    // The platform name of the account service's update announcement: "linux" or "windows".
    QString platformKey() const;
    // The file name the package of `version` is downloaded to.
    QString fileName(const QString& version) const;
    // Starts the installer on `path`; false with `error` (for the log) when nothing could be started.
    bool start(const QString& path, QString* error);
    // What the user does by hand with the package at `path` when start() cannot.
    QString manualInstruction(const QString& path) const;

private:
    IProcessLauncher& m_launcher;
    Kind m_kind;
};
