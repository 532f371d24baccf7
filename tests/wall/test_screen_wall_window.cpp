#include "wall/screen_wall_window.h"

#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "rdp/system_rdp_session.h"
#include "support/fake_rdp_control.h"
#include "support/modal_driver.h"
#include "support/recording_tile.h"
#include "support/scheduled_tasks.h"
#include "support/session_frames.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

Remote makeRemote(int index)
{
    Remote remote;
    remote.id = QStringLiteral("id-%1").arg(index);
    remote.name = QStringLiteral("win-%1").arg(index);
    remote.host = QStringLiteral("192.0.2.%1").arg(index);
    remote.port = 3389;
    return remote;
}

QList<Remote> makeRemotes(int count)
{
    QList<Remote> remotes;
    for (int i = 1; i <= count; ++i) {
        remotes.append(makeRemote(i));
    }
    return remotes;
}

// A wall of recording tiles whose timers and acceleration verdicts belong to the test.
class TestWall : public ScreenWallWindow
{
public:
    explicit TestWall(const QList<Remote>& remotes, QSize size = QSize(1280, 720),
                      RdpEngine engine = RdpEngine::FreeRdp, RdpTile::SystemSessionFactory system = {})
        : ScreenWallWindow(remotes, size, 32, false, engine, nullptr,
                           [system](const Remote& remote, QSize desktop, int depth, QWidget* parent,
                                    RdpEngine tileEngine, bool mixed) {
                               return new RecordingTile(remote, desktop, depth, parent, tileEngine, mixed,
                                                        system);
                           })
    {
        setAttribute(Qt::WA_DeleteOnClose, false);
    }

    ScheduledTasks scheduled;
    bool retry = false;
    QStringList failures;

    QList<RecordingTile*> recording() const { return RecordingTile::all(tiles()); }

    // Runs what is due, as the timers would.
    QList<int> runScheduled() { return scheduled.runAll(); }

    QAction* action(const QString& text) const
    {
        for (QAction* candidate : findChild<QToolBar*>()->actions()) {
            if (candidate->text() == text) {
                return candidate;
            }
        }
        return nullptr;
    }

    QString summary() const { return findChild<QLabel*>(QStringLiteral("summaryLabel"))->text(); }
    QComboBox* combo(const char* name) const { return findChild<QComboBox*>(QLatin1String(name)); }
    QString status() const { return statusBar()->currentMessage(); }

protected:
    void schedule(int delayMs, std::function<void()> task) override
    {
        scheduled.add(delayMs, std::move(task));
    }
    bool retryAfterFailure(const QString& remoteId, const QString& remoteName,
                           const QString& message) override
    {
        failures.append(remoteId + QLatin1Char('|') + remoteName + QLatin1Char('|') + message);
        return retry;
    }
};

// Key events as "+17 +16 -16 -17", text as "text:…".
QString keyTrace(const QList<InputEvent>& events)
{
    QStringList parts;
    for (const InputEvent& event : events) {
        if (event.kind == InputEvent::Key) {
            parts.append(
                QStringLiteral("%1%2").arg(event.c ? QLatin1Char('+') : QLatin1Char('-')).arg(event.a));
        } else if (event.kind == InputEvent::Text) {
            parts.append(QStringLiteral("text:") + event.text);
        }
    }
    return parts.join(QLatin1Char(' '));
}

// Column and row of a tile in the wall's grid; (-1, -1) when it is not placed.
QPoint gridPosition(QWidget* tile)
{
    auto* grid = qobject_cast<QGridLayout*>(tile->parentWidget()->layout());
    const int index = grid->indexOf(tile);
    if (index < 0) {
        return {-1, -1};
    }
    int row = -1;
    int column = -1;
    int rowSpan = 0;
    int columnSpan = 0;
    grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    return {column, row};
}

void clickKey(QWidget* dialog, const QString& text)
{
    for (QPushButton* key : dialog->findChildren<QPushButton*>()) {
        if (key->text() == text) {
            key->click();
            return;
        }
    }
    QFAIL(qPrintable(QStringLiteral("no key ") + text));
}

} // namespace

