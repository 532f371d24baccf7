// The screen wall with many idle and busy sessions against real RDP servers (freerdp-shadow-cli on
// private 1280 × 720 Xvfb displays), and as many xfreerdp processes against the same kind of servers:
// memory and CPU per session, time until every session shows its first frame, and how quickly the
// wall's GUI thread answers while every remote screen changes.
//
//   bench_screen_wall [session counts, default 16 32] [--per-server N, default 32]
//                     [--paint WxH|full, default 320x180] [--no-wall] [--no-xfreerdp] [--xfreerdp-gfx]
//
// While busy, every server display has an area in its middle repainted in another colour every 50 ms;
// the servers share the two cores with the clients, so it is kept small by default.
//
// Every measurement runs in a fresh child process of its own, so that memory a run has freed and the
// allocator keeps does not flatter the next one.

#include "rdp/freerdp_session.h"
#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"
#include "wall/screen_wall_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
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
#include <memory>
#include <numeric>
#include <thread>
#include <unistd.h>
#include <vector>

// Xlib last: its macros (None, Bool, KeyPress, ...) collide with names in the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const QSize kDesktop(1280, 720);
constexpr int kMeasureSeconds = 10;
constexpr int kSettleMs = 3000;
constexpr int kFirstFrameTimeoutMs = 90000;
constexpr int kPaintIntervalMs = 50;
constexpr int kLatencyTimerMs = 10;
constexpr int kZoomTrials = 10;
const QSize kWallDisplay(2048, 1400);
const QColor kIdleColor(40, 90, 160);
const QColor kBusyColors[] = {QColor(200, 30, 30), QColor(30, 200, 30), QColor(30, 30, 200)};

struct Options
{
    QList<int> counts;
    int perServer = 32;
    QSize paintArea{320, 180}; // empty: the whole screen
    bool wall = true;
    bool xfreerdp = true;
    bool xfreerdpGfx = false;
};

// ---- Process figures from /proc --------------------------------------------------------------------

double clockTicks()
{
    static const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return ticks;
}

// utime + stime of a process or of one thread (path …/stat), in seconds.
double cpuSecondsFromStat(const QString& path)
{
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / clockTicks();
}

double cpuSeconds(qint64 pid)
{
    return cpuSecondsFromStat(QStringLiteral("/proc/%1/stat").arg(pid));
}

double threadCpuSeconds(qint64 pid, qint64 tid)
{
    return cpuSecondsFromStat(QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(tid));
}

// A field of /proc/<pid>/<file> in kB ("VmRSS:", "Private_Dirty:", ...).
double kbField(const QString& path, const QByteArray& name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(name)) {
            return line.mid(name.size()).trimmed().split(' ').value(0).toDouble();
        }
    }
    return 0;
}

double residentMiB(qint64 pid)
{
    return kbField(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS:") / 1024.0;
}

// Pages of the process alone (not shared with any other process): what one more client really costs.
double privateMiB(qint64 pid)
{
    const QString path = QStringLiteral("/proc/%1/smaps_rollup").arg(pid);
    return (kbField(path, "Private_Clean:") + kbField(path, "Private_Dirty:")) / 1024.0;
}

// Context switches of every thread of a process: each one is a wake-up.
double contextSwitches(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    double total = 0;
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString path = tasks.filePath(tid + QStringLiteral("/status"));
        total += kbField(path, "voluntary_ctxt_switches:") + kbField(path, "nonvoluntary_ctxt_switches:");
    }
    return total;
}

// Direct children of this process.
QList<qint64> childProcesses()
{
    QList<qint64> children;
    const qint64 self = QCoreApplication::applicationPid();
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) {
            continue;
        }
        QFile stat(proc.filePath(entry + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.value(1).toLongLong() == self) {
            children.append(pid);
        }
    }
    return children;
}

double sumCpu(const QList<qint64>& pids)
{
    double total = 0;
    for (const qint64 pid : pids) {
        total += cpuSeconds(pid);
    }
    return total;
}

