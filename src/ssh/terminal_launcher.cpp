#include "ssh/terminal_launcher.h"

#include "platform/process_launcher.h"
#include "ssh/ssh_command.h"

#include <QFileInfo>

namespace {

const QString kNoTerminal = QStringLiteral("未找到可用的终端程序（如 xterm），无法打开 SSH 终端");

// "$1" is the window title, "$2" ssh; the remaining arguments go to ssh untouched, so nothing is
// spliced into a command line. The title is set before ssh and again after it, because the remote
// shell may have set its own.
const QString kKeepOpenScript =
    QStringLiteral("title=\"$1\"; ssh_program=\"$2\"; shift 2; "
                   "if [ -n \"$title\" ]; then printf '\\033]0;%s\\007' \"$title\"; fi; "
                   "\"$ssh_program\" \"$@\"; status=$?; "
                   "if [ -n \"$title\" ]; then printf '\\033]0;%s\\007' \"$title\"; fi; "
                   "echo; echo \"[ssh 已退出，状态 $status] 按 Enter 关闭\"; read x");

// How each terminal is told its window title.
enum class TitleOption {
    None,         // no option: the escape sequence of the command does it
    DashT,        // -T title                 (xterm and its wrappers)
    DashTitle,    // -title title             (urxvt)
    LongEquals,   // --title=title
    KonsoleTitle, // -p tabtitle=title
};

struct TerminalTraits
{
    const char* name;
    TerminalLauncher::CommandStyle style;
    TitleOption title;
    bool xtermFont;
};

using Style = TerminalLauncher::CommandStyle;

// Terminals not listed follow the xterm convention for the command and get no title option.
const TerminalTraits kTraits[] = {
    {"xterm", Style::DashE, TitleOption::DashT, true},
    {"uxterm", Style::DashE, TitleOption::DashT, true},
    {"lxterm", Style::DashE, TitleOption::DashT, true},
    {"koi8rxterm", Style::DashE, TitleOption::DashT, true},
    {"urxvt", Style::DashE, TitleOption::DashTitle, false},
    {"rxvt-unicode", Style::DashE, TitleOption::DashTitle, false},
    {"alacritty", Style::DashE, TitleOption::LongEquals, false},
    {"konsole", Style::DashE, TitleOption::KonsoleTitle, false},
    {"gnome-terminal", Style::DoubleDash, TitleOption::LongEquals, false},
    {"xfce4-terminal", Style::DashX, TitleOption::LongEquals, false},
    {"mate-terminal", Style::DashX, TitleOption::LongEquals, false},
    {"terminator", Style::DashX, TitleOption::LongEquals, false},
    {"kitty", Style::Trailing, TitleOption::LongEquals, false},
    {"foot", Style::Trailing, TitleOption::LongEquals, false},
    {"tilix", Style::DashESingleText, TitleOption::LongEquals, false},
    {"lxterminal", Style::DashESingleText, TitleOption::LongEquals, false},
    {"qterminal", Style::DashESingleText, TitleOption::None, false},
};

const TerminalTraits* traitsFor(const QString& program)
{
    const QString name = QFileInfo(program).fileName();
    for (const TerminalTraits& traits : kTraits) {
        if (name == QLatin1String(traits.name)) {
            return &traits;
        }
    }
    return nullptr;
}

// Debian's alternatives point x-terminal-emulator at the real program, sometimes at a wrapper that
// speaks the xterm convention ("gnome-terminal.wrapper"); the program itself is used then.
QString resolveTerminal(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty()) {
        return path;
    }
    const QString wrapperSuffix = QStringLiteral(".wrapper");
    if (target.endsWith(wrapperSuffix)) {
        const QFileInfo real(target.chopped(wrapperSuffix.size()));
        if (real.isFile() && real.isExecutable()) {
            return real.absoluteFilePath();
        }
    }
    return target;
}

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
    const TerminalTraits* traits = traitsFor(program);
    // x-terminal-emulator unresolved and whatever else: the xterm convention.
    return traits != nullptr ? traits->style : CommandStyle::DashE;
}

