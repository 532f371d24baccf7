#include "ssh/batch_ssh_dialog.h"

#include "ssh/ssh_command.h"
#include "storage/host_address.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Marks a process whose completion has been counted; a start failure and a later finish must not
// both count.
constexpr const char* kFinishedProperty = "tolvFinished";

} // namespace

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
            process->kill();
        }
    }
    for (QProcess* process : processes) {
        if (process->state() != QProcess::NotRunning) {
            process->waitForFinished();
        }
        delete process;
    }
}

void BatchSshDialog::launchNext()
{
    const QString ssh = QStandardPaths::findExecutable(QStringLiteral("ssh"));
    if (ssh.isEmpty()) {
        m_output->appendPlainText(QStringLiteral("未找到 OpenSSH 客户端（ssh），无法执行。"));
        m_status->setText(QStringLiteral("执行失败"));
        m_close->setEnabled(true);
        return;
    }

    while (m_running < kMaxRunning && !m_pending.isEmpty()) {
        const Remote host = m_pending.takeFirst();
        // Checked as for a terminal: an address such as "-oProxyCommand=…" would be read by ssh as an
        // option and run a local command.
        if (!isValidSshTarget(host.host, host.port) || !isValidSshUsername(host.username)) {
            m_output->appendPlainText(QStringLiteral("[%1] SSH 主机、端口或用户名无效").arg(host.name));
            ++m_finished;
            continue;
        }
        const bool hasPassword = !host.password.isEmpty();
        QStringList arguments = buildSshArguments(host, !hasPassword);

        QProcessEnvironment environment;
        if (hasPassword) {
            QString error;
            environment = buildSshEnvironment(host, &error);
            if (environment.isEmpty()) {
                m_output->appendPlainText(QStringLiteral("[%1] 无法准备密码登录：%2").arg(host.name, error));
                ++m_finished;
                continue;
            }
            // The stored password only, tried once: a wrong one fails at once instead of falling
            // back to other methods or asking again.
            const QStringList passwordOptions = {
                QStringLiteral("-o"), QStringLiteral("PreferredAuthentications=password"),
                QStringLiteral("-o"), QStringLiteral("NumberOfPasswordPrompts=1")};
            qsizetype at = qMax<qsizetype>(0, arguments.size() - 1);
            for (const QString& option : passwordOptions) {
                arguments.insert(at++, option);
            }
        }
        arguments.append(m_command);

        auto* process = new QProcess(this);
        process->setProperty(kFinishedProperty, false);
        if (hasPassword) {
            process->setProcessEnvironment(environment);
        }
        process->setChildProcessModifier([] {
            // A session of its own: ssh never reads from or gets signals of a terminal the program
            // was started from, and the scheduler's per-session groups keep eight handshakes from
            // sharing the GUI's CPU share. Dies with the program, even when it is killed.
            ::setsid();
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        });

        ++m_running;
        m_output->appendPlainText(QStringLiteral("\n===== %1 (%2) =====").arg(host.name, host.host));

        connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
            m_output->appendPlainText(QString::fromLocal8Bit(process->readAllStandardOutput()).trimmed());
        });
        connect(process, &QProcess::readyReadStandardError, this, [this, process] {
            m_output->appendPlainText(QString::fromLocal8Bit(process->readAllStandardError()).trimmed());
        });
        connect(process, &QProcess::finished, this, [this, process, host] { onProcessDone(process, host); });
        connect(process, &QProcess::errorOccurred, this, [this, process, host](QProcess::ProcessError error) {
            // Other errors are followed by finished().
            if (error == QProcess::FailedToStart) {
                onProcessDone(process, host);
            }
        });
        process->start(ssh, arguments, QIODevice::ReadWrite);
        // Nobody types into a batch run: a command that reads its input gets end-of-file instead of
        // waiting forever.
        process->closeWriteChannel();
    }

    updateStatus();
    if (m_finished == m_total && m_running == 0) {
        m_close->setEnabled(true);
    }
}

void BatchSshDialog::onProcessDone(QProcess* process, const Remote& host)
{
    if (process->property(kFinishedProperty).toBool()) {
        return;
    }
    process->setProperty(kFinishedProperty, true);

    // A process that never started reports a normal exit with code 0; it is still a failure.
    const bool startFailed = process->error() == QProcess::FailedToStart;
    const bool success =
        !startFailed && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    if (startFailed) {
        m_output->appendPlainText(process->errorString());
    }
    m_output->appendPlainText(
        success ? QStringLiteral("[%1] 完成").arg(host.name)
                : QStringLiteral("[%1] 失败（请检查网络、SSH密钥和sudo权限）").arg(host.name));
    if (success) {
        ++m_succeeded;
    }
    ++m_finished;
    m_running = qMax(0, m_running - 1);
    process->deleteLater();

    updateStatus();
    launchNext();
    if (m_finished == m_total) {
        m_close->setEnabled(true);
    }
}

void BatchSshDialog::updateStatus()
{
    m_status->setText(QStringLiteral("已完成 %1/%2，成功 %3，失败 %4")
                          .arg(m_finished)
                          .arg(m_total)
                          .arg(m_succeeded)
                          .arg(m_finished - m_succeeded));
}
