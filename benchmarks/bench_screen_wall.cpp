// The screen wall with many idle and busy sessions against real RDP servers (freerdp-shadow-cli on
// private 1280 × 720 Xvfb displays), and as many xfreerdp processes against the same kind of servers:
// memory and CPU per session, time from process start until every session shows its first frame, and
// how quickly the wall's GUI thread answers while every remote screen changes.
//
//   bench_screen_wall [session counts, default 16 32] [--per-server N, default 32]
//                     [--paint WxH|full, default 320x180] [--no-wall] [--no-xfreerdp] [--xfreerdp-gfx]
//                     [--xfreerdp-first]
//
// While busy, every server display has an area in its middle repainted in another colour every 50 ms;
// the servers share the two cores with the clients, so it is kept small by default.
//
// The driver starts the servers, then every measurement in a fresh child process of its own, so that
// the start-up figure runs from that process's start and memory a run has freed and the allocator
// keeps does not flatter the next one. Both sides are measured alike: CPU as the scheduler's nanosecond
// count of every thread (schedstat), memory as PSS and private memory (smaps_rollup) of the whole
// process, frames and first frames by events (the wall's own paint events; for xfreerdp the X Damage
// extension on each window, then one pixel read per change), never by sampling the screen.

#include "damage_watch.h"
#include "platform/memory_release.h"
#include "process_figures.h"
#include "rdp/freerdp_session.h"
#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"
#include "wall/screen_wall_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <thread>
#include <unistd.h>
#include <vector>

// Xlib last: its macros (None, Bool, KeyPress, ...) collide with names in the Qt headers.
#include <X11/Xlib.h>

