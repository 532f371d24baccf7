// One embedded FreeRDP session against a real RDP server (freerdp-shadow-cli on a private Xvfb), then
// the system client xfreerdp against the same server, measured the same way: time to the first frame,
// idle CPU, memory, and the time from a paint on the server's display to the frame that shows it.
//
//     bench_rdp_session [--idle-seconds N, default 30] [--xfreerdp-gfx] [--xfreerdp-first]
//
// Both sides start at the same moment and stop at the equivalent point. First frame: the embedded
// session from start() to the first frameReady that shows the server's colour, xfreerdp from its process
// start to the first change of its window that shows it. Paint latency: from the paint on the server's
// display (XSync returned) to frameReady showing the colour, or to the change of xfreerdp's window that
// shows it. xfreerdp's window is watched through the X Damage extension (the watcher sleeps until the X
// server reports a change, then reads one pixel), so the measurement does not compete with the client.
// CPU is the scheduler's nanosecond count of every thread (/proc/<pid>/task/*/schedstat) over the same
// window on both sides. Memory is PSS and private memory (/proc/<pid>/smaps_rollup): for the embedded
// session what the process gained from just before start() to the end of the idle window, for xfreerdp
// the whole process (what one more session costs on each side).
//
// xfreerdp runs with -gfx by default so that it gets the same bitmap updates as the embedded session,
// which offers neither the graphics pipeline nor RemoteFX; --xfreerdp-gfx leaves its default.

#include "damage_watch.h"
#include "process_figures.h"
#include "rdp/freerdp_session.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using namespace ProcessFigures;

const QSize kDesktop(1280, 720);
const QPoint kProbe(640, 360);
constexpr int kPaints = 21;
constexpr int kConnectTimeoutMs = 30000;
constexpr int kFrameTimeoutMs = 2000;
constexpr int kSettleMs = 3000;
const QColor kIdleColour(40, 90, 160);
const QColor kColours[] = {QColor(200, 30, 30), QColor(30, 200, 30), QColor(30, 30, 200)};

struct Options
{
    int idleSeconds = 30;
    bool xfreerdpGfx = false;
    // Interleaved runs alternate which side goes first.
    bool xfreerdpFirst = false;
};

// What both sides report.
struct Figures
{
    double firstFrameMs = -1;
    double idleCpuPercent = 0;
    double idleWakeups = 0;
    Memory memory;
    std::vector<double> latencies;
};

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs `loop` until something quits it or `ms` have passed.
void execFor(QEventLoop& loop, int ms)
{
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(ms);
    loop.exec();
}

// Pauses between paints, the same for both sides: random so that the paints do not keep one phase of
// the server's capture interval.
std::vector<int> pauses()
{
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> pause(200, 450);
    std::vector<int> values(kPaints);
    for (int& value : values) {
        value = pause(random);
    }
    return values;
}

bool near(const QColor& a, const QColor& b)
{
    return a.isValid() && std::abs(a.red() - b.red()) < 16 && std::abs(a.green() - b.green()) < 16 &&
           std::abs(a.blue() - b.blue()) < 16;
}

double elapsedMs(qint64 fromNs, qint64 toNs)
{
    return static_cast<double>(toNs - fromNs) / 1e6;
}

// CPU and wake-ups of one process over the idle window, with nothing else of this benchmark running.
template <typename Wait> void measureIdle(qint64 pid, int seconds, Figures& figures, Wait wait)
{
    const double cpu0 = cpuNanoseconds(pid);
    const double switches0 = contextSwitches(pid);
    wait(seconds * 1000);
    figures.idleCpuPercent = (cpuNanoseconds(pid) - cpu0) / (seconds * 1e9) * 100.0;
    figures.idleWakeups = (contextSwitches(pid) - switches0) / seconds;
}

