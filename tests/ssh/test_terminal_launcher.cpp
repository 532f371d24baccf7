#include "platform/process_launcher.h"
#include "ssh/ssh_command.h"
#include "ssh/terminal_launcher.h"
#include "support/fake_process_launcher.h"
#include "support/process_inspector.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

const QString kNoTerminal = QStringLiteral("未找到可用的终端程序（如 xterm），无法打开 SSH 终端");

const QStringList kCommand{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                           QStringLiteral("echo \"$1\" 'x y'"), QStringLiteral("sh"),
                           QStringLiteral("it's two words")};

// The real launcher, remembering what it started so the test can end it.
class RecordingLauncher : public SystemProcessLauncher
{
public:
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QProcessEnvironment& environment, qint64* pid, QString* error) override
    {
        qint64 started = 0;
        const bool ok =
            SystemProcessLauncher::startDetached(program, arguments, environment, &started, error);
        if (ok) {
            pids.append(started);
            if (pid) {
                *pid = started;
            }
        }
        return ok;
    }
    QList<qint64> pids;
};

bool processAlive(qint64 pid)
{
    // A zombie counts as gone; a detached child is reaped by init, not by us, so look at its state.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.isEmpty()) {
        return false;
    }
    const qsizetype end = stat.lastIndexOf(')');
    return end > 0 && end + 2 < stat.size() && stat.at(end + 2) != 'Z';
}

QList<qint64> childrenOf(qint64 parent)
{
    QList<qint64> children;
    const QList<ProcessInspector::Entry> table = ProcessInspector::processTable();
    for (const ProcessInspector::Entry& entry : table) {
        if (entry.parent == parent) {
            children.append(entry.pid);
        }
    }
    return children;
}

QString commandName(qint64 pid)
{
    return QString::fromUtf8(readFile(QStringLiteral("/proc/%1/comm").arg(pid))).trimmed();
}

// Every process below `pid` (children, grandchildren, ...).
QList<qint64> descendantsOf(qint64 pid)
{
    QList<qint64> all = childrenOf(pid);
    for (qsizetype i = 0; i < all.size(); ++i) {
        all.append(childrenOf(all[i]));
    }
    return all;
}

// The title of the (only) xterm window on `display`, as the window manager would read it; empty while
// there is none.
QString xtermTitle(const QString& display)
{
    QProcess tree;
    tree.start(QStringLiteral("xwininfo"),
               {QStringLiteral("-display"), display, QStringLiteral("-root"), QStringLiteral("-tree")});
    if (!tree.waitForFinished(10000)) {
        return {};
    }
    static const QRegularExpression window(QStringLiteral("^\\s*(0x[0-9a-f]+) .*\"U?XTerm\"\\)"),
                                           QRegularExpression::MultilineOption);
    const QRegularExpressionMatch found = window.match(QString::fromUtf8(tree.readAllStandardOutput()));
    if (!found.hasMatch()) {
        return {};
    }
    QProcess property;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    property.setProcessEnvironment(environment);
    property.start(QStringLiteral("xprop"), {QStringLiteral("-display"), display, QStringLiteral("-id"),
                                             found.captured(1), QStringLiteral("WM_NAME")});
    if (!property.waitForFinished(10000)) {
        return {};
    }
    // WM_NAME(COMPOUND_TEXT) = "title"
    const QString line = QString::fromUtf8(property.readAllStandardOutput()).trimmed();
    const qsizetype open = line.indexOf(QStringLiteral("= \""));
    return open < 0 || !line.endsWith(QLatin1Char('"')) ? QString() : line.mid(open + 3).chopped(1);
}

} // namespace

