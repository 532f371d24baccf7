#include "platform/data_protection.h"
#include "ssh/ssh_command.h"
#include "ssh/terminal_launcher.h"
#include "support/fake_process_launcher.h"
#include "support/log_capture.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kInvalid = QStringLiteral("SSH 主机、端口或用户名无效");
const QString kPassword = QStringLiteral("Pa ss'\"wörd-密码");

Remote sshRemote(const QString& host = QStringLiteral("db.example.com"), int port = 22,
                 const QString& user = QStringLiteral("admin"), const QString& password = QString())
{
    Remote remote;
    remote.id = QStringLiteral("r1");
    remote.name = QStringLiteral("数据库");
    remote.host = host;
    remote.port = port;
    remote.username = user;
    remote.password = password;
    remote.protocol = QStringLiteral("ssh");
    return remote;
}

QStringList fixedPrefix(int port)
{
    return {QStringLiteral("-p"), QString::number(port),
            QStringLiteral("-o"), QStringLiteral("ConnectTimeout=12"),
            QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=30"),
            QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=accept-new")};
}

QByteArray openBlob(const QString& base64, QString* description)
{
    QByteArray plain;
    const std::unique_ptr<IDataProtection> protection = createDataProtection();
    if (!protection->unprotect(QByteArray::fromBase64(base64.toLatin1()), &plain, description)) {
        return "<not opened>";
    }
    return plain;
}

} // namespace

