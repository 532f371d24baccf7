#include "ssh/batch_ssh_dialog.h"

#include "ssh/ssh_command.h"
#include "ssh/ssh_outcome.h"
#include "storage/host_address.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QVBoxLayout>

#if defined(Q_OS_WIN)
#include "platform/windows/process_job.h"
#else
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {

// Marks a process whose completion has been counted; a start failure and a later finish must not
// both count.
constexpr const char* kFinishedProperty = "tolvFinished";
// What one host prints is kept up to this many characters; a runaway command cannot fill the memory.
constexpr qsizetype kMaxTranscript = 256 * 1024;
// ssh's last messages are what tells why it failed.
constexpr qsizetype kMaxErrorTail = 16 * 1024;

// The user's own LC_ALL for the remote side, when it is a plain locale name (ssh splits the option's
// value at white space).
QString remoteLocale(const QProcessEnvironment& environment)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_.@-]*$"));
    const QString value = environment.value(QStringLiteral("LC_ALL"));
    return plain.match(value).hasMatch() ? value : QString();
}

// Every run leads its own session, so its group holds ssh and whatever ssh started (the askpass
// program, a wrapper's children): all of it ends.
void endProcessGroup(QProcess* process)
{
#if defined(Q_OS_WIN)
    // ssh.exe and the askpass helper it may have started end together.
    if (auto* job = process->findChild<ProcessJob*>()) {
        job->terminate();
    } else {
        process->kill();
    }
#else
    const auto pid = static_cast<pid_t>(process->processId());
    if (pid <= 0) {
        process->kill();
        return;
    }
    ::kill(-pid, SIGKILL);
    // Before the child has made its session the group does not exist yet.
    ::kill(pid, SIGKILL);
#endif
}

QString withoutTrailingSpace(QString text)
{
    while (!text.isEmpty() && text.back().isSpace()) {
        text.chop(1);
    }
    while (text.startsWith(QLatin1Char('\n'))) {
        text.remove(0, 1);
    }
    return text;
}

} // namespace

// What one running host has produced so far.
struct BatchSshDialog::Run
{
    Remote host;
    bool withPassword = false;
    bool stopRequested = false;
    bool lastWasError = false;
    // One decoder per channel: a character split between two reads is put together again.
    QStringDecoder output{QStringDecoder::System};
    QStringDecoder errors{QStringDecoder::System};
    QString transcript;
    QByteArray errorTail;
    qint64 dropped = 0;
};

BatchSshDialog::BatchSshDialog(const QList<Remote>& hosts, const QString& command, QWidget* parent)
    : QDialog(parent), m_pending(hosts), m_command(command), m_total(static_cast<int>(hosts.size()))
{
    setWindowTitle(QStringLiteral("Linux 批量执行结果"));
    resize(820, 560);

    auto* layout = new QVBoxLayout(this);
    m_status = new QLabel(QStringLiteral("准备在 %1 台 Linux 主机上执行…").arg(m_total), this);
    m_status->setObjectName(QStringLiteral("batchStatus"));
    layout->addWidget(m_status);

    m_output = new QPlainTextEdit(this);
    m_output->setObjectName(QStringLiteral("batchOutput"));
    m_output->setReadOnly(true);
    m_output->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(m_output, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_stop = buttons->addButton(QStringLiteral("停止"), QDialogButtonBox::ActionRole);
    m_stop->setObjectName(QStringLiteral("batchStop"));
    // Enter must not end a run by accident.
    m_stop->setAutoDefault(false);
    connect(m_stop, &QPushButton::clicked, this, &BatchSshDialog::stop);
    m_close = buttons->button(QDialogButtonBox::Close);
    m_close->setEnabled(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    layout->addWidget(buttons);

    launchNext();
}

BatchSshDialog::~BatchSshDialog()
{
    // Child processes would otherwise be destroyed by ~QObject after this class is gone, and their
    // last signals would reach a half-destroyed dialog. Kill them all first, then reap each one so
    // no ssh outlives the dialog, not even as a zombie.
    const QList<QProcess*> processes = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* process : processes) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            endProcessGroup(process);
        }
    }
    for (QProcess* process : processes) {
        if (process->state() != QProcess::NotRunning) {
            process->waitForFinished();
        }
        delete process;
    }
}

void BatchSshDialog::reject()
{
    // Closing the window while hosts run ends the run.
    stop();
    QDialog::reject();
}