class TestScreenWallWindow : public QObject
{
    Q_OBJECT

private slots:
    void toolBarAndTitle()
    {
        TestWall wall(makeRemotes(3));
        QCOMPARE(wall.windowTitle(), QStringLiteral("Nimbara-Vantrel特别版 极速 屏幕墙 - 3 台"));
        QCOMPARE(ScreenWallWindow::wallTitle(RdpEngine::System, true, 2),
                 QStringLiteral("Nimbara-Vantrel特别版 兼容 屏幕墙 - 2 台"));
        QCOMPARE(ScreenWallWindow::wallTitle(RdpEngine::FreeRdp, true, 1),
                 QStringLiteral("Nimbara-Vantrel特别版 自动混合 屏幕墙 - 1 台"));
        // The wall takes the room its screen offers windows.
        QCOMPARE(wall.geometry(), wall.screen()->availableGeometry());

        auto* bar = wall.findChild<QToolBar*>();
        QCOMPARE(bar->windowTitle(), QStringLiteral("会话操作"));
        QVERIFY(!bar->isMovable());
        QStringList texts;
        for (QAction* action : bar->actions()) {
            QWidget* widget = bar->widgetForAction(action);
            auto* label = qobject_cast<QLabel*>(widget);
            if (action->isSeparator()) {
                texts.append(QStringLiteral("|"));
            } else if (label != nullptr && label->objectName().isEmpty()) {
                texts.append(label->text());
            } else if (widget != nullptr && !widget->objectName().isEmpty()) {
                texts.append(widget->objectName());
            } else {
                texts.append(action->text());
            }
        }
        QCOMPARE(texts, (QStringList{"布局", "columnCombo", "|", "远程分辨率", "resolutionCombo",
                                     "应用并重连", "|", "shortcutButton", "全部重连", "恢复屏幕墙",
                                     "返回主控端", "断开全部", "summaryLabel"}));
        QVERIFY(!wall.action(QStringLiteral("恢复屏幕墙"))->isVisible());

        QComboBox* columns = wall.combo("columnCombo");
        QStringList items;
        QList<int> data;
        for (int i = 0; i < columns->count(); ++i) {
            items.append(columns->itemText(i));
            data.append(columns->itemData(i).toInt());
        }
        QCOMPARE(items, (QStringList{"4 列（清晰）", "3 列（大图）", "5 列", "6 列（紧凑）", "自动"}));
        QCOMPARE(data, (QList<int>{4, 3, 5, 6, 0}));

        auto* shortcuts = wall.findChild<QToolButton*>(QStringLiteral("shortcutButton"));
        QCOMPARE(shortcuts->popupMode(), QToolButton::InstantPopup);
        QStringList entries;
        for (QAction* action : shortcuts->menu()->actions()) {
            entries.append(action->isSeparator() ? QStringLiteral("|") : action->text());
        }
        QCOMPARE(entries, (QStringList{"刷新桌面  F5", "打开运行  Win + R", "打开资源管理器  Win + E",
                                       "安全键  Ctrl + Alt + Del", "关闭当前窗口  Alt + F4", "取消/返回  Esc",
                                       "|", "锁定所有远程主机  Win + L", "|", "自定义快捷键…",
                                       "批量键盘输入…", "批量软键盘…"}));

        // "返回主控端" only asks for the controller.
        QSignalSpy controller(&wall, &ScreenWallWindow::controllerWindowRequested);
        wall.action(QStringLiteral("返回主控端"))->trigger();
        QCOMPARE(controller.size(), 1);
    }

    void desktopSizeAndResolutionChoice()
    {
        // One host keeps its size; two or more run at 1280 × 720.
        TestWall single({makeRemote(1)}, QSize(1024, 768));
        QCOMPARE(single.desktopSize(), QSize(1024, 768));
        QCOMPARE(single.combo("resolutionCombo")->currentText(), QStringLiteral("1024 × 768（旧系统）"));
        QCOMPARE(single.recording().first()->starts.first().desktopSize, QSize(1024, 768));

        TestWall pair(makeRemotes(2), QSize(1920, 1080));
        QCOMPARE(pair.desktopSize(), QSize(1280, 720));
        QCOMPARE(pair.combo("resolutionCombo")->currentText(), QStringLiteral("1280 × 720（推荐）"));
        QCOMPARE(pair.summary(), QStringLiteral("2 台主机 · 2 列 · 当前 1280 × 720 · Ctrl+双击画面单独放大"));

        // A size no item offers is offered as the current one: nothing is pending.
        TestWall custom({makeRemote(1)}, QSize(1920, 1080));
        QCOMPARE(custom.combo("resolutionCombo")->currentText(), QStringLiteral("1920 × 1080（当前）"));
        QCOMPARE(custom.summary(),
                 QStringLiteral("1 台主机 · 1 列 · 当前 1920 × 1080 · Ctrl+双击画面单独放大"));
        // Choosing another size shows it as pending at once, and choosing the size in use again clears it.
        custom.combo("resolutionCombo")->setCurrentIndex(0);
        QCOMPARE(custom.summary(),
                 QStringLiteral("1 台主机 · 1 列 · 当前 1920 × 1080（已选 1280 × 720，新分辨率待应用）"
                                " · Ctrl+双击画面单独放大"));
        custom.combo("resolutionCombo")->setCurrentIndex(4);
        QCOMPARE(custom.summary(),
                 QStringLiteral("1 台主机 · 1 列 · 当前 1920 × 1080 · Ctrl+双击画面单独放大"));
    }

