#include "wall/screen_wall_window.h"

#include "rdp/freerdp_session.h"
#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "support/log_capture.h"
#include "support/modal_driver.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHostAddress>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <list>
#include <utility>

namespace {

constexpr int kPeerTimeoutMs = 20000;
// Input reaches a connected display within milliseconds; this only bounds a failure.
constexpr int kInputTimeoutMs = 10000;
// What a session logs when its stop had to leave the worker behind, and when a stop ended an attempt.
const QString kWorkerLeftBehind = QStringLiteral("工作线程未能及时结束");
const QString kAttemptCancelled = QStringLiteral("FreeRDP 连接已取消");
constexpr int kWorkerExitTimeoutMs = 5000;
constexpr int kHosts = 3;
const QSize kDisplaySize(800, 600);

bool closeTo(QRgb actual, QColor expected)
{
    return qAbs(qRed(actual) - expected.red()) <= 8 && qAbs(qGreen(actual) - expected.green()) <= 8 &&
           qAbs(qBlue(actual) - expected.blue()) <= 8;
}

// Threads of this process, without the pool Qt starts for scaling images: it comes and goes on its own.
// Threads FreeRDP starts inherit the name of the session's worker and are counted.
qsizetype threadCount()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::count_if(ids.begin(), ids.end(), [&tasks](const QString& id) {
        return readFile(tasks.filePath(id + QStringLiteral("/comm"))).trimmed() != "Thread (pooled)";
    });
}

QString statusText(const RdpTile* tile)
{
    return tile->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

FreeRdpSession* sessionOf(const RdpTile* tile)
{
    return tile->findChild<FreeRdpSession*>();
}

// The tile's picture: the frame as scaled for it.
QImage frameOf(const RdpTile* tile)
{
    return tile->findChild<RdpSurface*>()->picture();
}

// A failed attempt ends as "已断开"; the reason stays on the surface and in the status tooltip.
bool showsFailure(const RdpTile* tile, const QString& reason)
{
    const auto* status = tile->findChild<QLabel*>(QStringLiteral("statusLabel"));
    const auto* surface = tile->findChild<RdpSurface*>();
    return !tile->isActive() && status->text() == QStringLiteral("已断开") && status->toolTip() == reason &&
           surface->text().startsWith(QStringLiteral("连接失败\n") + reason) && surface->picture().isNull();
}

bool shows(const RdpTile* tile, QColor color)
{
    const QImage image = frameOf(tile);
    return statusText(tile) == QStringLiteral("已连接") && !image.isNull() &&
           closeTo(image.pixel(image.rect().center()), color);
}

// One spy per object, on the same signal.
template <typename Object, typename Signal>
std::list<QSignalSpy> spyEach(const QList<Object*>& objects, Signal signal)
{
    std::list<QSignalSpy> spies;
    for (Object* object : objects) {
        spies.emplace_back(object, signal);
    }
    return spies;
}

QList<qsizetype> counts(const std::list<QSignalSpy>& spies)
{
    QList<qsizetype> result;
    for (const QSignalSpy& spy : spies) {
        result.append(spy.size());
    }
    return result;
}

QList<FreeRdpSession*> sessionsOf(const QList<RdpTile*>& tiles)
{
    QList<FreeRdpSession*> sessions;
    for (const RdpTile* tile : tiles) {
        sessions.append(sessionOf(tile));
    }
    return sessions;
}

QAction* actionNamed(const QWidget* window, const QString& text)
{
    for (QAction* action : window->findChildren<QAction*>()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

Remote loopbackRemote(const QString& id, int port)
{
    Remote remote;
    remote.id = id;
    remote.name = QStringLiteral("主机 ") + id;
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;
    return remote;
}

// A real tile that also notes the desktop size of every session it starts and the input it sends.
class ProbeTile : public RdpTile
{
public:
    using RdpTile::RdpTile;

    QList<QSize> startedSizes;
    QList<InputEvent> input;

protected:
    bool startFreeRdp(const Remote& target, QSize desktopSize, bool ignoreCertificate, bool legacySecurity,
                      int colorDepth) override
    {
        startedSizes.append(desktopSize);
        return RdpTile::startFreeRdp(target, desktopSize, ignoreCertificate, legacySecurity, colorDepth);
    }

    void sendFreeRdpInput(const InputEvent& event) override
    {
        input.append(event);
        RdpTile::sendFreeRdpInput(event);
    }
};

ScreenWallWindow::TileFactory probeFactory()
{
    return [](const Remote& remote, QSize size, int depth, QWidget* parent, RdpEngine engine, bool mixed) {
        return new ProbeTile(remote, size, depth, parent, engine, mixed);
    };
}

// A loopback server that hangs up on every client at once, or accepts and never answers. The sockets
// are its children and go with it.
class LoopbackServer : public QTcpServer
{
public:
    explicit LoopbackServer(bool hangUp)
    {
        connect(this, &QTcpServer::newConnection, this, [this, hangUp] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                ++accepted;
                if (hangUp) {
                    socket->abort();
                }
            }
        });
    }

    int accepted = 0;
};

} // namespace

