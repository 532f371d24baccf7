#include "platform/data_protection.h"
#include "ssh/askpass_contract.h"
#include "ssh/batch_ssh_dialog.h"
#include "ssh/batch_ssh_texts.h"
#include "ssh/ssh_command.h"
#include "support/test_environment.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The `ssh` the dialog finds on PATH during a test. Every run records its arguments and environment
// under the state directory, marks itself live while it runs and logs how many runs were live when it
// started. With "block" present it prints its standard output, then waits on its own fifo until the
// test releases it, then prints its standard error. "exit.<destination>" holds the exit code for that
// destination; "crash.<destination>" makes the run kill itself.
const char kStubScript[] = R"(#!/bin/sh
state=%1
prev=
last=
for a in "$@"; do prev=$last; last=$a; done
dest=$prev
printf '%s\n' "$@" > "$state/args.$$"
env > "$state/env.$$"
mkfifo "$state/gate.$$"
: > "$state/live/$$"
ls "$state/live" | wc -l >> "$state/counts"
printf 'out %s\n  second line  \n\n' "$dest"
if [ -e "$state/block" ]; then read line < "$state/gate.$$"; fi
printf 'err %s\n' "$dest" >&2
rm -f "$state/live/$$" "$state/gate.$$"
if [ -e "$state/crash.$dest" ]; then kill -9 $$; fi
code=0
if [ -f "$state/exit.$dest" ]; then read code < "$state/exit.$dest"; fi
exit "$code"
)";

class StubSsh
{
public:
    StubSsh()
    {
        m_bin = m_dir.filePath(QStringLiteral("bin"));
        m_state = m_dir.filePath(QStringLiteral("state"));
        QDir().mkpath(m_bin);
        QDir().mkpath(m_state + QStringLiteral("/live"));
    }

    bool isValid() const { return m_dir.isValid(); }
    QString binDirectory() const { return m_bin; }

    void install() { writeScript(QString::fromLatin1(kStubScript).arg(shellQuoted(m_state)).toUtf8()); }
    // An executable whose interpreter does not exist: exec fails, the process never starts.
    void installUnstartable() { writeScript("#!/nonexistent/interpreter\n"); }

    void setBlocking(bool on)
    {
        if (on) {
            writeFile(statePath(QStringLiteral("block")), {});
        } else {
            QFile::remove(statePath(QStringLiteral("block")));
        }
    }
    void setExitCode(const QString& destination, int code)
    {
        writeFile(statePath(QStringLiteral("exit.") + destination), QByteArray::number(code) + '\n');
    }
    void setCrash(const QString& destination)
    {
        writeFile(statePath(QStringLiteral("crash.") + destination), {});
    }

    QList<qint64> live() const
    {
        QList<qint64> pids;
        const QStringList names = QDir(m_state + QStringLiteral("/live")).entryList(QDir::Files);
        for (const QString& name : names) {
            pids.append(name.toLongLong());
        }
        return pids;
    }

    // Lets every live, not yet released run go on; returns how many were released.
    int releaseLive()
    {
        int count = 0;
        const QList<qint64> pids = live();
        for (qint64 pid : pids) {
            if (!m_released.contains(pid)) {
                release(pid);
                ++count;
            }
        }
        return count;
    }

    void release(qint64 pid)
    {
        m_released.insert(pid);
        // The run has made its fifo before marking itself live; opening blocks until it reads.
        const QByteArray path = QFile::encodeName(statePath(QStringLiteral("gate.%1").arg(pid)));
        const int fd = ::open(path.constData(), O_WRONLY);
        if (fd >= 0) {
            const ssize_t written = ::write(fd, "\n", 1);
            Q_UNUSED(written);
            ::close(fd);
        }
    }

