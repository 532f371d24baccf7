// What the clipboard channel costs a wall: N embedded sessions against a real RDP server that offers
// the clipboard channel (FreeRDP's server library, in a process of its own), once with [share]
// clipboard off and once with it on, each in a fresh process drawing on a private X display. Memory is
// the whole process's PSS and private memory (smaps_rollup) once every tile shows its first frame and
// the wall has rested; with the clipboard on, one tile is then made the active one and a text copied on
// the server reaches the local clipboard before memory is read again.
//
//   bench_session_channels [sessions, default 32] [--runs N, default 3]

#include "process_figures.h"
#include "rdp/freerdp_session.h"
#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "support/rdp_channel_server.h"
#include "support/rdp_test_server.h"
#include "wall/screen_wall_window.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

using namespace ProcessFigures;

const QSize kDesktop(1280, 720);
const QSize kWallDisplay(2048, 1400);
constexpr int kConnectTimeoutMs = 90000;
constexpr int kRestMs = 3000;
constexpr char kPortVariable[] = "NIMBARA_BENCH_CHANNEL_PORT";

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        runEventLoopFor(20);
    }
    return true;
}

// The server process: serves until its standard input closes.
int serve()
{
    QCoreApplication::setApplicationName(QStringLiteral("bench_session_channels"));
    TestChannelRdpServer server;
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "server: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        server.setRemoteText(QString::fromStdString(line));
    }
    return 0;
}