namespace {

using namespace ProcessFigures;

const QSize kDesktop(1280, 720);
constexpr int kMeasureSeconds = 10;
constexpr int kSettleMs = 3000;
// How long after the busy period memory is to be back at its idle figure.
constexpr int kRestMs = 5000;
constexpr int kFirstFrameTimeoutMs = 90000;
constexpr int kPaintIntervalMs = 50;
constexpr int kLatencyTimerMs = 10;
constexpr int kZoomTrials = 10;
const QSize kWallDisplay(2048, 1400);
const QColor kIdleColor(40, 90, 160);
const QColor kBusyColors[] = {QColor(200, 30, 30), QColor(30, 200, 30), QColor(30, 30, 200)};
// How the driver tells the measured process about the servers and its own start.
constexpr char kServersVariable[] = "NIMBARA_BENCH_SERVERS";
constexpr char kLaunchedVariable[] = "NIMBARA_BENCH_LAUNCHED_NS";
constexpr char kDisplayPidVariable[] = "NIMBARA_BENCH_DISPLAY_PID";

struct Options
{
    QList<int> counts;
    int perServer = 32;
    QSize paintArea{320, 180}; // empty: the whole screen
    bool wall = true;
    bool xfreerdp = true;
    bool xfreerdpGfx = false;
    // Interleaved runs alternate which side goes first.
    bool xfreerdpFirst = false;
};

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Sleeps in the event loop until done() holds: the predicate is checked after each batch of events,
// so the wait costs nothing while nothing happens.
template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    QTimer wake; // only wakes the loop at the time-out
    wake.setSingleShot(true);
    wake.start(timeoutMs);
    while (!done()) {
        if (waited.elapsed() >= timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 24 && std::abs(a.green() - b.green()) < 24 &&
           std::abs(a.blue() - b.blue()) < 24;
}

double msSince(qint64 originNs, qint64 nowNs = monotonicNs())
{
    return static_cast<double>(nowNs - originNs) / 1e6;
}

// ---- The servers -----------------------------------------------------------------------------------

// Shadow servers on displays of their own, each serving up to perServer sessions. The driver starts
// them before the measured process; that process attaches to them and paints their screens on request
// from a thread of its own (whose CPU is not counted as the client's).
class ServerFarm
{
public:
    ~ServerFarm()
    {
        stopPainting();
        for (Display* display : m_painters) {
            XCloseDisplay(display);
        }
    }

    // In the driver.
    bool start(int sessions, int perServer, QString* error)
    {
        const int count = (sessions + perServer - 1) / perServer;
        const QList<qint64> before = childProcesses();
        for (int i = 0; i < count; ++i) {
            auto display = std::make_unique<TestXDisplay>();
            auto server = std::make_unique<TestRdpServer>();
            if (!display->start(error, kDesktop) || !display->paint(kIdleColor) ||
                !server->start(display->name(), {QStringLiteral("-auth")}, error)) {
                return false;
            }
            m_names.append(display->name());
            m_ports.append(server->port());
            m_displays.push_back(std::move(display));
            m_servers.push_back(std::move(server));
        }
        for (const qint64 pid : childProcesses()) {
            if (!before.contains(pid)) {
                m_pids.append(pid);
            }
        }
        return true;
    }

    // "display:port,display:port;pid,pid" for the measured process.
    QString description() const
    {
        QStringList servers;
        for (int i = 0; i < m_names.size(); ++i) {
            servers.append(QStringLiteral("%1=%2").arg(m_names.at(i)).arg(m_ports.at(i)));
        }
        QStringList pids;
        for (const qint64 pid : m_pids) {
            pids.append(QString::number(pid));
        }
        return servers.join(QLatin1Char(',')) + QLatin1Char(';') + pids.join(QLatin1Char(','));
    }

    // In the measured process.
    bool attach(const QString& description, QSize paintArea, QString* error)
    {
        m_paintArea = paintArea;
        const QStringList parts = description.split(QLatin1Char(';'));
        for (const QString& server : parts.value(0).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString name = server.section(QLatin1Char('='), 0, 0);
            Display* painter = XOpenDisplay(name.toLatin1().constData());
            if (!painter) {
                *error = QStringLiteral("cannot open ") + name;
                return false;
            }
            m_painters.push_back(painter);
            m_ports.append(static_cast<quint16>(server.section(QLatin1Char('='), 1).toUInt()));
        }
        for (const QString& pid : parts.value(1).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            m_pids.append(pid.toLongLong());
        }
        if (m_ports.isEmpty()) {
            *error = QStringLiteral("no servers given");
            return false;
        }
        return true;
    }

    int serverCount() const { return static_cast<int>(m_ports.size()); }
    quint16 portFor(int session) const { return m_ports.at(session % m_ports.size()); }
    const QList<qint64>& pids() const { return m_pids; }

    void startPainting()
    {
        m_painting = true;
        m_thread = std::thread([this] {
            m_painterTid = gettid();
            int step = 0;
            while (m_painting.load()) {
                for (size_t i = 0; i < m_painters.size(); ++i) {
                    paint(m_painters[i], kBusyColors[(step + i) % 3]);
                }
                ++step;
                std::this_thread::sleep_for(std::chrono::milliseconds(kPaintIntervalMs));
            }
        });
    }

    void stopPainting()
    {
        if (!m_thread.joinable()) {
            return;
        }
        m_painting = false;
        m_thread.join();
        for (Display* display : m_painters) {
            paint(display, kIdleColor);
        }
    }

    // CPU the painting thread has used, in nanoseconds: part of this process, not of the client.
    double painterCpu() const
    {
        const qint64 tid = m_painterTid.load();
        return tid > 0 ? threadCpuNanoseconds(QCoreApplication::applicationPid(), tid) : 0.0;
    }

private:
    void paint(Display* display, QColor color)
    {
        const Window root = DefaultRootWindow(display);
        if (m_paintArea.isEmpty()) {
            XSetWindowBackground(display, root, color.rgb() & 0xFFFFFFU);
            XClearWindow(display, root);
        } else {
            // The 24-bit TrueColor visual takes the RGB value as its pixel.
            const GC gc = DefaultGC(display, DefaultScreen(display));
            XSetForeground(display, gc, color.rgb() & 0xFFFFFFU);
            XFillRectangle(display, root, gc, (kDesktop.width() - m_paintArea.width()) / 2,
                           (kDesktop.height() - m_paintArea.height()) / 2,
                           static_cast<unsigned>(m_paintArea.width()),
                           static_cast<unsigned>(m_paintArea.height()));
        }
        XSync(display, False);
    }

    std::vector<std::unique_ptr<TestXDisplay>> m_displays;
    std::vector<std::unique_ptr<TestRdpServer>> m_servers;
    QStringList m_names;
    QList<quint16> m_ports;
    std::vector<Display*> m_painters;
    QList<qint64> m_pids;
    QSize m_paintArea;
    std::thread m_thread;
    std::atomic<bool> m_painting{false};
    std::atomic<qint64> m_painterTid{0};
};

bool attachFarm(ServerFarm& farm, const Options& options)
{
    QString error;
    if (!farm.attach(qEnvironmentVariable(kServersVariable), options.paintArea, &error)) {
        std::fprintf(stderr, "no RDP servers: %s\n", qPrintable(error));
        return false;
    }
    return true;
}

// ---- Shared reporting ------------------------------------------------------------------------------

// How late a 10 ms timer fires while the event loop is busy with everything else.
class LatencyProbe : public QObject
{
public:
    LatencyProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kLatencyTimerMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const double now = static_cast<double>(m_clock.nsecsElapsed()) / 1e6;
            if (m_last >= 0) {
                m_lateness.push_back(std::max(0.0, now - m_last - kLatencyTimerMs));
            }
            m_last = now;
        });
    }

    void start()
    {
        m_lateness.clear();
        m_last = -1;
        m_clock.start();
        m_timer.start();
    }

    void stop() { m_timer.stop(); }

    QString summary() const
    {
        return QStringLiteral("median %1 ms, p99 %2 ms, worst %3 ms")
            .arg(percentile(m_lateness, 0.5), 0, 'f', 1)
            .arg(percentile(m_lateness, 0.99), 0, 'f', 1)
            .arg(maximum(m_lateness), 0, 'f', 1);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = -1;
    std::vector<double> m_lateness;
};
struct Sample
{
    double cpuNs = 0;        // client CPU over the window
    double serverCpuNs = 0;  // shadow servers and their displays
    double displayCpuNs = 0; // the display the client draws on
    double switches = 0;
};

