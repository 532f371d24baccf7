// Measures one acceleration tunnel against an OpenSSH local forward (`ssh -N -L`), the tool an
// administrator would otherwise use: a 1 GiB transfer, and 1,000 request/response exchanges of 64
// bytes compared with the same exchanges made directly to the target. ssh runs twice: on its default
// cipher (chacha20-poly1305), and on the AES-GCM cipher matching the one the tunnel's TLS negotiates,
// so that one pair compares like with like.
//
// What runs where: this process holds the client (a thread of its own on blocking sockets) and the
// AccelerationManager on the main thread's event loop, as in the program. The acceleration service and
// the TLS relay node (the test suite's peers) run in one helper process, the targets in another
// (bench_acceleration_peer). The ssh client is its own process, sshd (the test suite's server) another.
// Each measurement counts from the client's first byte written to its last byte received, after the
// path stands end to end (the target's greeting byte has arrived). Memory of the forwarding process
// (this one, or ssh) is sampled alike from /proc/<pid>/smaps_rollup by a thread that sleeps between
// samples. Prints the negotiated ciphers, one line per transfer and summary lines.
//
//     bench_acceleration [rounds, default 5]      (needs root for the test sshd)

#include "cloud/service_endpoint.h"
#include "network/acceleration_manager.h"
#include "peer_process.h"
#include "platform/memory_release.h"
#include "process_figures.h"
#include "support/acceleration_test_bed.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace ProcessFigures;

constexpr long long kTransferBytes = 1LL << 30; // as bench_acceleration_peer sends
constexpr int kExchanges = 1000;
constexpr int kWarmUpExchanges = 50;
constexpr int kMessageBytes = 64;
constexpr int kSampleIntervalMs = 500;
constexpr int kStartTimeoutMs = 30000;
constexpr int kSocketTimeoutS = 120;

double threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// ---- the client: blocking sockets on a thread of its own ------------------------------------------

int connectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const timeval timeout{kSocketTimeoutS, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readExactly(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// Connects and waits for the target's greeting: the path stands end to end.
int openPath(quint16 port, double* setupMs)
{
    const qint64 startNs = monotonicNs();
    const int fd = connectLoopback(port);
    char greeting = 0;
    if (fd < 0 || !readExactly(fd, &greeting, 1) || greeting != 'G') {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    *setupMs = static_cast<double>(monotonicNs() - startNs) / 1e6;
    return fd;
}

// CPU of the processes taking part, read at the start and the end of a measurement.
struct CpuReading
{
    double process = 0;   // this process
    double forwarder = 0; // the ssh client; 0 for the tunnel (it is this process)
    double farSide = 0;   // the relay helper, or sshd with its session processes
};

struct Transfer
{
    bool ok = false;
    long long received = -1; // -1: the path did not stand
    double setupMs = 0;
    double seconds = 0;
    double clientCpuNs = 0;
    CpuReading start;
    CpuReading end;
};

Transfer transfer(quint16 port, const std::function<CpuReading()>& readCpu)
{
    Transfer result;
    const int fd = openPath(port, &result.setupMs);
    if (fd < 0) {
        return result;
    }
    std::vector<char> buffer(256 * 1024);
    result.start = readCpu();
    const double cpu0 = threadCpuNs();
    const qint64 startNs = monotonicNs();
    long long received = 0;
    if (::send(fd, "S", 1, MSG_NOSIGNAL) == 1) {
        while (received < kTransferBytes) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                break;
            }
            received += got;
        }
    }
    result.seconds = static_cast<double>(monotonicNs() - startNs) / 1e9;
    result.clientCpuNs = threadCpuNs() - cpu0;
    result.end = readCpu();
    result.received = received;
    result.ok = received == kTransferBytes;
    ::close(fd);
    return result;
}

struct Exchanges
{
    bool ok = false;
    std::vector<double> roundTripUs;
};

Exchanges exchange(quint16 port)
{
    Exchanges result;
    double setupMs = 0;
    const int fd = openPath(port, &setupMs);
    if (fd < 0) {
        return result;
    }
    char ping[kMessageBytes];
    char pong[kMessageBytes];
    std::memset(ping, 'p', sizeof ping);
    for (int i = 0; i < kWarmUpExchanges + kExchanges; ++i) {
        const qint64 startNs = monotonicNs();
        if (::send(fd, ping, sizeof ping, MSG_NOSIGNAL) != kMessageBytes ||
            !readExactly(fd, pong, sizeof pong)) {
            ::close(fd);
            return result;
        }
        if (i >= kWarmUpExchanges) {
            result.roundTripUs.push_back(static_cast<double>(monotonicNs() - startNs) / 1e3);
        }
    }
    ::close(fd);
    result.ok = true;
    return result;
}

// Runs `work` on a client thread while the main thread serves the event loop (the manager's tunnels).
void runClient(const std::function<void()>& work)
{
    QEventLoop loop;
    std::thread client([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
}

// ---- memory of the forwarding process, sampled rarely ----------------------------------------------

class MemorySampler
{
public:
    explicit MemorySampler(qint64 pid) : m_pid(pid), m_before(memory(pid)), m_peak(m_before)
    {
        m_thread = std::thread([this] {
            const double cpu0 = threadCpuNs();
            std::unique_lock lock(m_mutex);
            while (!m_stop) {
                lock.unlock();
                const Memory now = memory(m_pid);
                lock.lock();
                m_peak = {std::max(m_peak.pss, now.pss), std::max(m_peak.privateMiB, now.privateMiB)};
                m_wake.wait_for(lock, std::chrono::milliseconds(kSampleIntervalMs),
                                [this] { return m_stop; });
            }
            m_cpuNs = threadCpuNs() - cpu0;
        });
    }
    // Stops with one last sample.
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
        const Memory now = memory(m_pid);
        m_peak = {std::max(m_peak.pss, now.pss), std::max(m_peak.privateMiB, now.privateMiB)};
    }
    Memory before() const { return m_before; }
    Memory peak() const { return m_peak; }
    double cpuNs() const { return m_cpuNs; }

private:
    qint64 m_pid;
    Memory m_before;
    Memory m_peak;
    double m_cpuNs = 0;
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

// ---- the peers -------------------------------------------------------------------------------------

quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

struct SshForward
{
    QProcess process;
    quint16 sourcePort = 0;
    quint16 echoPort = 0;

    QString logPath;

    // `cipher` empty: ssh's default.
    bool start(const TestSshServer& server, quint16 source, quint16 echo, const QString& cipher,
               const QString& log, QString* error)
    {
        logPath = log;
        sourcePort = freeLoopbackPort();
        echoPort = freeLoopbackPort();
        QStringList arguments = server.clientOptions(TestSshServer::ClientAuth::Key);
        if (!cipher.isEmpty())
            arguments << QStringLiteral("-c") << cipher;
        arguments << QStringLiteral("-v") << QStringLiteral("-N") << QStringLiteral("-o")
                  << QStringLiteral("ExitOnForwardFailure=yes") << QStringLiteral("-o")
                  << QStringLiteral("StrictHostKeyChecking=accept-new") << QStringLiteral("-o")
                  << QStringLiteral("BatchMode=yes") << QStringLiteral("-L")
                  << QStringLiteral("%1:127.0.0.1:%2").arg(sourcePort).arg(source) << QStringLiteral("-L")
                  << QStringLiteral("%1:127.0.0.1:%2").arg(echoPort).arg(echo) << QStringLiteral("-p")
                  << QString::number(server.port()) << server.user() + QStringLiteral("@127.0.0.1");
        // Its debug output goes to a file, not a pipe this process would have to drain.
        process.setStandardErrorFile(logPath);
        process.start(QStringLiteral("ssh"), arguments);
        if (!process.waitForStarted(kStartTimeoutMs)) {
            *error = QStringLiteral("ssh did not start");
            return false;
        }
        // Forwards listen once the session is up: wait until both accept (before any measurement).
        const bool listening = QTest::qWaitFor(
            [&] {
                for (const quint16 port : {sourcePort, echoPort}) {
                    QTcpSocket probe;
                    probe.connectToHost(QHostAddress::LocalHost, port);
                    if (!probe.waitForConnected(1000)) {
                        return false;
                    }
                }
                return true;
            },
            kStartTimeoutMs);
        if (!listening || process.state() != QProcess::Running) {
            *error = QStringLiteral("ssh -L did not listen: ") + QString::fromLocal8Bit(readFile(logPath));
            return false;
        }
        return true;
    }
    // The cipher the session runs on, from ssh's debug output.
    QString negotiatedCipher() const
    {
        static const QRegularExpression kex(QStringLiteral("kex: server->client cipher: (\\S+)"));
        return kex.match(QString::fromLocal8Bit(readFile(logPath))).captured(1);
    }
    ~SshForward()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
};

// The TLS cipher suite the manager's tunnels negotiate with `node`: a connection with the same TLS
// configuration as theirs (the service's extra roots trusted besides the system's).
QString tunnelCipher(const AccelerationNode& node, const QList<QSslCertificate>& ca)
{
    QSslSocket socket;
    socket.setSslConfiguration(tlsConfigurationTrusting(ca));
    socket.connectToHostEncrypted(node.host, node.port);
    if (!socket.waitForEncrypted(kStartTimeoutMs))
        return {};
    const QSslCipher cipher = socket.sessionCipher();
    return cipher.name() + QStringLiteral(" (") + cipher.protocolString() + QLatin1Char(')');
}

// The SSH cipher of the same algorithm and key length as a TLS 1.3 suite, empty if none.
QString sshCipherLike(const QString& tlsCipher)
{
    if (tlsCipher.startsWith(QStringLiteral("TLS_AES_256_GCM")))
        return QStringLiteral("aes256-gcm@openssh.com");
    if (tlsCipher.startsWith(QStringLiteral("TLS_AES_128_GCM")))
        return QStringLiteral("aes128-gcm@openssh.com");
    if (tlsCipher.startsWith(QStringLiteral("TLS_CHACHA20_POLY1305")))
        return QStringLiteral("chacha20-poly1305@openssh.com");
    return {};
}

// Figures of one path over all rounds.
struct PathFigures
{
    std::vector<double> mibPerSecond;
    std::vector<double> setupMs;
    std::vector<double> forwarderCpuS; // the manager's share of this process, or the ssh client
    std::vector<double> farSideCpuS;   // relay node, or sshd
    std::vector<double> clientCpuS;
    std::vector<double> privateBefore;
    std::vector<double> privatePeak;
    std::vector<double> pssBefore;
    std::vector<double> pssPeak;
    std::vector<double> roundTripUs;
};

struct Path
{
    QString name;
    quint16 sourcePort = 0;
    quint16 echoPort = 0;
    SshForward* ssh = nullptr; // null: the tunnel
    PathFigures figures;
};

} // namespace

int main(int argc, char** argv)
{
    // As the program does at its start.
    MemoryRelease::tuneAllocator();
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const QString reason = TestSshServer::unavailableReason();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "cannot run: %s\n", qPrintable(reason));
        return 1;
    }

    QTemporaryDir root;
    ScopedEnvironment env;
    isolateProcess(env, root.path());
    env.unset("SSH_AUTH_SOCK");
    QString error;

    PeerProcess targets;
    PeerProcess relay;
    QList<QByteArray> targetFields;
    QList<QByteArray> relayFields;
    if (!targets.start(QStringLiteral(NIMBARA_BENCH_PEER), {QStringLiteral("targets")}, &targetFields,
                       &error) ||
        !relay.start(QStringLiteral(NIMBARA_BENCH_PEER), {QStringLiteral("relay")}, &relayFields, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const quint16 sourcePort = targetFields.value(0).toUShort();
    const quint16 echoPort = targetFields.value(1).toUShort();

    // The manager as the program drives it: node list, token, probe, switched on, then routed hosts.
    AccelerationManager manager;
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(QString::fromUtf8(relayFields.value(1)));
    if (!manager.setServiceEndpoint(QUrl(QString::fromUtf8(relayFields.value(0))), ca)) {
        std::fprintf(stderr, "the service address was refused\n");
        return 1;
    }
    manager.setPartnerSession(AccelerationTestBed::kCookie, AccelerationTestBed::kJwt);
    QSignalSpy ready(&manager, &AccelerationManager::readyToEnable);
    QSignalSpy failed(&manager, &AccelerationManager::availabilityFailed);
    QSignalSpy direct(&manager, &AccelerationManager::fallbackToDirect);
    manager.checkAvailability();
    if (!QTest::qWaitFor([&] { return !ready.isEmpty() || !failed.isEmpty(); }, kStartTimeoutMs) ||
        ready.isEmpty()) {
        std::fprintf(stderr, "acceleration not available\n");
        return 1;
    }
    manager.enableAcceleration();
    Remote source;
    source.id = QStringLiteral("bench-source");
    source.name = source.id;
    source.host = QStringLiteral("127.0.0.1");
    source.port = sourcePort;
    Remote echo = source;
    echo.id = QStringLiteral("bench-echo");
    echo.name = echo.id;
    echo.port = echoPort;
    const auto tunnelSourcePort = static_cast<quint16>(manager.route(source).port);
    const auto tunnelEchoPort = static_cast<quint16>(manager.route(echo).port);

    const QString tlsCipher = tunnelCipher(manager.nodes().value(0), ca);
    const QString likeCipher = sshCipherLike(tlsCipher);
    if (likeCipher.isEmpty()) {
        std::fprintf(stderr, "the tunnel's cipher is unknown: \"%s\"\n", qPrintable(tlsCipher));
        return 1;
    }

    TestSshServer sshd;
    if (!sshd.start(&error)) {
        std::fprintf(stderr, "sshd: %s\n", qPrintable(error));
        return 1;
    }
    SshForward sshDefault;
    SshForward sshLike;
    if (!sshDefault.start(sshd, sourcePort, echoPort, {}, root.filePath(QStringLiteral("ssh-default.log")),
                          &error) ||
        !sshLike.start(sshd, sourcePort, echoPort, likeCipher, root.filePath(QStringLiteral("ssh-like.log")),
                       &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const qint64 self = QCoreApplication::applicationPid();
    qint64 sshdPid = 0;
    for (const qint64 child : childProcesses()) {
        if (child != sshDefault.process.processId() && child != sshLike.process.processId() &&
            child != relay.pid() && child != targets.pid()) {
            sshdPid = child;
        }
    }
    const auto relayCpu = [&] {
        return CpuReading{cpuNanoseconds(self), 0, cpuNanoseconds(relay.pid())};
    };
    const auto sshCpu = [&](qint64 sshPid) {
        return CpuReading{cpuNanoseconds(self), cpuNanoseconds(sshPid),
                          cpuNanoseconds(descendants(sshdPid) << sshdPid)};
    };

    std::vector<Path> paths(3);
    paths[0].name = QStringLiteral("tunnel");
    paths[0].sourcePort = tunnelSourcePort;
    paths[0].echoPort = tunnelEchoPort;
    paths[1].name = QStringLiteral("ssh -L ") + sshDefault.negotiatedCipher();
    paths[1].ssh = &sshDefault;
    paths[2].name = QStringLiteral("ssh -L ") + sshLike.negotiatedCipher();
    paths[2].ssh = &sshLike;
    for (Path* path : {&paths[1], &paths[2]}) {
        path->sourcePort = path->ssh->sourcePort;
        path->echoPort = path->ssh->echoPort;
    }
    std::vector<double> directUs;
    const auto measureTransfer = [&](Path& path) {
        PathFigures& figures = path.figures;
        const bool viaTunnel = path.ssh == nullptr;
        const qint64 forwarderPid = viaTunnel ? self : path.ssh->process.processId();
        MemorySampler sampler(forwarderPid);
        Transfer result;
        runClient([&] {
            result = transfer(
                path.sourcePort,
                viaTunnel ? std::function<CpuReading()>(relayCpu) : [&] { return sshCpu(forwarderPid); });
        });
        sampler.stop();
        if (!result.ok) {
            std::fprintf(stderr, "%s: %lld of %lld bytes arrived\n", qPrintable(path.name), result.received,
                         kTransferBytes);
            return false;
        }
        // This process runs the client and the sampler too; the manager's share is what remains.
        const double forwarderNs =
            viaTunnel ? result.end.process - result.start.process - result.clientCpuNs - sampler.cpuNs()
                      : result.end.forwarder - result.start.forwarder;
        figures.mibPerSecond.push_back(static_cast<double>(kTransferBytes) / (1 << 20) / result.seconds);
        figures.setupMs.push_back(result.setupMs);
        figures.forwarderCpuS.push_back(forwarderNs / 1e9);
        figures.farSideCpuS.push_back((result.end.farSide - result.start.farSide) / 1e9);
        figures.clientCpuS.push_back(result.clientCpuNs / 1e9);
        figures.privateBefore.push_back(sampler.before().privateMiB);
        figures.privatePeak.push_back(sampler.peak().privateMiB);
        figures.pssBefore.push_back(sampler.before().pss);
        figures.pssPeak.push_back(sampler.peak().pss);
        std::printf("  %-38s 1 GiB in %6.2f s = %7.1f MiB/s, set-up %5.1f ms, CPU forwarder %5.2f s far side "
                    "%5.2f s client %5.2f s, private %5.1f → %5.1f MiB, PSS %5.1f → %5.1f MiB\n",
                    qPrintable(path.name), result.seconds, figures.mibPerSecond.back(), result.setupMs,
                    forwarderNs / 1e9, figures.farSideCpuS.back(), figures.clientCpuS.back(),
                    sampler.before().privateMiB, sampler.peak().privateMiB, sampler.before().pss,
                    sampler.peak().pss);
        return true;
    };
    const auto measureExchanges = [&](quint16 port, std::vector<double>* into) {
        Exchanges result;
        runClient([&] { result = exchange(port); });
        into->insert(into->end(), result.roundTripUs.begin(), result.roundTripUs.end());
        return result.ok;
    };

    std::printf("1 GiB download and %d × %d-byte ping/pong; %d rounds, each path first in turn\n", kExchanges,
                kMessageBytes, rounds);
    std::printf("tunnel TLS cipher: %s; ssh like it: %s\n", qPrintable(tlsCipher), qPrintable(likeCipher));
    printSummary(QStringLiteral("acceleration load average at start"), loadAverage());
    printSummary(QStringLiteral("acceleration tunnel TLS cipher"), tlsCipher);
    printSummary(QStringLiteral("acceleration ssh -L ciphers"),
                 paths[1].name + QStringLiteral(", ") + paths[2].name);
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d (load %s)\n", round + 1, qPrintable(loadAverage()));
        bool ok = measureExchanges(echoPort, &directUs);
        for (size_t i = 0; i < paths.size(); ++i) {
            Path& path = paths[(i + static_cast<size_t>(round)) % paths.size()];
            ok = ok && measureTransfer(path) && measureExchanges(path.echoPort, &path.figures.roundTripUs);
        }
        if (!ok || !direct.isEmpty()) {
            std::fprintf(stderr, "a measurement failed%s\n",
                         direct.isEmpty() ? "" : " (the tunnel fell back to a direct connection)");
            return 1;
        }
        std::printf("  tunnel / %s %.2f, tunnel / %s %.2f\n", qPrintable(paths[1].name),
                    paths[0].figures.mibPerSecond.back() / paths[1].figures.mibPerSecond.back(),
                    qPrintable(paths[2].name),
                    paths[0].figures.mibPerSecond.back() / paths[2].figures.mibPerSecond.back());
    }

    const auto summary = [](const QString& figure, const QString& value) {
        printSummary(figure, value);
    };
    const PathFigures& tunnel = paths[0].figures;
    summary(QStringLiteral("acceleration tunnel 1 GiB, MiB/s"), rangeOf(tunnel.mibPerSecond, 0));
    // The first tunnels of a process have run slower than later ones: reported apart.
    summary(QStringLiteral("acceleration tunnel 1 GiB, first transfer of the process, MiB/s"),
            QString::number(tunnel.mibPerSecond.front(), 'f', 0));
    for (const Path* ssh : {&paths[1], &paths[2]}) {
        const PathFigures& figures = ssh->figures;
        summary(QStringLiteral("acceleration %1 1 GiB, MiB/s").arg(ssh->name),
                rangeOf(figures.mibPerSecond, 0));
        // Pairs of the same round: the load of the machine moves both alike.
        std::vector<double> pairs;
        for (size_t i = 0; i < figures.mibPerSecond.size(); ++i)
            pairs.push_back(tunnel.mibPerSecond[i] / figures.mibPerSecond[i]);
        summary(QStringLiteral("acceleration tunnel / %1 throughput, per round").arg(ssh->name),
                rangeOf(pairs, 2));
    }
    const auto perPath = [&](const QString& figure, const std::function<QString(const PathFigures&)>& value) {
        for (const Path& path : paths)
            summary(QStringLiteral("acceleration %1 %2").arg(path.name, figure), value(path.figures));
    };
    perPath(QStringLiteral("CPU of the forwarder (manager / ssh client) per GiB, s"),
            [](const PathFigures& f) { return rangeOf(f.forwarderCpuS, 2); });
    perPath(QStringLiteral("CPU of the far side (relay node / sshd) per GiB, s"),
            [](const PathFigures& f) { return rangeOf(f.farSideCpuS, 2); });
    summary(QStringLiteral("acceleration client CPU per GiB (all paths), s"),
            rangeOf(
                [&] {
                    std::vector<double> all;
                    for (const Path& path : paths)
                        all.insert(all.end(), path.figures.clientCpuS.begin(), path.figures.clientCpuS.end());
                    return all;
                }(),
                2));
    perPath(QStringLiteral("private memory of the forwarding process before → peak, MiB"),
            [](const PathFigures& f) {
                return rangeOf(f.privateBefore, 1) + QStringLiteral(" → ") + rangeOf(f.privatePeak, 1);
            });
    perPath(QStringLiteral("PSS of the forwarding process before → peak, MiB"), [](const PathFigures& f) {
        return rangeOf(f.pssBefore, 1) + QStringLiteral(" → ") + rangeOf(f.pssPeak, 1);
    });
    perPath(QStringLiteral("connection set-up (connect to greeting), ms"),
            [](const PathFigures& f) { return rangeOf(f.setupMs, 1); });

    const auto percentiles = [](const std::vector<double>& values, double offset50, double offset99) {
        return QStringLiteral("median %1 µs, p99 %2 µs")
            .arg(percentile(values, 0.5) - offset50, 0, 'f', 0)
            .arg(percentile(values, 0.99) - offset99, 0, 'f', 0);
    };
    summary(QStringLiteral("acceleration round trip direct"), percentiles(directUs, 0, 0));
    perPath(QStringLiteral("round trip"),
            [&](const PathFigures& f) { return percentiles(f.roundTripUs, 0, 0); });
    perPath(QStringLiteral("round trip added"), [&](const PathFigures& f) {
        return percentiles(f.roundTripUs, percentile(directUs, 0.5), percentile(directUs, 0.99));
    });
    summary(QStringLiteral("acceleration load average at end"), loadAverage());
    return 0;
}