bool measureEmbedded(TestXDisplay& display, quint16 port, const Options& options, Figures& figures)
{
    Remote remote;
    remote.id = QStringLiteral("bench");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;
    const qint64 self = QCoreApplication::applicationPid();

    runEventLoopFor(500);
    const Memory before = memory(self);
    FreeRdpSession session;
    QEventLoop waiting;
    QColor awaited = kIdleColour;
    qint64 shownNs = 0;
    QObject::connect(&session, &FreeRdpSession::frameReady, [&] {
        const QImage& frame = session.frame();
        if (awaited.isValid() && !frame.isNull() && near(QColor(frame.pixel(kProbe)), awaited)) {
            shownNs = monotonicNs();
            awaited = QColor();
            waiting.quit();
        }
    });
    const qint64 startNs = monotonicNs();
    if (!session.start(remote, kDesktop, true, false, 32)) {
        std::printf("embedded: the session did not start\n");
        return false;
    }
    execFor(waiting, kConnectTimeoutMs);
    if (awaited.isValid()) {
        std::printf("embedded: no frame within %d s\n", kConnectTimeoutMs / 1000);
        return false;
    }
    figures.firstFrameMs = elapsedMs(startNs, shownNs);

    runEventLoopFor(kSettleMs);
    measureIdle(self, options.idleSeconds, figures, runEventLoopFor);
    figures.memory = memory(self) - before;

    for (const int pause : pauses()) {
        awaited = kColours[figures.latencies.size() % 3];
        const qint64 paintNs = monotonicNs();
        display.paint(awaited);
        execFor(waiting, kFrameTimeoutMs);
        if (!awaited.isValid()) {
            figures.latencies.push_back(elapsedMs(paintNs, shownNs));
        }
        awaited = QColor();
        runEventLoopFor(pause);
    }
    session.stop();
    display.paint(kIdleColour);
    runEventLoopFor(1000);
    return true;
}

bool measureXfreerdp(TestXDisplay& serverDisplay, quint16 port, const Options& options, Figures& figures)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xfreerdp"));
    TestXDisplay clientDisplay;
    DamageWatch watch;
    QString error;
    if (program.isEmpty() || !clientDisplay.start(&error, QSize(1400, 900)) ||
        !watch.open(clientDisplay.name(), &error)) {
        std::printf("xfreerdp: not measured (%s)\n", program.isEmpty() ? "not installed" : qPrintable(error));
        return false;
    }
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), clientDisplay.name());
    env.insert(QStringLiteral("WLOG_LEVEL"), QStringLiteral("ERROR"));
    client.setProcessEnvironment(env);
    client.setStandardInputFile(QProcess::nullDevice());
    client.setStandardOutputFile(QProcess::nullDevice());
    client.setStandardErrorFile(QProcess::nullDevice());
    QStringList arguments{QStringLiteral("/v:127.0.0.1"), QStringLiteral("/port:%1").arg(port),
                          QStringLiteral("/size:%1x%2").arg(kDesktop.width()).arg(kDesktop.height()),
                          QStringLiteral("/cert:ignore")};
    if (!options.xfreerdpGfx) {
        arguments.append(QStringLiteral("-gfx"));
    }

    unsigned long window = 0;
    QColor awaited = kIdleColour;
    qint64 shownNs = 0;
    watch.onMapped = [&](unsigned long mapped, qint64 pid) {
        if (window == 0 && pid == client.processId()) {
            window = mapped;
            watch.watch(window, kProbe);
        }
    };
    watch.onChanged = [&](unsigned long, const QColor& colour, qint64 atNs) {
        if (near(colour, awaited)) {
            shownNs = atNs;
            awaited = QColor();
        }
    };
    const qint64 startNs = monotonicNs();
    client.start(program, arguments);
    const auto shown = [&] {
        return !awaited.isValid();
    };
    if (!client.waitForStarted(5000) || !watch.runUntil(shown, kConnectTimeoutMs)) {
        std::printf("xfreerdp: no frame within %d s\n", kConnectTimeoutMs / 1000);
        client.kill();
        client.waitForFinished(3000);
        return false;
    }
    figures.firstFrameMs = elapsedMs(startNs, shownNs);

    const qint64 pid = client.processId();
    watch.runUntil([] { return false; }, kSettleMs);
    measureIdle(pid, options.idleSeconds, figures,
                [&watch](int ms) { watch.runUntil([] { return false; }, ms); });
    figures.memory = memory(pid);

    for (const int pause : pauses()) {
        awaited = kColours[figures.latencies.size() % 3];
        const qint64 paintNs = monotonicNs();
        serverDisplay.paint(awaited);
        if (watch.runUntil(shown, kFrameTimeoutMs)) {
            figures.latencies.push_back(elapsedMs(paintNs, shownNs));
        }
        awaited = QColor();
        watch.runUntil([] { return false; }, pause);
    }
    client.terminate();
    client.waitForFinished(3000);
    serverDisplay.paint(kIdleColour);
    return true;
}