void printLine(const char* who, int sessions, const QString& text)
{
    std::printf("%s %2d: %s\n", who, sessions, qPrintable(text));
    std::fflush(stdout);
}

void summary(const char* who, int sessions, const QString& figure, const QString& value)
{
    printSummary(QStringLiteral("%1 %2 %3").arg(QLatin1String(who)).arg(sessions).arg(figure), value);
}

double percentPerSession(double cpuNs, int sessions)
{
    return cpuNs / (kMeasureSeconds * 1e9) * 100.0 / sessions;
}

QString percentOfCore(double cpuNs, int sessions)
{
    return QStringLiteral("%1 % of a core per session (%2 % in all)")
        .arg(percentPerSession(cpuNs, sessions), 0, 'f', 3)
        .arg(percentPerSession(cpuNs, 1), 0, 'f', 2);
}

// The client's CPU with what its X server spent drawing for it, in percent of a core for all sessions.
void reportTotalCpu(const char* who, int sessions, const Sample& window)
{
    summary(who, sessions, QStringLiteral("busy CPU with its X server, all sessions"),
            QStringLiteral("%1 % of a core (client %2 %, X server %3 %)")
                .arg(percentPerSession(window.cpuNs + window.displayCpuNs, 1), 0, 'f', 1)
                .arg(percentPerSession(window.cpuNs, 1), 0, 'f', 1)
                .arg(percentPerSession(window.displayCpuNs, 1), 0, 'f', 1));
}

QString serverSummary(const Sample& window)
{
    return QStringLiteral("servers %1 % of a core, client display %2 %")
        .arg(percentPerSession(window.serverCpuNs, 1), 0, 'f', 1)
        .arg(percentPerSession(window.displayCpuNs, 1), 0, 'f', 1);
}

// Whole-process memory shared out over the sessions, and what the sessions added.
QString memoryPerSession(const Memory& whole, int sessions)
{
    return QStringLiteral("PSS %1 MiB, private %2 MiB")
        .arg(whole.pss / sessions, 0, 'f', 1)
        .arg(whole.privateMiB / sessions, 0, 'f', 1);
}

void reportMemoryAfterBusy(const char* who, int sessions, const Memory& busy, const Memory& rested)
{
    printLine(who, sessions,
              QStringLiteral("memory per session after the busy period %1; 5 s after it %2")
                  .arg(memoryPerSession(busy, sessions))
                  .arg(memoryPerSession(rested, sessions)));
    summary(who, sessions, QStringLiteral("memory per session after busy / 5 s later (PSS)"),
            QStringLiteral("%1 / %2 MiB")
                .arg(busy.pss / sessions, 0, 'f', 1)
                .arg(rested.pss / sessions, 0, 'f', 1));
}

void reportIdle(const char* who, int sessions, const Sample& idle)
{
    printLine(who, sessions, QStringLiteral("idle %1").arg(serverSummary(idle)));
    summary(who, sessions, QStringLiteral("idle CPU per session"),
            QStringLiteral("%1 % of a core").arg(percentPerSession(idle.cpuNs, sessions), 0, 'f', 3));
    summary(who, sessions, QStringLiteral("idle wake-ups per session"),
            QStringLiteral("%1 /s").arg(idle.switches / kMeasureSeconds / sessions, 0, 'f', 1));
}

// ---- The embedded wall -----------------------------------------------------------------------------

// Notes when the wall window and each tile first paint, in ms since the process was started.
class ShownWatch : public QObject
{
public:
    ShownWatch(QWidget* window, const QList<RdpSurface*>& surfaces, qint64 originNs)
        : m_window(window), m_surfaces(surfaces), m_shownMs(surfaces.size(), -1),
          m_paintedWidth(surfaces.size(), 0), m_paintedAt(surfaces.size(), 0), m_originNs(originNs)
    {
        window->installEventFilter(this);
        for (RdpSurface* surface : surfaces) {
            surface->installEventFilter(this);
        }
    }

    int shown() const
    {
        return static_cast<int>(
            std::count_if(m_shownMs.begin(), m_shownMs.end(), [](double ms) { return ms >= 0; }));
    }
    double windowShownMs() const { return m_windowShownMs; }
    double lastShownMs() const { return *std::max_element(m_shownMs.begin(), m_shownMs.end()); }
    qint64 paints() const { return m_paints; }
    // Width of the surface at its latest paint of a frame.
    int paintedWidth(RdpSurface* surface) const { return m_paintedWidth[m_surfaces.indexOf(surface)]; }
    // When it was (CLOCK_MONOTONIC nanoseconds).
    qint64 paintedAt(RdpSurface* surface) const { return m_paintedAt[m_surfaces.indexOf(surface)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Paint) {
            return false;
        }
        if (watched == m_window) {
            if (m_windowShownMs < 0) {
                m_windowShownMs = msSince(m_originNs);
            }
            return false;
        }
        const auto index = m_surfaces.indexOf(static_cast<RdpSurface*>(watched));
        if (index >= 0 && !m_surfaces.at(index)->picture().isNull()) {
            ++m_paints;
            m_paintedWidth[index] = m_surfaces.at(index)->width();
            m_paintedAt[index] = monotonicNs();
            if (m_shownMs[index] < 0) {
                m_shownMs[index] = msSince(m_originNs, m_paintedAt[index]);
            }
        }
        return false;
    }

private:
    QWidget* m_window;
    QList<RdpSurface*> m_surfaces;
    std::vector<double> m_shownMs;
    std::vector<int> m_paintedWidth;
    std::vector<qint64> m_paintedAt;
    qint64 m_originNs;
    double m_windowShownMs = -1;
    qint64 m_paints = 0;
};

