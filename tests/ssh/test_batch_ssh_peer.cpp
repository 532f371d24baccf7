#include "ssh/batch_ssh_dialog.h"
#include "ssh/batch_ssh_texts.h"
#include "ssh/ssh_command.h"
#include "ssh/ssh_outcome.h"
#include "support/process_inspector.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString shellQuoted(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

// The `ssh` the dialog finds on PATH: the real client with the test server's client configuration
// (no system or user files, the server's own known hosts), which also logs how many clients were live
// whenever one starts.
bool installCountingSsh(const TestSshServer& server, const QString& bin, const QString& state, QString* error)
{
    const QString ssh = QStandardPaths::findExecutable(QStringLiteral("ssh"));
    if (ssh.isEmpty()) {
        *error = QStringLiteral("ssh is not installed");
        return false;
    }
    QString options;
    const QStringList clientOptions = server.clientOptions(TestSshServer::ClientAuth::Password);
    for (const QString& option : clientOptions) {
        options += QLatin1Char(' ') + shellQuoted(option);
    }
    const QString script = QStringLiteral("#!/bin/sh\n"
                                          "state=%1\n"
                                          ": > \"$state/live/$$\"\n"
                                          "ls \"$state/live\" | wc -l >> \"$state/counts\"\n"
                                          "%2%3 \"$@\"\n"
                                          "code=$?\n"
                                          "rm -f \"$state/live/$$\"\n"
                                          "exit $code\n")
                               .arg(shellQuoted(state), shellQuoted(ssh), options);
    QDir().mkpath(bin);
    QDir().mkpath(state + QStringLiteral("/live"));
    const QString path = bin + QStringLiteral("/ssh");
    writeFile(path, script.toUtf8());
    if (::chmod(QFile::encodeName(path).constData(), 0755) != 0) {
        *error = QStringLiteral("cannot install the ssh wrapper");
        return false;
    }
    return true;
}

int liveCount(const QString& state)
{
    return static_cast<int>(QDir(state + QStringLiteral("/live")).entryList(QDir::Files).size());
}

int maxConcurrency(const QString& state)
{
    int best = 0;
    const QList<QByteArray> lines = readFile(state + QStringLiteral("/counts")).split('\n');
    for (const QByteArray& line : lines) {
        best = qMax(best, line.trimmed().toInt());
    }
    return best;
}

QLabel* statusOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QLabel*>(QStringLiteral("batchStatus"));
}

QString outputOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QPlainTextEdit*>(QStringLiteral("batchOutput"))->toPlainText();
}

QPushButton* closeOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
}

QStringList paragraphs(BatchSshDialog* dialog)
{
    return outputOf(dialog).split(QLatin1Char('\n'));
}

// The lines of `name`'s block: from its header up to and including its result line (the first line
// that begins with "[name] "); empty when there is no such block or it is not whole.
QStringList blockOf(const QStringList& lines, const Remote& host)
{
    const qsizetype start = lines.indexOf(QStringLiteral("===== %1 (%2) =====").arg(host.name, host.host));
    if (start < 0) {
        return {};
    }
    const QString resultPrefix = QStringLiteral("[%1] ").arg(host.name);
    for (qsizetype i = start + 1; i < lines.size(); ++i) {
        if (lines[i].startsWith(QStringLiteral("===== "))) {
            return {};
        }
        if (lines[i].startsWith(resultPrefix)) {
            return lines.mid(start, i - start + 1);
        }
    }
    return {};
}

// The block's result line (its last line); empty without a block.
QString resultOf(const QStringList& lines, const Remote& host)
{
    const QStringList block = blockOf(lines, host);
    return block.isEmpty() ? QString() : block.constLast();
}

// What the host printed, without ssh's note about a newly recorded host key.
QStringList printedBy(const QStringList& lines, const Remote& host)
{
    QStringList printed = blockOf(lines, host).mid(1);
    if (!printed.isEmpty()) {
        printed.removeLast();
    }
    printed.removeIf([](const QString& line) {
        return line.isEmpty() || line.startsWith(QStringLiteral("Warning: Permanently added"));
    });
    return printed;
}

// Processes (not zombies) of session `sid`.
QList<qint64> sessionMembers(qint64 sid)
{
    QList<qint64> members;
    const QList<ProcessInspector::Entry> table = ProcessInspector::processTable();
    for (const ProcessInspector::Entry& entry : table) {
        if (entry.session == sid && entry.state != 'Z') {
            members.append(entry.pid);
        }
    }
    return members;
}

} // namespace

class TestBatchSshPeer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void mixedHostsGiveTheRightTallyAndNeverMoreThanEight();
    void hostsWithoutPasswordAreRefusedWithoutAPrompt();
    void commandExitStatusIsReportedAsTheCommands();
    void commandReadingItsInputGetsEndOfFile();
    void outputOfSeveralHostsStaysUnderItsOwnHeader();
    void changedHostKeyIsReported();
    void stopEndsRunningSshAndStartsNoMore();