void report(const char* who, const Options& options, const Figures& figures)
{

    const QString side = QString::fromLatin1(who);
    printSummary(side + QStringLiteral(" first frame"),
                 QStringLiteral("%1 ms").arg(figures.firstFrameMs, 0, 'f', 0));
    printSummary(side + QStringLiteral(" idle CPU"),
                 QStringLiteral("%1 % of a core over %2 s (%3 wake-ups/s)")
                     .arg(figures.idleCpuPercent, 0, 'f', 3)
                     .arg(options.idleSeconds)
                     .arg(figures.idleWakeups, 0, 'f', 1));
    printSummary(side + QStringLiteral(" memory"), QStringLiteral("PSS %1 MiB, private %2 MiB")
                                                       .arg(figures.memory.pss, 0, 'f', 1)
                                                       .arg(figures.memory.privateMiB, 0, 'f', 1));
    printSummary(side + QStringLiteral(" paint to frame"),
                 QStringLiteral("median %1 ms, p90 %2 ms, worst %3 ms (%4 of %5 seen)")
                     .arg(percentile(figures.latencies, 0.5), 0, 'f', 1)
                     .arg(percentile(figures.latencies, 0.9), 0, 'f', 1)
                     .arg(maximum(figures.latencies), 0, 'f', 1)
                     .arg(figures.latencies.size())
                     .arg(kPaints));
}

Options parseOptions(const QStringList& arguments)
{
    Options options;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--idle-seconds") && i + 1 < arguments.size()) {
            options.idleSeconds = std::max(1, arguments.at(++i).toInt());
        } else if (arguments.at(i) == QLatin1String("--xfreerdp-gfx")) {
            options.xfreerdpGfx = true;
        } else if (arguments.at(i) == QLatin1String("--xfreerdp-first")) {
            options.xfreerdpFirst = true;
        }
    }
    return options;
}

} // namespace

int main(int argc, char* argv[])
{
    // Both clients keep their settings and certificates in a home of their own.
    QTemporaryDir root;
    ScopedEnvironment env;
    isolateProcess(env, root.path());
    silenceFreeRdpLog(env);
    spdlog::set_level(spdlog::level::warn);
    QCoreApplication application(argc, argv);
    const Options options = parseOptions(application.arguments());
    printSummary(QStringLiteral("rdp load average at start"), loadAverage());
    TestXDisplay display;
    TestRdpServer server;
    QString error;
    if (!display.start(&error, kDesktop) || !display.paint(kIdleColour) ||
        !server.start(display.name(), {QStringLiteral("-auth")}, &error)) {
        std::fprintf(stderr, "could not start the RDP server: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("1280x720 desktop, %d paints, xfreerdp %s\n", kPaints,
                options.xfreerdpGfx ? "with its default graphics pipeline" : "-gfx (bitmap updates)");
    Figures embedded;
    Figures xfreerdp;
    bool xfreerdpOk = options.xfreerdpFirst && measureXfreerdp(display, server.port(), options, xfreerdp);
    const bool embeddedOk = measureEmbedded(display, server.port(), options, embedded);
    if (!options.xfreerdpFirst) {
        xfreerdpOk = measureXfreerdp(display, server.port(), options, xfreerdp);
    }
    if (embeddedOk) {
        report("embedded", options, embedded);
    }
    if (xfreerdpOk) {
        report("xfreerdp", options, xfreerdp);
    }
    printSummary(QStringLiteral("rdp load average at end"), loadAverage());
    return embeddedOk && xfreerdpOk ? 0 : 1;
}