int runWall(int sessions, const Options& options, qint64 launchedNs)
{
    ServerFarm farm;
    if (!attachFarm(farm, options)) {
        return 1;
    }
    const qint64 self = QCoreApplication::applicationPid();
    const qint64 clientDisplay = qEnvironmentVariable(kDisplayPidVariable).toLongLong();
    // The application object exists, nothing is shown yet.
    const Memory before = memory(self);

    QList<Remote> remotes;
    for (int i = 0; i < sessions; ++i) {
        Remote remote;
        remote.id = QStringLiteral("wall-%1").arg(i);
        remote.name = QStringLiteral("host-%1").arg(i, 2, 10, QLatin1Char('0'));
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = farm.portFor(i);
        remotes.append(remote);
    }

    QPointer<ScreenWallWindow> wall = new ScreenWallWindow(remotes, kDesktop, 32, false, RdpEngine::FreeRdp);
    auto* columns = wall->findChild<QComboBox*>(QStringLiteral("columnCombo"));
    columns->setCurrentIndex(columns->findData(sessions <= 16 ? 4 : 6));
    wall->setGeometry(QRect(QPoint(0, 0), kWallDisplay));

    const QList<RdpTile*> tiles = wall->tiles();
    QList<RdpSurface*> surfaces;
    std::vector<double> connectedMs(tiles.size(), -1);
    std::atomic<qint64> frames{0};
    for (int i = 0; i < tiles.size(); ++i) {
        surfaces.append(tiles.at(i)->findChild<RdpSurface*>());
        auto* session = tiles.at(i)->findChild<FreeRdpSession*>();
        QObject::connect(session, &FreeRdpSession::connected, wall,
                         [&connectedMs, launchedNs, i] { connectedMs[i] = msSince(launchedNs); });
        QObject::connect(session, &FreeRdpSession::frameReady, wall, [&frames] { ++frames; });
    }
    ShownWatch shown(wall, surfaces, launchedNs);
    wall->show();
    const bool allShown = waitUntil([&] { return shown.shown() == sessions; }, kFirstFrameTimeoutMs);
    const int visible = static_cast<int>(std::count_if(
        surfaces.begin(), surfaces.end(), [](RdpSurface* s) { return !s->visibleRegion().isEmpty(); }));
    printLine("wall", sessions,
              QStringLiteral("%1 servers, %2 of %3 tiles in view, tile view %4 x %5")
                  .arg(farm.serverCount())
                  .arg(visible)
                  .arg(sessions)
                  .arg(surfaces.first()->width())
                  .arg(surfaces.first()->height()));
    const double lastConnected = *std::max_element(connectedMs.begin(), connectedMs.end());
    const auto connectedCount =
        std::count_if(connectedMs.begin(), connectedMs.end(), [](double ms) { return ms >= 0; });
    printLine(
        "wall", sessions,
        QStringLiteral("from process start: window painted after %1 ms, every tile shows its first frame "
                       "after %2 ms (%3 of %4; all connected after %5 ms, %6 connected)")
            .arg(shown.windowShownMs(), 0, 'f', 0)
            .arg(allShown ? QString::number(shown.lastShownMs(), 'f', 0) : QStringLiteral("-"))
            .arg(shown.shown())
            .arg(sessions)
            .arg(lastConnected, 0, 'f', 0)
            .arg(connectedCount));
    if (!allShown) {
        delete wall;
        return 1;
    }
    summary("wall", sessions, QStringLiteral("process start to window shown"),
            QStringLiteral("%1 ms").arg(shown.windowShownMs(), 0, 'f', 0));
    summary("wall", sessions, QStringLiteral("process start to every first frame"),
            QStringLiteral("%1 ms").arg(shown.lastShownMs(), 0, 'f', 0));

    runEventLoopFor(kSettleMs);
    const Memory idleMemory = memory(self);
    printLine("wall", sessions,
              QStringLiteral("memory per session: whole process %1; added since before the wall opened PSS "
                             "%2 MiB, private %3 MiB (process PSS %4 MiB before, %5 MiB after)")
                  .arg(memoryPerSession(idleMemory, sessions))
                  .arg((idleMemory.pss - before.pss) / sessions, 0, 'f', 1)
                  .arg((idleMemory.privateMiB - before.privateMiB) / sessions, 0, 'f', 1)
                  .arg(before.pss, 0, 'f', 1)
                  .arg(idleMemory.pss, 0, 'f', 1));
    summary("wall", sessions, QStringLiteral("memory per session, whole process"),
            memoryPerSession(idleMemory, sessions));
    summary("wall", sessions, QStringLiteral("memory per session, added by the wall"),
            memoryPerSession(idleMemory - before, sessions));

    const auto measure = [&](Sample& window) {
        const double cpu0 = cpuNanoseconds(self) - farm.painterCpu();
        const double server0 = cpuNanoseconds(farm.pids());
        const double display0 = clientDisplay > 0 ? cpuNanoseconds(clientDisplay) : 0;
        const double switches0 = contextSwitches(self);
        runEventLoopFor(kMeasureSeconds * 1000);
        window.cpuNs = cpuNanoseconds(self) - farm.painterCpu() - cpu0;
        window.serverCpuNs = cpuNanoseconds(farm.pids()) - server0;
        window.displayCpuNs = (clientDisplay > 0 ? cpuNanoseconds(clientDisplay) : 0) - display0;
        window.switches = contextSwitches(self) - switches0;
    };

    Sample idle;
    const qint64 framesIdle0 = frames.load();
    measure(idle);
    printLine("wall", sessions,
              QStringLiteral("idle CPU %1; %2 wake-ups/s per session; %3 frames in %4 s")
                  .arg(percentOfCore(idle.cpuNs, sessions))
                  .arg(idle.switches / kMeasureSeconds / sessions, 0, 'f', 1)
                  .arg(frames.load() - framesIdle0)
                  .arg(kMeasureSeconds));
    reportIdle("wall", sessions, idle);

    farm.startPainting();
    runEventLoopFor(2000);
    Sample busy;
    const qint64 frames0 = frames.load();
    const qint64 paints0 = shown.paints();
    const double gui0 = threadCpuNanoseconds(self, self);
    measure(busy);
    const double gui = threadCpuNanoseconds(self, self) - gui0;
    const double framesPerSecond = static_cast<double>(frames.load() - frames0) / kMeasureSeconds / sessions;
    printLine("wall", sessions,
              QStringLiteral("busy CPU %1; GUI thread %2 % of a core")
                  .arg(percentOfCore(busy.cpuNs, sessions))
                  .arg(percentPerSession(gui, 1), 0, 'f', 1));
    printLine(
        "wall", sessions,
        QStringLiteral("busy frames %1 per session per s, tile paints %2 per session per s")
            .arg(framesPerSecond, 0, 'f', 1)
            .arg(static_cast<double>(shown.paints() - paints0) / kMeasureSeconds / sessions, 0, 'f', 1));
    printLine("wall", sessions, QStringLiteral("busy %1").arg(serverSummary(busy)));
    summary("wall", sessions, QStringLiteral("busy CPU per session"),
            QStringLiteral("%1 % of a core").arg(percentPerSession(busy.cpuNs, sessions), 0, 'f', 2));
    reportTotalCpu("wall", sessions, busy);
    summary("wall", sessions, QStringLiteral("busy GUI thread"),
            QStringLiteral("%1 % of a core").arg(percentPerSession(gui, 1), 0, 'f', 1));
    summary("wall", sessions, QStringLiteral("busy frames per session"),
            QStringLiteral("%1 /s").arg(framesPerSecond, 0, 'f', 1));

    // The timer probe runs outside the CPU window above: it costs the GUI thread wake-ups of its own.
    LatencyProbe probe;
    probe.start();
    runEventLoopFor(kMeasureSeconds * 1000);
    probe.stop();
    printLine("wall", sessions, QStringLiteral("busy 10 ms timer lateness %1").arg(probe.summary()));
    summary("wall", sessions, QStringLiteral("busy 10 ms timer lateness"), probe.summary());

    // Zoom one tile with Ctrl+double-click and restore the wall, while every screen keeps changing.
    QAction* restore = nullptr;
    for (QAction* action : wall->findChildren<QAction*>()) {
        if (action->text() == QStringLiteral("恢复屏幕墙")) {
            restore = action;
        }
    }
    std::vector<double> zoomClicks;
    std::vector<double> zoomAnswers;
    std::vector<double> zoomPainted;
    std::vector<double> restoreAnswers;
    const auto answered = [&wall] {
        bool done = false;
        QMetaObject::invokeMethod(
            wall, [&done] { done = true; }, Qt::QueuedConnection);
        waitUntil([&] { return done; }, 10000);
    };
    probe.start();
    for (int trial = 0; trial < kZoomTrials; ++trial) {
        RdpTile* tile = tiles.at((trial * 7) % tiles.size());
        RdpSurface* surface = tile->findChild<RdpSurface*>();
        const int smallWidth = surface->width();

        const qint64 zoomStart = monotonicNs();
        const QPointF centre = QRectF(surface->rect()).center();
        QMouseEvent click(QEvent::MouseButtonDblClick, centre, surface->mapToGlobal(centre), Qt::LeftButton,
                          Qt::LeftButton, Qt::ControlModifier);
        QCoreApplication::sendEvent(surface, &click);
        zoomClicks.push_back(msSince(zoomStart));
        answered();
        zoomAnswers.push_back(msSince(zoomStart));
        if (wall->zoomedTile() != tile) {
            std::printf("zoom did not take effect\n");
        }
        // The zoomed tile repainted at its new size.
        waitUntil([&] { return shown.paintedWidth(surface) > smallWidth; }, 10000);
        zoomPainted.push_back(msSince(zoomStart, shown.paintedAt(surface)));
        runEventLoopFor(500);

        const qint64 restoreStart = monotonicNs();
        if (restore) {
            restore->trigger();
        }
        answered();
        restoreAnswers.push_back(msSince(restoreStart));
        runEventLoopFor(500);
    }
    probe.stop();
    printLine(
        "wall", sessions,
        QStringLiteral(
            "busy zoom answered median %1 ms, worst %2 ms (the click itself, relayout included, "
            "median %6 ms); zoomed tile painted median %3 ms; restore answered median %4 ms, worst %5 ms")
            .arg(percentile(zoomAnswers, 0.5), 0, 'f', 1)
            .arg(maximum(zoomAnswers), 0, 'f', 1)
            .arg(percentile(zoomPainted, 0.5), 0, 'f', 1)
            .arg(percentile(restoreAnswers, 0.5), 0, 'f', 1)
            .arg(maximum(restoreAnswers), 0, 'f', 1)
            .arg(percentile(zoomClicks, 0.5), 0, 'f', 1));
    printLine("wall", sessions, QStringLiteral("zooming 10 ms timer lateness %1").arg(probe.summary()));
    summary("wall", sessions, QStringLiteral("zoom answered"),
            QStringLiteral("median %1 ms, worst %2 ms")
                .arg(percentile(zoomAnswers, 0.5), 0, 'f', 1)
                .arg(maximum(zoomAnswers), 0, 'f', 1));
    summary("wall", sessions, QStringLiteral("restore answered"),
            QStringLiteral("median %1 ms, worst %2 ms")
                .arg(percentile(restoreAnswers, 0.5), 0, 'f', 1)
                .arg(maximum(restoreAnswers), 0, 'f', 1));
    const Memory busyMemory = memory(self);
    farm.stopPainting();
    runEventLoopFor(kRestMs);
    const Memory restedMemory = memory(self);
    reportMemoryAfterBusy("wall", sessions, busyMemory, restedMemory);

    wall->close();
    waitUntil([&] { return wall.isNull(); }, 10000);
    return 0;
}

