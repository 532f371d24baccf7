// Remote acceleration from the main window, with the process-wide manager talking to a real
// acceleration service and real TLS relay nodes on loopback: the button, its confirmations before the
// embedded sessions are reconnected, and the manager's messages in the status label and status bar.
// The session windows hold tiles whose FreeRDP session stays in the process (RecordingTile): they
// count as embedded sessions once they report being connected, and record where they connect to.

#include "cloud/account_client.h"
#include "network/acceleration_manager.h"
#include "storage/config_manager.h"
#include "support/acceleration_test_bed.h"
#include "support/inventory_records.h"
#include "support/modal_driver.h"
#include "support/recording_tile.h"
#include "support/scheduled_tasks.h"
#include "ui/acceleration_actions.h"
#include "ui/main_window.h"
#include "wall/screen_wall_window.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include <memory>

namespace {

constexpr int kWaitMs = 30000;

// Reaches the protected account setter the way the account service operations do.
class AccountAccess : public AccountClient
{
public:
    using AccountClient::setAccount;
};

void signInMember(AccountClient* client)
{
    MemberAccount account;
    account.signedIn = true;
    account.id = QStringLiteral("7");
    account.name = QStringLiteral("机房管理员");
    account.email = QStringLiteral("ops@example.com");
    account.role = QStringLiteral("owner");
    (client->*(&AccountAccess::setAccount))(account);
}

Remote makeRemote(int index)
{
    Remote remote;
    remote.id = QStringLiteral("id-%1").arg(index);
    remote.name = QStringLiteral("win-%1").arg(index);
    remote.host = QStringLiteral("192.0.2.%1").arg(index);
    remote.port = 3389;
    return remote;
}

// A session window whose reconnect timers belong to the test.
class TestWall : public ScreenWallWindow
{
public:
    explicit TestWall(const QList<Remote>& remotes)
        : ScreenWallWindow(
              remotes, QSize(1280, 720), 32, false, RdpEngine::FreeRdp, nullptr,
              [](const Remote& remote, QSize desktop, int depth, QWidget* parent, RdpEngine engine,
                 bool mixed) { return new RecordingTile(remote, desktop, depth, parent, engine, mixed); })
    {
    }

    ScheduledTasks scheduled;

    QList<RecordingTile*> recording() const { return RecordingTile::all(tiles()); }

protected:
    void schedule(int delayMs, std::function<void()> task) override
    {
        scheduled.add(delayMs, std::move(task));
    }
};

class TestWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;

    QList<QPointer<TestWall>> walls;

    TestWall* openWall(const QList<Remote>& hosts)
    {
        openSessions(SessionKind::ScreenWall, hosts, RdpKernel::FreeRdp);
        return walls.last();
    }

protected:
    ScreenWallWindow* createSessionWindow(const QList<Remote>& hosts, QSize, int, bool, RdpEngine) override
    {
        auto* wall = new TestWall(hosts);
        walls.append(wall);
        return wall;
    }
};

void compareBox(const SeenBox& seen, const QString& title, const QString& text, QMessageBox::Icon icon)
{
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.icon, icon);
}

QString statusText(const RdpTile* tile)
{
    return tile->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

} // namespace

class TestMainWindowAcceleration : public QObject
{
    Q_OBJECT

private:
    TestInventory m_inventory;
    std::unique_ptr<ConfigManager> m_config;
    std::unique_ptr<TestWindow> m_window;
    std::unique_ptr<AccelerationTestBed> m_bed;

    AccelerationManager* manager() const { return AccelerationManager::instance(); }
    AccountClient* account() const { return m_window->accountClient(); }
    QPushButton* button() const
    {
        return m_window->findChild<QPushButton*>(QStringLiteral("accelerationButton"));
    }
    QString label() const
    {
        return m_window->findChild<QLabel*>(QStringLiteral("accelerationLabel"))->text();
    }
    QString statusBarText() const { return m_window->statusBar()->currentMessage(); }

    // Signed in through the partner portal, with the portal session the service accepts.
    void enterPartnerMode()
    {
        account()->activatePartnerAccount(QStringLiteral("vantrel-42"), QStringLiteral("伙伴用户"),
                                          QStringLiteral("partner@example.com"));
        manager()->setPartnerSession(AccelerationTestBed::kCookie, AccelerationTestBed::kJwt);
    }

    // Clicks the button and waits for the check to end with acceleration on (no session open).
    void switchOn()
    {
        button()->click();
        QTRY_VERIFY_WITH_TIMEOUT(manager()->isEnabled(), kWaitMs);
    }

