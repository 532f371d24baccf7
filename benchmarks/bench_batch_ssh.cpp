// Measures the batch SSH dialog against parallel-ssh: `uptime` on 48 hosts (aliases of one real sshd
// as 127.0.0.1 and localhost, key authentication), eight connections at a time. Both tools run the same
// ssh wrapper (the test server's client configuration), so they differ only in how they drive the
// processes. Each side runs from the user's action to the last host's result on screen: the dialog from
// its construction in the running program until Close is enabled; parallel-ssh from its process start
// (its interpreter's start-up included, as a user meets it) until its last result line arrives, with
// its output unbuffered as on a terminal. The wait for that line sleeps on the pipe. CPU is everything
// each side ran (the process and its ssh clients, from getrusage). Prints one line per round and
// summary lines.
//
//     bench_batch_ssh [rounds, default 7]      (needs root for the test sshd, and the pssh package)

#include "process_figures.h"
#include "ssh/batch_ssh_dialog.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace ProcessFigures;

constexpr int kHosts = 48;
constexpr int kParallel = BatchSshDialog::kMaxRunning;
constexpr int kRunTimeoutMs = 120000;

const QStringList kAddresses = {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")};

QList<Remote> makeHosts(const TestSshServer& server)
{
    QList<Remote> hosts;
    for (int i = 0; i < kHosts; ++i) {
        Remote remote = server.remote(false);
        remote.id = QStringLiteral("bench-%1").arg(i);
        remote.name = QStringLiteral("bench-%1").arg(i, 2, 10, QLatin1Char('0'));
        remote.host = kAddresses[i % kAddresses.size()];
        hosts.append(remote);
    }
    return hosts;
}

// Quits `loop` when the watched button becomes enabled: the dialog's end of run.
class EnabledWatcher : public QObject
{
public:
    explicit EnabledWatcher(QEventLoop* loop) : m_loop(loop) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange && static_cast<QWidget*>(watched)->isEnabled()) {
            m_loop->quit();
        }
        return false;
    }

private:
    QEventLoop* m_loop;
};

struct Run
{
    double ms = -1;
    double cpuMs = 0; // the tool and its ssh clients
    int succeeded = 0;
};

