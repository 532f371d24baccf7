#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

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
};

// The real one: QStandardPaths for the look-up, QProcess::startDetached for the start.
class SystemProcessLauncher : public IProcessLauncher
{
public:
    QString findExecutable(const QString& name) const override;
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QProcessEnvironment& environment, qint64* pid, QString* error) override;
};