// One measured process: `sessions` tiles with the clipboard on or off.
int measure(int sessions, bool clipboard)
{
    const quint16 port = static_cast<quint16>(qEnvironmentVariableIntValue(kPortVariable));
    const qint64 self = QCoreApplication::applicationPid();
    const Memory before = memory(self);

    RdpSessionOptions options;
    options.clipboard = clipboard;
    options.clipboardFiles = clipboard;
    options.printers = false;
    options.audio = AudioMode::None;
    options.reconnect = false;
    QList<Remote> remotes;
    for (int i = 0; i < sessions; ++i) {
        Remote remote;
        remote.id = QStringLiteral("wall-%1").arg(i);
        remote.name = QStringLiteral("host-%1").arg(i, 2, 10, QLatin1Char('0'));
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = port;
        remote.username = QStringLiteral("bench");
        remote.password = QStringLiteral("bench");
        remotes.append(remote);
    }
    auto* wall = new ScreenWallWindow(remotes, kDesktop, 32, false, RdpEngine::FreeRdp, nullptr,
                                      [&options](const Remote& remote, QSize size, int depth, QWidget* parent,
                                                 RdpEngine engine, bool mixed) {
                                          auto* tile =
                                              new RdpTile(remote, size, depth, parent, engine, mixed);
                                          tile->setSessionOptions(options);
                                          return tile;
                                      });
    wall->setGeometry(QRect(QPoint(0, 0), kWallDisplay));
    wall->show();
    const QList<RdpTile*> tiles = wall->tiles();
    const bool shown = waitUntil(
        [&] {
            return std::all_of(tiles.begin(), tiles.end(), [](RdpTile* tile) {
                const auto* surface = tile->findChild<RdpSurface*>();
                return surface && !surface->picture().isNull();
            });
        },
        kConnectTimeoutMs);
    if (!shown) {
        std::fprintf(stderr, "not every tile showed its first frame\n");
        return 1;
    }
    runEventLoopFor(kRestMs);
    const Memory idle = memory(self) - before;
    std::printf("clipboard %-3s %2d: idle, added by the wall per session PSS %.2f MiB, private %.2f MiB\n",
                clipboard ? "on" : "off", sessions, idle.pss / sessions, idle.privateMiB / sessions);
    if (clipboard) {
        // The first tile becomes the active one and takes a copy from its server.
        auto* session = tiles.first()->findChild<FreeRdpSession*>();
        session->setClipboardActive(true);
        std::fprintf(stdout, "\n@copy\n");
        std::fflush(stdout);
        if (!waitUntil(
                [] { return QGuiApplication::clipboard()->text() == QStringLiteral("copied on the server"); },
                30000)) {
            std::fprintf(stderr, "the copy did not arrive\n");
            return 1;
        }
        runEventLoopFor(kRestMs);
        const Memory used = memory(self) - before;
        std::printf("clipboard %-3s %2d: after a copy, added per session PSS %.2f MiB, private %.2f MiB\n",
                    "on", sessions, used.pss / sessions, used.privateMiB / sessions);
    }
    std::printf("\n@result %d %.4f %.4f\n", clipboard ? 1 : 0, idle.pss / sessions,
                idle.privateMiB / sessions);
    std::fflush(stdout);
    delete wall;
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 2 && qstrcmp(argv[1], "--serve") == 0) {
        QCoreApplication application(argc, argv);
        return serve();
    }
    if (argc >= 4 && qstrcmp(argv[1], "--run") == 0) {
        QApplication application(argc, argv);
        spdlog::set_level(spdlog::level::warn);
        return measure(std::atoi(argv[2]), qstrcmp(argv[3], "on") == 0);
    }

    QCoreApplication application(argc, argv);
    int sessions = 32;
    int runs = 3;
    const QStringList arguments = application.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--runs") && i + 1 < arguments.size()) {
            runs = std::max(1, arguments.at(++i).toInt());
        } else if (arguments.at(i).toInt() > 0) {
            sessions = arguments.at(i).toInt();
        }
    }

    TestXDisplay display;
    QString error;
    if (!display.start(&error, kWallDisplay)) {
        std::fprintf(stderr, "no display: %s\n", qPrintable(error));
        return 1;
    }
    QList<double> added[2];
    int failures = 0;
    for (int run = 0; run < runs; ++run) {
        for (const bool clipboard : {false, true}) {
            // A fresh server for every measurement: no peer of an earlier one is left in it.
            QProcess server;
            server.setReadChannel(QProcess::StandardOutput);
            server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve")});
            QByteArray port;
            while (port.toUInt() == 0) {
                if (!server.canReadLine() && !server.waitForReadyRead(30000)) {
                    std::fprintf(stderr, "the server did not start\n");
                    return 1;
                }
                port = server.readLine().trimmed();
            }
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QLatin1String(kPortVariable), QString::fromLatin1(port));
            env.insert(QStringLiteral("DISPLAY"), display.name());
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            env.insert(QStringLiteral("WLOG_LEVEL"), QStringLiteral("OFF"));
            QProcess child;
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--run"), QString::number(sessions),
                         clipboard ? QStringLiteral("on") : QStringLiteral("off")});
            while (child.state() != QProcess::NotRunning) {
                if (!child.waitForReadyRead(120000)) {
                    break;
                }
                while (child.canReadLine()) {
                    const QByteArray line = child.readLine();
                    if (line.trimmed() == "@copy") {
                        server.write("copied on the server\n");
                        server.waitForBytesWritten(5000);
                    } else if (line.startsWith("@result ")) {
                        const QList<QByteArray> parts = line.trimmed().split(' ');
                        added[parts.value(1).toInt()].append(parts.value(2).toDouble());
                    } else {
                        std::fputs(line.constData(), stdout);
                    }
                }
            }
            child.waitForFinished(30000);
            if (child.exitCode() != 0) {
                ++failures;
            }
            server.closeWriteChannel();
            if (!server.waitForFinished(10000)) {
                server.kill();
                server.waitForFinished(3000);
            }
        }
    }
    if (!added[0].isEmpty() && added[0].size() == added[1].size()) {
        QStringList deltas;
        for (qsizetype i = 0; i < added[0].size(); ++i) {
            deltas.append(QString::number(added[1].at(i) - added[0].at(i), 'f', 2));
        }
        printSummary(
            QStringLiteral("clipboard channel, added PSS per session (on − off), %1 sessions").arg(sessions),
            deltas.join(QStringLiteral(", ")) + QStringLiteral(" MiB"));
    }
    return failures == 0 ? 0 : 1;
}