    void effectiveColumns_data()
    {
        QTest::addColumn<int>("hosts");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("viewport");
        QTest::addColumn<int>("expected");
        QTest::newRow("auto 10 in 1000 px") << 10 << 0 << 1000 << 3;
        QTest::newRow("auto 2 in 3000 px") << 2 << 0 << 3000 << 2;
        QTest::newRow("auto 10 in 200 px") << 10 << 0 << 200 << 1;
        QTest::newRow("auto at most 6") << 20 << 0 << 4000 << 6;
        QTest::newRow("fixed above host count") << 2 << 3 << 100 << 2;
        QTest::newRow("fixed") << 10 << 5 << 100 << 5;
        QTest::newRow("no hosts") << 0 << 4 << 1000 << 1;
    }

    void effectiveColumns()
    {
        QFETCH(int, hosts);
        QFETCH(int, columns);
        QFETCH(int, viewport);
        QFETCH(int, expected);
        QCOMPARE(ScreenWallWindow::effectiveColumns(hosts, columns, viewport), expected);
    }

    void layoutChangesKeepSessions()
    {
        TestWall wall(makeRemotes(6));
        const QList<RecordingTile*> tiles = wall.recording();
        QCOMPARE(tiles.size(), 6);
        for (RecordingTile* tile : tiles) {
            QCOMPARE(tile->starts.size(), 1);
        }
        QCOMPARE(gridPosition(tiles.at(5)), QPoint(1, 1));
        QCOMPARE(wall.summary(), QStringLiteral("6 台主机 · 4 列 · 当前 1280 × 720 · Ctrl+双击画面单独放大"));

        wall.combo("resolutionCombo")->setCurrentIndex(3);
        wall.combo("columnCombo")->setCurrentIndex(1);
        QCOMPARE(wall.summary(),
                 QStringLiteral("6 台主机 · 3 列 · 当前 1280 × 720（已选 1600 × 900，新分辨率待应用）"
                                " · Ctrl+双击画面单独放大"));
        QCOMPARE(gridPosition(tiles.at(5)), QPoint(2, 1));

        // Automatic columns follow the viewport after a resize, from the event loop.
        wall.combo("columnCombo")->setCurrentIndex(4);
        wall.show();
        wall.resize(1000, 800);
        QTRY_COMPARE(wall.effectiveColumns(), wall.findChild<QScrollArea*>()->viewport()->width() / 320);
        QTRY_COMPARE(gridPosition(tiles.at(5)).x(), 5 % wall.effectiveColumns());
        QVERIFY(wall.summary().startsWith(QStringLiteral("6 台主机 · 自动 列 · ")));

        // Zoom shows one tile alone; the sessions keep running.
        QSignalSpy focus(tiles.at(2), &RdpTile::focusRequested);
        QTest::mouseDClick(tiles.at(2), Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
        QCOMPARE(focus.size(), 1);
        QCOMPARE(wall.zoomedTile(), tiles.at(2));
        QVERIFY(wall.action(QStringLiteral("恢复屏幕墙"))->isVisible());
        for (RecordingTile* tile : tiles) {
            QCOMPARE(tile->isVisible(), tile == tiles.at(2));
        }
        QCOMPARE(gridPosition(tiles.at(2)), QPoint(0, 0));
        // Files can be dropped only on the system client's picture.
        QCOMPARE(wall.summary(), QStringLiteral("单画面 · FreeRDP · 点击“恢复屏幕墙”返回"));
        QCOMPARE(wall.status(), QStringLiteral("已放大单台远程画面；点击顶部“恢复屏幕墙”返回。"));

        // The zoomed tile cannot be zoomed again.
        QTest::mouseDClick(tiles.at(2), Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
        QCOMPARE(focus.size(), 1);

        wall.action(QStringLiteral("恢复屏幕墙"))->trigger();
        QVERIFY(wall.zoomedTile() == nullptr);
        QVERIFY(!wall.action(QStringLiteral("恢复屏幕墙"))->isVisible());
        QCOMPARE(wall.status(), QStringLiteral("已恢复屏幕墙布局。"));
        for (RecordingTile* tile : tiles) {
            QVERIFY(tile->isVisible());
            QCOMPARE(tile->starts.size(), 1);
            QCOMPARE(tile->stops, 0);
        }
        QTest::mouseDClick(tiles.at(2), Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
        QCOMPARE(focus.size(), 2);
    }

    void applyResolutionAndReconnectRebuildTiles()
    {
        TestWall wall(makeRemotes(3));
        ModalDriver driver;
        QList<QPointer<RecordingTile>> first;
        for (RecordingTile* tile : wall.recording()) {
            first.append(tile);
        }

        // The size in use: a note, no question.
        wall.action(QStringLiteral("应用并重连"))->trigger();
        QCOMPARE(wall.status(), QStringLiteral("当前屏幕墙已使用此分辨率。"));

        wall.combo("resolutionCombo")->setCurrentIndex(1);
        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        wall.action(QStringLiteral("应用并重连"))->trigger();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("应用屏幕墙分辨率"));
        QCOMPARE(seen.text, QStringLiteral("将 3 台远程主机切换为 1024 × 768，并批量重新连接。\n"
                                           "屏幕墙布局和主机列表不会受影响。是否继续？"));
        QCOMPARE(seen.defaultButton, QMessageBox::Yes);
        QCOMPARE(wall.desktopSize(), QSize(1280, 720));
        QCOMPARE(wall.recording().first(), first.first().data());

        driver.answer(QMessageBox::Yes);
        wall.action(QStringLiteral("应用并重连"))->trigger();
        QVERIFY(driver.done());
        QCOMPARE(wall.desktopSize(), QSize(1024, 768));
        QCOMPARE(wall.status(), QStringLiteral("正在以新分辨率重连全部屏幕墙会话。"));
        const QList<RecordingTile*> second = wall.recording();
        QCOMPARE(second.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!first.contains(second.at(i)));
            QCOMPARE(second.at(i)->remote().id, makeRemote(i + 1).id);
            QCOMPARE(second.at(i)->starts.first().desktopSize, QSize(1024, 768));
        }
        QCOMPARE(wall.summary(), QStringLiteral("3 台主机 · 3 列 · 当前 1024 × 768 · Ctrl+双击画面单独放大"));
        // The old tiles stopped their sessions and go away.
        for (const QPointer<RecordingTile>& old : first) {
            QVERIFY(old && old->stops > 0);
        }
        QTRY_VERIFY(std::all_of(first.begin(), first.end(), [](const auto& old) { return old.isNull(); }));

        driver.answer(QMessageBox::Yes, &seen);
        wall.action(QStringLiteral("全部重连"))->trigger();
        QVERIFY(driver.done());
        QCOMPARE(seen.text, QStringLiteral("将断开并重新连接当前 3 台远程主机。是否继续？"));
        QCOMPARE(wall.status(), QStringLiteral("正在重新连接全部屏幕墙会话。"));
        QVERIFY(!second.contains(wall.recording().first()));
        QCOMPARE(wall.recording().first()->starts.first().desktopSize, QSize(1024, 768));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void reconnectActiveSessionsSpacesReconnects()
    {
        TestWall wall(makeRemotes(3));
        QList<RecordingTile*> tiles = wall.recording();
        tiles.at(1)->endSession();

        QCOMPARE(wall.reconnectActiveSessions(240), 2);
        QCOMPARE(tiles.at(0)->stops, 1);
        QCOMPARE(tiles.at(1)->stops, 0);
        QCOMPARE(tiles.at(2)->stops, 1);
        QCoreApplication::processEvents();
        QCOMPARE(wall.runScheduled(), (QList<int>{240, 360}));
        QCOMPARE(tiles.at(0)->starts.size(), 2);
        QCOMPARE(tiles.at(1)->starts.size(), 1);
        QCOMPARE(tiles.at(2)->starts.size(), 2);

        // A tile gone before its turn is skipped.
        QCOMPARE(wall.reconnectActiveSessions(0), 2);
        delete tiles.at(0);
        wall.runScheduled();
        QCOMPARE(wall.recording().size(), 2);
        QCOMPARE(tiles.at(2)->starts.size(), 3);
    }

    void tileReportsBecomeMessages()
    {
        TestWall wall(makeRemotes(2));
        ModalDriver driver;
        RecordingTile* tile = wall.recording().first();

        QSignalSpy legacy(&wall, &ScreenWallWindow::legacyCompatibilityDetected);
        emit tile->legacyCompatibilityDetected(QStringLiteral("id-1"));
        QCOMPARE(legacy.size(), 1);
        QCOMPARE(legacy.first().first().toString(), QStringLiteral("id-1"));

        // An unknown certificate: the user decides; Yes trusts it and reconnects.
        QSignalSpy trusted(&wall, &ScreenWallWindow::certificateFingerprintTrusted);
        SeenBox seen;
        driver.answer(QMessageBox::Yes, &seen);
        emit tile->session()->certificateRejected(QStringLiteral("192.0.2.1"), QStringLiteral("CN=win-1"),
                                                  QStringLiteral("CN=win-1"), QStringLiteral("aa:bb"));
        QTRY_VERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("未知 RDP 证书"));
        QVERIFY(seen.text.startsWith(
            QStringLiteral("服务器证书尚未受信任。请核对指纹后决定是否仅本次信任。\n\n")));
        QVERIFY(seen.text.contains(QStringLiteral("aa:bb")));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QCOMPARE(trusted.size(), 1);
        QCOMPARE(trusted.first().at(1).toString(), QStringLiteral("aa:bb"));

        // A failure the acceleration manager does not handle changes nothing; one it handles retries.
        QTRY_COMPARE(tile->starts.size(), 2);
        emit tile->connectionFailed(QStringLiteral("id-1"), QStringLiteral("连接被拒绝"));
        QCOMPARE(wall.failures, QStringList{QStringLiteral("id-1|win-1|连接被拒绝")});
        QVERIFY(wall.scheduled.isEmpty());
        wall.retry = true;
        const int stops = tile->stops;
        emit tile->connectionFailed(QStringLiteral("id-1"), QStringLiteral("连接被拒绝"));
        QCOMPARE(tile->stops, stops + 1);
        QCoreApplication::processEvents();
        QCOMPARE(wall.runScheduled(), QList<int>{250});
        QCOMPARE(tile->starts.size(), 3);

        emit tile->systemFallbackActivated(QStringLiteral("id-1"), QStringLiteral("win-1"),
                                           QStringLiteral("x"));
        QCOMPARE(wall.status(), QStringLiteral("“win-1”的 FreeRDP 协商失败，已自动切换到系统 RDP 客户端。"));
        emit tile->localFilesQueued(QStringLiteral("id-1"), QStringLiteral("win-1"), 3);
        QCOMPARE(wall.status(),
                 QStringLiteral("已向“win-1”发送 3 个本机文件；将粘贴到远程当前活动文件夹或桌面。"));

        driver.answer(QMessageBox::Ok, &seen);
        emit tile->localFilesRejected(QStringLiteral("id-1"), QStringLiteral("文件太大"));
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("拖拽文件"));
        QCOMPARE(seen.text, QStringLiteral("文件太大"));
        QCOMPARE(wall.status(), QStringLiteral("文件太大"));

        driver.answer(QMessageBox::Ok, &seen);
        emit tile->interactionFailed(QStringLiteral("id-1"), QStringLiteral("win-1"),
                                     QStringLiteral("剪贴板不可用"));
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("远程操作失败"));
        QCOMPARE(seen.text, QStringLiteral("“win-1”：剪贴板不可用\n远程连接仍保持在线。"));
        QCOMPARE(wall.status(), seen.text);
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void batchKeysReachConnectedTiles()
    {
        TestWall wall(makeRemotes(3));
        ModalDriver driver;
        const QList<RecordingTile*> tiles = wall.recording();

        // Nothing connected: a note, nothing sent, no dialog.
        for (RecordingTile* tile : tiles) {
            tile->endSession();
        }
        wall.sendPresetToAll(0, QStringLiteral("刷新桌面  F5"), false);
        wall.openCustomShortcutDialog();
        wall.openBatchTextDialog();
        wall.openSoftKeyboard();
        QCOMPARE(wall.status(), QStringLiteral("当前没有已连接的远程会话。"));
        QVERIFY(driver.unexpected.isEmpty());

        tiles.at(0)->connectNow();
        tiles.at(2)->connectNow();
        QCOMPARE(wall.connectedCount(), 2);

        // A harmless preset goes at once; a dangerous one asks first.
        auto* menu = wall.findChild<QToolButton*>(QStringLiteral("shortcutButton"))->menu();
        menu->actions().at(0)->trigger();
        QCOMPARE(wall.status(), QStringLiteral("已向 2 台会话发送：刷新桌面  F5"));
        QCOMPARE(keyTrace(tiles.at(0)->takeInput()), QStringLiteral("+116 -116"));
        QVERIFY(tiles.at(1)->takeInput().isEmpty());
        tiles.at(2)->takeInput();

        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        menu->actions().at(3)->trigger();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("确认批量快捷键"));
        QCOMPARE(seen.text,
                 QStringLiteral("将向 2 台已连接主机发送“安全键  Ctrl + Alt + Del”。\n是否继续？"));
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QVERIFY(tiles.at(0)->takeInput().isEmpty());