class TestSshCommand : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QString m_helperDir;
    std::unique_ptr<ScopedEnvironment> m_env;

    // A stand-in helper file: these tests only need one that exists and is executable.
    void makeHelper(const QString& directory, bool executable)
    {
        const QString path = QDir(directory).filePath(QStringLiteral("nimbara-ssh-askpass"));
        writeFile(path, "#!/bin/sh\nexit 1\n");
        QFile::setPermissions(path, executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                               : QFile::ReadOwner | QFile::WriteOwner);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_env = std::make_unique<ScopedEnvironment>();
        // The protection secret goes below the temporary home.
        isolateProcess(*m_env, m_root.filePath(QStringLiteral("user")));
        m_helperDir = m_root.filePath(QStringLiteral("helper"));
        QDir().mkpath(m_helperDir);
        makeHelper(m_helperDir, true);
    }

    void init() { setAskPassDirectory(m_helperDir); }

    void cleanupTestCase()
    {
        setAskPassDirectory(QString());
        m_env.reset();
    }

    void argumentsForADirectHost()
    {
        QCOMPARE(buildSshArguments(
                     sshRemote(QStringLiteral(" db.example.com "), 2222, QStringLiteral(" admin ")), false),
                 fixedPrefix(2222) << QStringLiteral("admin@db.example.com"));
        // Batch mode goes just before the destination.
        QCOMPARE(buildSshArguments(sshRemote(), true),
                 fixedPrefix(22) << QStringLiteral("-o") << QStringLiteral("BatchMode=yes")
                                 << QStringLiteral("admin@db.example.com"));
        // No user: the bare host, no "@".
        QCOMPARE(
            buildSshArguments(sshRemote(QStringLiteral("10.1.2.3"), 22, QStringLiteral("   ")), false).last(),
            QStringLiteral("10.1.2.3"));
        QCOMPARE(buildSshArguments(sshRemote(QStringLiteral("fe80::1"), 22, QString()), false).last(),
                 QStringLiteral("fe80::1"));
        // A password never shows up in the arguments.
        const QStringList withPassword = buildSshArguments(
            sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword), false);
        QVERIFY(!withPassword.join(QLatin1Char(' ')).contains(QStringLiteral("密码")));
    }

    void argumentsThroughATunnelKeepTheRealHostKeyName()
    {
        const Remote remote = sshRemote(QStringLiteral(" db.example.com "), 22, QStringLiteral("root"));
        Remote tunnel = remote;
        tunnel.host = QStringLiteral("127.0.0.1");
        tunnel.port = 40022;
        QCOMPARE(buildSshArgumentsForRoute(remote, tunnel, true),
                 fixedPrefix(40022) << QStringLiteral("-o") << QStringLiteral("HostKeyAlias=db.example.com")
                                    << QStringLiteral("-o") << QStringLiteral("BatchMode=yes")
                                    << QStringLiteral("root@127.0.0.1"));

        // Only the port differs, or only the host (compared exactly, letter case included).
        Remote portOnly = remote;
        portOnly.port = 2200;
        QVERIFY(buildSshArgumentsForRoute(remote, portOnly, false)
                    .contains(QStringLiteral("HostKeyAlias=db.example.com")));
        // Off port 22 the alias is the name known_hosts has for a direct connection: "[host]:port".
        Remote offPort = sshRemote(QStringLiteral("db.example.com"), 2222, QStringLiteral("root"));
        QVERIFY(buildSshArgumentsForRoute(offPort, tunnel, false)
                    .contains(QStringLiteral("HostKeyAlias=[db.example.com]:2222")));
        offPort.host = QStringLiteral("fe80::1");
        QVERIFY(buildSshArgumentsForRoute(offPort, tunnel, false)
                    .contains(QStringLiteral("HostKeyAlias=[fe80::1]:2222")));
        Remote caseOnly = remote;
        caseOnly.host = QStringLiteral(" DB.example.com ");
        QVERIFY(buildSshArgumentsForRoute(remote, caseOnly, false)
                    .contains(QStringLiteral("HostKeyAlias=db.example.com")));
        // The same route: no alias.
        QCOMPARE(buildSshArgumentsForRoute(remote, remote, false),
                 fixedPrefix(22) << QStringLiteral("root@db.example.com"));
    }

    void usernameRule_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "root" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("trimmed") << "  admin  " << true;
        QTest::newRow("domain backslash name") << "CORP\\admin" << true;
        QTest::newRow("all allowed signs") << "a.b_c-d@corp.example" << true;
        QTest::newRow("semicolon") << "root;reboot" << false;
        QTest::newRow("inner space") << "ad min" << false;
        QTest::newRow("quote") << "o'neil" << false;
        QTest::newRow("double quote") << "a\"b" << false;
        QTest::newRow("command substitution") << "$(id)" << false;
        QTest::newRow("slash") << "a/b" << false;
        QTest::newRow("non-ASCII letter") << "管理员" << false;
        QTest::newRow("leading hyphen reads as an option") << "-Elog" << false;
        QTest::newRow("inner hyphen") << "web-admin" << true;
    }

    void usernameRule()
    {
        QFETCH(QString, username);
        QFETCH(bool, valid);
        QCOMPARE(isValidSshUsername(username), valid);
    }

    void terminalRefusesInvalidTargets_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("user");
        QTest::newRow("host with space") << "db host" << 22 << "root";
        QTest::newRow("host with slash") << "db/1" << 22 << "root";
        QTest::newRow("host with quote") << "db'1" << 22 << "root";
        QTest::newRow("host of 254 characters") << QString(254, QLatin1Char('a')) << 22 << "root";
        QTest::newRow("port 0") << "db.example.com" << 0 << "root";
        QTest::newRow("port 65536") << "db.example.com" << 65536 << "root";
        QTest::newRow("user with semicolon") << "db.example.com" << 22 << "root;id";
    }

    void terminalRefusesInvalidTargets()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, user);
        FakeProcessLauncher processes;
        processes.addProgram(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"));
        processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        TerminalLauncher terminal(&processes);
        QString error = QStringLiteral("stale");
        QVERIFY(!openSshTerminal(sshRemote(host, port, user, kPassword), terminal, &error));
        QCOMPARE(error, kInvalid);
        QVERIFY(processes.lookups.isEmpty());
        QVERIFY(processes.starts.isEmpty());
    }