    // All runs so far, by process id.
    QList<qint64> runs() const
    {
        QList<qint64> pids;
        const QStringList names = QDir(m_state).entryList({QStringLiteral("args.*")}, QDir::Files);
        for (const QString& name : names) {
            pids.append(name.mid(5).toLongLong());
        }
        return pids;
    }
    QStringList arguments(qint64 pid) const
    {
        QString text = QString::fromUtf8(readFile(statePath(QStringLiteral("args.%1").arg(pid))));
        text.chop(1);
        return text.split(QLatin1Char('\n'));
    }
    QByteArray rawArguments(qint64 pid) const
    {
        return readFile(statePath(QStringLiteral("args.%1").arg(pid)));
    }
    QByteArray rawEnvironment(qint64 pid) const
    {
        return readFile(statePath(QStringLiteral("env.%1").arg(pid)));
    }
    QMap<QString, QString> environment(qint64 pid) const
    {
        QMap<QString, QString> env;
        const QList<QByteArray> lines = rawEnvironment(pid).split('\n');
        for (const QByteArray& line : lines) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0) {
                env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
            }
        }
        return env;
    }
    // The run whose destination (the argument before the command) is `destination`.
    qint64 runFor(const QString& destination) const
    {
        const QList<qint64> pids = runs();
        for (qint64 pid : pids) {
            const QStringList args = arguments(pid);
            if (args.size() >= 2 && args[args.size() - 2] == destination) {
                return pid;
            }
        }
        return -1;
    }
    // The largest number of runs live at once, as seen by each run when it started.
    int maxConcurrency() const
    {
        int best = 0;
        const QList<QByteArray> lines = readFile(statePath(QStringLiteral("counts"))).split('\n');
        for (const QByteArray& line : lines) {
            best = qMax(best, line.trimmed().toInt());
        }
        return best;
    }

private:
    QString statePath(const QString& name) const { return m_state + QLatin1Char('/') + name; }
    static QString shellQuoted(QString text)
    {
        return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
               QLatin1Char('\'');
    }
    void writeScript(const QByteArray& script)
    {
        const QString path = m_bin + QStringLiteral("/ssh");
        writeFile(path, script);
        ::chmod(QFile::encodeName(path).constData(), 0755);
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_state;
    QSet<qint64> m_released;
};

Remote sshHost(int index, const QString& password = QString())
{
    Remote remote;
    remote.id = QStringLiteral("id-%1").arg(index);
    remote.name = QStringLiteral("主机%1").arg(index, 2, 10, QLatin1Char('0'));
    remote.host = QStringLiteral("host%1.example.test").arg(index, 2, 10, QLatin1Char('0'));
    remote.port = 22;
    remote.username = QStringLiteral("admin");
    remote.password = password;
    remote.protocol = QStringLiteral("ssh");
    return remote;
}

// Hosts 1 to `count`, without passwords.
QList<Remote> sshHosts(int count)
{
    QList<Remote> hosts;
    for (int i = 1; i <= count; ++i) {
        hosts.append(sshHost(i));
    }
    return hosts;
}

QString destinationOf(const Remote& remote)
{
    return remote.username + QLatin1Char('@') + remote.host;
}

QLabel* statusOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QLabel*>(QStringLiteral("batchStatus"));
}

QPlainTextEdit* outputOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QPlainTextEdit*>(QStringLiteral("batchOutput"));
}

QPushButton* closeOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
}

QPushButton* stopOf(BatchSshDialog* dialog)
{
    return dialog->findChild<QPushButton*>(QStringLiteral("batchStop"));
}

QString header(const Remote& host)
{
    return QStringLiteral("===== %1 (%2) =====").arg(host.name, host.host);
}

QStringList paragraphs(BatchSshDialog* dialog)
{
    QStringList lines;
    for (QTextBlock block = outputOf(dialog)->document()->begin(); block.isValid(); block = block.next()) {
        lines.append(block.text());
    }
    return lines;
}

// Session id of a process, from /proc/<pid>/stat (the fourth field after the command).
qint64 sessionOf(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 3 ? fields[3].toLongLong() : -1;
}

bool processGone(qint64 pid)
{
    // A zombie still answers signal 0; only a reaped process is gone.
    return ::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

// Records how far the run was when the Close button became enabled.
class EnableWatcher : public QObject
{
public:
    EnableWatcher(BatchSshDialog* dialog, QPushButton* button) : m_dialog(dialog)
    {
        button->installEventFilter(this);
    }
    int finishedWhenEnabled = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange && static_cast<QWidget*>(watched)->isEnabled() &&
            finishedWhenEnabled < 0) {
            finishedWhenEnabled = m_dialog->finished();
        }
        return false;
    }