private:
    Remote alias(const QString& name, const QString& host, bool withPassword = true) const;

    TestSshServer m_server;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScopedEnvironment> m_env;
    QString m_state;
};

void TestBatchSshPeer::initTestCase()
{
    const QString reason = TestSshServer::unavailableReason();
    if (!reason.isEmpty()) {
        QSKIP(qPrintable(reason));
    }
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    // The real helper, as built beside the program.
    setAskPassDirectory(QStringLiteral(NIMBARA_BINARY_DIR));
    QVERIFY2(!prepareAskPassExecutable(&error).isEmpty(), qPrintable(error));
}

void TestBatchSshPeer::cleanupTestCase()
{
    setAskPassDirectory(QString());
}

void TestBatchSshPeer::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_env = std::make_unique<ScopedEnvironment>();
    isolateProcess(*m_env, m_root->path());
    for (const char* name : {"SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY", "SSH_AUTH_SOCK"}) {
        m_env->unset(name);
    }
    m_state = m_root->filePath(QStringLiteral("state"));
    const QString bin = m_root->filePath(QStringLiteral("bin"));
    QString error;
    QVERIFY2(installCountingSsh(m_server, bin, m_state, &error), qPrintable(error));
    m_env->set("PATH", bin + QLatin1Char(':') + qEnvironmentVariable("PATH"));
}

void TestBatchSshPeer::cleanup()
{
    m_env.reset();
    m_root.reset();
}

Remote TestBatchSshPeer::alias(const QString& name, const QString& host, bool withPassword) const
{
    Remote remote = m_server.remote(withPassword);
    remote.id = name;
    remote.name = name;
    remote.host = host;
    return remote;
}

void TestBatchSshPeer::mixedHostsGiveTheRightTallyAndNeverMoreThanEight()
{
    SilentTcpHost silent;
    QString error;
    QVERIFY2(silent.start(&error), qPrintable(error));

    // The good hosts wait on the server until the gate file appears, so the first eight are all
    // connected at once and a ninth must not start meanwhile.
    const QString gate = m_server.homePath() + QStringLiteral("/gate-") + QString::number(::getpid());
    QFile::remove(gate);
    const QString command =
        QStringLiteral("while [ ! -e %1 ]; do sleep 0.05; done; uptime").arg(shellQuoted(gate));

    QList<Remote> hosts;
    QList<Remote> good;
    for (int i = 1; i <= 12; ++i) {
        const QString name = QStringLiteral("good-%1").arg(i, 2, 10, QLatin1Char('0'));
        hosts.append(alias(name, i % 2 ? QStringLiteral("127.0.0.1") : QStringLiteral("localhost")));
        good.append(hosts.constLast());
    }
    Remote wrongPassword = alias(QStringLiteral("wrong-password"), QStringLiteral("127.0.0.1"));
    wrongPassword.password = QStringLiteral("not the password");
    Remote refused = alias(QStringLiteral("refused"), QStringLiteral("127.0.0.1"));
    refused.port = freeLoopbackPort();
    Remote hanging = alias(QStringLiteral("hanging"), QStringLiteral("127.0.0.1"));
    hanging.port = silent.port();
    Remote keyless = alias(QStringLiteral("keyless"), QStringLiteral("localhost"), false);
    hosts.insert(9, wrongPassword);
    hosts.insert(11, refused);
    hosts.insert(13, hanging);
    hosts.append(keyless);
    QCOMPARE(hosts.size(), 16);

    const qsizetype logStart = m_server.log().size();
    BatchSshDialog dialog(hosts, command);
    QCOMPARE(dialog.running(), BatchSshDialog::kMaxRunning);
    QTRY_COMPARE_WITH_TIMEOUT(liveCount(m_state), BatchSshDialog::kMaxRunning, 20000);
    // All eight are logged in and waiting: nothing else may have started.
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(m_server.log().mid(logStart).count(
                                  "Accepted password for " + m_server.user().toLatin1())),
                              BatchSshDialog::kMaxRunning, 20000);
    QCOMPARE(dialog.finished(), 0);
    QCOMPARE(dialog.running(), BatchSshDialog::kMaxRunning);
    QVERIFY(!closeOf(&dialog)->isEnabled());

    writeFile(gate, {});
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 16, 60000);
    QFile::remove(gate);

    QCOMPARE(dialog.succeeded(), 12);
    QCOMPARE(statusOf(&dialog)->text(), batchTally(16, 12, 4, 0));
    QVERIFY(closeOf(&dialog)->isEnabled());
    QCOMPARE(dialog.running(), 0);
    QCOMPARE(maxConcurrency(m_state), BatchSshDialog::kMaxRunning);
    QVERIFY(silent.accepted() >= 1);

    const QStringList lines = paragraphs(&dialog);
    const QString text = outputOf(&dialog);
    for (const Remote& host : std::as_const(good)) {
        QCOMPARE(resultOf(lines, host), QStringLiteral("[%1] 完成").arg(host.name));
        const QStringList printed = printedBy(lines, host);
        QCOMPARE(printed.size(), 1);
        QVERIFY(printed.first().contains(QStringLiteral("load average")));
    }
    // Each failure is told by its cause.
    QCOMPARE(resultOf(lines, wrongPassword), QStringLiteral("[wrong-password] 认证失败（用户名或密码错误）"));
    QCOMPARE(resultOf(lines, refused), QStringLiteral("[refused] 连接被拒绝（该端口没有 SSH 服务）"));
    QCOMPARE(resultOf(lines, hanging), QStringLiteral("[hanging] 连接超时"));
    QVERIFY2(resultOf(lines, keyless).startsWith(QStringLiteral("[keyless] 认证失败（未保存密码")),
             qPrintable(text));
    // ssh's own words stay in the block of the host they are about.
    QVERIFY(printedBy(lines, refused).join(QLatin1Char('\n')).contains(QStringLiteral("Connection refused")));
    QVERIFY(printedBy(lines, wrongPassword)
                .join(QLatin1Char('\n'))
                .contains(QStringLiteral("Permission denied")));
    QVERIFY(!text.contains(m_server.password()));
    QVERIFY(!m_server.log().contains(m_server.password().toUtf8()));
}