class TestTerminalLauncher : public QObject
{
    Q_OBJECT

private slots:
    void candidatesInOrder()
    {
        ScopedEnvironment env;
        env.set("TERMINAL", QStringLiteral(" my-term "));
        FakeProcessLauncher processes;
        TerminalLauncher terminal(&processes);
        terminal.setPreferredTerminal(QStringLiteral(" /opt/chosen/terminal "));
        TerminalLauncher::Terminal found;
        QString error;
        QVERIFY(!terminal.findTerminal(&found, &error));
        QCOMPARE(error, kNoTerminal);
        QCOMPARE(processes.lookups,
                 QStringList(
                     {QStringLiteral("/opt/chosen/terminal"), QStringLiteral("x-terminal-emulator"),
                      QStringLiteral("my-term"), QStringLiteral("konsole"), QStringLiteral("gnome-terminal"),
                      QStringLiteral("xfce4-terminal"), QStringLiteral("mate-terminal"),
                      QStringLiteral("tilix"), QStringLiteral("terminator"), QStringLiteral("qterminal"),
                      QStringLiteral("lxterminal"), QStringLiteral("alacritty"), QStringLiteral("kitty"),
                      QStringLiteral("foot"), QStringLiteral("urxvt"), QStringLiteral("xterm")}));

        // Neither a preferred terminal nor $TERMINAL: the list starts at x-terminal-emulator.
        env.unset("TERMINAL");
        processes.lookups.clear();
        terminal.setPreferredTerminal(QString());
        QVERIFY(!terminal.findTerminal(&found, &error));
        QCOMPARE(processes.lookups.first(), QStringLiteral("x-terminal-emulator"));
        QCOMPARE(processes.lookups.size(), 14);
    }