void BatchSshDialog::launchNext()
{
    if (!m_stopping && !m_pending.isEmpty() && m_running < kMaxRunning) {
        const QString ssh = QStandardPaths::findExecutable(QStringLiteral("ssh"));
        if (ssh.isEmpty()) {
            m_output->appendPlainText(QStringLiteral("未找到 OpenSSH 客户端（ssh），无法执行。"));
            m_status->setText(QStringLiteral("执行失败"));
            m_pending.clear();
            m_done = true;
            m_stop->setEnabled(m_running > 0);
            m_close->setEnabled(true);
            return;
        }
        while (m_running < kMaxRunning && !m_pending.isEmpty()) {
            startHost(ssh, m_pending.takeFirst());
        }
    }
    updateStatus();
    finishIfDone();
}

void BatchSshDialog::startHost(const QString& ssh, const Remote& host)
{
    // Checked as for a terminal: an address such as "-oProxyCommand=…" would be read by ssh as an
    // option and run a local command.
    if (!isValidSshTarget(host.host, host.port) || !isValidSshUsername(host.username)) {
        ++m_finished;
        report(host, {}, QStringLiteral("[%1] SSH 主机、端口或用户名无效").arg(host.name));
        return;
    }
    const bool withPassword = !host.password.isEmpty();
    QStringList arguments = buildSshArguments(host, !withPassword);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (withPassword) {
        QString error;
        environment = buildSshEnvironment(host, &error);
        if (environment.isEmpty()) {
            ++m_finished;
            report(host, {}, QStringLiteral("[%1] 无法准备密码登录：%2").arg(host.name, error));
            return;
        }
        // The stored password only, tried once: a wrong one fails at once instead of falling
        // back to other methods or asking again.
        const QStringList passwordOptions = {
            QStringLiteral("-o"), QStringLiteral("PreferredAuthentications=password"), QStringLiteral("-o"),
            QStringLiteral("NumberOfPasswordPrompts=1")};
        qsizetype at = qMax<qsizetype>(0, arguments.size() - 1);
        for (const QString& option : passwordOptions) {
            arguments.insert(at++, option);
        }
    }
    // ssh's own messages in English whatever the user's locale, so that why a run failed can be read
    // from them. ssh would pass LC_ALL on to the remote command (SendEnv LC_*); the remote side gets
    // the user's own value back instead.
    const QString locale = remoteLocale(environment);
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    arguments.insert(0, QStringLiteral("SetEnv=LC_ALL=") + locale);
    arguments.insert(0, QStringLiteral("-o"));
    arguments.append(m_command);

    auto* process = new QProcess(this);
    process->setProperty(kFinishedProperty, false);
    process->setProcessEnvironment(environment);
#if defined(Q_OS_WIN)
    // A job of its own: "停止" ends ssh and the askpass helper it started, and so does the program's end.
    ProcessJob* job = ProcessJob::prepare(process);
#else
    process->setChildProcessModifier([] {
        // A session of its own: ssh never reads from or gets signals of a terminal the program
        // was started from, "停止" can end its whole process group, and the scheduler's per-session
        // groups keep eight handshakes from sharing the GUI's CPU share. Dies with the program, even
        // when it is killed.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
#endif

    // What is kept while ssh runs needs no password: the helper has its own sealed copy.
    Remote shown = host;
    shown.password.clear();
    auto run = std::make_unique<Run>();
    run->host = shown;
    run->withPassword = withPassword;
    m_runs.emplace(process, std::move(run));
    ++m_running;

    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] { collect(process, false); });
    connect(process, &QProcess::readyReadStandardError, this, [this, process] { collect(process, true); });
    connect(process, &QProcess::finished, this, [this, process, shown] { onProcessDone(process, shown); });
    connect(process, &QProcess::errorOccurred, this, [this, process, shown](QProcess::ProcessError error) {
        // Other errors are followed by finished().
        if (error == QProcess::FailedToStart) {
            onProcessDone(process, shown);
        }
    });
    process->start(ssh, arguments, QIODevice::ReadWrite);
#if defined(Q_OS_WIN)
    // A process the job cannot hold is ended at once; its finish counts as a failed run.
    if (job && process->state() != QProcess::NotRunning) {
        job->adopt();
    }
#endif
    // Nobody types into a batch run: a command that reads its input gets end-of-file instead of
    // waiting forever.
    process->closeWriteChannel();
}