void TestBatchSshPeer::hostsWithoutPasswordAreRefusedWithoutAPrompt()
{
    QList<Remote> hosts;
    for (int i = 1; i <= 4; ++i) {
        hosts.append(alias(QStringLiteral("keyless-%1").arg(i),
                           i % 2 ? QStringLiteral("127.0.0.1") : QStringLiteral("localhost"), false));
    }
    BatchSshDialog dialog(hosts, QStringLiteral("uptime"));
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 4, 20000);
    QCOMPARE(dialog.succeeded(), 0);
    QCOMPARE(statusOf(&dialog)->text(), batchTally(4, 0, 4, 0));
    const QStringList lines = paragraphs(&dialog);
    for (const Remote& host : std::as_const(hosts)) {
        // Refused keys, not a password that nobody typed and not a timeout.
        QCOMPARE(resultOf(lines, host),
                 SshOutcome::describe(SshOutcome::Kind::AuthenticationFailed, host.name, 255, false));
    }
}

void TestBatchSshPeer::commandExitStatusIsReportedAsTheCommands()
{
    const Remote host = alias(QStringLiteral("exit-three"), QStringLiteral("127.0.0.1"));
    BatchSshDialog dialog({host}, QStringLiteral("echo partial; echo trouble >&2; exit 3"));
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 1, 20000);
    const QStringList lines = paragraphs(&dialog);
    QCOMPARE(resultOf(lines, host), QStringLiteral("[exit-three] 命令退出码 3"));
    QStringList printed = printedBy(lines, host);
    printed.sort();
    QCOMPARE(printed, (QStringList{QStringLiteral("partial"), QStringLiteral("trouble")}));
    QCOMPARE(statusOf(&dialog)->text(), batchTally(1, 0, 1, 0));
}

void TestBatchSshPeer::commandReadingItsInputGetsEndOfFile()
{
    // Nobody can type into a batch run: `cat` must end instead of holding the run open.
    BatchSshDialog dialog({alias(QStringLiteral("reader"), QStringLiteral("127.0.0.1"))},
                          QStringLiteral("cat; echo input-closed"));
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 1, 20000);
    QCOMPARE(dialog.succeeded(), 1);
    QVERIFY(outputOf(&dialog).contains(QStringLiteral("input-closed")));
}