double sumResident(const QList<qint64>& pids)
{
    double total = 0;
    for (const qint64 pid : pids) {
        total += residentMiB(pid);
    }
    return total;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(std::lround(fraction * static_cast<double>(values.size() - 1)));
    return values[std::min(index, values.size() - 1)];
}

double maximum(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        usleep(2000);
    }
    return true;
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 24 && std::abs(a.green() - b.green()) < 24 &&
           std::abs(a.blue() - b.blue()) < 24;
}

// ---- The servers -----------------------------------------------------------------------------------

// Shadow servers on displays of their own, each serving up to perServer sessions, and a thread that
// paints their screens on request (its CPU is not counted as the client's).
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

    bool start(int sessions, int perServer, QSize paintArea, QString* error)
    {
        m_paintArea = paintArea;
        const int count = (sessions + perServer - 1) / perServer;
        const QList<qint64> before = childProcesses();
        for (int i = 0; i < count; ++i) {
            auto display = std::make_unique<TestXDisplay>();
            auto server = std::make_unique<TestRdpServer>();
            if (!display->start(error, kDesktop) || !display->paint(kIdleColor) ||
                !server->start(display->name(), {QStringLiteral("-auth")}, error)) {
                return false;
            }
            Display* painter = XOpenDisplay(display->name().toLatin1().constData());
            if (!painter) {
                *error = QStringLiteral("cannot open ") + display->name();
                return false;
            }
            m_painters.push_back(painter);
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

    int serverCount() const { return static_cast<int>(m_servers.size()); }
    quint16 portFor(int session) const { return m_servers.at(session % m_servers.size())->port(); }
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

    // CPU the painting thread has used: part of this process, not of the client under test.
    double painterCpu() const
    {
        const qint64 tid = m_painterTid.load();
        return tid > 0 ? threadCpuSeconds(QCoreApplication::applicationPid(), tid) : 0.0;
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
    std::vector<Display*> m_painters;
    QList<qint64> m_pids;
    QSize m_paintArea;
    std::thread m_thread;
    std::atomic<bool> m_painting{false};
    std::atomic<qint64> m_painterTid{0};
};

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
    double cpu = 0;        // client CPU seconds over the window
    double serverCpu = 0;  // shadow servers and their displays
    double displayCpu = 0; // the display the client draws on
    double switches = 0;
};

void printLine(const char* who, int sessions, const QString& text)
{
    std::printf("%s %2d: %s\n", who, sessions, qPrintable(text));
    std::fflush(stdout);
}

QString percentOfCore(double cpuSeconds, int sessions)
{
    const double total = cpuSeconds / kMeasureSeconds * 100.0;
    return QStringLiteral("%1 % of a core per session (%2 % in all)")
        .arg(total / sessions, 0, 'f', 2)
        .arg(total, 0, 'f', 1);
}

QString serverSummary(const Sample& window)
{
    return QStringLiteral("servers %1 % of a core, client display %2 %")
        .arg(window.serverCpu / kMeasureSeconds * 100.0, 0, 'f', 1)
        .arg(window.displayCpu / kMeasureSeconds * 100.0, 0, 'f', 1);
}

// ---- The embedded wall -----------------------------------------------------------------------------

// Notes when each tile first paints a remote frame.
class ShownWatch : public QObject
{
public:
    ShownWatch(const QList<RdpSurface*>& surfaces, const QElapsedTimer& clock)
        : m_surfaces(surfaces), m_shownMs(surfaces.size(), -1), m_paintedWidth(surfaces.size(), 0),
          m_paintedAt(surfaces.size(), 0), m_clock(clock)
    {
        for (RdpSurface* surface : surfaces) {
            surface->installEventFilter(this);
        }
    }

    int shown() const
    {
        return static_cast<int>(
            std::count_if(m_shownMs.begin(), m_shownMs.end(), [](qint64 ms) { return ms >= 0; }));
    }
    qint64 lastShownMs() const { return *std::max_element(m_shownMs.begin(), m_shownMs.end()); }
    qint64 paints() const { return m_paints; }
    // Width of the surface at its latest paint of a frame.
    int paintedWidth(RdpSurface* surface) const { return m_paintedWidth[m_surfaces.indexOf(surface)]; }
    // When it was, in nanoseconds of the watch's clock.
    qint64 paintedAt(RdpSurface* surface) const { return m_paintedAt[m_surfaces.indexOf(surface)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            const auto index = m_surfaces.indexOf(static_cast<RdpSurface*>(watched));
            if (index >= 0 && !m_surfaces.at(index)->image().isNull()) {
                ++m_paints;
                m_paintedWidth[index] = m_surfaces.at(index)->width();
                m_paintedAt[index] = m_clock.nsecsElapsed();
                if (m_shownMs[index] < 0) {
                    m_shownMs[index] = m_clock.elapsed();
                }
            }
        }
        return false;
    }

private:
    QList<RdpSurface*> m_surfaces;
    std::vector<qint64> m_shownMs;
    std::vector<int> m_paintedWidth;
    std::vector<qint64> m_paintedAt;
    const QElapsedTimer& m_clock;
    qint64 m_paints = 0;
};

int runWall(int sessions, const Options& options)
{
    ServerFarm farm;
    QString error;
    if (!farm.start(sessions, options.perServer, options.paintArea, &error)) {
        std::fprintf(stderr, "could not start the RDP servers: %s\n", qPrintable(error));
        return 1;
    }
    const qint64 self = QCoreApplication::applicationPid();
    const qint64 clientDisplay = qEnvironmentVariable("NIMBARA_BENCH_DISPLAY_PID").toLongLong();

    // Platform, fonts and style loaded before the baseline.
    {
        QWidget warm;
        warm.resize(200, 100);
        warm.show();
        runEventLoopFor(500);
    }
    runEventLoopFor(200);
    const double rssBefore = residentMiB(self);

    QList<Remote> remotes;
    for (int i = 0; i < sessions; ++i) {
        Remote remote;
        remote.id = QStringLiteral("wall-%1").arg(i);
        remote.name = QStringLiteral("host-%1").arg(i, 2, 10, QLatin1Char('0'));
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = farm.portFor(i);
        remotes.append(remote);
    }

    QElapsedTimer clock;
    clock.start();
    QPointer<ScreenWallWindow> wall = new ScreenWallWindow(remotes, kDesktop, 32, false, RdpEngine::FreeRdp);
    auto* columns = wall->findChild<QComboBox*>(QStringLiteral("columnCombo"));
    columns->setCurrentIndex(columns->findData(sessions <= 16 ? 4 : 6));
    wall->setGeometry(QRect(QPoint(0, 0), kWallDisplay));
    wall->show();

    const QList<RdpTile*> tiles = wall->tiles();
    QList<RdpSurface*> surfaces;
    std::vector<qint64> connectedMs(tiles.size(), -1);
    std::atomic<qint64> frames{0};
    for (int i = 0; i < tiles.size(); ++i) {
        surfaces.append(tiles.at(i)->findChild<RdpSurface*>());
        auto* session = tiles.at(i)->findChild<FreeRdpSession*>();
        QObject::connect(session, &FreeRdpSession::connected, wall,
                         [&connectedMs, &clock, i] { connectedMs[i] = clock.elapsed(); });
        QObject::connect(session, &FreeRdpSession::frameReady, wall, [&frames] { ++frames; });
    }
    ShownWatch shown(surfaces, clock);
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
    const qint64 lastConnected = *std::max_element(connectedMs.begin(), connectedMs.end());
    const auto connectedCount =
        std::count_if(connectedMs.begin(), connectedMs.end(), [](qint64 ms) { return ms >= 0; });
    printLine(
        "wall", sessions,
        QStringLiteral("every tile shows its first frame after %1 ms (%2 of %3; all connected after %4 ms, "
                       "%5 connected)")
            .arg(allShown ? QString::number(shown.lastShownMs()) : QStringLiteral("-"))
            .arg(shown.shown())
            .arg(sessions)
            .arg(lastConnected)
            .arg(connectedCount));
    if (!allShown) {
        delete wall;
        return 1;
    }

    runEventLoopFor(kSettleMs);
    const double rssIdle = residentMiB(self);
    printLine("wall", sessions,
              QStringLiteral("memory %1 MiB per session (process grew %2 MiB, from %3 to %4 MiB)")
                  .arg((rssIdle - rssBefore) / sessions, 0, 'f', 1)
                  .arg(rssIdle - rssBefore, 0, 'f', 1)
                  .arg(rssBefore, 0, 'f', 1)
                  .arg(rssIdle, 0, 'f', 1));

    LatencyProbe probe;
    const auto measure = [&](Sample& window) {
        const double cpu0 = cpuSeconds(self) - farm.painterCpu();
        const double server0 = sumCpu(farm.pids());
        const double display0 = clientDisplay > 0 ? cpuSeconds(clientDisplay) : 0;
        const double switches0 = contextSwitches(self);
        runEventLoopFor(kMeasureSeconds * 1000);
        window.cpu = cpuSeconds(self) - farm.painterCpu() - cpu0;
        window.serverCpu = sumCpu(farm.pids()) - server0;
        window.displayCpu = (clientDisplay > 0 ? cpuSeconds(clientDisplay) : 0) - display0;
        window.switches = contextSwitches(self) - switches0;
    };

    Sample idle;
    const qint64 framesIdle0 = frames.load();
    measure(idle);
    printLine("wall", sessions,
              QStringLiteral("idle CPU %1; %2 wake-ups/s per session; %3 frames in %4 s")
                  .arg(percentOfCore(idle.cpu, sessions))
                  .arg(idle.switches / kMeasureSeconds / sessions, 0, 'f', 1)
                  .arg(frames.load() - framesIdle0)
                  .arg(kMeasureSeconds));
    printLine("wall", sessions, QStringLiteral("idle %1").arg(serverSummary(idle)));

    farm.startPainting();
    runEventLoopFor(2000);
    Sample busy;
    const qint64 frames0 = frames.load();
    const qint64 paints0 = shown.paints();
    const double gui0 = threadCpuSeconds(self, self);
    probe.start();
    measure(busy);
    probe.stop();
    const double gui = threadCpuSeconds(self, self) - gui0;
    printLine("wall", sessions,
              QStringLiteral("busy CPU %1; GUI thread %2 % of a core")
                  .arg(percentOfCore(busy.cpu, sessions))
                  .arg(gui / kMeasureSeconds * 100.0, 0, 'f', 1));
    printLine(
        "wall", sessions,
        QStringLiteral("busy frames %1 per session per s, tile paints %2 per session per s")
            .arg(static_cast<double>(frames.load() - frames0) / kMeasureSeconds / sessions, 0, 'f', 1)
            .arg(static_cast<double>(shown.paints() - paints0) / kMeasureSeconds / sessions, 0, 'f', 1));
    printLine("wall", sessions, QStringLiteral("busy 10 ms timer lateness %1").arg(probe.summary()));
    printLine("wall", sessions, QStringLiteral("busy %1").arg(serverSummary(busy)));

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
    probe.start();
    for (int trial = 0; trial < kZoomTrials; ++trial) {
        RdpTile* tile = tiles.at((trial * 7) % tiles.size());
        RdpSurface* surface = tile->findChild<RdpSurface*>();
        const int smallWidth = surface->width();

        QElapsedTimer answer;
        answer.start();
        const qint64 zoomStart = clock.nsecsElapsed();
        const QPointF centre = QRectF(surface->rect()).center();
        QMouseEvent click(QEvent::MouseButtonDblClick, centre, surface->mapToGlobal(centre), Qt::LeftButton,
                          Qt::LeftButton, Qt::ControlModifier);
        QCoreApplication::sendEvent(surface, &click);
        zoomClicks.push_back(static_cast<double>(answer.nsecsElapsed()) / 1e6);
        bool answered = false;
        QMetaObject::invokeMethod(
            wall, [&answered] { answered = true; }, Qt::QueuedConnection);
        waitUntil([&] { return answered; }, 10000);
        zoomAnswers.push_back(static_cast<double>(answer.nsecsElapsed()) / 1e6);
        if (wall->zoomedTile() != tile) {
            std::printf("zoom did not take effect\n");
        }
        // The zoomed tile repainted at its new size.
        waitUntil([&] { return shown.paintedWidth(surface) > smallWidth; }, 10000);
        zoomPainted.push_back(static_cast<double>(shown.paintedAt(surface) - zoomStart) / 1e6);
        runEventLoopFor(500);

        QElapsedTimer back;
        back.start();
        if (restore) {
            restore->trigger();
        }
        answered = false;
        QMetaObject::invokeMethod(
            wall, [&answered] { answered = true; }, Qt::QueuedConnection);
        waitUntil([&] { return answered; }, 10000);
        restoreAnswers.push_back(static_cast<double>(back.nsecsElapsed()) / 1e6);
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
    const double rssBusy = residentMiB(self);
    farm.stopPainting();
    runEventLoopFor(kSettleMs);
    printLine("wall", sessions,
              QStringLiteral("memory after the busy period %1 MiB per session, %2 MiB once idle again")
                  .arg((rssBusy - rssBefore) / sessions, 0, 'f', 1)
                  .arg((residentMiB(self) - rssBefore) / sessions, 0, 'f', 1));

    wall->close();
    waitUntil([&] { return wall.isNull(); }, 10000);
    return 0;
}

// ---- xfreerdp --------------------------------------------------------------------------------------

constexpr int kXfreerdpColumns = 8;

QPoint slotOrigin(int index)
{
    return {(index % kXfreerdpColumns) * kDesktop.width(), (index / kXfreerdpColumns) * kDesktop.height()};
}

// The top-level window a process has created on the display, by its _NET_WM_PID.
unsigned long windowOfProcess(Display* display, qint64 pid)
{
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == 0) {
        return 0;
    }
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        return 0;
    }
    unsigned long found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                               &items, &after, &data) == Success &&
            data) {
            if (items == 1 && static_cast<qint64>(*reinterpret_cast<unsigned long*>(data)) == pid) {
                found = children[i];
            }
            XFree(data);
        }
    }
    if (children) {
        XFree(children);
    }
    return found;
}

