#include "platform/process_launcher.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

QString SystemProcessLauncher::findExecutable(const QString& name) const
{
    if (name.isEmpty()) {
        return {};
    }
    if (QDir::isAbsolutePath(name)) {
        const QFileInfo info(name);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(name);
}

bool SystemProcessLauncher::startDetached(const QString& program, const QStringList& arguments,
                                          const QProcessEnvironment& environment, qint64* pid, QString* error)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    // The child must not hold this program's pipes; it gets the null device like a desktop launch.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 started = 0;
    if (!process.startDetached(&started)) {
        if (error) {
            *error = process.errorString();
        }
        return false;
    }
    if (pid) {
        *pid = started;
    }
    return true;
}

bool IProcessLauncher::startInNewConsole(const QString& commandLine,
                                         const std::optional<QProcessEnvironment>& environment,
                                         unsigned long* systemError)
{
    Q_UNUSED(commandLine);
    Q_UNUSED(environment);
    if (systemError) {
        *systemError = 0;
    }
    return false;
}