private:
    BatchSshDialog* m_dialog;
};

} // namespace

class TestBatchSshDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowAndInitialTexts();
    void missingSshIsReported();
    void twentyHostsRunEightAtATimeAndCloseOnlyAtTheEnd();
    void hostWithoutPasswordUsesBatchModeOnly();
    void hostWithPasswordUsesTheAskPassContract();
    void sshSpeaksEnglishWhileTheRemoteKeepsTheUsersLocale();
    void passwordPreparationFailureIsCountedAndOthersContinue_data();
    void passwordPreparationFailureIsCountedAndOthersContinue();
    void processThatFailsToStartCountsOnceAsFailed();
    void startFailureAfterFinishIsNotCountedAgain();
    void eachHostsOutputStaysUnderItsHeader();
    void stopEndsRunningHostsAndStartsNoMore();
    void closingMidRunStopsTheRun();
    void closingMidRunKillsRunningProcesses();
    void eachRunLeadsItsOwnSession();
    void hostsThatSshWouldReadAsOptionsNeverStart();

private:
    BatchSshDialog* makeDialog(const QList<Remote>& hosts, const QString& command = QStringLiteral("uptime"));

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScopedEnvironment> m_env;
    std::unique_ptr<StubSsh> m_stub;
    QPointer<BatchSshDialog> m_dialog;
};

void TestBatchSshDialog::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_env = std::make_unique<ScopedEnvironment>();
    isolateProcess(*m_env, m_root->path());
    for (const char* name :
         {"SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY", "TOLV_SSH_PASSWORD_DPAPI", "LC_ALL"}) {
        m_env->unset(name);
    }
    m_stub = std::make_unique<StubSsh>();
    QVERIFY(m_stub->isValid());
    m_stub->install();
    m_env->set("PATH", m_stub->binDirectory() + QStringLiteral(":/usr/bin:/bin"));
    // The stub never runs the helper; it only has to exist where the program looks for it.
    const QString helperDir = m_root->filePath(QStringLiteral("helper"));
    const QString helper = helperDir + QLatin1Char('/') + QString::fromLatin1(askpass::kProgramName);
    writeFile(helper, "#!/bin/sh\nexit 1\n");
    QVERIFY(::chmod(QFile::encodeName(helper).constData(), 0755) == 0);
    setAskPassDirectory(helperDir);
}

void TestBatchSshDialog::cleanup()
{
    delete m_dialog.data();
    setAskPassDirectory(QString());
    m_stub.reset();
    m_env.reset();
    m_root.reset();
}

BatchSshDialog* TestBatchSshDialog::makeDialog(const QList<Remote>& hosts, const QString& command)
{
    m_dialog = new BatchSshDialog(hosts, command);
    return m_dialog.data();
}