// ---- xfreerdp --------------------------------------------------------------------------------------

constexpr int kXfreerdpColumns = 8;
const QPoint kWindowCentre(kDesktop.width() / 2, kDesktop.height() / 2);

QPoint slotOrigin(int index)
{
    return {(index % kXfreerdpColumns) * kDesktop.width(), (index / kXfreerdpColumns) * kDesktop.height()};
}

int runXfreerdp(int sessions, const Options& options)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xfreerdp"));
    if (program.isEmpty()) {
        std::printf("xfreerdp %2d: not measured (not installed)\n", sessions);
        return 0;
    }
    ServerFarm farm;
    if (!attachFarm(farm, options)) {
        return 1;
    }
    // All clients side by side on one display, so that every client's window stays in view.
    TestXDisplay clientDisplay;
    QString error;
    const QList<qint64> beforeDisplay = childProcesses();
    const int rows = (sessions + kXfreerdpColumns - 1) / kXfreerdpColumns;
    DamageWatch watch;
    if (!clientDisplay.start(&error, QSize(kDesktop.width() * std::min(sessions, kXfreerdpColumns),
                                           kDesktop.height() * rows)) ||
        !watch.open(clientDisplay.name(), &error)) {
        std::fprintf(stderr, "no client display: %s\n", qPrintable(error));
        return 1;
    }
    qint64 displayPid = 0;
    for (const qint64 pid : childProcesses()) {
        if (!beforeDisplay.contains(pid)) {
            displayPid = pid;
        }
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), clientDisplay.name());
    env.insert(QStringLiteral("WLOG_LEVEL"), QStringLiteral("ERROR"));
    std::vector<std::unique_ptr<QProcess>> clients;
    QList<qint64> pids;
    std::map<unsigned long, int> slotOf;
    std::vector<double> mappedMs(sessions, -1);
    std::vector<double> shownMs(sessions, -1);
    std::vector<QColor> lastColour(sessions);
    std::vector<int> changes(sessions, 0);
    bool countChanges = false;
    qint64 startNs = 0;
    watch.onMapped = [&](unsigned long window, qint64 pid) {
        const auto index = pids.indexOf(pid);
        if (index < 0 || mappedMs[index] >= 0) {
            return;
        }
        mappedMs[index] = msSince(startNs);
        slotOf[window] = static_cast<int>(index);
        watch.moveWindow(window, slotOrigin(static_cast<int>(index)));
        watch.watch(window, kWindowCentre);
    };
    watch.onChanged = [&](unsigned long window, const QColor& colour, qint64 atNs) {
        const int index = slotOf[window];
        if (shownMs[index] < 0 && near(colour, kIdleColor)) {
            shownMs[index] = msSince(startNs, atNs);
        }
        if (countChanges && colour != lastColour[index]) {
            ++changes[index];
        }
        lastColour[index] = colour;
    };

    startNs = monotonicNs();
    for (int i = 0; i < sessions; ++i) {
        auto client = std::make_unique<QProcess>();
        client->setProcessEnvironment(env);
        client->setStandardOutputFile(QProcess::nullDevice());
        client->setStandardErrorFile(QProcess::nullDevice());
        client->setStandardInputFile(QProcess::nullDevice());
        QStringList arguments{QStringLiteral("/v:127.0.0.1:%1").arg(farm.portFor(i)),
                              QStringLiteral("/size:%1x%2").arg(kDesktop.width()).arg(kDesktop.height()),
                              QStringLiteral("/cert:ignore")};
        if (!options.xfreerdpGfx) {
            // The embedded session does not use the graphics pipeline either: same updates, same codecs.
            arguments.append(QStringLiteral("-gfx"));
        }
        client->start(program, arguments);
        client->waitForStarted(5000);
        pids.append(client->processId());
        clients.push_back(std::move(client));
    }
    const auto shownCount = [&] {
        return static_cast<int>(
            std::count_if(shownMs.begin(), shownMs.end(), [](double ms) { return ms >= 0; }));
    };
    const bool allShown = watch.runUntil([&] { return shownCount() == sessions; }, kFirstFrameTimeoutMs);
    printLine("xfreerdp", sessions,
              QStringLiteral("%1 servers%2; from the first client's start: every window mapped after %3 ms, "
                             "every client shows its first frame after %4 ms (%5 of %6)")
                  .arg(farm.serverCount())
                  .arg(options.xfreerdpGfx ? QStringLiteral(", graphics pipeline") : QString())
                  .arg(maximum(mappedMs), 0, 'f', 0)
                  .arg(allShown ? QString::number(maximum(shownMs), 'f', 0) : QStringLiteral("-"))
                  .arg(shownCount())
                  .arg(sessions));

    if (allShown) {
        summary("xfreerdp", sessions, QStringLiteral("process start to window shown"),
                QStringLiteral("%1 ms (last window mapped)").arg(maximum(mappedMs), 0, 'f', 0));
        summary("xfreerdp", sessions, QStringLiteral("process start to every first frame"),
                QStringLiteral("%1 ms").arg(maximum(shownMs), 0, 'f', 0));
        const auto watchFor = [&watch](int ms) {
            watch.runUntil([] { return false; }, ms);
        };
        watchFor(kSettleMs);
        const auto totalMemory = [&pids] {
            Memory total;
            for (const qint64 pid : pids) {
                total = total + memory(pid);
            }
            return total;
        };
        const Memory idleMemory = totalMemory();
        printLine("xfreerdp", sessions,
                  QStringLiteral("memory per client: %1").arg(memoryPerSession(idleMemory, sessions)));
        summary("xfreerdp", sessions, QStringLiteral("memory per session, whole process"),
                memoryPerSession(idleMemory, sessions));

        const auto measure = [&](Sample& window) {
            const double cpu0 = cpuNanoseconds(pids);
            const double server0 = cpuNanoseconds(farm.pids());
            const double display0 = cpuNanoseconds(displayPid);
            double switches0 = 0;
            for (const qint64 pid : pids) {
                switches0 += contextSwitches(pid);
            }
            watchFor(kMeasureSeconds * 1000);
            window.cpuNs = cpuNanoseconds(pids) - cpu0;
            window.serverCpuNs = cpuNanoseconds(farm.pids()) - server0;
            window.displayCpuNs = cpuNanoseconds(displayPid) - display0;
            double switches = 0;
            for (const qint64 pid : pids) {
                switches += contextSwitches(pid);
            }
            window.switches = switches - switches0;
        };

        Sample idle;
        measure(idle);
        printLine("xfreerdp", sessions,
                  QStringLiteral("idle CPU %1; %2 wake-ups/s per client")
                      .arg(percentOfCore(idle.cpuNs, sessions))
                      .arg(idle.switches / kMeasureSeconds / sessions, 0, 'f', 1));
        reportIdle("xfreerdp", sessions, idle);

        farm.startPainting();
        watchFor(2000);
        Sample busy;
        countChanges = true;
        measure(busy);
        countChanges = false;
        const double framesPerSecond =
            static_cast<double>(std::accumulate(changes.begin(), changes.end(), 0)) / kMeasureSeconds /
            sessions;
        printLine(
            "xfreerdp", sessions,
            QStringLiteral("busy CPU %1; %2 new frames per client per s (changes of the window's centre)")
                .arg(percentOfCore(busy.cpuNs, sessions))
                .arg(framesPerSecond, 0, 'f', 1));
        printLine("xfreerdp", sessions, QStringLiteral("busy %1").arg(serverSummary(busy)));
        summary("xfreerdp", sessions, QStringLiteral("busy CPU per session"),
                QStringLiteral("%1 % of a core").arg(percentPerSession(busy.cpuNs, sessions), 0, 'f', 2));
        reportTotalCpu("xfreerdp", sessions, busy);
        summary("xfreerdp", sessions, QStringLiteral("busy frames per session"),
                QStringLiteral("%1 /s").arg(framesPerSecond, 0, 'f', 1));
        const Memory busyMemory = totalMemory();
        farm.stopPainting();
        watchFor(kRestMs);
        const Memory restedMemory = totalMemory();
        reportMemoryAfterBusy("xfreerdp", sessions, busyMemory, restedMemory);
    }

    for (auto& client : clients) {
        client->terminate();
    }
    for (auto& client : clients) {
        if (!client->waitForFinished(3000)) {
            client->kill();
            client->waitForFinished(3000);
        }
    }
    return allShown ? 0 : 1;
}