// The screen wall against real RDP servers: freerdp-shadow-cli instances, each sharing a private X
// display of its own, so that every tile's frames and keys can be told apart.
class TestScreenWallPeer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    ScopedEnvironment m_env;
    std::array<TestXDisplay, kHosts> m_displays;
    std::array<TestRdpServer, kHosts> m_servers;
    std::array<QColor, kHosts> m_colors;
    QString m_skipReason;
    QPointer<ScreenWallWindow> m_wall;
    qsizetype m_threadsAtStart = 0;

    void paint(int display, QColor color)
    {
        m_colors[display] = color;
        QVERIFY(m_displays[display].paint(color));
    }

    QList<Remote> peerRemotes() const
    {
        QList<Remote> remotes;
        for (int i = 0; i < kHosts; ++i) {
            remotes.append(loopbackRemote(QStringLiteral("peer-%1").arg(i), m_servers[i].port()));
        }
        return remotes;
    }

    ScreenWallWindow* openWall(const QList<Remote>& remotes, ScreenWallWindow::TileFactory factory = {})
    {
        m_wall = new ScreenWallWindow(remotes, QSize(1280, 720), 32, false, RdpEngine::FreeRdp, nullptr,
                                      std::move(factory));
        m_wall->show();
        return m_wall;
    }

    // A wall of the peers whose tiles all show their desktops; input seen so far is dropped.
    bool openPeerWall(ScreenWallWindow::TileFactory factory = {})
    {
        openWall(peerRemotes(), std::move(factory));
        const bool ready = QTest::qWaitFor([this] { return showsEveryDesktop(m_wall); }, kPeerTimeoutMs);
        for (TestXDisplay& display : m_displays) {
            display.takeInput();
        }
        return ready;
    }

    // Every tile of the wall is connected and shows the desktop of its own display.
    bool showsEveryDesktop(const ScreenWallWindow* wall) const
    {
        const QList<RdpTile*> tiles = wall->tiles();
        for (int i = 0; i < tiles.size(); ++i) {
            if (i >= kHosts || !tiles.at(i)->isActive() || !shows(tiles.at(i), m_colors[i])) {
                return false;
            }
        }
        return tiles.size() == kHosts;
    }

    // Input seen on one display until `count` events have arrived: "+code" / "-code" for keys,
    // "b+n" / "b-n" for buttons.
    QStringList inputSeen(int display, qsizetype count)
    {
        QStringList seen;
        (void)QTest::qWaitFor(
            [&] {
                for (const TestXDisplay::InputSeen& event : m_displays[display].takeInput()) {
                    static const char* const kinds[] = {"b+", "b-", "+", "-"};
                    seen.append(QLatin1String(kinds[event.type]) + QString::number(event.detail));
                }
                return seen.size() >= count;
            },
            kInputTimeoutMs);
        return seen;
    }

    // A combination as the remote display must see it: pressed in order, released in reverse.
    QStringList combination(std::initializer_list<unsigned long> keysyms) const
    {
        QStringList presses;
        QStringList releases;
        for (const unsigned long keysym : keysyms) {
            const unsigned code = m_displays[0].keycode(keysym);
            presses.append(QStringLiteral("+%1").arg(code));
            releases.prepend(QStringLiteral("-%1").arg(code));
        }
        return presses + releases;
    }

    // Closes the wall and checks that it and every worker thread are gone. Every session's worker ends
    // within close(): none is left behind to finish later. What was logged during close() goes to
    // `logged`.
    void closeWall(qsizetype threadsBefore, QString* logged = nullptr)
    {
        QVERIFY(m_wall);
        {
            LogCapture log;
            QVERIFY(m_wall->close());
            if (logged) {
                *logged = log.text();
            }
            QVERIFY2(!log.contains(kWorkerLeftBehind), qPrintable(log.text()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_wall.isNull(), kWorkerExitTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, kWorkerExitTimeoutMs);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        isolateProcess(m_env, m_root.path());
        silenceFreeRdpLog(m_env);
        const std::array<QColor, kHosts> colors = {QColor(220, 40, 40), QColor(40, 200, 70),
                                                   QColor(40, 90, 230)};
        QString error;
        for (int i = 0; i < kHosts && m_skipReason.isEmpty(); ++i) {
            if (!m_displays[i].start(&error, kDisplaySize)) {
                m_skipReason = QStringLiteral("no X display: ") + error;
            } else if (!m_servers[i].start(m_displays[i].name(), {QStringLiteral("-auth")}, &error)) {
                m_skipReason = QStringLiteral("no RDP server: ") + error;
            } else {
                paint(i, colors[i]);
            }
        }
    }

    void init()
    {
        if (!m_skipReason.isEmpty()) {
            QSKIP(qPrintable(m_skipReason));
        }
        m_threadsAtStart = threadCount();
    }

    void cleanup()
    {
        // A failed test must not leave its wall and sessions to the next one.
        if (m_wall) {
            m_wall->close();
            QTRY_VERIFY_WITH_TIMEOUT(m_wall.isNull(), kWorkerExitTimeoutMs);
        }
        // Workers end shortly after their wall; the next test counts threads from a settled state.
        (void)QTest::qWaitFor([this] { return threadCount() <= m_threadsAtStart; }, kWorkerExitTimeoutMs);
    }

    void cleanupTestCase()
    {
        for (int i = 0; i < kHosts; ++i) {
            m_servers[i].stop();
            m_displays[i].stop();
        }
    }

    void connectsEveryTileAndClosingEndsEverySessionAndWorker()
    {
        const qsizetype threadsBefore = threadCount();
        QVERIFY(openPeerWall());
        ScreenWallWindow* wall = m_wall;
        QCOMPARE(wall->connectedCount(), kHosts);
        for (RdpTile* tile : wall->tiles()) {
            // The shadow server shares its display as it is, whatever size the wall asked for.
            QCOMPARE(tile->findChild<RdpSurface*>()->frameSize(), kDisplaySize);
        }
        QVERIFY(threadCount() >= threadsBefore + kHosts);
        const std::list<QSignalSpy> ends = spyEach(sessionsOf(wall->tiles()), &FreeRdpSession::disconnected);

        closeWall(threadsBefore);
        // Ended by the close itself: a session that is only destroyed reports nothing.
        QCOMPARE(counts(ends), QList<qsizetype>(kHosts, 1));
    }

    void zoomAndRestoreKeepEverySessionConnected()
    {
        QVERIFY(openPeerWall());
        ScreenWallWindow* wall = m_wall;
        const QList<RdpTile*> tiles = wall->tiles();
        const QList<FreeRdpSession*> sessions = sessionsOf(tiles);
        const std::list<QSignalSpy> ends = spyEach(sessions, &FreeRdpSession::disconnected);
        const std::list<QSignalSpy> starts = spyEach(sessions, &FreeRdpSession::connected);
        QAction* restore = actionNamed(wall, QStringLiteral("恢复屏幕墙"));
        QVERIFY(restore);

        RdpTile* zoomed = tiles.at(1);
        QTest::mouseDClick(zoomed, Qt::LeftButton, Qt::ControlModifier, QPoint(2, 2));
        QCOMPARE(wall->zoomedTile(), zoomed);
        QVERIFY(restore->isVisible());
        QVERIFY(zoomed->isVisible());
        QVERIFY(!tiles.at(0)->isVisible());
        QVERIFY(!tiles.at(2)->isVisible());
        // The zoomed session goes on showing its live desktop.
        paint(1, QColor(250, 200, 30));
        QTRY_VERIFY_WITH_TIMEOUT(shows(zoomed, m_colors[1]), kPeerTimeoutMs);
        // Ctrl+double-click on the zoomed tile itself changes nothing.
        QTest::mouseDClick(zoomed, Qt::LeftButton, Qt::ControlModifier, QPoint(2, 2));
        QCOMPARE(wall->zoomedTile(), zoomed);

        restore->trigger();
        QCOMPARE(wall->zoomedTile(), nullptr);
        QVERIFY(!restore->isVisible());
        paint(0, QColor(200, 60, 200));
        paint(2, QColor(30, 200, 200));
        QTRY_VERIFY_WITH_TIMEOUT(showsEveryDesktop(wall), kPeerTimeoutMs);

        QCOMPARE(wall->tiles(), tiles);
        QCOMPARE(sessionsOf(wall->tiles()), sessions);
        QCOMPARE(counts(ends), QList<qsizetype>(kHosts, 0));
        QCOMPARE(counts(starts), QList<qsizetype>(kHosts, 0));
        for (const RdpTile* tile : tiles) {
            QVERIFY(tile->isVisible());
        }
    }

    void applyingAResolutionReconnectsEveryTileAtThatSize()
    {
        QVERIFY(openPeerWall(probeFactory()));
        ScreenWallWindow* wall = m_wall;
        const qsizetype threadsConnected = threadCount();
        QList<QPointer<RdpTile>> oldTiles;
        for (RdpTile* tile : wall->tiles()) {
            QCOMPARE(static_cast<ProbeTile*>(tile)->startedSizes, QList<QSize>{QSize(1280, 720)});
            oldTiles.append(tile);
        }
        const std::list<QSignalSpy> oldEnds =
            spyEach(sessionsOf(wall->tiles()), &FreeRdpSession::disconnected);

        auto* combo = wall->findChild<QComboBox*>(QStringLiteral("resolutionCombo"));
        QVERIFY(combo);
        combo->setCurrentIndex(1);
        QCOMPARE(combo->currentData().toSize(), QSize(1024, 768));
        QAction* apply = actionNamed(wall, QStringLiteral("应用并重连"));
        QVERIFY(apply);
        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::Yes, &seen);
        apply->trigger();
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
        QCOMPARE(seen.title, QStringLiteral("应用屏幕墙分辨率"));
        QCOMPARE(wall->desktopSize(), QSize(1024, 768));

        // The old sessions really ended, and their tiles went away.
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(oldTiles.begin(), oldTiles.end(), [](auto& t) { return t.isNull(); }),
            kWorkerExitTimeoutMs);
        QCOMPARE(counts(oldEnds), QList<qsizetype>(kHosts, 1));
        QTRY_VERIFY_WITH_TIMEOUT(showsEveryDesktop(wall), kPeerTimeoutMs);
        for (RdpTile* tile : wall->tiles()) {
            QVERIFY(!oldTiles.contains(tile));
            QCOMPARE(static_cast<ProbeTile*>(tile)->startedSizes, QList<QSize>{QSize(1024, 768)});
            QCOMPARE(tile->findChild<RdpSurface*>()->frameSize(), kDisplaySize);
        }
        // One worker per session, as before: none of the old ones is left behind.
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsConnected, kWorkerExitTimeoutMs);
    }

    void batchShortcutsArePressedInOrderAndReleasedInReverse()
    {
        QVERIFY(openPeerWall());
        ScreenWallWindow* wall = m_wall;

        const QString runLabel = QStringLiteral("打开运行  Win + R");
        wall->sendPresetToAll(1, runLabel, false);
        QCOMPARE(wall->statusBar()->currentMessage(), QStringLiteral("已向 3 台会话发送：") + runLabel);
        const QStringList winR = combination({XK_Super_L, XK_r});
        for (int i = 0; i < kHosts; ++i) {
            QCOMPARE(inputSeen(i, winR.size()), winR);
        }

        // A dangerous preset that is not confirmed sends nothing: the next preset is all that arrives.
        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        wall->sendPresetToAll(3, QStringLiteral("安全键  Ctrl + Alt + Del"), true);
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
        QCOMPARE(seen.title, QStringLiteral("确认批量快捷键"));

        wall->sendPresetToAll(0, QStringLiteral("刷新桌面  F5"), false);
        const QStringList f5 = combination({XK_F5});
        for (int i = 0; i < kHosts; ++i) {
            QCOMPARE(inputSeen(i, f5.size()), f5);
        }

        // The generic Windows modifier codes, as the custom shortcut dialog and the soft keyboard send them.
        wall->sendCombinationToAll({17, 16, 27}, QStringLiteral("Ctrl + Shift + Esc"), false);
        const QStringList ctrlShiftEsc = combination({XK_Control_L, XK_Shift_L, XK_Escape});
        for (int i = 0; i < kHosts; ++i) {
            QCOMPARE(inputSeen(i, ctrlShiftEsc.size()), ctrlShiftEsc);
        }
        wall->sendPresetToAll(6, QStringLiteral("关闭当前窗口  Alt + F4"), false);
        const QStringList altF4 = combination({XK_Alt_L, XK_F4});
        for (int i = 0; i < kHosts; ++i) {
            QCOMPARE(inputSeen(i, altF4.size()), altF4);
        }
    }

    void batchTextIsTypedAndFollowedByEnter()
    {
        QVERIFY(openPeerWall(probeFactory()));
        ScreenWallWindow* wall = m_wall;

        ModalDriver driver;
        driver.then([](QWidget* dialog) {
            auto* editor = dialog->findChild<QPlainTextEdit*>(QStringLiteral("batchTextEdit"));
            auto* enter = dialog->findChild<QCheckBox*>(QStringLiteral("enterCheck"));
            auto* send = dialog->findChild<QPushButton*>(QStringLiteral("sendButton"));
            QVERIFY(editor && enter && send);
            editor->setPlainText(QStringLiteral("notepad"));
            enter->setChecked(true);
            QVERIFY(send->isEnabled());
            send->click();
        });
        wall->openBatchTextDialog();
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
        QCOMPARE(wall->statusBar()->currentMessage(), QStringLiteral("已向 3 台会话发送键盘输入。"));

        // Each session is handed the text first, then Enter.
        for (RdpTile* tile : wall->tiles()) {
            QStringList handed;
            for (const InputEvent& event : static_cast<ProbeTile*>(tile)->input) {
                handed.append(event.kind == InputEvent::Text
                                  ? event.text
                                  : QStringLiteral("%1%2").arg(event.c ? '+' : '-').arg(event.a));
            }
            QCOMPARE(handed,
                     QStringList({QStringLiteral("notepad"), QStringLiteral("+13"), QStringLiteral("-13")}));
        }
        // The X11 shadow server does not inject Unicode key events, so only the Enter key reaches the
        // display; the text must not turn into stray key presses on the way.
        const QStringList enter = combination({XK_Return});
        for (int i = 0; i < kHosts; ++i) {
            QCOMPARE(inputSeen(i, enter.size()), enter);
        }
    }

    void badHostsInOneWallNeitherHangNorLeaveWorkers()
    {
        const qsizetype threadsBefore = threadCount();
        Remote empty = loopbackRemote(QStringLiteral("empty"), m_servers[0].port());
        empty.host.clear();
        Remote blank = loopbackRemote(QStringLiteral("blank"), m_servers[0].port());
        blank.host = QStringLiteral("   ");
        const Remote portZero = loopbackRemote(QStringLiteral("port-0"), 0);
        const Remote portTooLarge = loopbackRemote(QStringLiteral("port-70000"), 70000);
        const Remote refused = loopbackRemote(QStringLiteral("refused"), freeLoopbackPort());
        const Remote shared = loopbackRemote(QStringLiteral("peer-0"), m_servers[0].port());
        ScreenWallWindow* wall = openWall({empty, shared, blank, portZero, refused, shared, portTooLarge});

        const QList<RdpTile*> tiles = wall->tiles();
        QCOMPARE(tiles.size(), 7);
        for (const int i : {0, 2, 3, 6}) {
            QCOMPARE(statusText(tiles.at(i)), QStringLiteral("无法启动"));
            QVERIFY(!tiles.at(i)->isActive());
        }
        // Both tiles of the host listed twice are served, each with a session of its own.
        QTRY_VERIFY_WITH_TIMEOUT(shows(tiles.at(1), m_colors[0]) && shows(tiles.at(5), m_colors[0]),
                                 kPeerTimeoutMs);
        QVERIFY(sessionOf(tiles.at(1)) != sessionOf(tiles.at(5)));
        QTRY_VERIFY_WITH_TIMEOUT(
            showsFailure(tiles.at(4), QStringLiteral("连接被拒绝：端口未开放或远程桌面服务未运行")),
            kPeerTimeoutMs);
        QVERIFY(!tiles.at(4)->findChild<RdpSurface*>()->text().contains(QStringLiteral("用户名")));
        QCOMPARE(wall->connectedCount(), 2);

        // Only the two live sessions type (the status counts them).
        m_displays[0].takeInput();
        wall->sendPresetToAll(0, QStringLiteral("刷新桌面  F5"), false);
        QCOMPARE(wall->statusBar()->currentMessage(), QStringLiteral("已向 2 台会话发送：刷新桌面  F5"));
        // Both share one display, where two overlapping presses of the same key can merge (a press of a
        // key that is down, a release of one that is up), so the display proves only that F5 went down and
        // up.
        const QStringList seen = inputSeen(0, 4);
        const unsigned f5 = m_displays[0].keycode(XK_F5);
        QVERIFY2(seen.contains(QStringLiteral("+%1").arg(f5)) && seen.contains(QStringLiteral("-%1").arg(f5)),
                 qPrintable(seen.join(QLatin1Char(' '))));

        closeWall(threadsBefore);
    }

    void endedTilesFadeAndCancelledOnesSaySo()
    {
        LoopbackServer silent(false);
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        const qsizetype threadsBefore = threadCount();
        ScreenWallWindow* wall = openWall({loopbackRemote(QStringLiteral("peer-0"), m_servers[0].port()),
                                           loopbackRemote(QStringLiteral("silent"), silent.serverPort())});
        RdpTile* live = wall->tiles().at(0);
        RdpTile* waiting = wall->tiles().at(1);
        QTRY_VERIFY_WITH_TIMEOUT(shows(live, m_colors[0]), kPeerTimeoutMs);
        auto* picture = live->findChild<RdpSurface*>();
        const auto centre = [picture] {
            const QImage shot = picture->grab().toImage();
            return shot.pixelColor(shot.width() / 2, shot.height() / 4);
        };
        QTRY_VERIFY_WITH_TIMEOUT(closeTo(centre().rgb(), m_colors[0]), kPeerTimeoutMs);

        // Disconnected: the last picture stays, faded under the state.
        live->disconnectSession();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(live), QStringLiteral("已断开"), kPeerTimeoutMs);
        const QColor faded = centre();
        QVERIFY2(!closeTo(faded.rgb(), m_colors[0]), qPrintable(faded.name()));
        QVERIFY2(qMax(faded.red(), qMax(faded.green(), faded.blue())) < 128, qPrintable(faded.name()));

        // Cancelled while connecting: no failure.
        QSignalSpy failed(waiting, &RdpTile::connectionFailed);
        QTRY_VERIFY_WITH_TIMEOUT(silent.accepted >= 1, kPeerTimeoutMs);
        waiting->findChild<QPushButton*>(QStringLiteral("actionButton"))->click();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(waiting), QStringLiteral("已取消"), kPeerTimeoutMs);
        QCOMPARE(waiting->findChild<RdpSurface*>()->text(), QStringLiteral("已取消连接"));
        QCOMPARE(failed.size(), 0);

        closeWall(threadsBefore);
    }

    void serverThatHangsUpFailsEachTileOnce()
    {
        LoopbackServer server(true);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const qsizetype threadsBefore = threadCount();
        ScreenWallWindow* wall = openWall({loopbackRemote(QStringLiteral("drop-1"), server.serverPort()),
                                           loopbackRemote(QStringLiteral("drop-2"), server.serverPort())});
        const std::list<QSignalSpy> failures = spyEach(wall->tiles(), &RdpTile::connectionFailed);
        const QString hungUp = QStringLiteral("连接被服务器或网络中断");
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(wall->tiles().at(0), hungUp) &&
                                     showsFailure(wall->tiles().at(1), hungUp),
                                 kPeerTimeoutMs);
        // Reported once each, and not retried: acceleration is off.
        QCOMPARE(counts(failures), QList<qsizetype>(2, 1));
        QVERIFY(server.accepted >= 2);
        QCOMPARE(wall->connectedCount(), 0);
        wall->sendPresetToAll(0, QStringLiteral("刷新桌面  F5"), false);
        QCOMPARE(wall->statusBar()->currentMessage(), QStringLiteral("当前没有已连接的远程会话。"));

        closeWall(threadsBefore);
    }

    void closingWhileTilesConnectCancelsEveryAttempt()
    {
        LoopbackServer server(false);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const qsizetype threadsBefore = threadCount();
        QList<Remote> remotes;
        for (int i = 0; i < kHosts; ++i) {
            remotes.append(loopbackRemote(QStringLiteral("silent-%1").arg(i), server.serverPort()));
        }
        ScreenWallWindow* wall = openWall(remotes);
        // Every attempt has its connection and now waits for an answer that never comes.
        QTRY_COMPARE_WITH_TIMEOUT(server.accepted, kHosts, kPeerTimeoutMs);
        for (RdpTile* tile : wall->tiles()) {
            QVERIFY(tile->isActive());
            QCOMPARE(statusText(tile), QStringLiteral("连接中"));
        }

        // Each attempt is cancelled within close(), not waited out to its time-out.
        QString logged;
        closeWall(threadsBefore, &logged);
        QCOMPARE(logged.count(kAttemptCancelled), kHosts);
        QVERIFY2(!logged.contains(QStringLiteral("FreeRDP 连接失败")), qPrintable(logged));
    }

    void manyWallsInARowCloseWithoutLeftovers()
    {
        LoopbackServer server(false);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const qsizetype threadsBefore = threadCount();
        constexpr int kWalls = 14;
        QList<QPointer<ScreenWallWindow>> walls;
        for (int i = 0; i < kWalls; ++i) {
            auto* wall =
                new ScreenWallWindow({loopbackRemote(QStringLiteral("wall-%1").arg(i), server.serverPort())},
                                     QSize(1280, 720), 32, false, RdpEngine::FreeRdp);
            wall->show();
            walls.append(wall);
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.accepted, kWalls, kPeerTimeoutMs);

        {
            // Each close cancels its wall's attempt and ends its worker before it returns.
            LogCapture log;
            for (const QPointer<ScreenWallWindow>& wall : walls) {
                QVERIFY(wall && wall->close());
            }
            QCOMPARE(log.text().count(kAttemptCancelled), kWalls);
            QVERIFY2(!log.contains(kWorkerLeftBehind), qPrintable(log.text()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(walls.begin(), walls.end(), [](const auto& wall) { return wall.isNull(); }),
            kWorkerExitTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, kWorkerExitTimeoutMs);
    }
};

QTEST_MAIN(TestScreenWallPeer)
#include "test_screen_wall_peer.moc"