        // A custom combination: pressed in order, released in reverse.
        driver.then([](QWidget* dialog) {
            dialog->findChild<QCheckBox*>(QStringLiteral("ctrlCheck"))->setChecked(true);
            dialog->findChild<QCheckBox*>(QStringLiteral("shiftCheck"))->setChecked(true);
            auto* key = dialog->findChild<QComboBox*>(QStringLiteral("mainKeyCombo"));
            key->setCurrentIndex(key->findText(QStringLiteral("Esc")));
            dialog->findChild<QPushButton*>(QStringLiteral("sendButton"))->click();
        });
        driver.answer(QMessageBox::Yes, &seen);
        wall.openCustomShortcutDialog();
        QVERIFY(driver.done());
        QCOMPARE(seen.text, QStringLiteral("将向 2 台已连接主机发送“Ctrl + Shift + Esc”。\n是否继续？"));
        for (int i : {0, 2}) {
            QCOMPARE(keyTrace(tiles.at(i)->takeInput()), QStringLiteral("+17 +16 +27 -27 -16 -17"));
        }
        QCOMPARE(wall.status(), QStringLiteral("已向 2 台会话发送：Ctrl + Shift + Esc"));

        // Text, then Enter.
        driver.then([](QWidget* dialog) {
            dialog->findChild<QPlainTextEdit*>(QStringLiteral("batchTextEdit"))
                ->setPlainText(QStringLiteral("notepad"));
            dialog->findChild<QCheckBox*>(QStringLiteral("enterCheck"))->setChecked(true);
            dialog->findChild<QPushButton*>(QStringLiteral("sendButton"))->click();
        });
        wall.openBatchTextDialog();
        QVERIFY(driver.done());
        QCOMPARE(keyTrace(tiles.at(0)->takeInput()), QStringLiteral("text:notepad +13 -13"));
        QCOMPARE(keyTrace(tiles.at(2)->takeInput()), QStringLiteral("text:notepad +13 -13"));
        QCOMPARE(wall.status(), QStringLiteral("已向 2 台会话发送键盘输入。"));

