#include "ssh/batch_ssh_dialog.h"
#include "ssh/ssh_command.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
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

const QString kFailureSuffix = QStringLiteral(" 失败（请检查网络、SSH密钥和sudo权限）");

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

// The run's report line for `name`: 1 for "完成", 0 for the failure line, -1 when missing or twice.
int outcome(const QStringList& lines, const QString& name)
{
    const qsizetype done = lines.count(QStringLiteral("[%1] 完成").arg(name));
    const qsizetype failed = lines.count(QStringLiteral("[") + name + QStringLiteral("]") + kFailureSuffix);
    if (done + failed != 1) {
        return -1;
    }
    return done == 1 ? 1 : 0;
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
    void hostsWithoutPasswordFailFastInBatchMode();
    void commandReadingItsInputGetsEndOfFile();

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
    QStringList good;
    for (int i = 1; i <= 12; ++i) {
        const QString name = QStringLiteral("good-%1").arg(i, 2, 10, QLatin1Char('0'));
        hosts.append(alias(name, i % 2 ? QStringLiteral("127.0.0.1") : QStringLiteral("localhost")));
        good.append(name);
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
    QElapsedTimer timer;
    timer.start();
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
    QCOMPARE(statusOf(&dialog)->text(), QStringLiteral("已完成 16/16，成功 12，失败 4"));
    QVERIFY(closeOf(&dialog)->isEnabled());
    QCOMPARE(dialog.running(), 0);
    QVERIFY(maxConcurrency(m_state) <= BatchSshDialog::kMaxRunning);
    QCOMPARE(maxConcurrency(m_state), BatchSshDialog::kMaxRunning);
    QVERIFY(silent.accepted() >= 1);
    // ConnectTimeout bounds the silent host; nothing else holds the run back.
    QVERIFY2(timer.elapsed() >= 11000, qPrintable(QString::number(timer.elapsed())));

    const QStringList lines = paragraphs(&dialog);
    const QString text = outputOf(&dialog);
    for (const QString& name : std::as_const(good)) {
        QCOMPARE(outcome(lines, name), 1);
    }
    for (const QString& name : {wrongPassword.name, refused.name, hanging.name, keyless.name}) {
        QVERIFY2(outcome(lines, name) == 0, qPrintable(name + QLatin1Char('\n') + text));
    }
    QCOMPARE(text.count(QStringLiteral("load average")), 12);
    QVERIFY(text.contains(QStringLiteral("Connection refused")));
    QVERIFY(text.contains(QStringLiteral("Permission denied")));
    QVERIFY(!text.contains(m_server.password()));
    QVERIFY(!m_server.log().contains(m_server.password().toUtf8()));
}

void TestBatchSshPeer::hostsWithoutPasswordFailFastInBatchMode()
{
    QList<Remote> hosts;
    for (int i = 1; i <= 4; ++i) {
        hosts.append(alias(QStringLiteral("keyless-%1").arg(i),
                           i % 2 ? QStringLiteral("127.0.0.1") : QStringLiteral("localhost"), false));
    }
    QElapsedTimer timer;
    timer.start();
    BatchSshDialog dialog(hosts, QStringLiteral("uptime"));
    QTRY_COMPARE_WITH_TIMEOUT(dialog.finished(), 4, 10000);
    // No prompt to wait on, no timeout to run into.
    QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(dialog.succeeded(), 0);
    QCOMPARE(statusOf(&dialog)->text(), QStringLiteral("已完成 4/4，成功 0，失败 4"));
    const QStringList lines = paragraphs(&dialog);
    for (const Remote& host : std::as_const(hosts)) {
        QCOMPARE(outcome(lines, host.name), 0);
    }
    QCOMPARE(outputOf(&dialog).count(QStringLiteral("Permission denied")), 4);
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

QTEST_MAIN(TestBatchSshPeer)
#include "test_batch_ssh_peer.moc"
