#pragma once

#include "platform/process_launcher.h"

#include <QHash>
#include <QList>

// Programs that "exist" only in the test, and a record of what would have been started.
class FakeProcessLauncher : public IProcessLauncher
{
public:
    struct Start
    {
        QString program;
        QStringList arguments;
        QProcessEnvironment environment;
    };

    // Makes `name` (a program name or an absolute path) resolve to `path`.
    void addProgram(const QString& name, const QString& path) { m_programs.insert(name, path); }

    QString findExecutable(const QString& name) const override;
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QProcessEnvironment& environment, qint64* pid, QString* error) override;

    // Names asked for, in order.
    mutable QStringList lookups;
    QList<Start> starts;
    // When set, startDetached fails with this reason.
    QString failStartWith;
    bool failStart = false;

private:
    QHash<QString, QString> m_programs;
};