double cpuMsOf(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// This process and the children it has reaped.
double cpuMsSelfAndChildren()
{
    return cpuMsOf(RUSAGE_SELF) + cpuMsOf(RUSAGE_CHILDREN);
}

Run runDialog(const QList<Remote>& hosts)
{
    QEventLoop loop;
    EnabledWatcher watcher(&loop);
    QTimer::singleShot(kRunTimeoutMs, &loop, &QEventLoop::quit);

    const double cpu0 = cpuMsSelfAndChildren();
    const qint64 startNs = monotonicNs();
    BatchSshDialog dialog(hosts, QStringLiteral("uptime"));
    QPushButton* close = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
    close->installEventFilter(&watcher);
    dialog.show();
    if (dialog.finished() < dialog.total()) {
        loop.exec();
    }
    Run run;
    run.ms = static_cast<double>(monotonicNs() - startNs) / 1e6;
    run.succeeded = dialog.succeeded();
    // The ssh clients have all been reaped: each host's result comes after its process ended.
    run.cpuMs = cpuMsSelfAndChildren() - cpu0;
    return run;
}

Run runParallelSsh(const QString& program, const TestSshServer& server, const QList<Remote>& hosts)
{
    // The dialog's connection options, so both clients do the same work per host.
    QStringList arguments = {QStringLiteral("-p"),
                             QString::number(kParallel),
                             QStringLiteral("-t"),
                             QStringLiteral("0"),
                             QStringLiteral("-i"),
                             QStringLiteral("-l"),
                             server.user(),
                             QStringLiteral("-O"),
                             QStringLiteral("ConnectTimeout=12"),
                             QStringLiteral("-O"),
                             QStringLiteral("ServerAliveInterval=30"),
                             QStringLiteral("-O"),
                             QStringLiteral("StrictHostKeyChecking=accept-new"),
                             QStringLiteral("-O"),
                             QStringLiteral("BatchMode=yes")};
    for (const Remote& host : hosts) {
        arguments << QStringLiteral("-H") << QStringLiteral("%1:%2").arg(host.host).arg(host.port);
    }
    arguments << QStringLiteral("uptime");

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // Python buffers a pipe in blocks; on a terminal each result would show at once.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    process.setProcessEnvironment(env);
    const double cpu0 = cpuMsOf(RUSAGE_CHILDREN);
    const qint64 startNs = monotonicNs();
    process.start(program, arguments);
    QByteArray output;
    qint64 lastResultNs = 0;
    QElapsedTimer waited;
    waited.start();
    while (lastResultNs == 0 && waited.elapsed() < kRunTimeoutMs &&
           (process.state() != QProcess::NotRunning || process.bytesAvailable() > 0)) {
        if (process.bytesAvailable() == 0) {
            process.waitForReadyRead(static_cast<int>(kRunTimeoutMs - waited.elapsed()));
        }
        output += process.readAll();
        // "[n] hh:mm:ss [SUCCESS] host:port" heads each host's result.
        if (output.count(" [SUCCESS] ") + output.count(" [FAILURE] ") >= hosts.size()) {
            lastResultNs = monotonicNs();
        }
    }
    if (lastResultNs == 0 || !process.waitForFinished(kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    output += process.readAll();
    Run run;
    run.ms = static_cast<double>(lastResultNs - startNs) / 1e6;
    run.succeeded = static_cast<int>(output.count("[SUCCESS]"));
    run.cpuMs = cpuMsOf(RUSAGE_CHILDREN) - cpu0;
    return run;
}

// parallel-ssh's own start-up: process start to exit of `parallel-ssh --version`.
double parallelSshStartMs(const QString& program)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    const qint64 startNs = monotonicNs();
    process.start(program, {QStringLiteral("--version")});
    process.waitForFinished(10000);
    return static_cast<double>(monotonicNs() - startNs) / 1e6;
}

QString range(const std::vector<double>& values, const char* unit)
{
    return QStringLiteral("median %1 %4 (%2–%3)")
        .arg(percentile(values, 0.5), 0, 'f', 0)
        .arg(*std::min_element(values.begin(), values.end()), 0, 'f', 0)
        .arg(maximum(values), 0, 'f', 0)
        .arg(QLatin1String(unit));
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;

    const QString reason = TestSshServer::unavailableReason();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "cannot run: %s\n", qPrintable(reason));
        return 1;
    }
    const QString parallelSsh = QStandardPaths::findExecutable(QStringLiteral("parallel-ssh"));
    if (parallelSsh.isEmpty()) {
        std::fprintf(stderr, "cannot run: parallel-ssh is not installed (package pssh)\n");
        return 1;
    }

    QTemporaryDir root;
    ScopedEnvironment env;
    isolateProcess(env, root.path());
    env.unset("SSH_AUTH_SOCK");
    TestSshServer server;
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "sshd: %s\n", qPrintable(error));
        return 1;
    }
    const QString bin = root.filePath(QStringLiteral("bin"));
    if (!server.installSshWrapper(bin, TestSshServer::ClientAuth::Key, &error)) {
        std::fprintf(stderr, "ssh wrapper: %s\n", qPrintable(error));
        return 1;
    }
    env.set("PATH", bin + QLatin1Char(':') + qEnvironmentVariable("PATH"));

    const QList<Remote> hosts = makeHosts(server);
    // Warm-up: host keys recorded, programs and libraries in the page cache.
    const Run warmDialog = runDialog(hosts);
    const Run warmPssh = runParallelSsh(parallelSsh, server, hosts);
    if (warmDialog.succeeded != kHosts || warmPssh.succeeded != kHosts) {
        std::fprintf(stderr, "warm-up failed: dialog %d/%d, parallel-ssh %d/%d\n", warmDialog.succeeded,
                     kHosts, warmPssh.succeeded, kHosts);
        return 1;
    }

    std::vector<double> startMs;
    for (int i = 0; i < 5; ++i) {
        startMs.push_back(parallelSshStartMs(parallelSsh));
    }

    std::printf("uptime on %d hosts, %d at a time, %d rounds (alternating)\n", kHosts, kParallel, rounds);
    printSummary(QStringLiteral("batch ssh load average at start"), loadAverage());
    std::vector<double> dialogTimes;
    std::vector<double> psshTimes;
    std::vector<double> dialogCpu;
    std::vector<double> psshCpu;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first so neither always runs on a warmer machine.
        Run dialog;
        Run pssh;
        if (round % 2 == 0) {
            dialog = runDialog(hosts);
            pssh = runParallelSsh(parallelSsh, server, hosts);
        } else {
            pssh = runParallelSsh(parallelSsh, server, hosts);
            dialog = runDialog(hosts);
        }
        std::printf(
            "round %d: dialog %5.0f ms, CPU %5.0f ms (%d ok)   parallel-ssh %5.0f ms, CPU %5.0f ms (%d ok)"
            "   load %s\n",
            round + 1, dialog.ms, dialog.cpuMs, dialog.succeeded, pssh.ms, pssh.cpuMs, pssh.succeeded,
            qPrintable(loadAverage()));
        if (dialog.succeeded != kHosts || pssh.succeeded != kHosts) {
            std::fprintf(stderr, "a run did not reach every host\n");
            return 1;
        }
        dialogTimes.push_back(dialog.ms);
        psshTimes.push_back(pssh.ms);
        dialogCpu.push_back(dialog.cpuMs);
        psshCpu.push_back(pssh.cpuMs);
    }
    printSummary(QStringLiteral("batch ssh dialog, 48 × uptime"), range(dialogTimes, "ms"));
    printSummary(QStringLiteral("batch ssh parallel-ssh, 48 × uptime"), range(psshTimes, "ms"));
    printSummary(QStringLiteral("batch ssh dialog / parallel-ssh (medians)"),
                 QString::number(percentile(dialogTimes, 0.5) / percentile(psshTimes, 0.5), 'f', 2));
    printSummary(QStringLiteral("batch ssh dialog CPU with its ssh clients"), range(dialogCpu, "ms"));
    printSummary(QStringLiteral("batch ssh parallel-ssh CPU with its ssh clients"), range(psshCpu, "ms"));
    printSummary(QStringLiteral("batch ssh parallel-ssh start-up (--version)"), range(startMs, "ms"));
    printSummary(QStringLiteral("batch ssh load average at end"), loadAverage());
    return 0;
}