        // The soft keyboard: Ctrl lit, then C, without a question; Win + L asks.
        SeenBox lockQuestion;
        driver.then([&driver, &lockQuestion](QWidget* dialog) {
            dialog->findChild<QPushButton*>(QStringLiteral("modCtrl"))->click();
            clickKey(dialog, QStringLiteral("C"));
            QVERIFY(!dialog->findChild<QPushButton*>(QStringLiteral("modCtrl"))->isChecked());
            // The question runs a loop of its own: press from a fresh event so the driver can answer it.
            driver.answer(QMessageBox::No, &lockQuestion);
            QTimer::singleShot(0, dialog, [dialog] {
                dialog->findChild<QPushButton*>(QStringLiteral("modWin"))->click();
                clickKey(dialog, QStringLiteral("L"));
                static_cast<QDialog*>(dialog)->reject();
            });
        });
        wall.openSoftKeyboard();
        QVERIFY(driver.done());
        QCOMPARE(lockQuestion.text, QStringLiteral("将向 2 台已连接主机发送“Win + L”。\n是否继续？"));
        QCOMPARE(keyTrace(tiles.at(0)->takeInput()), QStringLiteral("+17 +67 -67 -17"));
        QVERIFY(tiles.at(1)->takeInput().isEmpty());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void systemTilesTakeEachCombinationInOneCall()
    {
        QList<QPointer<FakeRdpControl>> controls;
        TestWall wall(makeRemotes(2), QSize(1280, 720), RdpEngine::System, [&controls](QWidget* parent) {
            auto fake = std::make_unique<FakeRdpControl>();
            controls.append(fake.get());
            return new SystemRdpSession(parent, std::move(fake));
        });
        QCOMPARE(controls.size(), 2);
        for (const QPointer<FakeRdpControl>& control : controls) {
            control->fire(QStringLiteral("OnConnected"));
        }
        QCOMPARE(wall.connectedCount(), 2);

        wall.sendCombinationToAll({17, 18, 46}, QStringLiteral("Ctrl + Alt + Del"), false);
        for (const QPointer<FakeRdpControl>& control : controls) {
            const auto calls = control->log()->keyCalls;
            QCOMPARE(calls.size(), 1);
            QStringList trace;
            for (const FakeRdpControlLog::KeyEntry& entry : calls.first()) {
                trace.append(QStringLiteral("%1%2")
                                 .arg(entry.keyUp ? QLatin1Char('-') : QLatin1Char('+'))
                                 .arg((entry.keyData >> 16) & 0xFF, 2, 16, QLatin1Char('0')));
            }
            // Left Ctrl, left Alt, Delete; released in reverse.
            QCOMPARE(trace.join(QLatin1Char(' ')), QStringLiteral("+1d +38 +53 -53 -38 -1d"));
        }
        QCOMPARE(wall.status(), QStringLiteral("已向 2 台会话发送：Ctrl + Alt + Del"));
    }