void BatchSshDialog::collect(QProcess* process, bool standardError)
{
    const auto found = m_runs.find(process);
    if (found == m_runs.end()) {
        return;
    }
    Run& run = *found->second;
    const QByteArray bytes =
        standardError ? process->readAllStandardError() : process->readAllStandardOutput();
    if (standardError) {
        run.errorTail += bytes;
        if (run.errorTail.size() > kMaxErrorTail) {
            run.errorTail = run.errorTail.right(kMaxErrorTail);
        }
    }
    const QString text = standardError ? run.errors.decode(bytes) : run.output.decode(bytes);
    if (text.isEmpty()) {
        return;
    }
    if (run.transcript.size() >= kMaxTranscript) {
        run.dropped += bytes.size();
        return;
    }
    // Output and error output of one host share its block; a switch between them starts a new line.
    if (standardError != run.lastWasError && !run.transcript.isEmpty() &&
        !run.transcript.endsWith(QLatin1Char('\n'))) {
        run.transcript += QLatin1Char('\n');
    }
    run.lastWasError = standardError;
    run.transcript += text;
}

void BatchSshDialog::onProcessDone(QProcess* process, const Remote& host)
{
    if (process->property(kFinishedProperty).toBool()) {
        return;
    }
    process->setProperty(kFinishedProperty, true);

    collect(process, false);
    collect(process, true);
    std::unique_ptr<Run> run;
    if (auto node = m_runs.extract(process); !node.empty()) {
        run = std::move(node.mapped());
    }

    QString result;
    if (process->error() == QProcess::FailedToStart) {
        // A process that never started reports a normal exit with code 0; it is still a failure.
        result = QStringLiteral("[%1] 无法启动 ssh：%2").arg(host.name, process->errorString());
    } else if (run && run->stopRequested && process->exitStatus() == QProcess::CrashExit) {
        result = QStringLiteral("[%1] 已停止").arg(host.name);
        ++m_stopped;
    } else {
        const SshOutcome::Kind kind = SshOutcome::classify(process->exitStatus(), process->exitCode(),
                                                           run ? run->errorTail : QByteArray());
        result = SshOutcome::describe(kind, host.name, process->exitCode(), run && run->withPassword);
        if (kind == SshOutcome::Kind::Success) {
            ++m_succeeded;
        }
    }
    ++m_finished;
    m_running = qMax(0, m_running - 1);

    QString body;
    if (run) {
        body = withoutTrailingSpace(run->transcript);
        if (run->dropped > 0) {
            body += QStringLiteral("\n…（输出过长，其余 %1 字节未显示）").arg(run->dropped);
        }
    }
    report(host, body, result);
    process->deleteLater();

    launchNext();
}

void BatchSshDialog::stop()
{
    if (m_stopping || m_done) {
        return;
    }
    m_stopping = true;
    m_stop->setEnabled(false);

    QStringList notStarted;
    for (const Remote& host : std::as_const(m_pending)) {
        notStarted.append(QStringLiteral("[%1] 已停止（未开始）").arg(host.name));
        ++m_finished;
        ++m_stopped;
    }
    m_pending.clear();
    if (!notStarted.isEmpty()) {
        m_output->appendPlainText(QLatin1Char('\n') + notStarted.join(QLatin1Char('\n')));
    }
    for (const auto& [process, run] : m_runs) {
        run->stopRequested = true;
        endProcessGroup(process);
    }
    updateStatus();
    finishIfDone();
}

void BatchSshDialog::report(const Remote& host, const QString& body, const QString& result)
{
    // A host's block is written whole when it is done, so its output sits under its own header.
    QString block = QStringLiteral("\n===== %1 (%2) =====").arg(host.name, host.host);
    if (!body.isEmpty()) {
        block += QLatin1Char('\n') + body;
    }
    block += QLatin1Char('\n') + result;
    m_output->appendPlainText(block);
}

void BatchSshDialog::updateStatus()
{
    if (m_done) {
        return;
    }
    QString text = QStringLiteral("已完成 %1/%2，成功 %3，失败 %4")
                       .arg(m_finished)
                       .arg(m_total)
                       .arg(m_succeeded)
                       .arg(failed());
    if (m_stopped > 0) {
        text += QStringLiteral("，已停止 %1").arg(m_stopped);
    }
    m_status->setText(text);
}

void BatchSshDialog::finishIfDone()
{
    if (m_done || m_running > 0 || !m_pending.isEmpty() || m_finished < m_total) {
        return;
    }
    m_done = true;
    const QString tally = QStringLiteral("全部结束（%1 台）：成功 %2 · 失败 %3 · 已停止 %4")
                              .arg(m_total)
                              .arg(m_succeeded)
                              .arg(failed())
                              .arg(m_stopped);
    m_output->appendPlainText(QLatin1Char('\n') + tally);
    m_status->setText(tally);
    m_stop->setEnabled(false);
    m_close->setEnabled(true);
}
