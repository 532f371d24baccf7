// One embedded FreeRDP session against a real RDP server (freerdp-shadow-cli on a private Xvfb), and
// the system client xfreerdp against the same server: idle CPU, added memory, and the time from a
// paint on the server's display to the frame that shows it. Prints one line per figure.

#include "rdp/freerdp_session.h"
#include "support/rdp_test_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kIdleSeconds = 10;
const QSize kDesktop(1280, 720);

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSecondsSelf()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Resident memory of a process in MiB, from /proc.
double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return 0;
}

// CPU seconds a child process has used, from /proc/<pid>/stat (utime + stime).
double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / ticks;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) < 16 && std::abs(a.green() - b.green()) < 16 &&
           std::abs(a.blue() - b.blue()) < 16;
}

bool frameShows(const QImage& frame, const QColor& color)
{
    return !frame.isNull() && QColor(frame.pixel(frame.width() / 2, frame.height() / 2)).rgb() == color.rgb();
}

void measureEmbedded(TestXDisplay& display, quint16 port)
{
    Remote remote;
    remote.id = QStringLiteral("bench");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;

    const double rssBefore = residentMiB(QCoreApplication::applicationPid());
    FreeRdpSession session;
    QImage lastFrame;
    QElapsedTimer sincePaint;
    QColor awaited;
    std::vector<double> latencies;
    QObject::connect(&session, &FreeRdpSession::frameReady, [&](const QImage& frame) {
        lastFrame = frame;
        if (awaited.isValid() && frameShows(frame, awaited)) {
            latencies.push_back(static_cast<double>(sincePaint.nsecsElapsed()) / 1e6);
            awaited = QColor();
        }
    });
    bool up = false;
    QObject::connect(&session, &FreeRdpSession::connected, [&] { up = true; });
    if (!session.start(remote, kDesktop, true, false, 32)) {
        std::printf("embedded session did not start\n");
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (!up && waited.elapsed() < 20000) {
        runEventLoopFor(50);
    }
    if (!up) {
        std::printf("embedded session did not connect\n");
        return;
    }
    runEventLoopFor(1000);
    std::printf("embedded: server desktop %dx%d\n", lastFrame.width(), lastFrame.height());

    const double cpuBefore = cpuSecondsSelf();
    runEventLoopFor(kIdleSeconds * 1000);
    const double idleCpu = (cpuSecondsSelf() - cpuBefore) / kIdleSeconds * 100.0;
    const double rssAfter = residentMiB(QCoreApplication::applicationPid());

    const QColor colors[] = {QColor(200, 30, 30), QColor(30, 200, 30), QColor(30, 30, 200)};
    for (int i = 0; i < 21; ++i) {
        awaited = colors[i % 3];
        sincePaint.start();
        display.paint(awaited);
        waited.restart();
        while (awaited.isValid() && waited.elapsed() < 2000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        runEventLoopFor(120);
    }
    session.stop();
    std::printf("embedded: idle CPU %.2f %% of a core over %d s\n", idleCpu, kIdleSeconds);
    std::printf("embedded: memory added by the connected session %.1f MiB\n", rssAfter - rssBefore);
    std::printf(
        "embedded: paint to frameReady median %.1f ms, worst %.1f ms (%zu of 21 seen)\n", median(latencies),
        latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()), latencies.size());
}

void measureSystemClient(TestXDisplay& serverDisplay, quint16 port)
{
    const QString xfreerdp = QStandardPaths::findExecutable(QStringLiteral("xfreerdp"));
    TestXDisplay clientDisplay;
    QString error;
    if (xfreerdp.isEmpty() || !clientDisplay.start(&error, QSize(1400, 900))) {
        std::printf("xfreerdp: not measured (%s)\n", qPrintable(error));
        return;
    }
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), clientDisplay.name());
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::MergedChannels);
    // Its log goes to a pipe, fully buffered unless stdbuf makes it line-buffered.
    client.start(QStringLiteral("stdbuf"),
                 {QStringLiteral("-oL"), xfreerdp, QStringLiteral("/v:127.0.0.1"),
                  QStringLiteral("/port:%1").arg(port), QStringLiteral("/size:1280x720"),
                  QStringLiteral("/cert:ignore"), QStringLiteral("/log-level:INFO")});
    client.waitForStarted(5000);
    QByteArray log;
    QElapsedTimer waited;
    waited.start();
    while (!log.contains("framebuffer format") && waited.elapsed() < 20000 &&
           client.state() == QProcess::Running) {
        client.waitForReadyRead(200);
        log += client.readAll();
    }
    if (!log.contains("framebuffer format")) {
        std::printf("xfreerdp: did not connect\n");
        client.kill();
        client.waitForFinished(3000);
        return;
    }
    runEventLoopFor(1000);
    // stdbuf execs the client, so the pid is the client's own.
    const double cpuBefore = cpuSecondsOf(client.processId());
    runEventLoopFor(kIdleSeconds * 1000);
    const double idleCpu = (cpuSecondsOf(client.processId()) - cpuBefore) / kIdleSeconds * 100.0;
    std::printf("xfreerdp: idle CPU %.2f %% of a core over %d s\n", idleCpu, kIdleSeconds);
    std::printf("xfreerdp: resident memory of the whole client %.1f MiB\n", residentMiB(client.processId()));

    // The client draws into its own display: poll the pixel at the middle of its window.
    const QPoint probe(640, 360);
    std::vector<double> latencies;
    const QColor colors[] = {QColor(200, 30, 30), QColor(30, 200, 30), QColor(30, 30, 200)};
    for (int i = 0; i < 21; ++i) {
        const QColor awaited = colors[i % 3];
        QElapsedTimer sincePaint;
        sincePaint.start();
        serverDisplay.paint(awaited);
        while (sincePaint.elapsed() < 2000) {
            // xfreerdp negotiates a lossy codec here, so the colour only comes close.
            if (near(clientDisplay.pixel(probe), awaited)) {
                latencies.push_back(static_cast<double>(sincePaint.nsecsElapsed()) / 1e6);
                break;
            }
            usleep(1000);
        }
        runEventLoopFor(120);
    }
    std::printf("xfreerdp: paint to pixel on its display median %.1f ms (%zu of 21 seen)\n",
                median(latencies), latencies.size());
    client.terminate();
    client.waitForFinished(3000);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    TestXDisplay display;
    TestRdpServer server;
    QString error;
    if (!display.start(&error, kDesktop) || !display.paint(QColor(40, 90, 160)) ||
        !server.start(display.name(), {QStringLiteral("-auth")}, &error)) {
        std::fprintf(stderr, "could not start the RDP server: %s\n", qPrintable(error));
        return 1;
    }
    measureEmbedded(display, server.port());
    measureSystemClient(display, server.port());
    return 0;
}
