#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>

// Finds programs and starts processes that run on their own (terminal windows): the seam between the
// code that decides what to run and the operating system.
class IProcessLauncher
{
public:
    virtual ~IProcessLauncher() = default;

    // Full path of an executable: `name` looked up on the search path, or `name` itself when it is an
    // absolute path to an executable file. Empty when there is none.
    virtual QString findExecutable(const QString& name) const = 0;

    // Starts `program` detached with exactly `environment`; it is not waited for and outlives this
    // process. On success `pid` (when given) is the new process; on failure `error` says why.
    virtual bool startDetached(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment, qint64* pid, QString* error) = 0;

    // Windows: runs `commandLine` (all of it, program first) in a console window of its own, with
    // exactly `environment` when given, else with this process's. Not tracked afterwards. On failure
    // `systemError` is the Windows error code; elsewhere there are no console windows (false, code 0).
    virtual bool startInNewConsole(const QString& commandLine,
                                   const std::optional<QProcessEnvironment>& environment,
                                   unsigned long* systemError);
};

// The real one: QStandardPaths for the look-up, QProcess::startDetached for the start.
class SystemProcessLauncher : public IProcessLauncher
{
public:
    QString findExecutable(const QString& name) const override;
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QProcessEnvironment& environment, qint64* pid, QString* error) override;
#if defined(Q_OS_WIN)
    // CreateProcessW with CREATE_NEW_CONSOLE; the environment as a Unicode block.
    bool startInNewConsole(const QString& commandLine, const std::optional<QProcessEnvironment>& environment,
                           unsigned long* systemError) override;
    // NAME=value entries sorted case-insensitively, as Windows wants them, each ended by a NUL, and
    // one more NUL at the end.
    static std::wstring environmentBlock(const QProcessEnvironment& environment);
#endif
};