#ifndef Q_OS_WIN // the terminal, the shell and the helper file of POSIX; Windows: tst_askpass_windows
    void terminalAcceptsValidTargets_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("user");
        QTest::newRow("IPv4") << "192.168.10.20"
                              << "root";
        QTest::newRow("IPv6") << "fe80::1"
                              << "";
        QTest::newRow("dotted name") << "web-01.corp.example"
                                     << "CORP\\admin";
    }

    void terminalAcceptsValidTargets()
    {
        QFETCH(QString, host);
        QFETCH(QString, user);
        FakeProcessLauncher processes;
        processes.addProgram(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"));
        processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        TerminalLauncher terminal(&processes);
        QString error;
        QVERIFY2(openSshTerminal(sshRemote(host, 22, user), terminal, &error), qPrintable(error));
        QCOMPARE(processes.starts.size(), 1);
        const QString destination = user.isEmpty() ? host : user + QLatin1Char('@') + host;
        QCOMPARE(processes.starts.first().arguments.last(), destination);
    }
#endif

    void quoting_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << "ssh"
                               << "'ssh'";
        QTest::newRow("empty") << ""
                               << "''";
        QTest::newRow("space") << "a b"
                               << "'a b'";
        QTest::newRow("double quote stays literal") << "say \"hi\""
                                                    << "'say \"hi\"'";
        QTest::newRow("single quote") << "it's"
                                      << "'it'\\''s'";
        QTest::newRow("shell signs") << "$(id);`x`|&>*"
                                     << "'$(id);`x`|&>*'";
    }

    void quoting()
    {
        QFETCH(QString, text);
        QFETCH(QString, quoted);
        QCOMPARE(quoteCommandArgument(text), quoted);
    }

#ifndef Q_OS_WIN
    void quotedArgumentsSurviveARealShell()
    {
        const QStringList arguments{QStringLiteral("plain"),
                                    QStringLiteral("two words"),
                                    QStringLiteral("it's"),
                                    QStringLiteral("\"dq\""),
                                    QStringLiteral("$HOME `id`"),
                                    QStringLiteral("中文 \\n"),
                                    QString()};
        QString line = QStringLiteral("printf '<%s>\\n'");
        QString expected;
        for (const QString& argument : arguments) {
            line += QLatin1Char(' ') + quoteCommandArgument(argument);
            expected += QLatin1Char('<') + argument + QStringLiteral(">\n");
        }
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), line});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()), expected);
    }
#endif

    void protectionRoundTrip()
    {
        QString error = QStringLiteral("stale");
        const QString value = protectForAskPass(kPassword, &error);
        QVERIFY(error.isEmpty());
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]+=*$")).match(value).hasMatch());
        QVERIFY(!value.contains(QStringLiteral("wörd")));
        QString description;
        QCOMPARE(openBlob(value, &description), kPassword.toUtf8());
        QCOMPARE(description, QStringLiteral("NIMBARA SSH AskPass"));
        // A fresh nonce every time.
        QVERIFY(protectForAskPass(kPassword, &error) != value);

        // No password: nothing to protect, and no error either.
        error = QStringLiteral("stale");
        QVERIFY(protectForAskPass(QString(), &error).isEmpty());
        QVERIFY(error.isEmpty());
    }

#ifndef Q_OS_WIN
    void protectionFailureIsReported()
    {
        // A file where the per-user secret directory must go: the protection layer cannot work.
        ScopedEnvironment env;
        const QString config = m_root.filePath(QStringLiteral("broken-config"));
        writeFile(config + QStringLiteral("/NIMBARA"), "not a directory");
        env.set("XDG_CONFIG_HOME", config);
        QString error;
        QVERIFY(protectForAskPass(kPassword, &error).isEmpty());
        QVERIFY2(error.startsWith(QStringLiteral("无法保护 SSH 密码")), qPrintable(error));

        error.clear();
        QVERIFY(
            buildSshEnvironment(
                sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword), &error)
                .isEmpty());
        QVERIFY(error.startsWith(QStringLiteral("无法保护 SSH 密码")));
    }

    void environmentCarriesTheAskPassContract()
    {
        ScopedEnvironment env;
        env.set("DISPLAY", QStringLiteral(":42"));
        QString error;
        const QProcessEnvironment result = buildSshEnvironment(
            sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword), &error);
        QVERIFY2(!result.isEmpty(), qPrintable(error));
        QCOMPARE(result.value(QStringLiteral("SSH_ASKPASS")),
                 QDir(m_helperDir).absoluteFilePath(QStringLiteral("nimbara-ssh-askpass")));
        QCOMPARE(result.value(QStringLiteral("SSH_ASKPASS_REQUIRE")), QStringLiteral("force"));
        // The terminal needs the real display, so it stays.
        QCOMPARE(result.value(QStringLiteral("DISPLAY")), QStringLiteral(":42"));
        QString description;
        QCOMPARE(openBlob(result.value(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI")), &description),
                 kPassword.toUtf8());
        // The rest of the environment is this process's.
        QCOMPARE(result.value(QStringLiteral("PATH")), qEnvironmentVariable("PATH"));
        QCOMPARE(result.value(QStringLiteral("HOME")), qEnvironmentVariable("HOME"));
        for (const QString& entry : result.toStringList()) {
            QVERIFY(!entry.contains(kPassword));
        }

        // Without a display ssh still gets one, as it wants before it runs an askpass program.
        env.unset("DISPLAY");
        QCOMPARE(
            buildSshEnvironment(
                sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword), &error)
                .value(QStringLiteral("DISPLAY")),
            QStringLiteral("nimbara:0"));
        env.set("DISPLAY", QString());
        QCOMPARE(
            buildSshEnvironment(
                sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword), &error)
                .value(QStringLiteral("DISPLAY")),
            QStringLiteral("nimbara:0"));
    }