    // Clicks the button and answers the box it leads to, at once or after the service's answers.
    SeenBox clickAnswering(ModalDriver& driver, QMessageBox::StandardButton answer)
    {
        SeenBox seen;
        driver.answer(answer, &seen);
        button()->click();
        if (!QTest::qWaitFor([&driver] { return driver.done(); }, kWaitMs))
            QTest::qFail("the expected message box did not appear", __FILE__, __LINE__);
        return seen;
    }

    // Two walls with three connected tiles in all.
    QList<TestWall*> openConnectedWalls()
    {
        QList<TestWall*> walls{m_window->openWall({makeRemote(1), makeRemote(2)}),
                               m_window->openWall({makeRemote(3)})};
        for (TestWall* wall : walls) {
            for (RecordingTile* tile : wall->recording()) {
                tile->connectNow();
            }
        }
        return walls;
    }

    // Runs every wall's reconnect timers in order, after the queued ends of the stopped sessions.
    static QList<int> runReconnects(const QList<TestWall*>& walls)
    {
        QCoreApplication::processEvents();
        QList<int> delays;
        for (TestWall* wall : walls) {
            delays += wall->scheduled.runAll();
        }
        return delays;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_inventory.open());
        m_config = std::make_unique<ConfigManager>();
        m_window =
            std::make_unique<TestWindow>(m_inventory.db.get(), m_config.get(), m_inventory.crypto.get());
        m_window->show();
        // After the window: it points the manager at the configured service first.
        m_bed = std::make_unique<AccelerationTestBed>(3, AccelerationTestBed::Manager::Instance);
        QString error;
        QVERIFY2(m_bed->start(&error), qPrintable(error));
    }

    void cleanup()
    {
        for (const QPointer<TestWall>& wall : m_window->walls) {
            delete wall.data();
        }
        m_window->walls.clear();
        manager()->disableAcceleration();
        m_bed->service().holdReplies(false);
        m_bed->publishRelays();
    }

    void cleanupTestCase()
    {
        m_window.reset();
        m_bed.reset();
    }

    void startNeedsAPartnerAccount()
    {
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));
        QCOMPARE(label(), QStringLiteral("未加速"));
        ModalDriver driver;
        SeenBox seen;

        seen = clickAnswering(driver, QMessageBox::Ok);
        QVERIFY(driver.done());
        compareBox(seen, QStringLiteral("远程加速"),
                   QStringLiteral("登录后使用：远程加速需要使用合作云账号登录。"), QMessageBox::Information);

        // A member account of the program's own service is no partner account.
        signInMember(account());
        seen = clickAnswering(driver, QMessageBox::Ok);
        QVERIFY(driver.done());
        compareBox(seen, QStringLiteral("远程加速"), QStringLiteral("请先使用Vantrel账号登录。"),
                   QMessageBox::Information);
        QCOMPARE(m_bed->service().nodeListRequests(), 0);
        QVERIFY(!manager()->isBusy());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void otherAccountsDropThePortalSession()
    {
        ModalDriver driver;
        enterPartnerMode();
        switchOn();
        QCOMPARE(button()->text(), QStringLiteral("关闭远程加速"));

        // Signing out of the partner account switches acceleration off.
        account()->logout();
        QVERIFY(!manager()->isEnabled());
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));
        QCOMPARE(label(), QStringLiteral("远程加速已关闭"));
        QCOMPARE(statusBarText(), QStringLiteral("远程加速已关闭"));

        // A member account signing in forgets a portal session still held.
        manager()->setPartnerSession(AccelerationTestBed::kCookie, AccelerationTestBed::kJwt);
        signInMember(account());
        account()->activatePartnerAccount(QStringLiteral("vantrel-42"), QStringLiteral("伙伴用户"),
                                          QStringLiteral("partner@example.com"));
        SeenBox seen;
        seen = clickAnswering(driver, QMessageBox::Ok);
        QVERIFY(driver.done());
        compareBox(seen, QStringLiteral("远程加速"), QStringLiteral("请先登录Vantrel账号，再启动远程加速。"),
                   QMessageBox::Warning);
        QCOMPARE(label(), QStringLiteral("加速不可用"));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void startAndStopWithoutSessions()
    {
        ModalDriver driver;
        enterPartnerMode();
        QSignalSpy status(m_window->accelerationActions(), &AccelerationActions::statusMessage);
        QSignalSpy ready(manager(), &AccelerationManager::readyToEnable);

        // The service holds its answers: the check is busy, and another click changes nothing.
        m_bed->service().holdReplies(true);
        const int requests = m_bed->service().nodeListRequests();
        button()->click();
        QVERIFY(manager()->isBusy());
        QCOMPARE(label(), QStringLiteral("正在读取加速节点…"));
        QCOMPARE(statusBarText(), QStringLiteral("正在读取加速节点…"));
        QTRY_COMPARE_WITH_TIMEOUT(m_bed->service().nodeListRequests(), requests + 1, kWaitMs);
        button()->click();
        QVERIFY(manager()->isBusy());
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));

        // No session is open: acceleration goes on without a question.
        m_bed->service().holdReplies(false);
        m_bed->service().releaseHeldReplies();
        QTRY_VERIFY_WITH_TIMEOUT(manager()->isEnabled(), kWaitMs);
        QCOMPARE(m_bed->service().nodeListRequests(), requests + 1);
        QCOMPARE(ready.size(), 1);
        const AccelerationNode best = manager()->nodes().first();
        QCOMPARE(ready.first().at(0).toString(), best.name);
        const QString on =
            QStringLiteral("远程加速已开启：%1 · 节点延迟 %2 ms").arg(best.name).arg(best.latencyMs);
        QCOMPARE(button()->text(), QStringLiteral("关闭远程加速"));
        QCOMPARE(label(), on);
        QCOMPARE(statusBarText(), on);
        QVERIFY(status.contains(QVariantList{on, AccelerationActions::kStatusMs}));
        QVERIFY(status.contains(
            QVariantList{QStringLiteral("正在检测加速节点延迟…"), AccelerationActions::kStatusMs}));

        // Off again, without a question when no session is open.
        button()->click();
        QVERIFY(!manager()->isEnabled());
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));
        QCOMPARE(label(), QStringLiteral("远程加速已关闭"));
        QCOMPARE(statusBarText(), QStringLiteral("远程加速已关闭"));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void startWithOpenSessionsAsks()
    {
        ModalDriver driver;
        enterPartnerMode();
        const QList<TestWall*> walls = openConnectedWalls();
        QCOMPARE(m_window->accelerationActions()->embeddedSessionCount(), 3);
        QSignalSpy ready(manager(), &AccelerationManager::readyToEnable);
        const auto expectedQuestion = [&ready] {
            return QStringLiteral("香港节点 %1 可用，延迟 %2 ms。\n开启后将断开并重连当前 3 个内嵌远程会话，"
                                  "是否继续？\n已打开的独立 SSH 窗口需要重新打开。")
                .arg(ready.last().at(0).toString())
                .arg(ready.last().at(1).toInt());
        };

        // No: acceleration stays off and the sessions stay as they are.
        SeenBox seen;
        seen = clickAnswering(driver, QMessageBox::No);
        QVERIFY(driver.done());
        compareBox(seen, QStringLiteral("启动远程加速"), expectedQuestion(), QMessageBox::Question);
        QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QVERIFY(!manager()->isEnabled());
        QVERIFY(manager()->nodes().isEmpty()); // switched off: the offer is gone
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));
        for (TestWall* wall : walls) {
            QVERIFY(wall->scheduled.isEmpty());
            for (RecordingTile* tile : wall->recording()) {
                QCOMPARE(tile->stops, 0);
            }
        }

        // Yes: on, and every session reconnects through its loopback listener, 120 ms after the one
        // before, over both windows.
        seen = clickAnswering(driver, QMessageBox::Yes);
        QVERIFY(driver.done());
        QCOMPARE(seen.text, expectedQuestion());
        QVERIFY(manager()->isEnabled());
        QCOMPARE(button()->text(), QStringLiteral("关闭远程加速"));
        QCOMPARE(runReconnects(walls), (QList<int>{0, 120, 240}));
        for (TestWall* wall : walls) {
            for (RecordingTile* tile : wall->recording()) {
                QCOMPARE(tile->stops, 1);
                QCOMPARE(tile->starts.size(), 2);
                const Remote target = tile->starts.last().target;
                QCOMPARE(target.host, QStringLiteral("127.0.0.1"));
                QCOMPARE(target.port, manager()->route(tile->remote()).port);
                QCOMPARE(target.id, tile->remote().id);
            }
        }
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void stopWithOpenSessionsAsks()
    {
        ModalDriver driver;
        enterPartnerMode();
        switchOn();
        const QList<TestWall*> walls = openConnectedWalls();

        // No: acceleration stays on and nothing is reconnected.
        SeenBox seen;
        seen = clickAnswering(driver, QMessageBox::No);
        QVERIFY(driver.done());
        compareBox(seen, QStringLiteral("关闭远程加速"),
                   QStringLiteral("关闭后将断开并直连重连当前 3 个内嵌远程会话，是否继续？"),
                   QMessageBox::Question);
        QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QVERIFY(manager()->isEnabled());
        QCOMPARE(button()->text(), QStringLiteral("关闭远程加速"));
        for (TestWall* wall : walls) {
            QVERIFY(wall->scheduled.isEmpty());
        }

        // Yes: off, and every session reconnects to its host directly, staggered over both windows.
        seen = clickAnswering(driver, QMessageBox::Yes);
        QVERIFY(driver.done());
        QVERIFY(!manager()->isEnabled());
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));
        QCOMPARE(label(), QStringLiteral("远程加速已关闭"));
        QCOMPARE(runReconnects(walls), (QList<int>{0, 120, 240}));
        for (TestWall* wall : walls) {
            for (RecordingTile* tile : wall->recording()) {
                QCOMPARE(tile->stops, 1);
                QCOMPARE(tile->starts.size(), 2);
                QCOMPARE(tile->starts.last().target.host, tile->remote().host);
                QCOMPARE(tile->starts.last().target.port, tile->remote().port);
            }
        }
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void unusableServiceIsReported()
    {
        ModalDriver driver;
        enterPartnerMode();
        m_bed->service().setNodes({}, 2);
        SeenBox seen;
        seen = clickAnswering(driver, QMessageBox::Ok);
        QVERIFY(driver.done());
        compareBox(seen, QStringLiteral("远程加速"), QStringLiteral("加速节点配置不可用，请稍后再试。"),
                   QMessageBox::Warning);
        QCOMPARE(label(), QStringLiteral("加速不可用"));
        QVERIFY(!manager()->isEnabled());
        QCOMPARE(button()->text(), QStringLiteral("启动远程加速"));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void failedSessionTriesTheNextNodeThenGoesDirect()
    {
        ModalDriver driver;
        enterPartnerMode();
        switchOn();
        const int nodes = static_cast<int>(manager()->nodes().size());
        QCOMPARE(nodes, 3);
        TestWall* wall = m_window->openWall({makeRemote(5)});
        RecordingTile* tile = wall->recording().first();
        const int listener = manager()->route(tile->remote()).port;
        QCOMPARE(tile->starts.first().target.port, listener);
        tile->connectNow();
        QCOMPARE(statusText(tile), QStringLiteral("已连接"));
        QSignalSpy status(m_window->accelerationActions(), &AccelerationActions::statusMessage);

        // A network failure: the wall reconnects 250 ms later, through the same listener, whose next
        // tunnel starts at the next node.
        const QString lost = QStringLiteral("连接被服务器或网络中断");
        for (int node = 1; node < nodes; ++node) {
            emit tile->session()->errorOccurred(lost, 0x0002000D, RdpFailure::ConnectionLost);
            const QString trying = QStringLiteral("“win-5”正在尝试其他加速节点…");
            QCOMPARE(label(), trying);
            QCOMPARE(statusBarText(), trying);
            QCOMPARE(status.last(), (QVariantList{trying, AccelerationActions::kStatusMs}));
            QCOMPARE(runReconnects({wall}), QList<int>{250});
            QCOMPARE(tile->starts.last().target.host, QStringLiteral("127.0.0.1"));
            QCOMPARE(tile->starts.last().target.port, listener);
        }

        // The last node failed too: the host goes direct and says so, as under way.
        emit tile->session()->errorOccurred(lost, 0x0002000D, RdpFailure::ConnectionLost);
        const QString direct = QStringLiteral("“win-5”的加速节点均不可用，正在直接连接…");
        QCOMPARE(label(), direct);
        QCOMPARE(statusBarText(), direct);
        QCOMPARE(status.last(), (QVariantList{direct, AccelerationActions::kStatusMs}));
        QVERIFY(manager()->directRemoteIds().contains(QStringLiteral("id-5")));
        QCOMPARE(runReconnects({wall}), QList<int>{250});
        QCOMPARE(tile->starts.last().target.host, QStringLiteral("192.0.2.5"));
        QCOMPARE(tile->starts.last().target.port, 3389);
        tile->connectNow();
        QCOMPARE(statusText(tile), QStringLiteral("直连"));

        // A failure about the credentials is no reason to change anything.
        const int starts = static_cast<int>(tile->starts.size());
        emit tile->session()->errorOccurred(QStringLiteral("用户名或密码错误"), 0x00020009,
                                            RdpFailure::WrongCredentials);
        QCoreApplication::processEvents();
        QVERIFY(wall->scheduled.isEmpty());
        QCOMPARE(tile->starts.size(), starts);
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }
};

QTEST_MAIN(TestMainWindowAcceleration)
#include "test_main_window_acceleration.moc"