// ---- Driver ----------------------------------------------------------------------------------------

Options parseOptions(const QStringList& arguments)
{
    Options options;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--per-server") && i + 1 < arguments.size()) {
            options.perServer = std::max(1, arguments.at(++i).toInt());
        } else if (argument == QLatin1String("--paint") && i + 1 < arguments.size()) {
            const QStringList size = arguments.at(++i).split(QLatin1Char('x'));
            options.paintArea = size.size() == 2 ? QSize(size.at(0).toInt(), size.at(1).toInt()) : QSize();
        } else if (argument == QLatin1String("--no-wall")) {
            options.wall = false;
        } else if (argument == QLatin1String("--no-xfreerdp")) {
            options.xfreerdp = false;
        } else if (argument == QLatin1String("--xfreerdp-gfx")) {
            options.xfreerdpGfx = true;
        } else if (argument == QLatin1String("--xfreerdp-first")) {
            options.xfreerdpFirst = true;
        } else if (argument.toInt() > 0) {
            options.counts.append(argument.toInt());
        }
    }
    if (options.counts.isEmpty()) {
        options.counts = {16, 32};
    }
    return options;
}

// One measurement in a child process: "--run wall|xfreerdp <sessions>" ahead of the other options.
int runChild(int argc, char* argv[], const QString& what, int sessions)
{
    const qint64 launchedNs = qEnvironmentVariable(kLaunchedVariable).toLongLong();
    QTemporaryDir root;
    ScopedEnvironment env;
    isolateProcess(env, root.path());
    silenceFreeRdpLog(env);
    spdlog::set_level(spdlog::level::warn);
    if (what == QLatin1String("wall")) {
        // As the program does at its start.
        MemoryRelease::tuneAllocator();
        QApplication application(argc, argv);
        return runWall(sessions, parseOptions(application.arguments().mid(3)), launchedNs);
    }
    QCoreApplication application(argc, argv);
    return runXfreerdp(sessions, parseOptions(application.arguments().mid(3)));
}