void TestBatchSshDialog::windowAndInitialTexts()
{
    m_stub->setBlocking(true);
    BatchSshDialog* dialog = makeDialog({sshHost(1), sshHost(2)});
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Linux 批量执行结果"));
    QCOMPARE(dialog->size(), QSize(820, 560));
    QVERIFY(outputOf(dialog)->isReadOnly());
    QCOMPARE(outputOf(dialog)->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(!closeOf(dialog)->isEnabled());
    QCOMPARE(stopOf(dialog)->text(), QStringLiteral("停止"));
    QVERIFY(stopOf(dialog)->isEnabled());
    QVERIFY(!stopOf(dialog)->autoDefault());
    QCOMPARE(dialog->total(), 2);
    QCOMPARE(dialog->running(), 2);
    QCOMPARE(statusOf(dialog)->text(), QStringLiteral("已完成 0/2，成功 0，失败 0"));
    QTRY_COMPARE(m_stub->live().size(), 2);
    m_stub->releaseLive();
    QTRY_COMPARE(dialog->finished(), 2);
    QCOMPARE(statusOf(dialog)->text(), batchTally(2, 2, 0, 0));
    QCOMPARE(paragraphs(dialog).constLast(), batchTally(2, 2, 0, 0));
    QVERIFY(closeOf(dialog)->isEnabled());
    QVERIFY(!stopOf(dialog)->isEnabled());

    // Nothing to run is done at once.
    BatchSshDialog empty({}, QStringLiteral("uptime"));
    QCOMPARE(statusOf(&empty)->text(), batchTally(0, 0, 0, 0));
    QVERIFY(closeOf(&empty)->isEnabled());
    QVERIFY(!stopOf(&empty)->isEnabled());
}

void TestBatchSshDialog::missingSshIsReported()
{
    m_env->set("PATH", m_root->path());
    BatchSshDialog* dialog = makeDialog({sshHost(1), sshHost(2)});
    QCOMPARE(statusOf(dialog)->text(), QStringLiteral("执行失败"));
    QCOMPARE(outputOf(dialog)->toPlainText(), QStringLiteral("未找到 OpenSSH 客户端（ssh），无法执行。"));
    QVERIFY(closeOf(dialog)->isEnabled());
    QVERIFY(!stopOf(dialog)->isEnabled());
    QCOMPARE(dialog->running(), 0);
}

void TestBatchSshDialog::twentyHostsRunEightAtATimeAndCloseOnlyAtTheEnd()
{
    m_stub->setBlocking(true);
    const QList<Remote> hosts = sshHosts(20);
    m_stub->setExitCode(destinationOf(hosts[4]), 1);
    m_stub->setExitCode(destinationOf(hosts[17]), 255);
    m_stub->setCrash(destinationOf(hosts[11]));

    BatchSshDialog* dialog = makeDialog(hosts);
    EnableWatcher watcher(dialog, closeOf(dialog));
    QCOMPARE(dialog->running(), BatchSshDialog::kMaxRunning);
    // The first eight of the selection start first.
    QTRY_COMPARE(m_stub->live().size(), BatchSshDialog::kMaxRunning);
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(m_stub->runFor(destinationOf(hosts[i])) > 0, i < BatchSshDialog::kMaxRunning);
    }

    // Release one run at a time; the next host of the selection starts in its place, never a ninth.
    int released = 0;
    while (released < 20) {
        const int expectedLive = qMin(BatchSshDialog::kMaxRunning, 20 - released);
        QTRY_COMPARE(m_stub->live().size(), expectedLive);
        QCOMPARE(dialog->running(), expectedLive);
        QCOMPARE(dialog->finished(), released);
        QCOMPARE(m_stub->runs().size(), qMin(20, BatchSshDialog::kMaxRunning + released));
        QVERIFY(!closeOf(dialog)->isEnabled());
        const qint64 pid = m_stub->live().constFirst();
        m_stub->release(pid);
        ++released;
        QTRY_COMPARE(dialog->finished(), released);
        QVERIFY(dialog->running() <= BatchSshDialog::kMaxRunning);
    }

    QCOMPARE(m_stub->runs().size(), 20);
    QCOMPARE(m_stub->maxConcurrency(), BatchSshDialog::kMaxRunning);
    QCOMPARE(statusOf(dialog)->text(), batchTally(20, 17, 3, 0));
    QCOMPARE(dialog->succeeded(), 17);
    QCOMPARE(dialog->failed(), 3);
    QCOMPARE(dialog->running(), 0);
    QVERIFY(closeOf(dialog)->isEnabled());
    QCOMPARE(watcher.finishedWhenEnabled, 20);

    const QStringList lines = paragraphs(dialog);
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(lines.count(header(hosts[i])), 1);
    }
    // Each failure says what it was: the command's status, an unexplained 255, a crash.
    QVERIFY(lines.contains(QStringLiteral("[%1] 命令退出码 1").arg(hosts[4].name)));
    QVERIFY(lines.contains(QStringLiteral("[%1] SSH 连接失败或命令退出码 255").arg(hosts[17].name)));
    QVERIFY(lines.contains(QStringLiteral("[%1] ssh 异常结束").arg(hosts[11].name)));
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^\\[.*\\] 完成$"))).size(), 17);
    QCOMPARE(lines.constLast(), batchTally(20, 17, 3, 0));
}

