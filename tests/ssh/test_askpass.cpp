#include "platform/user_data_protection.h"
#include "ssh/ssh_command.h"
#include "support/process_inspector.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kHelper = QStringLiteral(NIMBARA_BINARY_DIR "/nimbara-ssh-askpass");
constexpr int kSshTimeoutMs = 40000;

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    // The prompts ssh handed to the askpass helper, one a line.
    QByteArray questions;
};

// Runs the helper the way ssh does: the prompt as its argument, the environment given.
Run runHelper(const QProcessEnvironment& environment, const QString& outputFile = QString())
{
    QProcess helper;
    helper.setProcessEnvironment(environment);
    if (!outputFile.isEmpty()) {
        helper.setStandardOutputFile(outputFile);
    }
    helper.start(kHelper, {QStringLiteral("nimbaratest@127.0.0.1's password: ")});
    Run run;
    if (!helper.waitForFinished(10000) || helper.exitStatus() != QProcess::NormalExit) {
        helper.kill();
        helper.waitForFinished(1000);
        return run;
    }
    run.exitCode = helper.exitCode();
    run.out = helper.readAllStandardOutput();
    run.err = helper.readAllStandardError();
    return run;
}

QProcessEnvironment withValue(const QString& value)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI"), value);
    return environment;
}

} // namespace