void TestBatchSshPeer::outputOfSeveralHostsStaysUnderItsOwnHeader()
{
    // Two more servers, each printing its own lines around a wait on a gate file in its home, so both
    // hosts have printed before either is done.
    TestSshServer servers[2];
    QList<Remote> hosts;
    for (int i = 0; i < 2; ++i) {
        const QString marker = i == 0 ? QStringLiteral("alpha") : QStringLiteral("beta");
        TestSshServer::Options options;
        options.forceCommand =
            QStringLiteral("echo %1-first; touch ready; while [ ! -e gate ]; do sleep 0.05; "
                           "done; echo %1-error >&2; echo %1-last")
                .arg(marker);
        QString error;
        QVERIFY2(servers[i].start(options, &error), qPrintable(error));
        Remote host = servers[i].remote(true);
        host.name = marker;
        hosts.append(host);
    }

    BatchSshDialog dialog(hosts, QStringLiteral("ignored by the forced command"));
    for (const TestSshServer& server : servers) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(server.homePath() + QStringLiteral("/ready")), 20000);
    }
    // The second host is let go first: its block comes first.
    writeFile(servers[1].homePath() + QStringLiteral("/gate"), {});
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 1, 20000);
    writeFile(servers[0].homePath() + QStringLiteral("/gate"), {});
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 2, 20000);
    QCOMPARE(dialog.succeeded(), 2);

    const QStringList lines = paragraphs(&dialog);
    for (const Remote& host : std::as_const(hosts)) {
        QCOMPARE(resultOf(lines, host), QStringLiteral("[%1] 完成").arg(host.name));
        QStringList printed = printedBy(lines, host);
        // Output and error output of one host may cross; nothing of the other host is among them.
        printed.sort();
        QCOMPARE(printed,
                 (QStringList{host.name + QStringLiteral("-error"), host.name + QStringLiteral("-first"),
                              host.name + QStringLiteral("-last")}));
    }
    const qsizetype alphaAt = lines.indexOf(blockOf(lines, hosts[0]).constFirst());
    const qsizetype betaAt = lines.indexOf(blockOf(lines, hosts[1]).constFirst());
    QVERIFY(betaAt < alphaAt);
    QCOMPARE(lines.constLast(), batchTally(2, 2, 0, 0));
}

void TestBatchSshPeer::changedHostKeyIsReported()
{
    // A server of its own: its key changes.
    TestSshServer server;
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    const QString bin = m_root->filePath(QStringLiteral("bin-rekeyed"));
    QVERIFY2(installCountingSsh(server, bin, m_root->filePath(QStringLiteral("state-rekeyed")), &error),
             qPrintable(error));
    m_env->set("PATH", bin + QLatin1Char(':') + qEnvironmentVariable("PATH"));
    Remote host = server.remote(true);
    host.name = QStringLiteral("rekeyed");

    {
        BatchSshDialog first({host}, QStringLiteral("true"));
        QTRY_COMPARE_WITH_TIMEOUT(first.finished(), 1, 20000);
        QCOMPARE(first.succeeded(), 1);
    }
    QVERIFY2(server.restartWithNewHostKey(&error), qPrintable(error));
    BatchSshDialog second({host}, QStringLiteral("true"));
    QTRY_COMPARE_WITH_TIMEOUT(second.finished(), 1, 20000);
    QCOMPARE(resultOf(paragraphs(&second), host),
             QStringLiteral("[rekeyed] 主机密钥已改变，已拒绝连接（请核实服务器后更新 known_hosts）"));
}

void TestBatchSshPeer::stopEndsRunningSshAndStartsNoMore()
{
    const QDir home(m_server.homePath());
    for (const QString& name : home.entryList({QStringLiteral("started.*")}, QDir::Files)) {
        QFile::remove(home.filePath(name));
    }
    QList<Remote> hosts;
    for (int i = 1; i <= 9; ++i) {
        hosts.append(alias(QStringLiteral("long-%1").arg(i), QStringLiteral("127.0.0.1")));
    }
    // Runs until the connection is gone: its next write fails once ssh has ended.
    BatchSshDialog dialog(
        hosts, QStringLiteral(": > \"started.$$\"; echo started; while sleep 0.2; do echo tick; done"));
    QTRY_COMPARE_WITH_TIMEOUT(home.entryList({QStringLiteral("started.*")}, QDir::Files).size(),
                              qsizetype(BatchSshDialog::kMaxRunning), 30000);
    const QStringList sessions = QDir(m_state + QStringLiteral("/live")).entryList(QDir::Files);
    QCOMPARE(sessions.size(), BatchSshDialog::kMaxRunning);

    QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("batchStop")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 9, 20000);
    QCOMPARE(dialog.stopped(), 9);
    QCOMPARE(dialog.succeeded(), 0);
    QCOMPARE(statusOf(&dialog)->text(), batchTally(9, 0, 0, 9));
    QVERIFY(closeOf(&dialog)->isEnabled());
    // Each run led its own session (the wrapper's pid): no ssh is left in any of them.
    for (const QString& session : sessions) {
        QCOMPARE(sessionMembers(session.toLongLong()), QList<qint64>());
    }
    // The ninth host never started.
    QCOMPARE(readFile(m_state + QStringLiteral("/counts")).count('\n'), BatchSshDialog::kMaxRunning);

    const QStringList lines = paragraphs(&dialog);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(lines.count(QStringLiteral("[%1] 已停止").arg(hosts[i].name)), 1);
    }
    QVERIFY(lines.contains(QStringLiteral("[long-9] 已停止（未开始）")));
}

QTEST_MAIN(TestBatchSshPeer)
#include "test_batch_ssh_peer.moc"