void TestBatchSshDialog::hostWithoutPasswordUsesBatchModeOnly()
{
    const Remote host = sshHost(1);
    BatchSshDialog* dialog = makeDialog({host}, QStringLiteral("df -h"));
    QTRY_COMPARE(dialog->finished(), 1);
    const qint64 pid = m_stub->runFor(destinationOf(host));
    QVERIFY(pid > 0);
    const QStringList args = m_stub->arguments(pid);
    QCOMPARE(args.constLast(), QStringLiteral("df -h"));
    QCOMPARE(args[args.size() - 2], destinationOf(host));
    QCOMPARE(args[args.size() - 4], QStringLiteral("-o"));
    QCOMPARE(args[args.size() - 3], QStringLiteral("BatchMode=yes"));
    QVERIFY(args.contains(QStringLiteral("ConnectTimeout=12")));
    QVERIFY(!args.contains(QStringLiteral("PreferredAuthentications=password")));
    QVERIFY(!args.contains(QStringLiteral("NumberOfPasswordPrompts=1")));

    const QMap<QString, QString> env = m_stub->environment(pid);
    for (const char* name : {"SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY", "TOLV_SSH_PASSWORD_DPAPI"}) {
        QVERIFY2(!env.contains(QString::fromLatin1(name)), name);
    }
    QCOMPARE(env.value(QStringLiteral("HOME")), qEnvironmentVariable("HOME"));
}

