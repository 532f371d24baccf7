#include "support/fake_process_launcher.h"

QString FakeProcessLauncher::findExecutable(const QString& name) const
{
    lookups.append(name);
    return m_programs.value(name);
}

bool FakeProcessLauncher::startDetached(const QString& program, const QStringList& arguments,
                                        const QProcessEnvironment& environment, qint64* pid, QString* error)
{
    starts.append({program, arguments, environment});
    if (failStart) {
        if (error) {
            *error = failStartWith;
        }
        return false;
    }
    if (pid) {
        *pid = 4242;
    }
    return true;
}