    void closingDisconnectsEverything()
    {
        auto* wall = new TestWall(makeRemotes(4));
        wall->setAttribute(Qt::WA_DeleteOnClose, true);
        QList<QPointer<RecordingTile>> tiles;
        for (RecordingTile* tile : wall->recording()) {
            tile->connectNow();
            tiles.append(tile);
        }
        wall->show();
        QPointer<ScreenWallWindow> guard(wall);
        QVERIFY(wall->close());
        for (const QPointer<RecordingTile>& tile : tiles) {
            QVERIFY(!tile || tile->stops > 0);
        }
        QTRY_VERIFY(guard.isNull());
        QVERIFY(std::all_of(tiles.begin(), tiles.end(), [](const auto& tile) { return tile.isNull(); }));
    }

    void zoomedSummaryNamesWhatTheTileCanDo()
    {
        TestWall wall(makeRemotes(2), QSize(1280, 720), RdpEngine::System, [](QWidget* parent) {
            return new SystemRdpSession(parent, std::make_unique<FakeRdpControl>());
        });
        RdpTile* tile = wall.tiles().first();
        QTest::mouseDClick(tile, Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
        QCOMPARE(wall.zoomedTile(), tile);
        QCOMPARE(wall.summary(),
                 QStringLiteral("单画面 · 系统 RDP 客户端 · 可拖入本机文件 · 点击“恢复屏幕墙”返回"));
        wall.action(QStringLiteral("恢复屏幕墙"))->trigger();
        QCOMPARE(wall.summary(), QStringLiteral("2 台主机 · 2 列 · 当前 1280 × 720 · Ctrl+双击画面单独放大"));
    }

    void tilesKeepTheDesktopAspect_data()
    {
        QTest::addColumn<int>("hosts");
        QTest::addColumn<QSize>("desktop");
        QTest::addColumn<int>("columnIndex");
        QTest::addColumn<int>("columns");
        QTest::newRow("3 columns") << 8 << QSize(1280, 720) << 1 << 3;
        QTest::newRow("4 columns") << 8 << QSize(1280, 720) << 0 << 4;
        QTest::newRow("5 columns") << 8 << QSize(1280, 720) << 2 << 5;
        QTest::newRow("6 columns") << 8 << QSize(1280, 720) << 3 << 6;
        QTest::newRow("one 4:3 host") << 1 << QSize(1024, 768) << 0 << 1;
        QTest::newRow("one 16:10 host") << 1 << QSize(1680, 1050) << 0 << 1;
    }

    void tilesKeepTheDesktopAspect()
    {
        QFETCH(int, hosts);
        QFETCH(QSize, desktop);
        QFETCH(int, columnIndex);
        QFETCH(int, columns);
        TestWall wall(makeRemotes(hosts), desktop);
        wall.combo("columnCombo")->setCurrentIndex(columnIndex);
        wall.resize(2200, 1300);
        wall.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wall));
        QCOMPARE(wall.effectiveColumns(), columns);
        const auto pictureFits = [&wall, desktop] {
            for (RdpTile* tile : wall.tiles()) {
                const QWidget* picture = tile->findChild<RdpSurface*>();
                // The picture area has the desktop's shape, to the pixel.
                const qint64 exact = qint64(picture->width()) * desktop.height() / desktop.width();
                if (qAbs(picture->height() - exact) > 1) {
                    return false;
                }
            }
            return true;
        };
        QTRY_VERIFY(pictureFits());
        // Tiles fill the row: together with the gaps they span the viewport less a scroll bar's room.
        const QWidget* viewport = wall.findChild<QScrollArea*>()->viewport();
        QVERIFY(wall.tiles().first()->width() * columns > viewport->width() - 40 - 8 * (columns - 1));

