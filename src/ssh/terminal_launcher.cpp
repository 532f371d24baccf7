#include "ssh/terminal_launcher.h"

#include "platform/process_launcher.h"
#include "ssh/ssh_command.h"

#include <QFileInfo>

namespace {

const QString kNoTerminal = QStringLiteral("未找到可用的终端程序（如 xterm），无法打开 SSH 终端");

// "$1" is ssh; the remaining arguments go to it untouched, so nothing is spliced into a command line.
const QString kKeepOpenScript = QStringLiteral("ssh_program=\"$1\"; shift; \"$ssh_program\" \"$@\"; "
                                               "status=$?; echo; echo \"[ssh 已退出，状态 $status]\"; "
                                               "read x");

void setError(QString* error, const QString& text)
{
    if (error) {
        *error = text;
    }
}

} // namespace

TerminalLauncher::TerminalLauncher(IProcessLauncher* launcher) : m_launcher(launcher) {}

TerminalLauncher::~TerminalLauncher() = default;

TerminalLauncher& TerminalLauncher::system()
{
    static SystemProcessLauncher processes;
    static TerminalLauncher launcher(&processes);
    return launcher;
}

QStringList TerminalLauncher::knownTerminals()
{
    return {
        QStringLiteral("konsole"),       QStringLiteral("gnome-terminal"), QStringLiteral("xfce4-terminal"),
        QStringLiteral("mate-terminal"), QStringLiteral("tilix"),          QStringLiteral("terminator"),
        QStringLiteral("qterminal"),     QStringLiteral("lxterminal"),     QStringLiteral("alacritty"),
        QStringLiteral("kitty"),         QStringLiteral("foot"),           QStringLiteral("urxvt"),
        QStringLiteral("xterm")};
}

TerminalLauncher::CommandStyle TerminalLauncher::styleFor(const QString& program)
{
    const QString name = QFileInfo(program).fileName();
    if (name == QLatin1String("gnome-terminal")) {
        return CommandStyle::DoubleDash;
    }
    if (name == QLatin1String("xfce4-terminal") || name == QLatin1String("mate-terminal") ||
        name == QLatin1String("terminator")) {
        return CommandStyle::DashX;
    }
    if (name == QLatin1String("kitty") || name == QLatin1String("foot")) {
        return CommandStyle::Trailing;
    }
    if (name == QLatin1String("tilix") || name == QLatin1String("qterminal") ||
        name == QLatin1String("lxterminal")) {
        return CommandStyle::DashESingleText;
    }
    // konsole, alacritty, urxvt, xterm, x-terminal-emulator and whatever else: the xterm convention.
    return CommandStyle::DashE;
}

QStringList TerminalLauncher::terminalArguments(CommandStyle style, const QStringList& command)
{
    switch (style) {
    case CommandStyle::DashX:
        return QStringList{QStringLiteral("-x")} + command;
    case CommandStyle::DoubleDash:
        return QStringList{QStringLiteral("--")} + command;
    case CommandStyle::Trailing:
        return command;
    case CommandStyle::DashESingleText: {
        // These parse one text the way a POSIX shell splits words.
        QStringList quoted;
        for (const QString& argument : command) {
            quoted.append(quoteCommandArgument(argument));
        }
        return {QStringLiteral("-e"), quoted.join(QLatin1Char(' '))};
    }
    case CommandStyle::DashE:
        break;
    }
    return QStringList{QStringLiteral("-e")} + command;
}

bool TerminalLauncher::findTerminal(Terminal* terminal, QString* error) const
{
    QStringList candidates;
    if (!m_preferred.isEmpty()) {
        candidates.append(m_preferred);
    }
    candidates.append(QStringLiteral("x-terminal-emulator"));
    const QString fromEnvironment = qEnvironmentVariable("TERMINAL").trimmed();
    if (!fromEnvironment.isEmpty()) {
        candidates.append(fromEnvironment);
    }
    candidates.append(knownTerminals());

    for (const QString& candidate : candidates) {
        const QString path = m_launcher->findExecutable(candidate);
        if (!path.isEmpty()) {
            terminal->program = path;
            terminal->style = styleFor(candidate);
            return true;
        }
    }
    setError(error, kNoTerminal);
    return false;
}

bool TerminalLauncher::launch(const Terminal& terminal, const QStringList& command,
                              const QProcessEnvironment& environment, qint64* pid, QString* error)
{
    QString reason;
    if (!m_launcher->startDetached(terminal.program, terminalArguments(terminal.style, command), environment,
                                   pid, &reason)) {
        setError(error, reason.isEmpty() ? QStringLiteral("无法启动 SSH 终端")
                                         : QStringLiteral("无法打开 SSH 终端（%1）").arg(reason));
        return false;
    }
    return true;
}

QStringList keepOpenSshCommand(const QString& sshProgram, const QStringList& sshArguments)
{
    return QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"), kKeepOpenScript, QStringLiteral("sh"),
                       sshProgram} +
           sshArguments;
}

QStringList TerminalLauncher::availableTerminals() const
{
    QStringList candidates{QStringLiteral("x-terminal-emulator")};
    const QString fromEnvironment = qEnvironmentVariable("TERMINAL").trimmed();
    if (!fromEnvironment.isEmpty()) {
        candidates.append(fromEnvironment);
    }
    candidates.append(knownTerminals());
    candidates.removeDuplicates();

    QStringList found;
    for (const QString& candidate : std::as_const(candidates)) {
        if (!m_launcher->findExecutable(candidate).isEmpty()) {
            found.append(candidate);
        }
    }
    return found;
}
