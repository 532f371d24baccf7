#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

class IProcessLauncher;

// Opens a terminal emulator window running one command. Which terminal: the one the user chose, then
// x-terminal-emulator, $TERMINAL, then a fixed list of well-known terminals; each has its own way of
// being told what to run, what to call its window and, for the xterm family, which font to use.
class TerminalLauncher
{
public:
    // How a terminal takes the command to run.
    enum class CommandStyle {
        DashE,          // -e program args...   (xterm and the x-terminal-emulator convention)
        DashX,          // -x program args...   (xfce4-terminal, mate-terminal, terminator)
        DoubleDash,     // -- program args...   (gnome-terminal)
        Trailing,       // program args...      (kitty, foot)
        DashESingleText // -e "one command line" (tilix, qterminal, lxterminal)
    };

    struct Terminal
    {
        QString program; // full path of the real program (links such as x-terminal-emulator resolved)
        CommandStyle style = CommandStyle::DashE;
    };

    // xterm draws with its own font settings; this one has the Chinese glyphs of the texts shown.
    static constexpr char kXtermFont[] = "Noto Sans Mono CJK SC";
    static constexpr char kXtermFontSize[] = "11";

    // `launcher` finds and starts the processes; it must outlive this object.
    explicit TerminalLauncher(IProcessLauncher* launcher);
    ~TerminalLauncher();
    TerminalLauncher(const TerminalLauncher&) = delete;
    TerminalLauncher& operator=(const TerminalLauncher&) = delete;

    // The launcher of the program, on the system's processes.
    static TerminalLauncher& system();

    // The terminal the user chose (a program name or path); empty for automatic choice.
    void setPreferredTerminal(const QString& program) { m_preferred = program.trimmed(); }
    QString preferredTerminal() const { return m_preferred; }

    IProcessLauncher* processLauncher() const { return m_launcher; }

    // The well-known terminals tried after the preferred one, x-terminal-emulator and $TERMINAL.
    static QStringList knownTerminals();
    // The style for a terminal program (by its file name); unknown ones get DashE.
    static CommandStyle styleFor(const QString& program);
    // The terminal's arguments that make it run `command` (program first, then its arguments).
    static QStringList terminalArguments(CommandStyle style, const QStringList& command);
    // The options that title the window of `program` (by its file name) and, for xterm, set a font
    // with Chinese glyphs; none for a terminal without a title option.
    static QStringList windowArguments(const QString& program, const QString& title);
    // Everything `terminal` is given: window options, then the command.
    static QStringList terminalArguments(const Terminal& terminal, const QString& title,
                                         const QStringList& command);
    // `title` without control characters, which would end the terminal's title sequence early or
    // start others.
    static QString cleanTitle(const QString& title);

    // The first terminal that exists, resolved to the program it links to (so x-terminal-emulator is
    // known by what it really is); false when none does, with `error` set.
    bool findTerminal(Terminal* terminal, QString* error) const;

    // Opens `terminal` titled `title` running `command` with `environment`. False with `error` set
    // when it cannot be started; the window is not tracked afterwards.
    bool launch(const Terminal& terminal, const QString& title, const QStringList& command,
                const QProcessEnvironment& environment, qint64* pid, QString* error);

private:
    // The automatic order: x-terminal-emulator, $TERMINAL, then the well-known terminals.
    static QStringList automaticCandidates();

    IProcessLauncher* m_launcher;
    QString m_preferred;

public:
    // The terminals of the automatic choice that exist on this machine, as they are named there
    // (x-terminal-emulator, $TERMINAL, the well-known ones), in the order they are tried, each once.
    QStringList availableTerminals() const;
};

// The command a terminal runs for an ssh session: the window title set by an escape sequence (for
// terminals without a title option, and again after ssh, whose remote shell may have changed it), ssh
// with its arguments (each its own argv entry), then ssh's exit status and a wait for Enter so the
// window stays open.
QStringList keepOpenSshCommand(const QString& title, const QString& sshProgram,
                               const QStringList& sshArguments);