#endif

    void environmentWithoutPasswordIsTheSystemOne()
    {
        ScopedEnvironment env;
        env.unset("SSH_ASKPASS");
        env.unset("TOLV_SSH_PASSWORD_DPAPI");
        // Not even a missing helper matters then.
        setAskPassDirectory(m_root.filePath(QStringLiteral("nowhere")));
        QString error;
        const QProcessEnvironment result = buildSshEnvironment(sshRemote(), &error);
        QVERIFY(error.isEmpty());
        QCOMPARE(result, QProcessEnvironment::systemEnvironment());
        QVERIFY(!result.contains(QStringLiteral("SSH_ASKPASS")));
    }

#ifndef Q_OS_WIN
    void helperMustExistAndBeExecutable()
    {
        const QString expected = QStringLiteral("缺少 SSH 自动登录组件：nimbara-ssh-askpass");
        QString error;
        setAskPassDirectory(m_root.filePath(QStringLiteral("nowhere")));
        QVERIFY(prepareAskPassExecutable(&error).isEmpty());
        QCOMPARE(error, expected);
        error.clear();
        QVERIFY(
            buildSshEnvironment(
                sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword), &error)
                .isEmpty());
        QCOMPARE(error, expected);

        const QString plainFile = m_root.filePath(QStringLiteral("not-executable"));
        QDir().mkpath(plainFile);
        makeHelper(plainFile, false);
        setAskPassDirectory(plainFile);
        error.clear();
        QVERIFY(prepareAskPassExecutable(&error).isEmpty());
        QCOMPARE(error, expected);

        setAskPassDirectory(m_helperDir);
        QCOMPARE(prepareAskPassExecutable(&error),
                 QDir(m_helperDir).absoluteFilePath(QStringLiteral("nimbara-ssh-askpass")));

        // By default the helper is looked for beside the program.
        setAskPassDirectory(QString());
        QCOMPARE(askPassDirectory(), QCoreApplication::applicationDirPath());
    }

    void terminalRunsSshWithTheStoredPassword()
    {
        FakeProcessLauncher processes;
        processes.addProgram(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"));
        processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        TerminalLauncher terminal(&processes);
        LogCapture log;
        QString error;
        QVERIFY2(openSshTerminal(
                     sshRemote(QStringLiteral("db.example.com"), 2222, QStringLiteral("root"), kPassword),
                     terminal, &error),
                 qPrintable(error));
        QCOMPARE(processes.starts.size(), 1);
        const FakeProcessLauncher::Start& start = processes.starts.first();
        QCOMPARE(start.program, QStringLiteral("/usr/bin/xterm"));
        QStringList sshArguments = fixedPrefix(2222);
        sshArguments << QStringLiteral("-o") << QStringLiteral("NumberOfPasswordPrompts=1")
                     << QStringLiteral("root@db.example.com");
        // The window is named after the host, in a font that has the Chinese glyphs.
        const QString title = QStringLiteral("SSH · 数据库 (db.example.com)");
        QCOMPARE(start.arguments,
                 QStringList({QStringLiteral("-T"), title, QStringLiteral("-fa"),
                              QStringLiteral("Noto Sans Mono CJK SC"), QStringLiteral("-fs"),
                              QStringLiteral("11"), QStringLiteral("-e")}) +
                     keepOpenSshCommand(title, QStringLiteral("/usr/bin/ssh"), sshArguments));

        QCOMPARE(start.environment.value(QStringLiteral("SSH_ASKPASS_REQUIRE")), QStringLiteral("force"));
        QCOMPARE(openBlob(start.environment.value(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI")), nullptr),
                 kPassword.toUtf8());
        for (const QString& argument : start.arguments) {
            QVERIFY(!argument.contains(QStringLiteral("wörd")));
        }
        QVERIFY(log.contains(QStringLiteral("db.example.com")));
        QVERIFY(!log.contains(QStringLiteral("wörd")));
    }
#endif

    void windowTitleNamesTheHost()
    {
        Remote remote = sshRemote(QStringLiteral(" 10.0.0.5 "));
        remote.name = QStringLiteral(" web-01 ");
        QCOMPARE(sshWindowTitle(remote), QStringLiteral("SSH · web-01 (10.0.0.5)"));
        // No name, or the address as name: the address once.
        remote.name.clear();
        QCOMPARE(sshWindowTitle(remote), QStringLiteral("SSH · 10.0.0.5"));
        remote.name = QStringLiteral("10.0.0.5");
        QCOMPARE(sshWindowTitle(remote), QStringLiteral("SSH · 10.0.0.5"));
        // Placeholders in a name stay text.
        remote.name = QStringLiteral("%2 %1");
        QCOMPARE(sshWindowTitle(remote), QStringLiteral("SSH · %2 %1 (10.0.0.5)"));
    }

#ifndef Q_OS_WIN
    void terminalWithoutPasswordAsksInteractively()
    {
        ScopedEnvironment env;
        env.unset("SSH_ASKPASS");
        FakeProcessLauncher processes;
        processes.addProgram(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"));
        processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
        TerminalLauncher terminal(&processes);
        QString error;
        QVERIFY(openSshTerminal(sshRemote(), terminal, &error));
        const FakeProcessLauncher::Start& start = processes.starts.first();
        QVERIFY(!start.arguments.contains(QStringLiteral("NumberOfPasswordPrompts=1")));
        QCOMPARE(start.environment, QProcessEnvironment::systemEnvironment());
    }

    void terminalErrors()
    {
        const Remote withPassword =
            sshRemote(QStringLiteral("db.example.com"), 22, QStringLiteral("root"), kPassword);
        {
            FakeProcessLauncher processes;
            processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
            TerminalLauncher terminal(&processes);
            QString error;
            QVERIFY(!openSshTerminal(withPassword, terminal, &error));
            QCOMPARE(error, QStringLiteral("未找到 OpenSSH 客户端（ssh），请先安装 openssh-client"));
            QVERIFY(processes.starts.isEmpty());
        }
        {
            FakeProcessLauncher processes;
            processes.addProgram(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"));
            TerminalLauncher terminal(&processes);
            QString error;
            QVERIFY(!openSshTerminal(withPassword, terminal, &error));
            QCOMPARE(error, QStringLiteral("未找到可用的终端程序（如 xterm），无法打开 SSH 终端"));
            QVERIFY(processes.starts.isEmpty());
        }
        {
            FakeProcessLauncher processes;
            processes.addProgram(QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"));
            processes.addProgram(QStringLiteral("xterm"), QStringLiteral("/usr/bin/xterm"));
            TerminalLauncher terminal(&processes);
            setAskPassDirectory(m_root.filePath(QStringLiteral("nowhere")));
            QString error;
            QVERIFY(!openSshTerminal(withPassword, terminal, &error));
            QCOMPARE(error, QStringLiteral("缺少 SSH 自动登录组件：nimbara-ssh-askpass"));
            QVERIFY(processes.starts.isEmpty());
            setAskPassDirectory(m_helperDir);

            processes.failStart = true;
            processes.failStartWith = QStringLiteral("execve: No such file or directory");
            QVERIFY(!openSshTerminal(withPassword, terminal, &error));
            QCOMPARE(error, QStringLiteral("无法打开 SSH 终端（execve: No such file or directory）"));
            processes.failStartWith.clear();
            QVERIFY(!openSshTerminal(withPassword, terminal, &error));
            QCOMPARE(error, QStringLiteral("无法启动 SSH 终端"));
        }
    }
#endif
};

QTEST_GUILESS_MAIN(TestSshCommand)
#include "test_ssh_command.moc"