    void firstExistingTerminalWins()
    {
        ScopedEnvironment env;
        env.unset("TERMINAL");
        FakeProcessLauncher processes;
        processes.addProgram(QStringLiteral("kitty"), QStringLiteral("/usr/bin/kitty"));
        processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        TerminalLauncher terminal(&processes);
        TerminalLauncher::Terminal found;
        QString error;
        QVERIFY(terminal.findTerminal(&found, &error));
        QCOMPARE(found.program, QStringLiteral("/usr/bin/kitty"));
        QCOMPARE(found.style, TerminalLauncher::CommandStyle::Trailing);

        // $TERMINAL comes before the list, with the syntax of what it names.
        env.set("TERMINAL", QStringLiteral("gnome-terminal"));
        processes.addProgram(QStringLiteral("gnome-terminal"), QStringLiteral("/usr/bin/gnome-terminal"));
        QVERIFY(terminal.findTerminal(&found, &error));
        QCOMPARE(found.program, QStringLiteral("/usr/bin/gnome-terminal"));
        QCOMPARE(found.style, TerminalLauncher::CommandStyle::DoubleDash);

        // x-terminal-emulator before $TERMINAL, known by the program it links to.
        QTemporaryDir dir;
        const QString real = dir.filePath(QStringLiteral("gnome-terminal"));
        writeFile(real, "#!/bin/sh\n");
        QFile::setPermissions(real, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString link = dir.filePath(QStringLiteral("x-terminal-emulator"));
        QVERIFY(QFile::link(real, link));
        processes.addProgram(QStringLiteral("x-terminal-emulator"), link);
        QVERIFY(terminal.findTerminal(&found, &error));
        QCOMPARE(found.program, real);
        QCOMPARE(found.style, TerminalLauncher::CommandStyle::DoubleDash);

        // Debian's wrapper for a terminal is passed over for the terminal itself.
        const QString xfce = dir.filePath(QStringLiteral("xfce4-terminal"));
        writeFile(xfce, "#!/bin/sh\n");
        QFile::setPermissions(xfce, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeFile(xfce + QStringLiteral(".wrapper"), "#!/bin/sh\n");
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(xfce + QStringLiteral(".wrapper"), link));
        QVERIFY(terminal.findTerminal(&found, &error));
        QCOMPARE(found.program, xfce);
        QCOMPARE(found.style, TerminalLauncher::CommandStyle::DashX);

        // A name that leads nowhere known keeps the xterm convention.
        processes.addProgram(QStringLiteral("x-terminal-emulator"),
                             QStringLiteral("/nonexistent/x-terminal-emulator"));
        QVERIFY(terminal.findTerminal(&found, &error));
        QCOMPARE(found.program, QStringLiteral("/nonexistent/x-terminal-emulator"));
        QCOMPARE(found.style, TerminalLauncher::CommandStyle::DashE);

        // The user's choice before everything.
        processes.addProgram(QStringLiteral("/opt/xfce/bin/xfce4-terminal"),
                             QStringLiteral("/opt/xfce/bin/xfce4-terminal"));
        terminal.setPreferredTerminal(QStringLiteral("/opt/xfce/bin/xfce4-terminal"));
        QVERIFY(terminal.findTerminal(&found, &error));
        QCOMPARE(found.program, QStringLiteral("/opt/xfce/bin/xfce4-terminal"));
        QCOMPARE(found.style, TerminalLauncher::CommandStyle::DashX);
    }

    void argumentForms_data()
    {
        QTest::addColumn<QString>("terminal");
        QTest::addColumn<QStringList>("prefix");
        const QStringList dashE{QStringLiteral("-e")};
        const QStringList dashX{QStringLiteral("-x")};
        QTest::newRow("xterm") << "xterm" << dashE;
        QTest::newRow("urxvt") << "urxvt" << dashE;
        QTest::newRow("alacritty") << "alacritty" << dashE;
        QTest::newRow("konsole") << "konsole" << dashE;
        QTest::newRow("x-terminal-emulator") << "/usr/bin/x-terminal-emulator" << dashE;
        QTest::newRow("unknown terminal") << "/opt/bin/someterm" << dashE;
        QTest::newRow("xfce4-terminal") << "xfce4-terminal" << dashX;
        QTest::newRow("mate-terminal") << "mate-terminal" << dashX;
        QTest::newRow("terminator") << "terminator" << dashX;
        QTest::newRow("gnome-terminal") << "gnome-terminal" << QStringList{QStringLiteral("--")};
        QTest::newRow("kitty") << "kitty" << QStringList();
        QTest::newRow("foot") << "/usr/bin/foot" << QStringList();
    }

    void argumentForms()
    {
        QFETCH(QString, terminal);
        QFETCH(QStringList, prefix);
        QCOMPARE(TerminalLauncher::terminalArguments(TerminalLauncher::styleFor(terminal), kCommand),
                 prefix + kCommand);
    }

    void singleTextTerminalsGetAShellQuotedLine_data()
    {
        QTest::addColumn<QString>("terminal");
        QTest::newRow("tilix") << "tilix";
        QTest::newRow("qterminal") << "qterminal";
        QTest::newRow("lxterminal") << "/usr/bin/lxterminal";
    }

    void singleTextTerminalsGetAShellQuotedLine()
    {
        QFETCH(QString, terminal);
        const QStringList arguments =
            TerminalLauncher::terminalArguments(TerminalLauncher::styleFor(terminal), kCommand);
        QCOMPARE(arguments.size(), 2);
        QCOMPARE(arguments.first(), QStringLiteral("-e"));
        // Split the way these terminals do (POSIX shell words), the line gives back the very command.
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("printf '%s\\n' ") + arguments.last()});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()),
                 kCommand.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }

    void windowOptionsPerTerminal_data()
    {
        QTest::addColumn<QString>("terminal");
        QTest::addColumn<QStringList>("options");
        const QString title = QStringLiteral("SSH · web-01 (10.0.0.5)");
        const QStringList font{QStringLiteral("-fa"), QStringLiteral("Noto Sans Mono CJK SC"),
                               QStringLiteral("-fs"), QStringLiteral("11")};
        const QStringList longTitle{QStringLiteral("--title=") + title};
        QTest::newRow("xterm") << "/usr/bin/xterm" << QStringList{QStringLiteral("-T"), title} + font;
        QTest::newRow("uxterm") << "uxterm" << QStringList{QStringLiteral("-T"), title} + font;
        QTest::newRow("lxterm") << "/usr/bin/lxterm" << QStringList{QStringLiteral("-T"), title} + font;
        QTest::newRow("urxvt") << "urxvt" << QStringList{QStringLiteral("-title"), title};
        QTest::newRow("konsole") << "konsole"
                                 << QStringList{QStringLiteral("-p"), QStringLiteral("tabtitle=") + title};
        QTest::newRow("gnome-terminal") << "gnome-terminal" << longTitle;
        QTest::newRow("xfce4-terminal") << "xfce4-terminal" << longTitle;
        QTest::newRow("mate-terminal") << "mate-terminal" << longTitle;
        QTest::newRow("terminator") << "terminator" << longTitle;
        QTest::newRow("tilix") << "tilix" << longTitle;
        QTest::newRow("lxterminal") << "lxterminal" << longTitle;
        QTest::newRow("alacritty") << "alacritty" << longTitle;
        QTest::newRow("kitty") << "kitty" << longTitle;
        QTest::newRow("foot") << "/usr/bin/foot" << longTitle;
        // No option: the command's escape sequence names the window.
        QTest::newRow("qterminal") << "qterminal" << QStringList();
        QTest::newRow("unknown terminal") << "/opt/bin/someterm" << QStringList();
    }

    void windowOptionsPerTerminal()
    {
        QFETCH(QString, terminal);
        QFETCH(QStringList, options);
        const QString title = QStringLiteral("SSH · web-01 (10.0.0.5)");
        QCOMPARE(TerminalLauncher::windowArguments(terminal, title), options);
        // Window options come before the command, which must stay last.
        const TerminalLauncher::Terminal found{terminal, TerminalLauncher::styleFor(terminal)};
        QCOMPARE(TerminalLauncher::terminalArguments(found, title, kCommand),
                 options + TerminalLauncher::terminalArguments(found.style, kCommand));
    }

    void titlesCannotInjectAnything()
    {
        // Control characters would end the title sequence and start others.
        QCOMPARE(TerminalLauncher::cleanTitle(QStringLiteral("a\x1b]0;evil\x07"
                                                             "b\nc\u009b"
                                                             "d\x7f ")),
                 QStringLiteral("a]0;evilbcd"));
        QCOMPARE(
            TerminalLauncher::windowArguments(QStringLiteral("xterm"), QStringLiteral("x\x07y")).mid(0, 2),
            (QStringList{QStringLiteral("-T"), QStringLiteral("xy")}));
        // konsole would read ";" as the start of another profile property, "%" as a placeholder.
        QCOMPARE(TerminalLauncher::windowArguments(QStringLiteral("konsole"),
                                                   QStringLiteral("a;Command=/bin/x %n")),
                 (QStringList{QStringLiteral("-p"), QStringLiteral("tabtitle=a；Command=/bin/x ％n")}));
        // A title that is nothing but control characters gives no option.
        QCOMPARE(
            TerminalLauncher::windowArguments(QStringLiteral("gnome-terminal"), QStringLiteral("\x1b\x07")),
            QStringList());
    }

    void launchPassesTheEnvironmentAndReportsFailures()
    {
        FakeProcessLauncher processes;
        TerminalLauncher terminal(&processes);
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("ONLY"), QStringLiteral("this"));
        const QString title = QStringLiteral("SSH · 主机");
        qint64 pid = 0;
        QString error;
        QVERIFY(terminal.launch({QStringLiteral("/usr/bin/kitty"), TerminalLauncher::CommandStyle::Trailing},
                                title, kCommand, environment, &pid, &error));
        QCOMPARE(pid, 4242);
        QCOMPARE(processes.starts.size(), 1);
        QCOMPARE(processes.starts.first().program, QStringLiteral("/usr/bin/kitty"));
        QCOMPARE(processes.starts.first().arguments,
                 QStringList{QStringLiteral("--title=SSH · 主机")} + kCommand);
        QCOMPARE(processes.starts.first().environment, environment);

        processes.failStart = true;
        processes.failStartWith = QStringLiteral("Permission denied");
        QVERIFY(!terminal.launch({QStringLiteral("/usr/bin/xterm"), TerminalLauncher::CommandStyle::DashE},
                                 title, kCommand, environment, &pid, &error));
        QCOMPARE(error, QStringLiteral("无法打开 SSH 终端（Permission denied）"));

        // The real launcher: a program that cannot run is an error, not a silent success.
        SystemProcessLauncher system;
        TerminalLauncher real(&system);
        error.clear();
        QVERIFY(!real.launch({QStringLiteral("/nonexistent/terminal"), TerminalLauncher::CommandStyle::DashE},
                             title, kCommand, QProcessEnvironment::systemEnvironment(), &pid, &error));
        QVERIFY2(error.startsWith(QStringLiteral("无法")), qPrintable(error));
    }

    void systemLauncherFindsExecutablesOnly()
    {
        QTemporaryDir dir;
        const QString script = dir.filePath(QStringLiteral("term"));
        writeFile(script, "#!/bin/sh\n");
        SystemProcessLauncher system;
        QVERIFY(system.findExecutable(script).isEmpty());
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(system.findExecutable(script), script);
        QCOMPARE(system.findExecutable(QStringLiteral("sh")),
                 QStandardPaths::findExecutable(QStringLiteral("sh")));
        QVERIFY(system.findExecutable(QStringLiteral("no-such-terminal-anywhere")).isEmpty());
        QVERIFY(system.findExecutable(dir.path()).isEmpty());
    }

    void keepOpenCommandShowsTheExitStatus()
    {
        // A stand-in ssh that lists its arguments and fails with status 3.
        QTemporaryDir dir;
        const QString fakeSsh = dir.filePath(QStringLiteral("ssh"));
        writeFile(fakeSsh, "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done\nexit 3\n");
        QFile::setPermissions(fakeSsh, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QStringList sshArguments{QStringLiteral("-p"), QStringLiteral("22"),
                                       QStringLiteral("two words"), QStringLiteral("it's \"q\" $HOME"),
                                       QStringLiteral("CORP\\admin@host")};
        // A title is data: neither shell code nor escape sequences of its own get through.
        const QString marker = dir.filePath(QStringLiteral("pwned"));
        const QString title =
            QStringLiteral("SSH · $(touch %1) `touch %1` '\x1b]0;x\x07 (10.0.0.5)").arg(marker);
        const QString shown = QStringLiteral("SSH · $(touch %1) `touch %1` ']0;x (10.0.0.5)").arg(marker);
        const QStringList command = keepOpenSshCommand(title, fakeSsh, sshArguments);
        QProcess shell;
        shell.setStandardInputFile(QProcess::nullDevice());
        shell.start(command.first(), command.mid(1));
        QVERIFY(shell.waitForFinished(10000));
        const QString setTitle = QStringLiteral("\x1b]0;") + shown + QStringLiteral("\x07");
        QString expected = setTitle;
        for (const QString& argument : sshArguments) {
            expected += QLatin1Char('<') + argument + QStringLiteral(">\n");
        }
        // The title again (the remote shell may have changed it), then how to close the window.
        expected += setTitle + QStringLiteral("\n[ssh 已退出，状态 3] 按 Enter 关闭\n");
        QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()), expected);
        QVERIFY(!QFileInfo::exists(marker));

        // Without a title nothing but ssh's own output and the closing line.
        const QStringList untitled = keepOpenSshCommand(QString(), fakeSsh, {QStringLiteral("x")});
        QProcess plain;
        plain.setStandardInputFile(QProcess::nullDevice());
        plain.start(untitled.first(), untitled.mid(1));
        QVERIFY(plain.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(plain.readAllStandardOutput()),
                 QStringLiteral("<x>\n\n[ssh 已退出，状态 3] 按 Enter 关闭\n"));
    }

    // Peer: a real xterm on a private X display, ssh in it logging in with the stored password by
    // itself; the session's forced command leaves a file in the test user's home.
    void xtermLogsInByItself()
    {
        if (!TestSshServer::unavailableReason().isEmpty()) {
            QSKIP(qPrintable(TestSshServer::unavailableReason()));
        }
        if (QStandardPaths::findExecutable(QStringLiteral("xterm")).isEmpty()) {
            QSKIP("xterm is not installed");
        }
        QTemporaryDir root;
        ScopedEnvironment env;
        isolateProcess(env, root.filePath(QStringLiteral("user")));

        TestXDisplay display;
        QString error;
        QVERIFY2(display.start(&error), qPrintable(error));
        TestSshServer server;
        TestSshServer::Options options;
        options.forceCommand = QStringLiteral("sh session.sh");
        QVERIFY2(server.start(options, &error), qPrintable(error));
        // The session leaves a file, and names the window after itself as remote shells do.
        writeFile(QDir(server.homePath()).filePath(QStringLiteral("session.sh")),
                  "echo \"$SSH_CONNECTION\" > terminal-login.txt\nprintf '\\033]0;remote shell\\007'\n");

        const QString bin = root.filePath(QStringLiteral("bin"));
        QVERIFY2(server.installSshWrapper(bin, TestSshServer::ClientAuth::Password, &error),
                 qPrintable(error));
        env.set("PATH", bin + QLatin1Char(':') + qEnvironmentVariable("PATH"));
        env.set("DISPLAY", display.name());
        setAskPassDirectory(QStringLiteral(NIMBARA_BINARY_DIR));

        RecordingLauncher processes;
        TerminalLauncher terminal(&processes);
        terminal.setPreferredTerminal(QStringLiteral("xterm"));
        const bool opened = openSshTerminal(server.remote(true), terminal, &error);
        setAskPassDirectory(QString());
        QVERIFY2(opened, qPrintable(error));
        QCOMPARE(processes.pids.size(), 1);
        const qint64 xterm = processes.pids.first();
        const auto cleanup = qScopeGuard([&] {
            // Closing the window hangs up what runs in it.
            ::kill(static_cast<pid_t>(xterm), SIGTERM);
            QTRY_VERIFY_WITH_TIMEOUT(!processAlive(xterm), 10000);
        });

        const QString marker = QDir(server.homePath()).filePath(QStringLiteral("terminal-login.txt"));
        QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo::exists(marker) && QFileInfo(marker).size() > 0,
                                  server.log().constData(), 30000);
        QVERIFY(readFile(marker).startsWith("127.0.0.1 "));
        QVERIFY(server.log().contains("Accepted password for nimbaratest"));

        // The session is over, and the window stays open showing it: xterm and its shell still run,
        // ssh no longer does.
        QTRY_VERIFY_WITH_TIMEOUT(server.log().contains("Disconnected from user nimbaratest"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QList<qint64> below = descendantsOf(xterm);
                bool shell = false;
                for (const qint64 pid : below) {
                    if (commandName(pid) == QLatin1String("ssh")) {
                        return false;
                    }
                    shell = shell || commandName(pid) == QLatin1String("sh");
                }
                return shell;
            }(),
            20000);
        QVERIFY(processAlive(xterm));

        // The window is named after the host again after the session, whatever the remote set.
        const QString title = sshWindowTitle(server.remote(true));
        QCOMPARE(title, QStringLiteral("SSH · %1 (127.0.0.1)").arg(server.remote(true).name));
        QTRY_COMPARE_WITH_TIMEOUT(xtermTitle(display.name()), title, 20000);
    }

    // The choices offered to the user: what the automatic choice would try, present here, each once.
    void availableTerminalsAreTheInstalledCandidates()
    {
        ScopedEnvironment env;
        env.set("TERMINAL", QStringLiteral(" /opt/wez/bin/wezterm "));
        FakeProcessLauncher processes;
        TerminalLauncher terminal(&processes);
        // The user's own choice is not a candidate of the automatic one.
        terminal.setPreferredTerminal(QStringLiteral("/opt/chosen/terminal"));
        processes.addProgram(QStringLiteral("/opt/chosen/terminal"), QStringLiteral("/opt/chosen/terminal"));
        QCOMPARE(terminal.availableTerminals(), QStringList());

        processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        processes.addProgram(QStringLiteral("konsole"), QStringLiteral("/usr/bin/konsole"));
        processes.addProgram(QStringLiteral("/opt/wez/bin/wezterm"), QStringLiteral("/opt/wez/bin/wezterm"));
        processes.addProgram(QStringLiteral("x-terminal-emulator"),
                             QStringLiteral("/usr/bin/x-terminal-emulator"));
        QCOMPARE(terminal.availableTerminals(),
                 QStringList({QStringLiteral("x-terminal-emulator"), QStringLiteral("/opt/wez/bin/wezterm"),
                              QStringLiteral("konsole"), QStringLiteral("xterm")}));

        // $TERMINAL naming a well-known terminal does not list it twice.
        env.set("TERMINAL", QStringLiteral("xterm"));
        QCOMPARE(terminal.availableTerminals(),
                 QStringList({QStringLiteral("x-terminal-emulator"), QStringLiteral("xterm"),
                              QStringLiteral("konsole")}));
    }
};

QTEST_GUILESS_MAIN(TestTerminalLauncher)
#include "test_terminal_launcher.moc"
