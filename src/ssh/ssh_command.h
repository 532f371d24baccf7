#pragma once

#include "storage/remote.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class TerminalLauncher;

// How an SSH host is reached: the OpenSSH client's arguments, the askpass hand-over of a stored
// password, and the terminal window a session runs in. The password never goes on a command line.

// The ssh arguments for `remote` (routed through the acceleration manager), destination last.
QStringList buildSshArguments(const Remote& remote, bool batchMode);

// The same for an already known route: `routed` is where to connect, `remote` the host itself.
QStringList buildSshArgumentsForRoute(const Remote& remote, const Remote& routed, bool batchMode);

// The system environment plus the askpass contract when `remote` has a password; empty on failure
// (with `error` set).
QProcessEnvironment buildSshEnvironment(const Remote& remote, QString* error);

// Path of the askpass helper to run; empty on failure (with `error` set).
QString prepareAskPassExecutable(QString* error);

// Where prepareAskPassExecutable looks for the helper: the main program's directory unless set.
// An empty text restores that.
void setAskPassDirectory(const QString& directory);
QString askPassDirectory();

// The protected password as Base64 text for the helper; empty on failure (with `error` set) and for an
// empty password.
QString protectForAskPass(const QString& password, QString* error);

// One argument quoted for the shell command line the terminal runs.
QString quoteCommandArgument(const QString& text);

// One argument quoted for a Windows command line: double quotes escaped with a backslash, the whole
// in double quotes.
QString quoteConsoleArgument(const QString& text);

// The command line of a Windows console that runs ssh and stays open after it ends: cmd (AutoRun
// commands skipped) with /k and the quoted ssh command in one more pair of quotes.
QString consoleSshCommandLine(const QString& cmd, const QString& ssh, const QStringList& arguments);

// The user name rule for ssh: letters, digits, underscore, dot, at sign, backslash and hyphen, not
// starting with a hyphen (after trimming); empty is allowed.
bool isValidSshUsername(const QString& username);

// The title of the terminal window for `remote`: "SSH · name (address)", or "SSH · address" when the
// name is empty or the address itself.
QString sshWindowTitle(const Remote& remote);

// Opens one terminal window running ssh for `remote`; false with `error` set when it cannot.
bool openSshTerminal(const Remote& remote, QString* error);

// The same through `terminal` (which terminals exist and how processes start).
bool openSshTerminal(const Remote& remote, TerminalLauncher& terminal, QString* error);
