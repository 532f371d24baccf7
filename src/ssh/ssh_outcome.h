#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// Why one ssh run ended, told from its exit and from what ssh itself wrote to standard error. ssh exits
// with 255 when it fails itself and otherwise passes on the remote command's exit status; its own
// messages are English (it runs with LC_ALL=C), so a few fixed phrases tell the common causes apart.
class SshOutcome
{
public:
    enum class Kind {
        Success,
        CommandFailed,        // the remote command exited non-zero
        AuthenticationFailed, // the server refused the password or every key offered
        ConnectionRefused,    // nothing listens on the port
        TimedOut,             // no answer in time, or the server stopped answering
        HostKeyChanged,       // the host key differs from the one recorded before
        NameNotResolved,      // the host name has no address
        ConnectionFailed,     // no route, or the connection was dropped before logging in
        Unknown255,           // exit 255 without a message we know: ssh failed or the command exited 255
        Crashed,              // ssh ended on a signal
    };

    static Kind classify(QProcess::ExitStatus status, int exitCode, const QByteArray& errorOutput);

    // The result line for host `name`; `withPassword` tells a refused password from refused keys.
    static QString describe(Kind kind, const QString& name, int exitCode, bool withPassword);
};