void TestBatchSshDialog::hostWithPasswordUsesTheAskPassContract()
{
    const QString password = QStringLiteral("S3cret-口令-ü");
    const Remote withPassword = sshHost(1, password);
    const Remote withoutPassword = sshHost(2);
    BatchSshDialog* dialog = makeDialog({withPassword, withoutPassword});
    QTRY_COMPARE(dialog->finished(), 2);
    QCOMPARE(dialog->succeeded(), 2);

    const qint64 pid = m_stub->runFor(destinationOf(withPassword));
    QVERIFY2(pid > 0, qPrintable(outputOf(dialog)->toPlainText()));
    const QStringList args = m_stub->arguments(pid);
    const qsizetype n = args.size();
    QVERIFY(n >= 6);
    QCOMPARE(args.mid(n - 6),
             QStringList({QStringLiteral("-o"), QStringLiteral("PreferredAuthentications=password"),
                          QStringLiteral("-o"), QStringLiteral("NumberOfPasswordPrompts=1"),
                          destinationOf(withPassword), QStringLiteral("uptime")}));
    QVERIFY(!args.contains(QStringLiteral("BatchMode=yes")));

    const QMap<QString, QString> env = m_stub->environment(pid);
    QVERIFY(QFileInfo(env.value(QStringLiteral("SSH_ASKPASS"))).isExecutable());
    QCOMPARE(env.value(QStringLiteral("SSH_ASKPASS_REQUIRE")), QStringLiteral("force"));
    QVERIFY(!env.value(QStringLiteral("DISPLAY")).isEmpty());
    const QString sealed = env.value(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI"));
    QVERIFY(!sealed.isEmpty());
    QByteArray plain;
    QVERIFY(createDataProtection()->unprotect(QByteArray::fromBase64(sealed.toLatin1()), &plain));
    QCOMPARE(plain, password.toUtf8());

    // The password itself is nowhere in what ssh was given.
    QVERIFY(!m_stub->rawArguments(pid).contains(password.toUtf8()));
    QVERIFY(!m_stub->rawEnvironment(pid).contains(password.toUtf8()));
    QVERIFY(!outputOf(dialog)->toPlainText().contains(password));

    const qint64 other = m_stub->runFor(destinationOf(withoutPassword));
    QVERIFY(other > 0);
    QVERIFY(!m_stub->environment(other).contains(QStringLiteral("TOLV_SSH_PASSWORD_DPAPI")));
    QVERIFY(m_stub->arguments(other).contains(QStringLiteral("BatchMode=yes")));
}

void TestBatchSshDialog::sshSpeaksEnglishWhileTheRemoteKeepsTheUsersLocale()
{
    // The user's LC_ALL goes back to the remote side; one that ssh would split stays behind.
    m_env->set("LC_ALL", QStringLiteral("zh_CN.UTF-8"));
    const Remote plain = sshHost(1);
    const Remote withPassword = sshHost(2, QStringLiteral("pw"));
    BatchSshDialog* dialog = makeDialog({plain, withPassword});
    QTRY_COMPARE(dialog->finished(), 2);
    for (const Remote& host : {plain, withPassword}) {
        const qint64 pid = m_stub->runFor(destinationOf(host));
        QVERIFY(pid > 0);
        QCOMPARE(m_stub->environment(pid).value(QStringLiteral("LC_ALL")), QStringLiteral("C"));
        const QStringList args = m_stub->arguments(pid);
        const qsizetype at = args.indexOf(QStringLiteral("SetEnv=LC_ALL=zh_CN.UTF-8"));
        QVERIFY2(at > 0 && args[at - 1] == QStringLiteral("-o"), qPrintable(args.join(QLatin1Char(' '))));
    }

    m_env->set("LC_ALL", QStringLiteral("x HostName=elsewhere"));
    BatchSshDialog odd({sshHost(3)}, QStringLiteral("uptime"));
    QTRY_COMPARE(odd.finished(), 1);
    const QStringList args = m_stub->arguments(m_stub->runFor(destinationOf(sshHost(3))));
    QVERIFY(args.contains(QStringLiteral("SetEnv=LC_ALL=")));
    QVERIFY(!args.join(QLatin1Char(' ')).contains(QStringLiteral("elsewhere")));
}

void TestBatchSshDialog::passwordPreparationFailureIsCountedAndOthersContinue_data()
{
    QTest::addColumn<bool>("helperMissing");
    QTest::newRow("helper missing") << true;
    QTest::newRow("protection unavailable") << false;
}

void TestBatchSshDialog::passwordPreparationFailureIsCountedAndOthersContinue()
{
    QFETCH(bool, helperMissing);
    if (helperMissing) {
        setAskPassDirectory(m_root->filePath(QStringLiteral("tmp")));
    } else {
        // The per-user protection secret cannot be created where a plain file blocks its directory.
        const QString blocked = m_root->filePath(QStringLiteral("blocked-config"));
        writeFile(blocked, "not a directory");
        m_env->set("XDG_CONFIG_HOME", blocked);
    }

    const Remote first = sshHost(1);
    const Remote broken = sshHost(2, QStringLiteral("pw"));
    const Remote last = sshHost(3);
    BatchSshDialog* dialog = makeDialog({first, broken, last});
    QTRY_COMPARE(dialog->finished(), 3);
    QCOMPARE(dialog->succeeded(), 2);
    QCOMPARE(statusOf(dialog)->text(), batchTally(3, 2, 1, 0));
    QVERIFY(closeOf(dialog)->isEnabled());

    const QStringList lines = paragraphs(dialog);
    const QString prefix = QStringLiteral("[%1] 无法准备密码登录：").arg(broken.name);
    const qsizetype failure = lines.indexOf(header(broken)) + 1;
    QVERIFY2(failure > 0 && failure < lines.size() && lines[failure].startsWith(prefix),
             qPrintable(lines.join(QLatin1Char('\n'))));
    if (helperMissing) {
        QCOMPARE(lines[failure], prefix + QStringLiteral("缺少 SSH 自动登录组件：nimbara-ssh-askpass"));
    } else {
        QVERIFY(lines[failure].size() > prefix.size());
    }
    // Nothing was started for it.
    QCOMPARE(m_stub->runs().size(), 2);
    QVERIFY(m_stub->runFor(destinationOf(first)) > 0);
    QVERIFY(m_stub->runFor(destinationOf(last)) > 0);
}

void TestBatchSshDialog::processThatFailsToStartCountsOnceAsFailed()
{
    m_stub->installUnstartable();
    const QList<Remote> hosts = sshHosts(10);
    BatchSshDialog* dialog = makeDialog(hosts);
    QTRY_COMPARE(dialog->finished(), 10);
    QTRY_COMPARE(dialog->findChildren<QProcess*>().size(), 0);
    QCOMPARE(dialog->succeeded(), 0);
    QCOMPARE(dialog->running(), 0);
    QCOMPARE(statusOf(dialog)->text(), batchTally(10, 0, 10, 0));
    QVERIFY(closeOf(dialog)->isEnabled());
    const QStringList lines = paragraphs(dialog);
    for (const Remote& host : hosts) {
        QCOMPARE(lines.filter(QStringLiteral("[%1] 无法启动 ssh：").arg(host.name)).size(), 1);
    }
}

void TestBatchSshDialog::startFailureAfterFinishIsNotCountedAgain()
{
    m_stub->setBlocking(true);
    const Remote host = sshHost(3);
    BatchSshDialog* dialog = makeDialog({host, sshHost(4)});
    QTRY_COMPARE(m_stub->live().size(), 2);
    const QList<QProcess*> processes = dialog->findChildren<QProcess*>();
    QCOMPARE(processes.size(), 2);
    // Connected after the dialog, so it runs right after the dialog has counted the finish.
    for (QProcess* process : processes) {
        connect(process, &QProcess::finished, process,
                [process] { emit process->errorOccurred(QProcess::FailedToStart); });
    }
    m_stub->releaseLive();
    QTRY_COMPARE(dialog->findChildren<QProcess*>().size(), 0);
    QCOMPARE(dialog->finished(), 2);
    QCOMPARE(dialog->succeeded(), 2);
    QCOMPARE(dialog->running(), 0);
    QCOMPARE(statusOf(dialog)->text(), batchTally(2, 2, 0, 0));
    const QStringList lines = paragraphs(dialog);
    QCOMPARE(lines.count(QStringLiteral("[%1] 完成").arg(host.name)), 1);
    QCOMPARE(lines.filter(QStringLiteral("[%1] 无法启动").arg(host.name)).size(), 0);
}

void TestBatchSshDialog::eachHostsOutputStaysUnderItsHeader()
{
    m_stub->setBlocking(true);
    const Remote first = sshHost(7);
    const Remote second = sshHost(8);
    m_stub->setExitCode(destinationOf(second), 2);
    BatchSshDialog* dialog = makeDialog({first, second});
    QTRY_COMPARE(m_stub->live().size(), 2);
    // Both have started and wait: nothing is shown of a host before it is done.
    QVERIFY(outputOf(dialog)->toPlainText().isEmpty());

    // The second finishes first, and its block comes first.
    m_stub->release(m_stub->runFor(destinationOf(second)));
    QTRY_COMPARE(dialog->finished(), 1);
    m_stub->release(m_stub->runFor(destinationOf(first)));
    QTRY_COMPARE(dialog->finished(), 2);

    const auto block = [](const Remote& host, const QString& result) {
        const QString destination = destinationOf(host);
        return QStringList{QString(),
                           header(host),
                           QStringLiteral("out ") + destination,
                           QStringLiteral("  second line  "),
                           QString(),
                           QStringLiteral("err ") + destination,
                           result};
    };
    const QStringList expected = block(second, QStringLiteral("[%1] 命令退出码 2").arg(second.name)) +
                                 block(first, QStringLiteral("[%1] 完成").arg(first.name)) +
                                 QStringList{QString(), batchTally(2, 1, 1, 0)};
    QCOMPARE(paragraphs(dialog), expected);
}

void TestBatchSshDialog::stopEndsRunningHostsAndStartsNoMore()
{
    m_stub->setBlocking(true);
    const QList<Remote> hosts = sshHosts(10);
    BatchSshDialog* dialog = makeDialog(hosts);
    QTRY_COMPARE(m_stub->live().size(), BatchSshDialog::kMaxRunning);
    // One host is done before the stop; the host that starts in its place is stopped with the others.
    m_stub->release(m_stub->runFor(destinationOf(hosts[0])));
    QTRY_COMPARE(dialog->finished(), 1);
    QTRY_COMPARE(m_stub->live().size(), BatchSshDialog::kMaxRunning);
    const QList<qint64> live = m_stub->live();

    QTest::mouseClick(stopOf(dialog), Qt::LeftButton);
    QVERIFY(!stopOf(dialog)->isEnabled());
    QTRY_COMPARE(dialog->finished(), 10);
    QCOMPARE(dialog->succeeded(), 1);
    QCOMPARE(dialog->stopped(), 9);
    QCOMPARE(dialog->failed(), 0);
    QCOMPARE(dialog->running(), 0);
    QCOMPARE(statusOf(dialog)->text(), batchTally(10, 1, 0, 9));
    QVERIFY(closeOf(dialog)->isEnabled());
    for (qint64 pid : live) {
        QVERIFY2(processGone(pid), qPrintable(QString::number(pid)));
    }
    // The last host never started.
    QCOMPARE(m_stub->runs().size(), 9);

    const QStringList lines = paragraphs(dialog);
    for (int i = 1; i < 10; ++i) {
        const QString stopped = QStringLiteral("[%1] 已停止").arg(hosts[i].name);
        const QString notStarted = stopped + QStringLiteral("（未开始）");
        QCOMPARE(lines.count(i < 9 ? stopped : notStarted), 1);
        QCOMPARE(lines.count(i < 9 ? notStarted : stopped), 0);
    }
    QCOMPARE(lines.constLast(), batchTally(10, 1, 0, 9));
}

void TestBatchSshDialog::closingMidRunStopsTheRun()
{
    m_stub->setBlocking(true);
    const QList<Remote> hosts = sshHosts(9);
    BatchSshDialog* dialog = makeDialog(hosts);
    dialog->show();
    QTRY_COMPARE(m_stub->live().size(), BatchSshDialog::kMaxRunning);
    const QList<qint64> live = m_stub->live();
    QVERIFY(dialog->close());
    QTRY_COMPARE(dialog->finished(), 9);
    QCOMPARE(dialog->stopped(), 9);
    for (qint64 pid : live) {
        QVERIFY(processGone(pid));
    }
    QCOMPARE(m_stub->runs().size(), BatchSshDialog::kMaxRunning);
}

void TestBatchSshDialog::closingMidRunKillsRunningProcesses()
{
    m_stub->setBlocking(true);
    const QList<Remote> hosts = sshHosts(10);
    BatchSshDialog* dialog = makeDialog(hosts);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    QTRY_COMPARE(m_stub->live().size(), BatchSshDialog::kMaxRunning);
    const QList<qint64> pids = m_stub->live();
    for (qint64 pid : pids) {
        QVERIFY(!processGone(pid));
    }

    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(m_dialog.isNull());
    // Killed and reaped while the dialog went away: no ssh left, not even a zombie.
    for (qint64 pid : pids) {
        QVERIFY2(processGone(pid), qPrintable(QString::number(pid)));
    }
    QCOMPARE(m_stub->runs().size(), BatchSshDialog::kMaxRunning);
}

void TestBatchSshDialog::eachRunLeadsItsOwnSession()
{
    m_stub->setBlocking(true);
    BatchSshDialog* dialog = makeDialog({sshHost(1), sshHost(2, QStringLiteral("pw"))});
    QTRY_COMPARE(m_stub->live().size(), 2);
    const QList<qint64> pids = m_stub->live();
    for (qint64 pid : pids) {
        QCOMPARE(sessionOf(pid), pid);
    }
    m_stub->releaseLive();
    QTRY_COMPARE(dialog->finished(), 2);
}

void TestBatchSshDialog::hostsThatSshWouldReadAsOptionsNeverStart()
{
    Remote option = sshHost(1);
    option.host = QStringLiteral("-oProxyCommand=touch pwned");
    option.username.clear();
    Remote badUser = sshHost(2);
    badUser.username = QStringLiteral("-oProxyCommand=x");
    Remote badPort = sshHost(3);
    badPort.port = 0;
    const Remote good = sshHost(4);
    BatchSshDialog* dialog = makeDialog({option, badUser, badPort, good});
    QTRY_COMPARE(dialog->finished(), 4);
    QCOMPARE(dialog->succeeded(), 1);
    QCOMPARE(m_stub->runs().size(), 1);
    QVERIFY(m_stub->runFor(destinationOf(good)) > 0);
    const QString output = dialog->findChild<QPlainTextEdit*>(QStringLiteral("batchOutput"))->toPlainText();
    for (const Remote& host : {option, badUser, badPort}) {
        QVERIFY2(output.contains(QStringLiteral("[%1] SSH 主机、端口或用户名无效").arg(host.name)),
                 qPrintable(output));
    }
}

QTEST_MAIN(TestBatchSshDialog)
#include "test_batch_ssh_dialog.moc"
