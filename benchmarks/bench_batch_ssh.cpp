// Measures the batch SSH dialog against parallel-ssh: `uptime` on 48 hosts (aliases of one real sshd
// as 127.0.0.1 and localhost, key authentication), eight connections at a time, wall-clock time from the
// start to the last host's result. Both tools run the same ssh wrapper (the test server's client
// configuration), so they differ only in how they drive the processes. Prints one line per round and a
// summary.
//
//     bench_batch_ssh [rounds]      (needs root for the test sshd, and the pssh package)

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
#include <vector>

namespace {

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
    qint64 ms = -1;
    int succeeded = 0;
};

Run runDialog(const QList<Remote>& hosts)
{
    QEventLoop loop;
    EnabledWatcher watcher(&loop);
    QTimer::singleShot(kRunTimeoutMs, &loop, &QEventLoop::quit);

    QElapsedTimer timer;
    timer.start();
    BatchSshDialog dialog(hosts, QStringLiteral("uptime"));
    QPushButton* close = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
    close->installEventFilter(&watcher);
    dialog.show();
    if (dialog.finished() < dialog.total()) {
        loop.exec();
    }
    Run run;
    run.ms = timer.elapsed();
    run.succeeded = dialog.succeeded();
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
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    Run run;
    run.ms = timer.elapsed();
    run.succeeded = static_cast<int>(process.readAll().count("[SUCCESS]"));
    return run;
}

double median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? double(values[n / 2]) : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void summary(const char* label, const std::vector<qint64>& values)
{
    std::printf("%-14s median %7.0f ms   min %5lld ms   max %5lld ms\n", label, median(values),
                static_cast<long long>(*std::min_element(values.begin(), values.end())),
                static_cast<long long>(*std::max_element(values.begin(), values.end())));
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

    std::printf("uptime on %d hosts, %d at a time, %d rounds (alternating)\n", kHosts, kParallel, rounds);
    std::vector<qint64> dialogTimes;
    std::vector<qint64> psshTimes;
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
        std::printf("round %d: dialog %5lld ms (%d ok)   parallel-ssh %5lld ms (%d ok)\n", round + 1,
                    static_cast<long long>(dialog.ms), dialog.succeeded, static_cast<long long>(pssh.ms),
                    pssh.succeeded);
        if (dialog.succeeded != kHosts || pssh.succeeded != kHosts) {
            std::fprintf(stderr, "a run did not reach every host\n");
            return 1;
        }
        dialogTimes.push_back(dialog.ms);
        psshTimes.push_back(pssh.ms);
    }
    summary("BatchSshDialog", dialogTimes);
    summary("parallel-ssh", psshTimes);
    std::printf("dialog / parallel-ssh (medians): %.3f\n", median(dialogTimes) / median(psshTimes));
    return 0;
}