        // Alone, a zoomed tile takes the whole view again.
        RdpTile* tile = wall.tiles().first();
        QTest::mouseDClick(tile, Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
        QTRY_VERIFY(tile->height() > viewport->height() - 40);
    }

    // The [display] layout: the columns chosen (a count the menu lacks joins it), and filling tiles that
    // make `rows` rows as high as the view, or tiles at the desktop's aspect.
    void layoutSettingsShapeTheWall_data()
    {
        QTest::addColumn<int>("hosts");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("columns");
        QTest::addColumn<bool>("fill");
        QTest::addColumn<int>("effective");
        QTest::addColumn<QString>("menuText");
        QTest::addColumn<int>("visibleRows"); // rows that fill the view; 0: aspect ratio
        QTest::newRow("2 x 2 filled, 8 hosts") << 8 << 2 << 2 << true << 2 << "2 列" << 2;
        QTest::newRow("3 rows of 4, 6 hosts fill 2") << 6 << 3 << 4 << true << 4 << "4 列（清晰）" << 2;
        QTest::newRow("one host fills the window") << 1 << 2 << 2 << true << 1 << "2 列" << 1;
        QTest::newRow("not filled keeps the aspect") << 8 << 2 << 3 << false << 3 << "3 列（大图）" << 0;
        QTest::newRow("automatic columns") << 8 << 2 << 0 << true << 6 << "自动" << 2;
        QTest::newRow("too many columns") << 40 << 1 << 99 << false << 6 << "6 列（紧凑）" << 0;
    }