QString TerminalLauncher::cleanTitle(const QString& title)
{
    QString clean;
    clean.reserve(title.size());
    for (const QChar c : title) {
        // C0, DEL and C1 controls (0x80-0x9f, which some terminals read as escape sequence starts).
        if (c.category() != QChar::Other_Control) {
            clean.append(c);
        }
    }
    return clean.trimmed();
}

QStringList TerminalLauncher::windowArguments(const QString& program, const QString& title)
{
    const TerminalTraits* traits = traitsFor(program);
    if (traits == nullptr) {
        return {};
    }
    QStringList arguments;
    QString clean = cleanTitle(title);
    if (!clean.isEmpty()) {
        switch (traits->title) {
        case TitleOption::DashT:
            arguments << QStringLiteral("-T") << clean;
            break;
        case TitleOption::DashTitle:
            arguments << QStringLiteral("-title") << clean;
            break;
        case TitleOption::LongEquals:
            arguments << QStringLiteral("--title=") + clean;
            break;
        case TitleOption::KonsoleTitle:
            // konsole reads ";" as the start of another profile property (one could name the command
            // to run) and "%" as a placeholder: both are replaced by their full-width forms.
            clean.replace(QLatin1Char(';'), QChar(0xFF1B)).replace(QLatin1Char('%'), QChar(0xFF05));
            arguments << QStringLiteral("-p") << QStringLiteral("tabtitle=") + clean;
            break;
        case TitleOption::None:
            break;
        }
    }
    if (traits->xtermFont) {
        arguments << QStringLiteral("-fa") << QString::fromLatin1(kXtermFont) << QStringLiteral("-fs")
                  << QString::fromLatin1(kXtermFontSize);
    }
    return arguments;
}

QStringList TerminalLauncher::terminalArguments(const Terminal& terminal, const QString& title,
                                                const QStringList& command)
{
    return windowArguments(terminal.program, title) + terminalArguments(terminal.style, command);
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

QStringList TerminalLauncher::automaticCandidates()
{
    QStringList candidates{QStringLiteral("x-terminal-emulator")};
    const QString fromEnvironment = qEnvironmentVariable("TERMINAL").trimmed();
    if (!fromEnvironment.isEmpty()) {
        candidates.append(fromEnvironment);
    }
    candidates.append(knownTerminals());
    return candidates;
}

bool TerminalLauncher::findTerminal(Terminal* terminal, QString* error) const
{
    QStringList candidates;
    if (!m_preferred.isEmpty()) {
        candidates.append(m_preferred);
    }
    candidates.append(automaticCandidates());

    for (const QString& candidate : candidates) {
        const QString path = m_launcher->findExecutable(candidate);
        if (!path.isEmpty()) {
            terminal->program = resolveTerminal(path);
            terminal->style = styleFor(terminal->program);
            return true;
        }
    }
    setError(error, kNoTerminal);
    return false;
}

bool TerminalLauncher::launch(const Terminal& terminal, const QString& title, const QStringList& command,
                              const QProcessEnvironment& environment, qint64* pid, QString* error)
{
    QString reason;
    if (!m_launcher->startDetached(terminal.program, terminalArguments(terminal, title, command), environment,
                                   pid, &reason)) {
        setError(error, reason.isEmpty() ? QStringLiteral("无法启动 SSH 终端")
                                         : QStringLiteral("无法打开 SSH 终端（%1）").arg(reason));
        return false;
    }
    return true;
}

QStringList keepOpenSshCommand(const QString& title, const QString& sshProgram,
                               const QStringList& sshArguments)
{
    return QStringList{QStringLiteral("/bin/sh"),
                       QStringLiteral("-c"),
                       kKeepOpenScript,
                       QStringLiteral("sh"),
                       TerminalLauncher::cleanTitle(title),
                       sshProgram} +
           sshArguments;
}

QStringList TerminalLauncher::availableTerminals() const
{
    QStringList candidates = automaticCandidates();
    candidates.removeDuplicates();

    QStringList found;
    for (const QString& candidate : std::as_const(candidates)) {
        if (!m_launcher->findExecutable(candidate).isEmpty()) {
            found.append(candidate);
        }
    }
    return found;
}