class TestAskPass : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    std::unique_ptr<ScopedEnvironment> m_env;
    TestSshServer m_server;
    bool m_serverUp = false;
    QString m_serverSkip;
    QString m_askPassWrapper;
    QString m_askPassLog;

    void requireServer()
    {
        if (!m_serverSkip.isEmpty()) {
            QSKIP(qPrintable(m_serverSkip));
        }
        QVERIFY2(m_serverUp, "the test sshd did not start");
    }

    // The arguments the program gives ssh for `remote`, with the test's client options first and a single
    // password prompt; the destination last.
    QStringList sshArguments(const Remote& remote) const
    {
        QStringList arguments = buildSshArguments(remote, false);
        arguments.insert(arguments.size() - 1, QStringLiteral("-o"));
        arguments.insert(arguments.size() - 1, QStringLiteral("NumberOfPasswordPrompts=1"));
        return m_server.clientOptions(TestSshServer::ClientAuth::Password) + arguments;
    }

    // ssh as the program runs it for a stored password, without a terminal (its own session, no
    // controlling tty, standard input closed). The askpass helper runs behind a wrapper that notes the
    // prompts it is given.
    Run runSsh(const Remote& remote, const QString& remoteCommand)
    {
        QString error;
        QProcessEnvironment environment = buildSshEnvironment(remote, &error);
        Run run;
        if (environment.isEmpty()) {
            run.err = error.toUtf8();
            return run;
        }
        if (environment.contains(QStringLiteral("SSH_ASKPASS"))) {
            environment.insert(QStringLiteral("SSH_ASKPASS"), m_askPassWrapper);
        }
        QFile::remove(m_askPassLog);
        const QStringList arguments =
            QStringList{QStringLiteral("-w"), QStandardPaths::findExecutable(QStringLiteral("ssh"))} +
            sshArguments(remote) + QStringList{remoteCommand};

        QProcess ssh;
        ssh.setProcessEnvironment(environment);
        ssh.setStandardInputFile(QProcess::nullDevice());
        ssh.start(QStringLiteral("setsid"), arguments);
        if (!ssh.waitForFinished(kSshTimeoutMs)) {
            ssh.kill();
            ssh.waitForFinished(1000);
            run.err = "ssh did not finish in time";
            return run;
        }
        run.exitCode = ssh.exitCode();
        run.out = ssh.readAllStandardOutput();
        run.err = ssh.readAllStandardError();
        run.questions = readFile(m_askPassLog);
        return run;
    }

    // The configuration ssh would use for `remote` with the program's arguments (ssh -G: nothing is
    // connected).
    QByteArray sshConfiguration(const Remote& remote) const
    {
        QProcess ssh;
        ssh.setStandardInputFile(QProcess::nullDevice());
        ssh.start(QStringLiteral("ssh"), QStringList{QStringLiteral("-G")} + sshArguments(remote));
        if (!ssh.waitForFinished(kSshTimeoutMs) || ssh.exitCode() != 0) {
            ssh.kill();
            ssh.waitForFinished(1000);
            return {};
        }
        return ssh.readAllStandardOutput();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY2(QFileInfo(kHelper).isExecutable(), qPrintable(kHelper));
        m_env = std::make_unique<ScopedEnvironment>();
        isolateProcess(*m_env, m_root.filePath(QStringLiteral("user")));
        setAskPassDirectory(QStringLiteral(NIMBARA_BINARY_DIR));
        m_askPassLog = m_root.filePath(QStringLiteral("askpass-questions.log"));
        m_askPassWrapper = m_root.filePath(QStringLiteral("askpass-wrapper.sh"));
        QFile wrapper(m_askPassWrapper);
        QVERIFY(wrapper.open(QIODevice::WriteOnly));
        wrapper.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + QFile::encodeName(m_askPassLog) +
                      "'\nexec '" + QFile::encodeName(kHelper) + "' \"$@\"\n");
        wrapper.close();
        QVERIFY(
            QFile::setPermissions(m_askPassWrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        m_serverSkip = TestSshServer::unavailableReason();
        if (m_serverSkip.isEmpty()) {
            QString error;
            m_serverUp = m_server.start(&error);
            QVERIFY2(m_serverUp, qPrintable(error));
        }
    }

    void cleanupTestCase()
    {
        m_server.stop();
        setAskPassDirectory(QString());
        m_env.reset();
    }

    void helperWritesTheUtf8BytesAndOneLineFeed()
    {
        const QString password = QStringLiteral("Ünïcødé 密码 🔑 'q\" \\n");
        QString error;
        const QString value = protectForAskPass(password, &error);
        QVERIFY2(!value.isEmpty(), qPrintable(error));
        const Run run = runHelper(withValue(value));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, password.toUtf8() + '\n');
        QVERIFY(run.err.isEmpty());
    }

    void helperRefusesWhatIsNotItsBlob_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QString>("value");

        // Another user's (or machine's) protection: a different secret.
        UserDataProtection stranger({m_root.filePath(QStringLiteral("stranger/NIMBARA")),
                                     UserDataProtection::currentUser().machineIdFiles, 4242});
        const QByteArray foreign = stranger.protect("secret", QStringLiteral("NIMBARA SSH AskPass"));
        // The same user's blob made for something else.
        const QByteArray otherPurpose =
            UserDataProtection().protect("database key", QStringLiteral("NIMBARA credential key"));

        QTest::newRow("variable missing") << false << QString();
        QTest::newRow("variable empty") << true << QString();
        QTest::newRow("not Base64") << true << QStringLiteral("%%% not base64 %%%");
        QTest::newRow("Base64 of garbage")
            << true << QString::fromLatin1(QByteArray("NMDP\x01garbage").toBase64());
        QTest::newRow("foreign blob") << true << QString::fromLatin1(foreign.toBase64());
        QTest::newRow("blob for another purpose") << true << QString::fromLatin1(otherPurpose.toBase64());
    }

    void helperRefusesWhatIsNotItsBlob()
    {
        QFETCH(bool, set);
        QFETCH(QString, value);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI"));
        if (set) {
            environment.insert(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI"), value);
        }
        const Run run = runHelper(environment);
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY(run.err.isEmpty());
    }

    void helperReportsAFailedWrite()
    {
        QString error;
        const Run run = runHelper(withValue(protectForAskPass(QStringLiteral("pw"), &error)),
                                  QStringLiteral("/dev/full"));
        QCOMPARE(run.exitCode, 2);
    }

    // While the helper holds the password it cannot be dumped or read by another process: caught
    // with its output blocked on a full pipe.
    void helperHoldingThePasswordCannotBeDumpedOrRead()
    {
        if (!ProcessInspector::peerCanRun(kHelper)) {
            QSKIP("the build folder is closed to the unprivileged user the check runs as");
        }
        // The helper runs as the peer user, so the password is protected for that user.
        const QString configHome = m_root.filePath(QStringLiteral("peer-config"));
        QVERIFY(QDir().mkpath(configHome));
        UserDataProtection peerProtection({configHome + QStringLiteral("/NIMBARA"),
                                           UserDataProtection::currentUser().machineIdFiles,
                                           ProcessInspector::peerUid()});
        const QByteArray blob =
            peerProtection.protect("held password", QStringLiteral("NIMBARA SSH AskPass"));
        QVERIFY(!blob.isEmpty());
        QVERIFY(ProcessInspector::giveToPeer(configHome));
        // The peer may pass through the test's folder to its own.
        QVERIFY(QFile::setPermissions(m_root.path(), QFile::permissions(m_root.path()) | QFile::ExeOther));
        QProcessEnvironment environment = withValue(QString::fromLatin1(blob.toBase64()));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);

        int fds[2];
        QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
        const auto closePipe = qScopeGuard([&] {
            ::close(fds[0]);
            if (fds[1] >= 0) {
                ::close(fds[1]);
            }
        });
        const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        QVERIFY(capacity > 0);
        QCOMPARE(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
        const QByteArray filler(capacity, 'f');
        QCOMPARE(::write(fds[1], filler.constData(), filler.size()), ssize_t(filler.size()));
        QCOMPARE(::fcntl(fds[1], F_SETFL, 0), 0);

        QProcess helper;
        helper.setProcessEnvironment(environment);
        // Opened by QProcess through /proc: the helper's standard output is this very pipe.
        helper.setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(fds[1]));
        const QStringList peer = ProcessInspector::peerLaunch();
        if (peer.isEmpty()) {
            helper.start(kHelper, {QStringLiteral("password: ")});
        } else {
            helper.start(peer.first(), peer.mid(1) << kHelper << QStringLiteral("password: "));
        }
        QVERIFY(helper.waitForStarted());
        ::close(fds[1]);
        fds[1] = -1;
        const auto pid = static_cast<pid_t>(helper.processId());

        // Wait until it sits in its write, holding the opened password.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(QStringLiteral("/proc/%1/wchan").arg(pid)).contains("pipe") ||
                                     helper.state() == QProcess::NotRunning,
                                 10000);
        QCOMPARE(helper.state(), QProcess::Running);
        QCOMPARE(ProcessInspector::coreLimit(pid), 0LL);
        const ProcessInspector::PeerAccess access = ProcessInspector::peerAccess(pid);

        QByteArray drained;
        char buffer[8192];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            drained.append(buffer, n);
        }
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
        QCOMPARE(drained, filler + "held password\n");
        if (access == ProcessInspector::PeerAccess::Unknown) {
            QSKIP("cannot look at a process as a peer would");
        }
        QCOMPARE(access, ProcessInspector::PeerAccess::Refused);
    }

    void passwordLoginWithoutATerminal()
    {
        requireServer();
        const Run run = runSsh(m_server.remote(true), QStringLiteral("echo ok; id -un"));
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(run.out, QByteArray("ok\nnimbaratest\n"));
        QCOMPARE(run.questions, QByteArray("nimbaratest@127.0.0.1's password: \n"));
        QVERIFY(m_server.log().contains("Accepted password for nimbaratest"));
        // accept-new recorded the unknown host key without asking anyone.
        QVERIFY(readFile(m_server.knownHostsPath()).contains(m_server.hostPublicKey()));
    }

    void wrongPasswordIsTriedOnce()
    {
        requireServer();
        Remote remote = m_server.remote(true);
        remote.password = QStringLiteral("wrong-password");
        const qsizetype failuresBefore = m_server.log().count("Failed password for nimbaratest");
        const Run run = runSsh(remote, QStringLiteral("echo ok"));
        QCOMPARE(run.exitCode, 255);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains("Permission denied"), run.err.constData());
        QCOMPARE(run.questions.count('\n'), 1);
        QCOMPARE(m_server.log().count("Failed password for nimbaratest") - failuresBefore, 1);
    }

    void changedHostKeyEndsInAnErrorNotAHang()
    {
        requireServer();
        // Later tests meet the server under its new key as a new host.
        const auto forget = qScopeGuard([this] { QFile::remove(m_server.knownHostsPath()); });
        // Known under its first key.
        QCOMPARE(runSsh(m_server.remote(true), QStringLiteral("true")).exitCode, 0);
        const QByteArray oldKey = m_server.hostPublicKey();
        QVERIFY(readFile(m_server.knownHostsPath()).contains(oldKey));

        QString error;
        QVERIFY2(m_server.restartWithNewHostKey(&error), qPrintable(error));
        QVERIFY(m_server.hostPublicKey() != oldKey);
        const qsizetype acceptedBefore = m_server.log().count("Accepted password");
        const qsizetype failedBefore = m_server.log().count("Failed password");

        const Run run = runSsh(m_server.remote(true), QStringLiteral("echo ok"));
        QCOMPARE(run.exitCode, 255);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains("REMOTE HOST IDENTIFICATION HAS CHANGED"), run.err.constData());
        QVERIFY2(run.err.contains("Host key verification failed"), run.err.constData());
        // No question went to the helper: ssh gave up at once instead of looping on its answers, and
        // no password was tried.
        QVERIFY2(run.questions.isEmpty(), run.questions.constData());
        QCOMPARE(m_server.log().count("Failed password"), failedBefore);
        QCOMPARE(m_server.log().count("Accepted password"), acceptedBefore);
        // The recorded key stays as it was.
        QVERIFY(readFile(m_server.knownHostsPath()).contains(oldKey));
    }

    void batchModeUsesKeysAndNeverAsks()
    {
        requireServer();
        const Remote remote = m_server.remote(false);
        auto batchRun = [&](TestSshServer::ClientAuth auth) {
            QString error;
            QProcess ssh;
            // No password: the plain system environment, nothing for an askpass program.
            ssh.setProcessEnvironment(buildSshEnvironment(remote, &error));
            ssh.setStandardInputFile(QProcess::nullDevice());
            ssh.start(QStringLiteral("setsid"), QStringList{QStringLiteral("-w"), QStringLiteral("ssh")} +
                                                    m_server.clientOptions(auth) +
                                                    buildSshArguments(remote, true) +
                                                    QStringList{QStringLiteral("echo key")});
            Run run;
            if (ssh.waitForFinished(kSshTimeoutMs)) {
                run.exitCode = ssh.exitCode();
                run.out = ssh.readAllStandardOutput();
                run.err = ssh.readAllStandardError();
            } else {
                ssh.kill();
                ssh.waitForFinished(1000);
            }
            return run;
        };
        const Run withKey = batchRun(TestSshServer::ClientAuth::Key);
        QVERIFY2(withKey.exitCode == 0, withKey.err.constData());
        QCOMPARE(withKey.out, QByteArray("key\n"));
        QVERIFY(m_server.log().contains("Accepted publickey for nimbaratest"));

        // Without a usable key batch mode fails at once instead of asking for a password.
        const Run withoutKey = batchRun(TestSshServer::ClientAuth::Password);
        QCOMPARE(withoutKey.exitCode, 255);
        QVERIFY2(withoutKey.err.contains("Permission denied"), withoutKey.err.constData());
    }

    void silentHostEndsByTheConnectTimeout()
    {
        requireServer();
        SilentTcpHost silent;
        QString error;
        QVERIFY2(silent.start(&error), qPrintable(error));
        Remote remote = m_server.remote(true);
        remote.port = silent.port();
        // The time-out reaches ssh as the program sets it.
        const QByteArray configuration = sshConfiguration(remote);
        QVERIFY2(configuration.contains("\nconnecttimeout 12\n"), configuration.constData());

        // ConnectTimeout covers the wait for the server's greeting too: ssh ends with that time-out.
        const Run run = runSsh(remote, QStringLiteral("echo ok"));
        QCOMPARE(run.exitCode, 255);
        QVERIFY2(run.err.contains("Connection timed out during banner exchange"), run.err.constData());
        QVERIFY2(run.questions.isEmpty(), run.questions.constData());
    }
};

QTEST_GUILESS_MAIN(TestAskPass)
#include "test_askpass.moc"