// The centre pixel of every client's slot, one image request per row of slots.
std::vector<QColor> slotCentres(Display* display, int sessions)
{
    std::vector<QColor> colours(sessions);
    const int rows = (sessions + kXfreerdpColumns - 1) / kXfreerdpColumns;
    for (int row = 0; row < rows; ++row) {
        const int first = row * kXfreerdpColumns;
        const int inRow = std::min(kXfreerdpColumns, sessions - first);
        XImage* image =
            XGetImage(display, DefaultRootWindow(display), 0, row * kDesktop.height() + kDesktop.height() / 2,
                      static_cast<unsigned>(inRow * kDesktop.width()), 1, AllPlanes, ZPixmap);
        if (!image) {
            continue;
        }
        for (int i = 0; i < inRow; ++i) {
            const unsigned long value = XGetPixel(image, i * kDesktop.width() + kDesktop.width() / 2, 0);
            colours[first + i] = QColor(static_cast<QRgb>(value & 0xFFFFFFU));
        }
        XDestroyImage(image);
    }
    return colours;
}

int runXfreerdp(int sessions, const Options& options)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xfreerdp"));
    if (program.isEmpty()) {
        std::printf("xfreerdp %2d: not measured (not installed)\n", sessions);
        return 0;
    }
    ServerFarm farm;
    QString error;
    if (!farm.start(sessions, options.perServer, options.paintArea, &error)) {
        std::fprintf(stderr, "could not start the RDP servers: %s\n", qPrintable(error));
        return 1;
    }
    // All clients side by side on one display, so that every client's pixels can be watched.
    TestXDisplay clientDisplay;
    const QList<qint64> beforeDisplay = childProcesses();
    const int rows = (sessions + kXfreerdpColumns - 1) / kXfreerdpColumns;
    if (!clientDisplay.start(&error, QSize(kDesktop.width() * std::min(sessions, kXfreerdpColumns),
                                           kDesktop.height() * rows))) {
        std::fprintf(stderr, "no client display: %s\n", qPrintable(error));
        return 1;
    }
    qint64 displayPid = 0;
    for (const qint64 pid : childProcesses()) {
        if (!beforeDisplay.contains(pid)) {
            displayPid = pid;
        }
    }
    Display* display = XOpenDisplay(clientDisplay.name().toLatin1().constData());
    if (!display) {
        std::fprintf(stderr, "cannot open the client display\n");
        return 1;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), clientDisplay.name());
    env.insert(QStringLiteral("WLOG_LEVEL"), QStringLiteral("ERROR"));
    std::vector<std::unique_ptr<QProcess>> clients;
    std::vector<qint64> pids;
    std::vector<unsigned long> windows(sessions, 0);
    std::vector<qint64> shownMs(sessions, -1);
    QElapsedTimer clock;
    clock.start();
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
        pids.push_back(client->processId());
        clients.push_back(std::move(client));
    }
    const bool allShown = waitUntil(
        [&] {
            for (int i = 0; i < sessions; ++i) {
                if (windows[i] == 0) {
                    windows[i] = windowOfProcess(display, pids[i]);
                    if (windows[i] != 0) {
                        const QPoint origin = slotOrigin(i);
                        XMoveWindow(display, windows[i], origin.x(), origin.y());
                        XSync(display, False);
                    }
                }
            }
            const std::vector<QColor> colours = slotCentres(display, sessions);
            int count = 0;
            for (int i = 0; i < sessions; ++i) {
                if (shownMs[i] < 0 && windows[i] != 0 && near(colours[i], kIdleColor)) {
                    shownMs[i] = clock.elapsed();
                }
                count += shownMs[i] >= 0 ? 1 : 0;
            }
            return count == sessions;
        },
        kFirstFrameTimeoutMs);
    const auto shownCount = std::count_if(shownMs.begin(), shownMs.end(), [](qint64 ms) { return ms >= 0; });
    printLine("xfreerdp", sessions,
              QStringLiteral("%1 servers%2; every client shows its first frame after %3 ms (%4 of %5)")
                  .arg(farm.serverCount())
                  .arg(options.xfreerdpGfx ? QStringLiteral(", graphics pipeline") : QString())
                  .arg(allShown ? QString::number(*std::max_element(shownMs.begin(), shownMs.end()))
                                : QStringLiteral("-"))
                  .arg(shownCount)
                  .arg(sessions));

    if (allShown) {
        runEventLoopFor(kSettleMs);
        const QList<qint64> clientPids(pids.begin(), pids.end());
        double resident = 0;
        double own = 0;
        for (const qint64 pid : pids) {
            resident += residentMiB(pid);
            own += privateMiB(pid);
        }
        printLine("xfreerdp", sessions,
                  QStringLiteral("memory %1 MiB resident per client, %2 MiB of it its own (not shared)")
                      .arg(resident / sessions, 0, 'f', 1)
                      .arg(own / sessions, 0, 'f', 1));

        const auto measure = [&](Sample& window, std::vector<int>* changes) {
            const double cpu0 = sumCpu(clientPids);
            const double server0 = sumCpu(farm.pids());
            const double display0 = cpuSeconds(displayPid);
            double switches0 = 0;
            for (const qint64 pid : pids) {
                switches0 += contextSwitches(pid);
            }
            std::vector<QColor> last = slotCentres(display, sessions);
            QElapsedTimer window_clock;
            window_clock.start();
            while (window_clock.elapsed() < kMeasureSeconds * 1000) {
                usleep(20000);
                if (changes) {
                    const std::vector<QColor> now = slotCentres(display, sessions);
                    for (int i = 0; i < sessions; ++i) {
                        if (now[i] != last[i]) {
                            ++(*changes)[i];
                        }
                    }
                    last = now;
                }
            }
            window.cpu = sumCpu(clientPids) - cpu0;
            window.serverCpu = sumCpu(farm.pids()) - server0;
            window.displayCpu = cpuSeconds(displayPid) - display0;
            double switches = 0;
            for (const qint64 pid : pids) {
                switches += contextSwitches(pid);
            }
            window.switches = switches - switches0;
        };

        Sample idle;
        measure(idle, nullptr);
        printLine("xfreerdp", sessions,
                  QStringLiteral("idle CPU %1; %2 wake-ups/s per client")
                      .arg(percentOfCore(idle.cpu, sessions))
                      .arg(idle.switches / kMeasureSeconds / sessions, 0, 'f', 1));
        printLine("xfreerdp", sessions, QStringLiteral("idle %1").arg(serverSummary(idle)));

        farm.startPainting();
        runEventLoopFor(2000);
        Sample busy;
        std::vector<int> changes(sessions, 0);
        measure(busy, &changes);
        printLine("xfreerdp", sessions,
                  QStringLiteral("busy CPU %1; about %2 new frames per client per s (sampled every 20 ms)")
                      .arg(percentOfCore(busy.cpu, sessions))
                      .arg(static_cast<double>(std::accumulate(changes.begin(), changes.end(), 0)) /
                               kMeasureSeconds / sessions,
                           0, 'f', 1));
        printLine("xfreerdp", sessions, QStringLiteral("busy %1").arg(serverSummary(busy)));
        const double residentBusy = sumResident(clientPids);
        farm.stopPainting();
        runEventLoopFor(kSettleMs);
        printLine(
            "xfreerdp", sessions,
            QStringLiteral("memory after the busy period %1 MiB resident per client, %2 MiB once idle again")
                .arg(residentBusy / sessions, 0, 'f', 1)
                .arg(sumResident(clientPids) / sessions, 0, 'f', 1));
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
    XCloseDisplay(display);
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
    QTemporaryDir root;
    ScopedEnvironment env;
    isolateProcess(env, root.path());
    silenceFreeRdpLog(env);
    spdlog::set_level(spdlog::level::warn);
    if (what == QLatin1String("wall")) {
        QApplication application(argc, argv);
        return runWall(sessions, parseOptions(application.arguments().mid(3)));
    }
    QCoreApplication application(argc, argv);
    return runXfreerdp(sessions, parseOptions(application.arguments().mid(3)));
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
    const QStringList passOn = arguments.mid(1);
    std::printf(
        "%d sessions per shadow server, paint %s every %d ms, desktops %dx%d\n", options.perServer,
        options.paintArea.isEmpty()
            ? "the whole screen"
            : qPrintable(
                  QStringLiteral("%1x%2").arg(options.paintArea.width()).arg(options.paintArea.height())),
        kPaintIntervalMs, kDesktop.width(), kDesktop.height());
    std::fflush(stdout);

    int failures = 0;
    for (const int sessions : options.counts) {
        QList<QPair<QString, bool>> runs{{QStringLiteral("wall"), options.wall},
                                         {QStringLiteral("xfreerdp"), options.xfreerdp}};
        for (const auto& [what, enabled] : runs) {
            if (!enabled) {
                continue;
            }
            // The wall draws on a display of its own, through the platform's usual X11 path.
            TestXDisplay display;
            QString error;
            const QList<qint64> before = childProcesses();
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (what == QLatin1String("wall")) {
                if (!display.start(&error, kWallDisplay)) {
                    std::fprintf(stderr, "no display for the wall: %s\n", qPrintable(error));
                    return 1;
                }
                for (const qint64 pid : childProcesses()) {
                    if (!before.contains(pid)) {
                        env.insert(QStringLiteral("NIMBARA_BENCH_DISPLAY_PID"), QString::number(pid));
                    }
                }
                env.insert(QStringLiteral("DISPLAY"), display.name());
                if (!env.contains(QStringLiteral("QT_QPA_PLATFORM"))) {
                    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
                }
            }
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        QStringList{QStringLiteral("--run"), what, QString::number(sessions)} + passOn);
            child.waitForFinished(-1);
            if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
                std::printf("%s %2d: run failed\n", qPrintable(what), sessions);
                ++failures;
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