    void layoutSettingsShapeTheWall()
    {
        QFETCH(int, hosts);
        QFETCH(int, rows);
        QFETCH(int, columns);
        QFETCH(bool, fill);
        QFETCH(int, effective);
        QFETCH(QString, menuText);
        QFETCH(int, visibleRows);
        TestWall wall(makeRemotes(hosts), QSize(1280, 720));
        wall.setLayoutSettings(rows, columns, fill);
        wall.resize(2200, 1300);
        wall.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wall));
        QCOMPARE(wall.effectiveColumns(), effective);
        QCOMPARE(wall.combo("columnCombo")->currentText(), menuText);
        const QWidget* viewport = wall.findChild<QScrollArea*>()->viewport();
        RdpTile* first = wall.tiles().first();
        if (visibleRows > 0) {
            // The rows, their gaps and the grid's margins take the view's height, to the rounding.
            const QMargins margins = first->parentWidget()->layout()->contentsMargins();
            const int room = viewport->height() - margins.top() - margins.bottom();
            QTRY_VERIFY2(qAbs(first->height() * visibleRows + 8 * (visibleRows - 1) - room) < visibleRows,
                         qPrintable(QStringLiteral("%1 %2").arg(first->height()).arg(room)));
        } else {
            const QWidget* picture = first->findChild<RdpSurface*>();
            QTRY_VERIFY(qAbs(picture->height() - qint64(picture->width()) * 720 / 1280) <= 1);
        }
        // Every tile has the first one's height.
        for (RdpTile* tile : wall.tiles()) {
            QCOMPARE(tile->height(), first->height());
        }
    }

    void toolBarWidgetsShowTheirWholeText()
    {
        TestWall wall({makeRemote(1)}, QSize(1920, 1080));
        wall.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wall));
        auto* bar = wall.findChild<QToolBar*>();
        int checked = 0;
        for (QAction* action : bar->actions()) {
            QWidget* widget = bar->widgetForAction(action);
            if (widget == nullptr || !widget->isVisible()) {
                continue; // in the tool bar's overflow menu
            }
            QVERIFY2(widget->width() >= widget->sizeHint().width(),
                     qPrintable(QStringLiteral("%1: %2 < %3")
                                    .arg(widget->objectName(), QString::number(widget->width()),
                                         QString::number(widget->sizeHint().width()))));
            ++checked;
        }
        QVERIFY(checked >= 4);
        // The resolution box fits its longest item.
        QComboBox* resolution = wall.combo("resolutionCombo");
        const int longest =
            resolution->fontMetrics().horizontalAdvance(QStringLiteral("1920 × 1080（当前）"));
        QVERIFY(resolution->width() > longest);
    }

    void anEndedTileFadesItsPicture()
    {
        TestWall wall({makeRemote(1)});
        wall.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wall));
        RecordingTile* tile = wall.recording().first();
        auto* picture = tile->findChild<RdpSurface*>();
        QImage frame(QSize(1280, 720), QImage::Format_RGB32);
        frame.fill(QColor(250, 40, 40));
        tile->connectNow();
        QVERIFY(deliverFrame(*tile->session(), frame));
        const auto centre = [picture] {
            const QImage shot = picture->grab().toImage();
            return shot.pixelColor(shot.width() / 2, shot.height() / 4);
        };
        QTRY_COMPARE(centre(), QColor(250, 40, 40));

        tile->disconnectSession();
        QTRY_COMPARE(tile->findChild<QLabel*>(QStringLiteral("statusLabel"))->text(),
                     QStringLiteral("已断开"));
        QCOMPARE(picture->text(), QStringLiteral("已断开连接"));
        // Faded towards the background, still recognisably the last picture.
        const QColor faded = centre();
        QVERIFY2(faded.red() < 125 && faded.red() > faded.green(), qPrintable(faded.name()));

        // The next frame is live again.
        tile->connectSession();
        tile->connectNow();
        QVERIFY(deliverFrame(*tile->session(), frame));
        QTRY_COMPARE(centre(), QColor(250, 40, 40));
    }

    void oddHostListsStillBuild()
    {
        // No hosts, duplicates and empty addresses: the wall still builds, one tile per entry.
        TestWall empty({});
        QCOMPARE(empty.tiles().size(), 0);
        QCOMPARE(empty.effectiveColumns(), 1);
        QCOMPARE(empty.summary(),
                 QStringLiteral("0 台主机 · 1 列 · 当前 1280 × 720 · Ctrl+双击画面单独放大"));

        Remote blank = makeRemote(9);
        blank.host.clear();
        TestWall odd({makeRemote(1), makeRemote(1), blank});
        QCOMPARE(odd.tiles().size(), 3);
        odd.disconnectAll();
        QCOMPARE(odd.status(), QStringLiteral("已请求断开全部屏幕墙会话。"));
    }
};

QTEST_MAIN(TestScreenWallWindow)
#include "test_screen_wall_window.moc"