// Starts the servers, and the wall's display, then one measured child process.
bool runMeasurement(const QString& what, int sessions, const Options& options, const QStringList& passOn)
{
    ServerFarm farm;
    QString error;
    if (!farm.start(sessions, options.perServer, &error)) {
        std::fprintf(stderr, "could not start the RDP servers: %s\n", qPrintable(error));
        return false;
    }
    TestXDisplay display;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(kServersVariable), farm.description());
    if (what == QLatin1String("wall")) {
        // The wall draws on a display of its own, through the platform's usual X11 path.
        const QList<qint64> before = childProcesses();
        if (!display.start(&error, kWallDisplay)) {
            std::fprintf(stderr, "no display for the wall: %s\n", qPrintable(error));
            return false;
        }
        for (const qint64 pid : childProcesses()) {
            if (!before.contains(pid)) {
                env.insert(QLatin1String(kDisplayPidVariable), QString::number(pid));
            }
        }
        env.insert(QStringLiteral("DISPLAY"), display.name());
        if (!env.contains(QStringLiteral("QT_QPA_PLATFORM"))) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        }
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    env.insert(QLatin1String(kLaunchedVariable), QString::number(monotonicNs()));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                QStringList{QStringLiteral("--run"), what, QString::number(sessions)} + passOn);
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 4 && qstrcmp(argv[1], "--run") == 0) {
        return runChild(argc, argv, QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    }

    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const Options options = parseOptions(arguments);
    std::printf(
        "%d sessions per shadow server, paint %s every %d ms, desktops %dx%d\n", options.perServer,
        options.paintArea.isEmpty()
            ? "the whole screen"
            : qPrintable(
                  QStringLiteral("%1x%2").arg(options.paintArea.width()).arg(options.paintArea.height())),
        kPaintIntervalMs, kDesktop.width(), kDesktop.height());
    printSummary(QStringLiteral("wall load average at start"), loadAverage());

    int failures = 0;
    for (const int sessions : options.counts) {
        QList<QPair<QString, bool>> runs{{QStringLiteral("wall"), options.wall},
                                         {QStringLiteral("xfreerdp"), options.xfreerdp}};
        if (options.xfreerdpFirst) {
            std::swap(runs[0], runs[1]);
        }
        for (const auto& [what, enabled] : runs) {
            if (enabled && !runMeasurement(what, sessions, options, arguments.mid(1))) {
                std::printf("%s %2d: run failed\n", qPrintable(what), sessions);
                ++failures;
            }
        }
    }
    printSummary(QStringLiteral("wall load average at end"), loadAverage());
    return failures == 0 ? 0 : 1;
}
