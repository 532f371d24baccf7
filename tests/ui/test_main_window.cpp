#include "cloud/account_client.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"
#include "support/inventory_records.h"
#include "support/log_capture.h"
#include "support/modal_driver.h"
#include "support/recording_tile.h"
#include "support/scheduled_tasks.h"
#include "ui/host_table_view.h"
#include "ui/main_window.h"
#include "ui/remote_id_mime.h"
#include "wall/screen_wall_window.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDataStream>
#include <QDialogButtonBox>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QQueue>
#include <QScreen>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUuid>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <functional>
#include <memory>
#include <tuple>

namespace {

constexpr int kCheckColumn = 0;
constexpr int kNameColumn = 1;
constexpr int kTypeColumn = 2;
constexpr int kRemarkColumn = 8;

// Reaches the protected account setter the way the account service operations do.
class AccountAccess : public AccountClient
{
public:
    using AccountClient::setAccount;
};

void setAccount(AccountClient* client, const QString& name, const QString& role)
{
    MemberAccount account;
    account.signedIn = true;
    account.id = QStringLiteral("1");
    account.name = name;
    account.role = role;
    (client->*(&AccountAccess::setAccount))(account);
}

// The window with its file dialogs answered by the test, its session requests recorded, its timers run
// by the test and its session windows made of tiles that never leave the process.
class TestWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;
    using MainWindow::SessionKind;
    using MainWindow::sessionWindows;

    struct Launch
    {
        SessionKind kind;
        QStringList names;
        RdpKernel kernel;
    };
    struct Created
    {
        QPointer<ScreenWallWindow> window;
        QStringList names;
        QSize desktopSize;
        int colorDepth;
        bool autoMixed;
        RdpEngine engine;
    };
    struct Batch
    {
        QStringList names;
        QString command;
    };

    QList<Batch> batches;
    QStringList terminals;
    QString terminalError;
    QString importPath;
    QString exportPath;
    QList<Launch> launches;
    QList<Created> created;
    ScheduledTasks scheduled;

    // Runs what is due, as the timers would.
    QList<int> runScheduled() { return scheduled.runAll(); }

protected:
    void openSessions(SessionKind kind, const QList<Remote>& hosts, RdpKernel kernel) override
    {
        QStringList names;
        for (const Remote& remote : hosts) {
            names.append(remote.name);
        }
        launches.append({kind, names, kernel});
        MainWindow::openSessions(kind, hosts, kernel);
    }
    ScreenWallWindow* createSessionWindow(const QList<Remote>& hosts, QSize desktopSize, int colorDepth,
                                          bool autoMixed, RdpEngine engine) override
    {
        auto* window = new ScreenWallWindow(
            hosts, desktopSize, colorDepth, autoMixed, engine, nullptr,
            [](const Remote& remote, QSize size, int depth, QWidget* parent, RdpEngine tileEngine,
               bool mixed) { return new RecordingTile(remote, size, depth, parent, tileEngine, mixed); });
        QStringList names;
        for (const Remote& remote : hosts) {
            names.append(remote.name);
        }
        created.append({window, names, desktopSize, colorDepth, autoMixed, engine});
        return window;
    }
    void openBatchSsh(const QList<Remote>& hosts, const QString& command) override
    {
        QStringList names;
        for (const Remote& remote : hosts) {
            names.append(remote.name);
        }
        batches.append({names, command});
    }
    bool launchSshTerminal(const Remote& remote, QString* error) override
    {
        terminals.append(remote.name);
        *error = terminalError;
        return terminalError.isEmpty();
    }
    void schedule(int delayMs, std::function<void()> task) override
    {
        scheduled.add(delayMs, std::move(task));
    }
    QString chooseImportFile() override { return importPath; }
    QString chooseExportFile() override { return exportPath; }
};

QStringList columnTexts(const QTableView* table, int column)
{
    QStringList texts;
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        texts.append(model->index(row, column).data().toString());
    }
    return texts;
}

QStringList treeTexts(const QTreeWidget* tree)
{
    QStringList texts;
    std::function<void(const QTreeWidgetItem*)> walk = [&](const QTreeWidgetItem* item) {
        texts.append(item->text(0));
        for (int i = 0; i < item->childCount(); ++i) {
            walk(item->child(i));
        }
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        walk(tree->topLevelItem(i));
    }
    return texts;
}

QTreeWidgetItem* treeItem(const QTreeWidget* tree, const QString& textPrefix)
{
    const QList<QTreeWidgetItem*> found =
        tree->findItems(textPrefix, Qt::MatchStartsWith | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

int rowOf(const QTableView* table, const QString& name)
{
    return static_cast<int>(columnTexts(table, kNameColumn).indexOf(name));
}

// The cell of the host named `name` in `column`.
QModelIndex cell(const QTableView* table, const QString& name, int column)
{
    return table->model()->index(rowOf(table, name), column);
}

Qt::CheckState checkState(const QTableView* table, const QString& name)
{
    return cell(table, name, kCheckColumn).data(Qt::CheckStateRole).value<Qt::CheckState>();
}

// Clicks into the check boxes as the view would.
void checkRows(QTableView* table, const QStringList& names)
{
    for (const QString& name : names) {
        const int row = rowOf(table, name);
        QVERIFY2(row >= 0, qPrintable(name));
        QVERIFY(table->model()->setData(table->model()->index(row, kCheckColumn), Qt::Checked,
                                        Qt::CheckStateRole));
    }
}

// Qt hands drag moves, drops and leaves to the widget that accepted the drag's entry, so every
// synthetic drag starts with one.
bool enterDrag(QWidget* viewport, const QPoint& position, const QMimeData* mime)
{
    QDragEnterEvent enter(position, Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    return enter.isAccepted();
}

bool dropOn(QWidget* viewport, const QPoint& position, const QMimeData* mime)
{
    if (!enterDrag(viewport, position, mime)) {
        return false;
    }
    QDropEvent drop(position, Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    return drop.isAccepted();
}

QSet<QString> namesOf(const QList<Remote>& remotes)
{
    QSet<QString> names;
    for (const Remote& remote : remotes) {
        names.insert(remote.name);
    }
    return names;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestInventory> m_inventory;
    DatabaseManager* m_db = nullptr;
    std::unique_ptr<ConfigManager> m_config;
    std::unique_ptr<TestWindow> m_window;

    Group addGroup(const QString& name, const QString& id = QString()) { return storeGroup(*m_db, name, id); }

    Remote addHost(const QString& name, const QString& host, const Group& group,
                   const QString& protocol = QStringLiteral("rdp"), const QString& remark = QString(),
                   const QString& scope = QStringLiteral("owner"))
    {
        return storeHost(*m_db, name, host, group, {protocol, remark, scope});
    }

    TestWindow* openWindow()
    {
        m_window = std::make_unique<TestWindow>(m_db, m_config.get(), m_inventory->crypto.get());
        m_window->show();
        if (!QTest::qWaitForWindowExposed(m_window.get())) {
            qWarning("window not exposed");
        }
        return m_window.get();
    }

    QTableView* table() const { return m_window->findChild<QTableView*>(QStringLiteral("hostTable")); }
    QTreeWidget* tree() const { return m_window->findChild<QTreeWidget*>(QStringLiteral("assetTree")); }
    QComboBox* groupFilter() const { return m_window->findChild<QComboBox*>(QStringLiteral("groupFilter")); }
    QPushButton* button(const char* name) const
    {
        return m_window->findChild<QPushButton*>(QLatin1String(name));
    }
    QString summary() const { return m_window->findChild<QLabel*>(QStringLiteral("statusSummary"))->text(); }
    QString headerText() const
    {
        return table()->model()->headerData(kCheckColumn, Qt::Horizontal).toString();
    }
    QStringList shownNames() const { return columnTexts(table(), kNameColumn); }
    QSet<QString> shownSet() const
    {
        const QStringList names = shownNames();
        return QSet<QString>(names.cbegin(), names.cend());
    }

    // A press first, as a user's first click would, so that the view knows the pressed cell.
    void doubleClickName(const QString& name)
    {
        const QPoint centre = table()->visualRect(cell(table(), name, kNameColumn)).center();
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, centre);
    }

    void selectInTree(const QString& textPrefix)
    {
        QTreeWidgetItem* item = treeItem(tree(), textPrefix);
        QVERIFY2(item != nullptr, qPrintable(textPrefix));
        tree()->setCurrentItem(item);
        QCoreApplication::processEvents();
    }

    void selectGroupFilter(const QString& name)
    {
        const int index = groupFilter()->findText(name);
        QVERIFY(index > 0);
        groupFilter()->setCurrentIndex(index);
    }

    // An extra connection to the same file, for what the window's own connection must not see
    // coming (triggers that make writes fail).
    void execOnSecondConnection(const QString& statement)
    {
        const QString name =
            QStringLiteral("second-%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
        {
            QSqlDatabase second = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            second.setDatabaseName(m_inventory->filePath(QStringLiteral("data.db")));
            QVERIFY(second.open());
            QSqlQuery query(second);
            QVERIFY2(query.exec(statement), qPrintable(statement));
        }
        QSqlDatabase::removeDatabase(name);
    }

private slots:
    void init()
    {
        m_inventory = std::make_unique<TestInventory>();
        QVERIFY(m_inventory->open());
        m_db = m_inventory->db.get();
        m_config = std::make_unique<ConfigManager>();
    }

    void cleanup()
    {
        m_window.reset();
        m_config.reset();
        m_db = nullptr;
        m_inventory.reset();
    }

    void windowShowsNamedPartsAndFixedTexts()
    {
        addGroup(QStringLiteral("默认分组"));
        TestWindow* w = openWindow();
        QCOMPARE(w->windowTitle(), QStringLiteral("Nimbara-Vantrel特别版 - 多远程管理"));
        QCOMPARE(w->minimumSize(), QSize(980, 640));
        for (const char* name : {"heroCard", "memberCard", "sidebarCard"}) {
            QVERIFY2(w->findChild<QFrame*>(QLatin1String(name)) != nullptr, name);
        }
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("brandMark"))->text(), QStringLiteral("nb"));
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("brandMark"))->size(), QSize(54, 54));
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("editionBadge"))->text(),
                 QStringLiteral("Vantrel特别版"));
        QCOMPARE(w->findChild<QLineEdit*>(QStringLiteral("assetSearch"))->placeholderText(),
                 QStringLiteral("搜索名称、主机或备注"));
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("memberName"))->text(), QStringLiteral("未登录"));
        QCOMPARE(button("connectButton")->property("role").toString(), QStringLiteral("primary"));
        // On Linux the single connection runs the system's RDP client, not a Windows component.
        QCOMPARE(button("connectButton")->toolTip(),
                 QStringLiteral("单台连接使用系统 RDP 客户端，兼容剪贴板、文件拖入和旧版 Windows。"));
        QCOMPARE(button("deleteButton")->property("role").toString(), QStringLiteral("danger"));
        QVERIFY(w->font().families().contains(QStringLiteral("Noto Sans CJK SC")));

        QStringList headers;
        for (int column = 1; column < table()->model()->columnCount(); ++column) {
            headers.append(table()->model()->headerData(column, Qt::Horizontal).toString());
        }
        // The id column is the model's, not the table's.
        QCOMPARE(headers, (QStringList{"名称", "类型", "主机", "端口", "用户名", "分组", "权限", "备注"}));
        QCOMPARE(groupFilter()->itemText(0), QStringLiteral("全部主机"));

        // Placeholders answer without crashing.
        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::Ok, &seen);
        button("accelerationButton")->click();
        QCOMPARE(seen.text, QStringLiteral("登录后使用：远程加速需要使用合作云账号登录。"));
        QString settingsTitle;
        driver.then([&settingsTitle](QWidget* dialog) {
            settingsTitle = dialog->windowTitle();
            qobject_cast<QDialog*>(dialog)->reject();
        });
        button("settingsButton")->click();
        QCOMPARE(settingsTitle, QStringLiteral("全局设置"));
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void searchMatchesNameHostAndRemarkIgnoringCase()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("ABC-1"), QStringLiteral("10.0.0.1"), group);
        addHost(QStringLiteral("beta"), QStringLiteral("10.0.0.2"), group, QStringLiteral("ssh"),
                QStringLiteral("xAbCx"));
        addHost(QStringLiteral("gamma"), QStringLiteral("abc.example.com"), group);
        addHost(QStringLiteral("delta"), QStringLiteral("10.0.0.4"), group);
        openWindow();

        const QStringList treeBefore = treeTexts(tree());
        QTest::keyClicks(m_window->findChild<QLineEdit*>(QStringLiteral("assetSearch")),
                         QStringLiteral(" abc "));
        QCOMPARE(shownNames(), (QStringList{"ABC-1", "beta", "gamma"}));
        QCOMPARE(treeTexts(tree()), treeBefore);
        QCOMPARE(treeBefore.first(), QStringLiteral("全部主机  (4)"));
        QCOMPARE(summary(), QStringLiteral("全部 4 台  ·  当前显示 3 台  ·  Windows 3 台  ·  Linux 1 台"));

        m_window->findChild<QLineEdit*>(QStringLiteral("assetSearch"))->setText(QStringLiteral("nothing"));
        QCOMPARE(table()->model()->rowCount(), 0);
        QCOMPARE(summary(), QStringLiteral("全部 4 台  ·  当前显示 0 台  ·  Windows 3 台  ·  Linux 1 台"));
    }

    // A keystroke in the search field lays the table out once and paints it once, whether the list
    // narrows, widens, empties (its scroll bar goes) or stays.
    void keystrokePaintsTableOnce_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("key");
        QTest::newRow("narrows") << QString() << int(Qt::Key_7);
        QTest::newRow("widens") << QStringLiteral("7") << int(Qt::Key_Backspace);
        QTest::newRow("empties") << QStringLiteral("host") << int(Qt::Key_Z);
        QTest::newRow("keeps") << QStringLiteral("hos") << int(Qt::Key_T);
    }

    void keystrokePaintsTableOnce()
    {
        QFETCH(QString, before);
        QFETCH(int, key);
        const Group group = addGroup(QStringLiteral("默认分组"));
        for (int i = 0; i < 120; ++i) {
            addHost(QStringLiteral("host-%1").arg(i), QStringLiteral("10.0.1.%1").arg(i + 1), group);
        }
        openWindow();
        auto* search = m_window->findChild<QLineEdit*>(QStringLiteral("assetSearch"));
        search->setText(before);
        struct PaintCounter : QObject
        {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* event) override
            {
                paints += event->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        const auto drain = [] {
            for (int i = 0; i < 20; ++i) {
                QCoreApplication::processEvents();
            }
        };
        drain();
        table()->viewport()->installEventFilter(&counter);
        QTest::keyClick(search, Qt::Key(key));
        drain();
        QCOMPARE(counter.paints, 1);
    }

    void treeSelectsGroupAndProtocolFilters()
    {
        const Group office = addGroup(QStringLiteral("办公室"));
        const Group cloud = addGroup(QStringLiteral("云主机"));
        addHost(QStringLiteral("win-1"), QStringLiteral("10.0.0.1"), office);
        addHost(QStringLiteral("linux-upper"), QStringLiteral("10.0.0.2"), office, QStringLiteral("SSH"));
        addHost(QStringLiteral("linux-2"), QStringLiteral("10.0.0.3"), cloud, QStringLiteral("ssh"));
        addHost(QStringLiteral("win-2"), QStringLiteral("10.0.0.4"), cloud);
        addHost(QStringLiteral("other-proto"), QStringLiteral("10.0.0.5"), cloud, QStringLiteral("vnc"));
        openWindow();

        QCOMPARE(treeTexts(tree()),
                 (QStringList{"全部主机  (5)", "系统类型", "Windows / RDP  (3)", "Linux / SSH  (2)",
                              "主机分组", "办公室  (2)", "云主机  (3)"}));
        QCOMPARE(tree()->currentItem()->text(0), QStringLiteral("全部主机  (5)"));
        QCOMPARE(cell(table(), QStringLiteral("linux-upper"), kTypeColumn).data().toString(),
                 QStringLiteral("Linux / SSH"));
        QCOMPARE(cell(table(), QStringLiteral("other-proto"), kTypeColumn).data().toString(),
                 QStringLiteral("Windows / RDP"));

        selectInTree(QStringLiteral("Linux / SSH"));
        QTRY_COMPARE(shownSet(), (QSet<QString>{"linux-upper", "linux-2"}));
        QCOMPARE(groupFilter()->currentIndex(), 0);
        QCOMPARE(tree()->currentItem()->text(0), QStringLiteral("Linux / SSH  (2)"));
        QCOMPARE(summary(), QStringLiteral("全部 5 台  ·  当前显示 2 台  ·  Windows 3 台  ·  Linux 2 台"));

        selectInTree(QStringLiteral("云主机"));
        QTRY_COMPARE(shownNames().size(), 3);
        QCOMPARE(groupFilter()->currentText(), QStringLiteral("云主机"));
        QCOMPARE(shownSet(), (QSet<QString>{"linux-2", "win-2", "other-proto"}));
        QCOMPARE(tree()->currentItem()->text(0), QStringLiteral("云主机  (3)"));

        // A heading changes nothing.
        selectInTree(QStringLiteral("系统类型"));
        QTest::qWait(20);
        QCOMPARE(shownNames().size(), 3);
        QCOMPARE(groupFilter()->currentText(), QStringLiteral("云主机"));

        selectInTree(QStringLiteral("Windows / RDP"));
        QTRY_COMPARE(shownNames().size(), 3);
        QCOMPARE(groupFilter()->currentIndex(), 0);
        QVERIFY(!shownNames().contains(QStringLiteral("linux-2")));

        // The combo box clears the protocol filter.
        selectGroupFilter(QStringLiteral("办公室"));
        QCOMPARE(shownSet(), (QSet<QString>{"win-1", "linux-upper"}));
        QCOMPARE(tree()->currentItem()->text(0), QStringLiteral("办公室  (2)"));

        selectInTree(QStringLiteral("全部主机"));
        QTRY_COMPARE(shownNames().size(), 5);
        QCOMPARE(groupFilter()->currentIndex(), 0);
    }

    void checkControlsFollowChecksAndSurviveRefresh()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        openWindow();
        QCOMPARE(headerText(), QStringLiteral("☐ 全选"));
        QCOMPARE(button("selectAllButton")->text(), QStringLiteral("一键全选"));
        QVERIFY(!button("selectAllButton")->isEnabled());
        QCOMPARE(button("clearSelectionButton")->text(), QStringLiteral("取消选择"));
        QVERIFY(!button("clearSelectionButton")->isEnabled());

        addHost(QStringLiteral("a"), QStringLiteral("10.0.0.1"), group);
        addHost(QStringLiteral("b"), QStringLiteral("10.0.0.2"), group);
        addHost(QStringLiteral("c"), QStringLiteral("10.0.0.3"), group);
        m_window->refresh();
        QCOMPARE(button("selectAllButton")->text(), QStringLiteral("一键全选 (3)"));
        QVERIFY(button("selectAllButton")->isEnabled());

        checkRows(table(), {QStringLiteral("b")});
        QCOMPARE(headerText(), QStringLiteral("▣ 已选 1"));
        QCOMPARE(button("clearSelectionButton")->text(), QStringLiteral("取消选择 (1)"));
        QVERIFY(button("clearSelectionButton")->isEnabled());

        // Checks survive a refresh, also one that hides and shows the row again.
        auto* search = m_window->findChild<QLineEdit*>(QStringLiteral("assetSearch"));
        search->setText(QStringLiteral("b"));
        QCOMPARE(shownNames(), QStringList{"b"});
        QCOMPARE(headerText(), QStringLiteral("☑ 已全选"));
        search->clear();
        QCOMPARE(shownNames().size(), 3);
        QCOMPARE(checkState(table(), QStringLiteral("b")), Qt::Checked);
        QCOMPARE(checkState(table(), QStringLiteral("a")), Qt::Unchecked);
        QCOMPARE(headerText(), QStringLiteral("▣ 已选 1"));

        // Selecting a row checks it; leaving the selection keeps the check.
        table()->selectRow(rowOf(table(), QStringLiteral("c")));
        QCOMPARE(checkState(table(), QStringLiteral("c")), Qt::Checked);
        table()->selectRow(rowOf(table(), QStringLiteral("a")));
        QCOMPARE(checkState(table(), QStringLiteral("c")), Qt::Checked);
        QCOMPARE(headerText(), QStringLiteral("☑ 已全选"));
        QVERIFY(!button("selectAllButton")->isEnabled());
        QCOMPARE(button("clearSelectionButton")->text(), QStringLiteral("取消选择 (3)"));

        button("clearSelectionButton")->click();
        QCOMPARE(headerText(), QStringLiteral("☐ 全选"));
        QVERIFY(table()->selectionModel()->selectedRows().isEmpty());
        QVERIFY(!button("clearSelectionButton")->isEnabled());

        button("selectAllButton")->click();
        QCOMPARE(headerText(), QStringLiteral("☑ 已全选"));
        QCOMPARE(table()->selectionModel()->selectedRows().size(), 3);

        // The check header toggles between all and none.
        QHeaderView* header = table()->horizontalHeader();
        const QPoint checkSection(header->sectionViewportPosition(kCheckColumn) + 10, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, checkSection);
        QCOMPARE(headerText(), QStringLiteral("☐ 全选"));
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, checkSection);
        QCOMPARE(headerText(), QStringLiteral("☑ 已全选"));
        QCOMPARE(shownNames().size(), 3);
    }

    void agentGroupAloneBecomesDefaultGroup()
    {
        const Group agent = addGroup(QStringLiteral("Agent 托管主机"));
        addHost(QStringLiteral("managed"), QStringLiteral("10.0.0.1"), agent);
        openWindow();

        const QList<Group> groups = m_db->getGroups();
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups.first().id, agent.id);
        QCOMPARE(groups.first().name, QStringLiteral("默认分组"));
        QCOMPARE(m_db->getRemotesByGroup(agent.id).size(), 1);
        QCOMPARE(groupFilter()->itemText(1), QStringLiteral("默认分组"));
        QVERIFY(treeItem(tree(), QStringLiteral("默认分组  (1)")) != nullptr);
    }

    void agentGroupMergesIntoDefaultGroup()
    {
        const Group other = addGroup(QStringLiteral("其他"));
        const Group agent = addGroup(QStringLiteral("Agent 托管主机"));
        const Group fallback = addGroup(QStringLiteral("默认分组"));
        const Remote first = addHost(QStringLiteral("m1"), QStringLiteral("10.0.0.1"), agent);
        addHost(QStringLiteral("m2"), QStringLiteral("10.0.0.2"), agent);
        addHost(QStringLiteral("o1"), QStringLiteral("10.0.0.3"), other);
        openWindow();

        QStringList names;
        for (const Group& group : m_db->getGroups()) {
            names.append(group.name);
        }
        QCOMPARE(names, (QStringList{"其他", "默认分组"}));
        QCOMPARE(namesOf(m_db->getRemotesByGroup(fallback.id)), (QSet<QString>{"m1", "m2"}));
        // The hosts are written back whole: their passwords survive the move.
        QCOMPARE(m_db->getRemote(first.id)->password, QStringLiteral("pw-m1"));
        QVERIFY(treeItem(tree(), QStringLiteral("Agent")) == nullptr);
        QVERIFY(treeItem(tree(), QStringLiteral("默认分组  (2)")) != nullptr);
    }

    void moveCountsMovedAndAlreadyThere()
    {
        const Group source = addGroup(QStringLiteral("来源"));
        const Group target = addGroup(QStringLiteral("目标"));
        addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), source);
        addHost(QStringLiteral("h2"), QStringLiteral("10.0.0.2"), source);
        const Remote there = addHost(QStringLiteral("h3"), QStringLiteral("10.0.0.3"), target);
        openWindow();

        checkRows(table(), {QStringLiteral("h1"), QStringLiteral("h2"), QStringLiteral("h3")});
        ModalDriver driver;
        QString title;
        QString label;
        QStringList items;
        driver.input(QStringLiteral("移动到分组"));
        driver.input(QStringLiteral("目标"), &title, &label, &items);
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
        QCOMPARE(title, QStringLiteral("移动主机"));
        QCOMPARE(label, QStringLiteral("将 3 台主机移动到"));
        QCOMPARE(items, (QStringList{"来源", "目标"}));
        QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("已将 2 台主机移动到“目标”分组"));
        QCOMPARE(m_db->getRemotesByGroup(target.id).size(), 3);
        QCOMPARE(m_db->getRemote(there.id)->updated_at, kOldTime);
        QCOMPARE(m_db->getRemote(there.id)->password, QStringLiteral("pw-h3"));
        QCOMPARE(headerText(), QStringLiteral("☐ 全选"));
        QCOMPARE(treeItem(tree(), QStringLiteral("目标"))->text(0), QStringLiteral("目标  (3)"));

        checkRows(table(), {QStringLiteral("h1"), QStringLiteral("h3")});
        driver.input(QStringLiteral("移动到分组"));
        driver.input(QStringLiteral("目标"));
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("所选主机已经在“目标”分组中"));
    }

    void remoteIdPayloadRoundTrip()
    {
        const QStringList ids = {QStringLiteral("a1"), QStringLiteral("主机-2"), QString()};
        const QByteArray payload = encodeRemoteIds(ids);
        QCOMPARE(decodeRemoteIds(payload), ids);
        // Big-endian count, then byte length and UTF-16 big-endian text per id.
        QCOMPARE(payload.left(12), QByteArray::fromHex("00000003"
                                                       "00000004"
                                                       "00610031"));

        QByteArray qtList;
        QDataStream out(&qtList, QIODevice::WriteOnly);
        out << QStringList{QStringLiteral("x"), QStringLiteral("yz")};
        QCOMPARE(decodeRemoteIds(qtList), (QStringList{"x", "yz"}));

        QVERIFY(decodeRemoteIds(QByteArray()).isEmpty());
        QVERIFY(decodeRemoteIds(QByteArray::fromHex("7fffffff00000002")).isEmpty());
        QVERIFY(decodeRemoteIds(payload.left(payload.size() - 1)).isEmpty());
        QVERIFY(decodeRemoteIds(payload + QByteArray("x")).isEmpty());
    }

    void dropMovesOnlyOntoGroupItems()
    {
        const Group source = addGroup(QStringLiteral("来源"));
        const Group target = addGroup(QStringLiteral("目标"));
        const Remote one = addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), source);
        const Remote two = addHost(QStringLiteral("h2"), QStringLiteral("10.0.0.2"), source);
        openWindow();

        QMimeData mime;
        mime.setData(kRemoteIdsMimeType, encodeRemoteIds({one.id, two.id, one.id}));
        QWidget* viewport = tree()->viewport();
        const auto centreOf = [&](const QString& prefix) {
            return tree()->visualItemRect(treeItem(tree(), prefix)).center();
        };

        for (const QString& refused :
             {QStringLiteral("全部主机"), QStringLiteral("系统类型"), QStringLiteral("Linux / SSH")}) {
            QVERIFY(enterDrag(viewport, centreOf(refused), &mime));
            QDragMoveEvent move(centreOf(refused), Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(viewport, &move);
            QVERIFY2(!move.isAccepted(), qPrintable(refused));
            QVERIFY2(!dropOn(viewport, centreOf(refused), &mime), qPrintable(refused));
        }
        QCOMPARE(m_db->getRemotesByGroup(target.id).size(), 0);

        // Hovering a group item highlights it; another item or leaving restores it.
        QTreeWidgetItem* targetItem = treeItem(tree(), QStringLiteral("目标"));
        QTreeWidgetItem* sourceItem = treeItem(tree(), QStringLiteral("来源"));
        const QBrush before = targetItem->background(0);
        QVERIFY(enterDrag(viewport, centreOf(QStringLiteral("目标")), &mime));
        QDragMoveEvent move(centreOf(QStringLiteral("目标")), Qt::MoveAction, &mime, Qt::LeftButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &move);
        QVERIFY(move.isAccepted());
        QCOMPARE(move.dropAction(), Qt::MoveAction);
        QCOMPARE(targetItem->background(0).color(), QColor(QStringLiteral("#dce8ff")));
        QDragMoveEvent moveOn(centreOf(QStringLiteral("来源")), Qt::MoveAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &moveOn);
        QCOMPARE(targetItem->background(0), before);
        QCOMPARE(sourceItem->background(0).color(), QColor(QStringLiteral("#dce8ff")));
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(viewport, &leave);
        QCOMPARE(sourceItem->background(0), before);

        // Data of another format is not for the tree.
        QMimeData text;
        text.setText(one.id);
        QVERIFY(!enterDrag(viewport, centreOf(QStringLiteral("目标")), &text));

        QVERIFY(dropOn(viewport, centreOf(QStringLiteral("目标")), &mime));
        QCOMPARE(namesOf(m_db->getRemotesByGroup(target.id)), (QSet<QString>{"h1", "h2"}));
        QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("已将 2 台主机移动到“目标”分组"));
        QCOMPARE(treeItem(tree(), QStringLiteral("目标"))->text(0), QStringLiteral("目标  (2)"));
    }

    void moveToVanishedGroupWarns()
    {
        const Group source = addGroup(QStringLiteral("来源"));
        const Group doomed = addGroup(QStringLiteral("将删除"));
        const Remote one = addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), source);
        openWindow();
        const QPoint centre = tree()->visualItemRect(treeItem(tree(), QStringLiteral("将删除"))).center();
        QVERIFY(m_db->deleteGroup(doomed.id));

        QMimeData mime;
        mime.setData(kRemoteIdsMimeType, encodeRemoteIds({one.id}));
        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::Ok, &seen);
        dropOn(tree()->viewport(), centre, &mime);
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("无法移动"));
        QCOMPARE(seen.text, QStringLiteral("目标分组已经不存在，请刷新后重试。"));
        QCOMPARE(m_db->getRemote(one.id)->group_id, source.id);
    }

    void deleteIsAllOrNothing()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("keep"), QStringLiteral("10.0.0.1"), group);
        addHost(QStringLiteral("gone-1"), QStringLiteral("10.0.0.2"), group);
        addHost(QStringLiteral("gone-2"), QStringLiteral("10.0.0.3"), group);
        addHost(QStringLiteral("locked"), QStringLiteral("10.0.0.4"), group);
        openWindow();

        ModalDriver driver;
        SeenBox seen;
        checkRows(table(), {QStringLiteral("gone-1"), QStringLiteral("gone-2")});
        driver.answer(QMessageBox::No, &seen);
        m_window->deleteSelected();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("确认删除"));
        QCOMPARE(seen.text, QStringLiteral("确定删除选中的 2 台远程主机吗？"));
        QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QCOMPARE(m_db->getAllRemotes().size(), 4);

        driver.answer(QMessageBox::Yes);
        m_window->deleteSelected();
        QVERIFY(driver.done());
        QCOMPARE(namesOf(m_db->getAllRemotes()), (QSet<QString>{"keep", "locked"}));
        QCOMPARE(shownNames().size(), 2);

        // The second host refuses to go: the first must stay as well.
        execOnSecondConnection(
            QStringLiteral("CREATE TRIGGER refuse_delete BEFORE DELETE ON remotes "
                           "WHEN old.name = 'locked' BEGIN SELECT RAISE(ABORT, 'locked'); END"));
        checkRows(table(), {QStringLiteral("keep"), QStringLiteral("locked")});
        driver.answer(QMessageBox::Yes);
        driver.answer(QMessageBox::Ok, &seen);
        m_window->deleteSelected();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("删除失败"));
        QCOMPARE(seen.text, QStringLiteral("未删除任何主机，数据库事务已回滚。"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(namesOf(m_db->getAllRemotes()), (QSet<QString>{"keep", "locked"}));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void remarkEditsInlineAndWritesOnlyChanges()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        const Remote host = addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), group,
                                    QStringLiteral("rdp"), QStringLiteral("机房A"));
        const Remote empty = addHost(QStringLiteral("h2"), QStringLiteral("10.0.0.2"), group);
        openWindow();

        const QModelIndex remark = cell(table(), QStringLiteral("h1"), kRemarkColumn);
        QCOMPARE(remark.data(Qt::ToolTipRole).toString(), QStringLiteral("机房A\n\n双击可直接修改备注"));
        QCOMPARE(cell(table(), QStringLiteral("h2"), kRemarkColumn).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("双击直接填写备注"));

        // The same text after trimming writes nothing and only tidies the cell.
        QVERIFY(table()->model()->setData(remark, QStringLiteral("  机房A  ")));
        QCOMPARE(remark.data().toString(), QStringLiteral("机房A"));
        QCOMPARE(m_db->getRemote(host.id)->updated_at, kOldTime);

        // A double click on the remark cell opens the inline editor and connects nothing.
        const QRect remarkRect = table()->visualRect(remark);
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, remarkRect.center());
        QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, remarkRect.center());
        QLineEdit* editor = nullptr;
        QTRY_VERIFY((editor = table()->viewport()->findChild<QLineEdit*>(QStringLiteral("remarkEditor"))) !=
                    nullptr);
        QVERIFY(editor->styleSheet().contains(QStringLiteral("border:2px solid #4b7bec")));
        QTRY_COMPARE(editor->selectedText(), QStringLiteral("机房A"));
        QVERIFY(m_window->launches.isEmpty());

        editor->setText(QStringLiteral("  机房B 3排 "));
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(m_db->getRemote(host.id)->remark, QStringLiteral("机房B 3排"));
        QVERIFY(m_db->getRemote(host.id)->updated_at != kOldTime);
        QCOMPARE(m_db->getRemote(host.id)->password, QStringLiteral("pw-h1"));
        QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("备注已保存"));
        QTRY_COMPARE(cell(table(), QStringLiteral("h1"), kRemarkColumn).data(Qt::ToolTipRole).toString(),
                     QStringLiteral("机房B 3排\n\n双击可直接修改备注"));
        QCOMPARE(m_db->getRemote(empty.id)->updated_at, kOldTime);
    }

    void remarkSaveFailureRestoresCell()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        const Remote host = addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), group,
                                    QStringLiteral("rdp"), QStringLiteral("旧备注"));
        openWindow();
        execOnSecondConnection(QStringLiteral("CREATE TRIGGER refuse_update BEFORE UPDATE ON remotes "
                                              "BEGIN SELECT RAISE(ABORT, 'read only'); END"));

        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::Ok, &seen);
        const QModelIndex remark = table()->model()->index(0, kRemarkColumn);
        QVERIFY(!table()->model()->setData(remark, QStringLiteral("新备注")));
        QTRY_VERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("保存失败"));
        QCOMPARE(seen.text, QStringLiteral("无法保存这台主机的备注，请稍后重试。"));
        QCOMPARE(remark.data().toString(), QStringLiteral("旧备注"));
        QCOMPARE(m_db->getRemote(host.id)->remark, QStringLiteral("旧备注"));
    }

    void manyConnectionsNeedConsent()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        QStringList names;
        for (int i = 0; i < 13; ++i) {
            const QString name = QStringLiteral("win-%1").arg(i, 2, 10, QLatin1Char('0'));
            addHost(name, QStringLiteral("10.0.1.%1").arg(i + 1), group);
            names.append(name);
        }
        openWindow();
        ModalDriver driver;
        LogCapture log;

        checkRows(table(), names.mid(0, 12));
        m_window->connectSelected();
        QCOMPARE(m_window->launches.size(), 1);
        QCOMPARE(m_window->launches.first().kind, TestWindow::SessionKind::SystemRdp);
        QCOMPARE(m_window->launches.first().names, names.mid(0, 12));
        // The request is logged by name, never with a password.
        QVERIFY(log.text().contains(QStringLiteral("win-00")));
        QVERIFY(!log.text().contains(QStringLiteral("pw-")));

        checkRows(table(), {names.last()});
        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        m_window->connectSelected();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("确认建立多路连接"));
        QCOMPARE(seen.text,
                 QStringLiteral("将同时建立 13 路 RDP 连接，会明显占用本机 CPU、内存和网络带宽。是否继续？"));
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QCOMPARE(m_window->launches.size(), 1);

        driver.answer(QMessageBox::No);
        m_window->openScreenWall();
        QVERIFY(driver.done());
        QCOMPARE(m_window->launches.size(), 1);

        driver.answer(QMessageBox::Yes);
        m_window->openSystemScreenWall();
        QVERIFY(driver.done());
        QCOMPARE(m_window->launches.size(), 2);
        QCOMPARE(m_window->launches.last().kind, TestWindow::SessionKind::ScreenWall);
        QCOMPARE(m_window->launches.last().names.size(), 13);
        QCOMPARE(m_window->launches.last().kernel, RdpKernel::Mstsc);

        driver.answer(QMessageBox::Yes);
        m_window->openMultiScreen();
        QVERIFY(driver.done());
        QCOMPARE(m_window->launches.last().kind, TestWindow::SessionKind::MultiScreen);
        QCOMPARE(m_window->launches.last().kernel, m_config->config().default_kernel);
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void connectActionsSkipTheOtherType()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        for (const QString& name : {QStringLiteral("r1"), QStringLiteral("r2"), QStringLiteral("r3")}) {
            addHost(name, QStringLiteral("%1.example.com").arg(name), group);
        }
        addHost(QStringLiteral("s1"), QStringLiteral("10.0.0.21"), group, QStringLiteral("ssh"));
        addHost(QStringLiteral("s2"), QStringLiteral("10.0.0.22"), group, QStringLiteral("SSH"));
        openWindow();
        ModalDriver driver;
        SeenBox seen;

        checkRows(table(), shownNames());
        driver.answer(QMessageBox::Ok, &seen);
        m_window->connectSelected();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("连接类型提示"));
        QCOMPARE(seen.text, QStringLiteral("本操作只适用于 Windows / RDP 主机，已跳过 2 台 Linux 主机。"));
        QCOMPARE(m_window->launches.last().names, (QStringList{"r1", "r2", "r3"}));

        driver.answer(QMessageBox::Ok, &seen);
        m_window->connectSsh();
        QVERIFY(driver.done());
        QCOMPARE(seen.text, QStringLiteral("本操作只适用于 Linux / SSH 主机，已跳过 3 台 Windows 主机。"));
        QCOMPARE(m_window->launches.last().kind, TestWindow::SessionKind::SshTerminal);
        QCOMPARE(m_window->launches.last().names, (QStringList{"s1", "s2"}));

        // Only Linux hosts chosen: the screen wall has nothing left to show.
        button("clearSelectionButton")->click();
        checkRows(table(), {QStringLiteral("s1")});
        driver.answer(QMessageBox::Ok, &seen);
        SeenBox nothingLeft;
        driver.answer(QMessageBox::Ok, &nothingLeft);
        m_window->openScreenWall();
        QVERIFY(driver.done());
        QCOMPARE(seen.text, QStringLiteral("本操作只适用于 Windows / RDP 主机，已跳过 1 台 Linux 主机。"));
        QCOMPARE(nothingLeft.title, QStringLiteral("屏幕墙"));
        QCOMPARE(nothingLeft.text, QStringLiteral("请先选择至少一台远程主机"));

        driver.answer(QMessageBox::Ok);
        driver.answer(QMessageBox::Ok, &nothingLeft);
        m_window->openMultiScreen();
        QVERIFY(driver.done());
        QCOMPARE(nothingLeft.text, QStringLiteral("请选择远程主机并确认显示器可用"));

        // A double click on one chosen SSH host starts SSH.
        const qsizetype before = m_window->launches.size();
        doubleClickName(QStringLiteral("s1"));
        QCOMPARE(m_window->launches.size(), before + 1);
        QCOMPARE(m_window->launches.last().kind, TestWindow::SessionKind::SshTerminal);
        QCOMPARE(m_window->launches.last().names, QStringList{"s1"});

        // Two chosen of which one is SSH: the RDP one is connected over RDP.
        checkRows(table(), {QStringLiteral("r2")});
        driver.answer(QMessageBox::Ok, &seen);
        doubleClickName(QStringLiteral("r2"));
        QVERIFY(driver.done());
        QCOMPARE(m_window->launches.last().kind, TestWindow::SessionKind::SystemRdp);
        QCOMPARE(m_window->launches.last().names, QStringList{"r2"});

        // The batch chooser's SSH entry takes the Linux hosts only.
        QString title;
        QString label;
        QStringList items;
        driver.input(QStringLiteral("Linux SSH：批量执行命令"));
        driver.input(QStringLiteral("查看内存使用"), &title, &label, &items);
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("Linux 批量控制"));
        QCOMPARE(label, QStringLiteral("选择在 1 台 Linux 主机上执行的命令\n"
                                       "已保存密码的主机由 SSH 自动登录组件使用该密码登录，其余主机使用 "
                                       "SSH 密钥或 ssh-agent；不会弹出密码提示，密码也不会出现在命令行中。"));
        QCOMPARE(items, (QStringList{"查看系统信息", "查看磁盘使用", "查看内存使用", "查看运行时间",
                                     "自定义只读/运维命令"}));
        QCOMPARE(m_window->batches.size(), 1);
        QCOMPARE(m_window->batches.last().names, QStringList{"s1"});
        QCOMPARE(m_window->batches.last().command, QStringLiteral("free -h 2>/dev/null || vmstat -s"));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void batchSshCustomCommandNeedsConsent()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("s1"), QStringLiteral("10.0.5.1"), group, QStringLiteral("ssh"));
        addHost(QStringLiteral("s2"), QStringLiteral("10.0.5.2"), group, QStringLiteral("ssh"));
        addHost(QStringLiteral("w1"), QStringLiteral("10.0.5.3"), group);
        openWindow();
        ModalDriver driver;
        checkRows(table(), shownNames());

        const auto customCommand = [&driver](const QString& command) {
            driver.input(QStringLiteral("Linux SSH：批量执行命令"));
            driver.input(QStringLiteral("自定义只读/运维命令"));
            driver.then([command](QWidget* widget) {
                auto* dialog = qobject_cast<QInputDialog*>(widget);
                QVERIFY(dialog != nullptr);
                QCOMPARE(dialog->windowTitle(), QStringLiteral("自定义 Linux 命令"));
                dialog->setTextValue(command);
                dialog->accept();
            });
        };

        // Answered No: nothing starts.
        customCommand(QStringLiteral("  systemctl restart nginx \n"));
        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("确认自定义命令"));
        QCOMPARE(seen.text, QStringLiteral("自定义命令可能修改远程系统。确认在 2 台 Linux 主机执行吗？\n\n"
                                           "systemctl restart nginx"));
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QVERIFY(m_window->batches.isEmpty());

        // An empty command ends the action without a question.
        customCommand(QStringLiteral("   "));
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QVERIFY(m_window->batches.isEmpty());

        customCommand(QStringLiteral("systemctl restart nginx"));
        driver.answer(QMessageBox::Yes);
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QCOMPARE(m_window->batches.size(), 1);
        QCOMPARE(m_window->batches.last().names, (QStringList{"s1", "s2"}));
        QCOMPARE(m_window->batches.last().command, QStringLiteral("systemctl restart nginx"));

        // Terminals: 120 ms apart, each failure reported on its own.
        button("clearSelectionButton")->click();
        checkRows(table(), {QStringLiteral("s1"), QStringLiteral("s2")});
        m_window->terminalError = QStringLiteral("未找到终端");
        m_window->connectSsh();
        QVERIFY(m_window->terminals.isEmpty());
        driver.answer(QMessageBox::Ok, &seen);
        driver.answer(QMessageBox::Ok);
        QCOMPARE(m_window->runScheduled(), (QList<int>{0, 120}));
        QVERIFY(driver.done());
        QCOMPARE(m_window->terminals, (QStringList{"s1", "s2"}));
        QCOMPARE(seen.title, QStringLiteral("SSH连接失败"));
        QCOMPARE(seen.text, QStringLiteral("未找到终端"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void sessionWindowsFollowTheSettings()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        for (const QString& name : {QStringLiteral("r1"), QStringLiteral("r2"), QStringLiteral("r3")}) {
            addHost(name, QStringLiteral("%1.example.com").arg(name), group);
        }
        m_config->setDefaultResolution(ResolutionMode::Custom, 1600, 900);
        m_config->setColorDepth(16);
        m_config->setDefaultKernel(RdpKernel::FreeRdp);
        openWindow();
        checkRows(table(), shownNames());

        // One system RDP window per host, 150 ms apart, whatever the configured kernel.
        m_window->connectSelected();
        QVERIFY(m_window->created.isEmpty());
        QCOMPARE(m_window->runScheduled(), (QList<int>{0, 150, 300}));
        QCOMPARE(m_window->created.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const TestWindow::Created& single = m_window->created.at(i);
            const QString name = QStringLiteral("r%1").arg(i + 1);
            QCOMPARE(single.names, QStringList{name});
            QCOMPARE(single.engine, RdpEngine::System);
            QVERIFY(!single.autoMixed);
            QCOMPARE(single.colorDepth, 16);
            QCOMPARE(single.window->desktopSize(), QSize(1600, 900));
            QCOMPARE(single.window->windowTitle(),
                     name + QStringLiteral(" 系统 RDP - Nimbara-Vantrel特别版"));
            QVERIFY(single.window->isVisible());
        }

        // The wall takes the configured kernel; two or more hosts always run at 1280 × 720.
        m_window->openScreenWall();
        TestWindow::Created wall = m_window->created.last();
        QCOMPARE(wall.names, (QStringList{"r1", "r2", "r3"}));
        QCOMPARE(wall.engine, RdpEngine::FreeRdp);
        QVERIFY(!wall.autoMixed);
        QCOMPARE(wall.window->desktopSize(), QSize(1280, 720));
        QCOMPARE(wall.window->windowTitle(), QStringLiteral("Nimbara-Vantrel特别版 极速 屏幕墙 - 3 台"));
        for (RdpTile* tile : wall.window->tiles()) {
            const auto* recording = static_cast<RecordingTile*>(tile);
            QCOMPARE(recording->starts.size(), 1);
            QCOMPARE(recording->starts.first().desktopSize, QSize(1280, 720));
            QCOMPARE(recording->starts.first().colorDepth, 16);
        }

        m_config->setDefaultKernel(RdpKernel::Auto);
        m_window->openScreenWall();
        QCOMPARE(m_window->created.last().engine, RdpEngine::FreeRdp);
        QVERIFY(m_window->created.last().autoMixed);
        QCOMPARE(m_window->created.last().window->windowTitle(),
                 QStringLiteral("Nimbara-Vantrel特别版 自动混合 屏幕墙 - 3 台"));
        m_window->openSystemScreenWall();
        QCOMPARE(m_window->created.last().engine, RdpEngine::System);
        QVERIFY(!m_window->created.last().autoMixed);

        // Multi-screen: one window per host on the screens in turn, each pass inset further.
        const qsizetype before = m_window->created.size();
        m_window->openMultiScreen();
        QCOMPARE(m_window->created.size(), before + 3);
        const QList<QScreen*> screens = QGuiApplication::screens();
        for (int i = 0; i < 3; ++i) {
            const TestWindow::Created& entry = m_window->created.at(before + i);
            const int screen = i % int(screens.size());
            QCOMPARE(entry.names, QStringList{QStringLiteral("r%1").arg(i + 1)});
            QVERIFY(entry.autoMixed);
            QCOMPARE(entry.window->windowTitle(),
                     QStringLiteral("r%1 - Nimbara-Vantrel特别版 - 显示器%2").arg(i + 1).arg(screen + 1));
            // The window manager may move a window by its frame; the size is the window's own.
            const QRect expected = MainWindow::multiScreenGeometry(screens.at(screen)->availableGeometry(), i,
                                                                   int(screens.size()));
            QCOMPARE(entry.window->geometry().size(), expected.size());
            QVERIFY((entry.window->geometry().topLeft() - expected.topLeft()).manhattanLength() <= 4);
        }
        QCOMPARE(m_window->sessionWindows().size(), 9);

        // Fullscreen takes the primary screen's available size; the window mode 1280 × 720.
        button("clearSelectionButton")->click();
        checkRows(table(), {QStringLiteral("r1")});
        m_config->setDefaultResolution(ResolutionMode::Fullscreen, 0, 0);
        m_window->connectSelected();
        m_window->runScheduled();
        QCOMPARE(m_window->created.last().window->desktopSize(),
                 QGuiApplication::primaryScreen()->availableSize());
        m_config->setDefaultResolution(ResolutionMode::Window, 0, 0);
        m_window->openScreenWall();
        QCOMPARE(m_window->created.last().window->desktopSize(), QSize(1280, 720));
    }

    void sessionWindowReportsUpdateTheHost()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        const Remote host = addHost(QStringLiteral("old-2003"), QStringLiteral("10.0.3.1"), group);
        openWindow();
        checkRows(table(), {QStringLiteral("old-2003")});
        m_window->openScreenWall();
        ScreenWallWindow* wall = m_window->created.last().window;
        QVERIFY(wall != nullptr);

        emit wall->legacyCompatibilityDetected(host.id);
        std::optional<Remote> stored = m_db->getRemote(host.id);
        QVERIFY(stored->legacy_rdp_security);
        QVERIFY(stored->updated_at != kOldTime);
        // The password survives the write.
        QCOMPARE(stored->password, host.password);
        QCOMPARE(m_window->statusBar()->currentMessage(),
                 QStringLiteral("已自动为 old-2003 启用旧版 Windows 兼容模式"));

        // Already set, or an unknown host: nothing is written.
        m_window->statusBar()->clearMessage();
        const QDateTime firstWrite = stored->updated_at;
        emit wall->legacyCompatibilityDetected(host.id);
        emit wall->legacyCompatibilityDetected(QStringLiteral("no-such-host"));
        QCOMPARE(m_db->getRemote(host.id)->updated_at, firstWrite);
        QVERIFY(m_window->statusBar()->currentMessage().isEmpty());

        emit wall->certificateFingerprintTrusted(host.id, QStringLiteral("ab:cd:ef"));
        QCOMPARE(m_db->getRemote(host.id)->rdp_certificate_fingerprint, QStringLiteral("ab:cd:ef"));
        emit wall->certificateFingerprintTrusted(host.id, QString());
        QCOMPARE(m_db->getRemote(host.id)->rdp_certificate_fingerprint, QStringLiteral("ab:cd:ef"));
        QCOMPARE(m_db->getRemote(host.id)->password, host.password);

        // "返回主控端" brings a minimised controller back.
        m_window->showMinimized();
        emit wall->controllerWindowRequested();
        QVERIFY(!m_window->isMinimized());
        QVERIFY(m_window->isVisible());
    }

    void sessionWindowsCloseTogether()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("r1"), QStringLiteral("10.0.4.1"), group);
        addHost(QStringLiteral("r2"), QStringLiteral("10.0.4.2"), group);
        openWindow();
        checkRows(table(), shownNames());
        m_window->openScreenWall();
        m_window->openScreenWall();
        QCOMPARE(m_window->sessionWindows().size(), 2);
        QList<QPointer<RdpTile>> tiles;
        for (ScreenWallWindow* wall : m_window->sessionWindows()) {
            for (RdpTile* tile : wall->tiles()) {
                static_cast<RecordingTile*>(tile)->connectNow();
                tiles.append(tile);
            }
        }
        QCOMPARE(tiles.size(), 4);

        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        button("disconnectAllButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.text,
                 QStringLiteral("确定断开当前 2 个内嵌远程窗口中的全部会话吗？\n不会关闭或重启远程主机。"));
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QCOMPARE(m_window->sessionWindows().size(), 2);
        QVERIFY(tiles.first()->isActive());

        // Yes: every session is stopped and every window goes away.
        driver.answer(QMessageBox::Yes);
        m_window->disconnectAllSessions();
        QVERIFY(driver.done());
        for (const QPointer<RdpTile>& tile : tiles) {
            QVERIFY(!tile || static_cast<RecordingTile*>(tile.data())->stops > 0);
        }
        QTRY_VERIFY(m_window->sessionWindows().isEmpty());
        QTRY_VERIFY(std::all_of(tiles.begin(), tiles.end(),
                                [](const QPointer<RdpTile>& tile) { return tile.isNull(); }));

        // Closing the controller with a session open asks first; No keeps everything open.
        m_window->openScreenWall();
        QPointer<ScreenWallWindow> last = m_window->created.last().window;
        driver.answer(QMessageBox::No, &seen);
        QVERIFY(!m_window->close());
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("关闭 NIMBARA"));
        QCOMPARE(seen.text, QStringLiteral("还有 1 个远程会话窗口开着，关闭主窗口会同时断开其中的全部会话。\n"
                                           "确定关闭吗？"));
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QVERIFY(m_window->isVisible());
        QVERIFY(!last.isNull());

        // Yes closes the session windows too.
        driver.answer(QMessageBox::Yes);
        QVERIFY(m_window->close());
        QVERIFY(driver.done());
        QTRY_VERIFY(last.isNull());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void closingWithoutSessionsOrWhenTerminatedAsksNothing()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("r1"), QStringLiteral("10.0.4.1"), group);
        openWindow();
        ModalDriver driver;
        QVERIFY(m_window->close());
        QVERIFY(!m_window->isVisible());

        // A termination request turns the question off: the sessions close with the window.
        m_window->show();
        checkRows(table(), shownNames());
        m_window->openScreenWall();
        QPointer<ScreenWallWindow> wall = m_window->created.last().window;
        m_window->setAskBeforeClosing(false);
        QVERIFY(m_window->close());
        QTRY_VERIFY(wall.isNull());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void actionsWithoutHostsOrSessionsExplain()
    {
        addGroup(QStringLiteral("默认分组"));
        openWindow();
        ModalDriver driver;
        SeenBox seen;

        driver.answer(QMessageBox::Ok, &seen);
        m_window->showBatchOperations();
        QCOMPARE(seen.title, QStringLiteral("批量功能"));
        QCOMPARE(seen.text, QStringLiteral("请先选择一台或多台主机。"));

        driver.answer(QMessageBox::Ok, &seen);
        button("disconnectAllButton")->click();
        QCOMPARE(seen.title, QStringLiteral("批量关闭远程"));
        QCOMPARE(seen.text, QStringLiteral("当前没有由 NIMBARA 打开的内嵌远程会话。"));

        driver.answer(QMessageBox::Ok, &seen);
        m_window->exportHosts();
        QCOMPARE(seen.title, QStringLiteral("导出主机"));
        QCOMPARE(seen.text, QStringLiteral("当前没有可导出的主机。"));

        // Nothing chosen: every action that needs hosts says so, and does nothing.
        const QList<std::tuple<std::function<void()>, QString, QString>> actions = {
            {[this] { button("connectButton")->click(); }, "远程连接", "请先选择至少一台 Windows 远程主机"},
            {[this] { button("sshButton")->click(); }, "SSH连接", "请先选择至少一台 Linux 主机"},
            {[this] { button("deleteButton")->click(); }, "删除", "请先勾选或选中要删除的主机。"},
            {[this] { button("editButton")->click(); }, "编辑", "请先选中要编辑的主机。"},
            {[this] { button("screenWallButton")->click(); }, "屏幕墙", "请先选择至少一台远程主机"},
        };
        for (const auto& [run, title, text] : actions) {
            driver.answer(QMessageBox::Ok, &seen);
            run();
            QVERIFY(driver.done());
            QCOMPARE(seen.title, title);
            QCOMPARE(seen.text, text);
            QCOMPARE(seen.icon, QMessageBox::Information);
        }
        QVERIFY(m_window->launches.isEmpty());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void actionsWithoutFittingHostsExplain()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("r1"), QStringLiteral("10.0.0.1"), group);
        addHost(QStringLiteral("s1"), QStringLiteral("10.0.0.21"), group, QStringLiteral("ssh"));
        addHost(QStringLiteral("s2"), QStringLiteral("10.0.0.22"), group, QStringLiteral("ssh"));
        openWindow();
        ModalDriver driver;
        SeenBox seen;

        checkRows(table(), {QStringLiteral("s1"), QStringLiteral("s2")});
        driver.answer(QMessageBox::Ok, &seen);
        button("connectButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("远程连接"));
        QCOMPARE(seen.text,
                 QStringLiteral("所选的 2 台主机都是 Linux / SSH 主机，远程连接只适用于 Windows / RDP "
                                "主机；Linux 主机请使用“SSH连接”。"));

        button("clearSelectionButton")->click();
        checkRows(table(), {QStringLiteral("r1")});
        driver.answer(QMessageBox::Ok, &seen);
        button("sshButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("SSH连接"));
        QCOMPARE(seen.text,
                 QStringLiteral("所选的 1 台主机都是 Windows / RDP 主机，SSH连接只适用于 Linux / SSH "
                                "主机；Windows 主机请使用“远程连接”。"));

        driver.input(QStringLiteral("Linux SSH：批量执行命令"));
        driver.answer(QMessageBox::Ok, &seen);
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("批量功能"));
        QCOMPARE(seen.text, QStringLiteral("所选主机中没有 Linux / SSH 主机，无法批量执行命令。"));
        QVERIFY(m_window->launches.isEmpty());
        QVERIFY(m_window->batches.isEmpty());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void emptyTableSaysHowToAddHosts()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        openWindow();
        auto* view = qobject_cast<HostTableView*>(table());
        QVERIFY(view != nullptr);
        const QString firstStart = view->placeholderText();
        QVERIFY2(firstStart.contains(QStringLiteral("添加主机")) &&
                     firstStart.contains(QStringLiteral("导入主机")) &&
                     firstStart.contains(QStringLiteral("剪贴板")),
                 qPrintable(firstStart));

        addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), group);
        m_window->refresh();
        QVERIFY(view->placeholderText().isEmpty());

        // A filter that matches nothing says so instead.
        m_window->findChild<QLineEdit*>(QStringLiteral("assetSearch"))->setText(QStringLiteral("zzz"));
        const QString noMatch = view->placeholderText();
        QVERIFY(!noMatch.isEmpty());
        QVERIFY(noMatch != firstStart);
        QVERIFY(!noMatch.contains(QStringLiteral("添加主机")));
        m_window->findChild<QLineEdit*>(QStringLiteral("assetSearch"))->clear();
        QVERIFY(view->placeholderText().isEmpty());
    }

    void groupNamesMustBeUnique()
    {
        const Group first = addGroup(QStringLiteral("默认分组"));
        const Group second = addGroup(QStringLiteral("运维"));
        openWindow();
        ModalDriver driver;
        SeenBox seen;

        driver.input(QStringLiteral("  运维 "));
        driver.answer(QMessageBox::Ok, &seen);
        button("newGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("新建分组"));
        QCOMPARE(seen.text, QStringLiteral("已经有名为“运维”的分组，请换一个名称。"));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(m_db->getGroups(), (QList<Group>{first, second}));

        // The database tells letter cases apart, and so does the check.
        driver.input(QStringLiteral("Ops"));
        button("newGroupButton")->click();
        driver.input(QStringLiteral("ops"));
        button("newGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(m_db->getGroups().size(), 4);

        selectGroupFilter(QStringLiteral("运维"));
        driver.input(QStringLiteral("默认分组 "));
        driver.answer(QMessageBox::Ok, &seen);
        button("renameGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("重命名分组"));
        QCOMPARE(seen.text, QStringLiteral("已经有名为“默认分组”的分组，请换一个名称。"));
        QCOMPARE(m_db->getGroups().at(1), second);

        // Its own name again is no clash and writes nothing.
        driver.input(QStringLiteral("运维"));
        button("renameGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(m_db->getGroups().at(1), second);
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void groupOperationsAskAndReload()
    {
        const Group first = addGroup(QStringLiteral("默认分组"));
        openWindow();
        ModalDriver driver;
        QString title;
        QString label;

        driver.input(QStringLiteral("  运维  "), &title, &label);
        button("newGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("新建分组"));
        QCOMPARE(label, QStringLiteral("分组名称"));
        const QList<Group> groups = m_db->getGroups();
        QCOMPARE(groups.size(), 2);
        const Group created = groups.last();
        QCOMPARE(created.name, QStringLiteral("运维"));
        QCOMPARE(created.sort_order, 1);
        QVERIFY(!created.id.contains(QLatin1Char('{')));
        QCOMPARE(groupFilter()->currentText(), QStringLiteral("运维"));
        QCOMPARE(tree()->currentItem()->text(0), QStringLiteral("运维  (0)"));

        for (int i = 0; i < 5; ++i) {
            addHost(QStringLiteral("ops-%1").arg(i), QStringLiteral("10.0.2.%1").arg(i + 1), created);
        }
        addHost(QStringLiteral("stay"), QStringLiteral("10.0.3.1"), first);
        m_window->refresh();

        QString prefilled;
        driver.then([&](QWidget* widget) {
            auto* dialog = qobject_cast<QInputDialog*>(widget);
            QVERIFY(dialog != nullptr);
            title = dialog->windowTitle();
            prefilled = dialog->textValue();
            dialog->setTextValue(QStringLiteral("运维组"));
            dialog->accept();
        });
        button("renameGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("重命名分组"));
        QCOMPARE(prefilled, QStringLiteral("运维"));
        QCOMPARE(m_db->getGroups().last().name, QStringLiteral("运维组"));
        QCOMPARE(groupFilter()->currentText(), QStringLiteral("运维组"));
        QVERIFY(treeItem(tree(), QStringLiteral("运维组  (5)")) != nullptr);

        SeenBox seen;
        driver.answer(QMessageBox::No, &seen);
        button("deleteGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("删除分组"));
        QCOMPARE(seen.text, QStringLiteral("删除该分组会同时删除其中 5 台远程主机。确定继续吗？"));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.defaultButton, QMessageBox::No);
        QCOMPARE(m_db->getGroups().size(), 2);

        driver.answer(QMessageBox::Yes);
        button("deleteGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(m_db->getGroups().size(), 1);
        QCOMPARE(namesOf(m_db->getAllRemotes()), QSet<QString>{"stay"});
        QCOMPARE(groupFilter()->currentIndex(), 0);
        QCOMPARE(shownNames(), QStringList{"stay"});

        selectGroupFilter(QStringLiteral("默认分组"));
        driver.answer(QMessageBox::Ok, &seen);
        button("deleteGroupButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("不能删除"));
        QCOMPARE(seen.text, QStringLiteral("至少保留一个分组"));
        QCOMPARE(m_db->getGroups().size(), 1);
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void teamMemberSeesOnlyTeamHosts()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("private"), QStringLiteral("10.0.0.1"), group);
        addHost(QStringLiteral("shared-win"), QStringLiteral("10.0.0.2"), group, QStringLiteral("rdp"),
                QString(), QStringLiteral("team"));
        addHost(QStringLiteral("shared-linux"), QStringLiteral("10.0.0.3"), group, QStringLiteral("ssh"),
                QString(), QStringLiteral("team"));
        openWindow();
        QCOMPARE(shownNames().size(), 3);

        setAccount(m_window->accountClient(), QStringLiteral("小王"), QStringLiteral("member"));
        QCOMPARE(shownSet(), (QSet<QString>{"shared-win", "shared-linux"}));
        QCOMPARE(treeItem(tree(), QStringLiteral("全部主机"))->text(0), QStringLiteral("全部主机  (2)"));
        QCOMPARE(summary(), QStringLiteral("全部 2 台  ·  当前显示 2 台  ·  Windows 1 台  ·  Linux 1 台"));
        QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("memberName"))->text(),
                 QStringLiteral("小王 · 子账号"));

        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::Ok, &seen);
        button("permissionButton")->click();
        QCOMPARE(seen.text, QStringLiteral("只有主账号可以修改主机访问权限。"));

        setAccount(m_window->accountClient(), QStringLiteral("老板"), QStringLiteral("owner"));
        QCOMPARE(shownNames().size(), 3);
        driver.answer(QMessageBox::Ok, &seen);
        button("permissionButton")->click();
        QCOMPARE(seen.title, QStringLiteral("权限设置"));
        QCOMPARE(seen.text, QStringLiteral("请先勾选一台或多台主机。"));

        checkRows(table(), {QStringLiteral("private"), QStringLiteral("shared-win")});
        QString label;
        QStringList items;
        driver.input(QStringLiteral("主账号及所有子账号可用"), nullptr, &label, &items);
        button("permissionButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(label, QStringLiteral("所选 2 台主机允许谁使用？"));
        QCOMPARE(items, (QStringList{"仅主账号可用", "主账号及所有子账号可用"}));
        QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("已更新 2 台主机的访问权限"));
        for (const Remote& remote : m_db->getAllRemotes()) {
            QCOMPARE(remote.access_scope, QStringLiteral("team"));
        }
        QCOMPARE(cell(table(), QStringLiteral("private"), 7).data().toString(),
                 QStringLiteral("主账号 + 子账号"));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void signedOutUserCannotSetPermissions()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), group);
        openWindow();
        checkRows(table(), {QStringLiteral("h1")});
        ModalDriver driver;
        SeenBox seen;
        driver.answer(QMessageBox::Ok, &seen);
        button("permissionButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("权限设置"));
        QCOMPARE(seen.text, QStringLiteral("请先登录会员账号。"));
    }

    void batchRemarkOverwritesChosenHosts()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), group, QStringLiteral("rdp"),
                QStringLiteral("旧1"));
        addHost(QStringLiteral("h2"), QStringLiteral("10.0.0.2"), group, QStringLiteral("rdp"),
                QStringLiteral("旧2"));
        const Remote untouched = addHost(QStringLiteral("h3"), QStringLiteral("10.0.0.3"), group,
                                         QStringLiteral("rdp"), QStringLiteral("旧3"));
        openWindow();
        checkRows(table(), {QStringLiteral("h1"), QStringLiteral("h2")});

        ModalDriver driver;
        QString title;
        QString label;
        driver.input(QStringLiteral("修改备注"));
        driver.input(QStringLiteral("  \n "), &title, &label);
        m_window->showBatchOperations();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("批量修改备注"));
        QCOMPARE(label, QStringLiteral("将覆盖所选 2 台主机的备注"));
        for (const Remote& remote : m_db->getAllRemotes()) {
            QCOMPARE(remote.remark, remote.id == untouched.id ? QStringLiteral("旧3") : QString());
            QCOMPARE(remote.password, QStringLiteral("pw-") + remote.name);
        }
    }

    void contextMenuFollowsChosenHosts()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("h1"), QStringLiteral("10.0.0.1"), group);
        addHost(QStringLiteral("h2"), QStringLiteral("10.0.0.2"), group);
        openWindow();

        QStringList enabled;
        const auto readMenu = [&] {
            QTimer::singleShot(20, this, [&] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                QVERIFY(menu != nullptr);
                enabled.clear();
                for (QAction* action : menu->actions()) {
                    if (!action->isSeparator() && action->isEnabled()) {
                        enabled.append(action->text());
                    }
                }
                menu->close();
            });
        };

        const QPoint h1 = table()->visualRect(cell(table(), QStringLiteral("h1"), 1)).center();
        readMenu();
        m_window->showContextMenu(h1);
        QCOMPARE(checkState(table(), QStringLiteral("h1")), Qt::Checked);
        QCOMPARE(enabled, (QStringList{"编辑主机", "远程连接", "SSH 连接", "移动到分组", "批量修改备注",
                                       "导出所选主机", "批量功能", "删除"}));

        checkRows(table(), {QStringLiteral("h2")});
        readMenu();
        m_window->showContextMenu(h1);
        QVERIFY(!enabled.contains(QStringLiteral("编辑主机")));
        QVERIFY(enabled.contains(QStringLiteral("删除")));
    }

    void editorActionsStoreThroughTheDatabase()
    {
        const Group first = addGroup(QStringLiteral("默认分组"));
        const Group second = addGroup(QStringLiteral("第二组"));
        const Remote existing = addHost(QStringLiteral("old"), QStringLiteral("10.0.0.1"), first);
        openWindow();
        selectGroupFilter(QStringLiteral("第二组"));

        ModalDriver driver;
        QString title;
        QString preselected;
        driver.then([&](QWidget* widget) {
            title = widget->windowTitle();
            preselected =
                widget->findChild<QComboBox*>(QStringLiteral("hostGroupCombo"))->currentData().toString();
            widget->findChild<QLineEdit*>(QStringLiteral("hostNameEdit"))->setText(QStringLiteral("新主机"));
            widget->findChild<QLineEdit*>(QStringLiteral("hostAddressEdit"))
                ->setText(QStringLiteral("10.0.0.9"));
            qobject_cast<QDialog*>(widget)->accept();
        });
        button("addHostButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("添加远程主机"));
        QCOMPARE(preselected, second.id);
        QCOMPARE(namesOf(m_db->getRemotesByGroup(second.id)), QSet<QString>{"新主机"});
        QCOMPARE(shownNames(), QStringList{"新主机"});

        selectGroupFilter(QStringLiteral("默认分组"));
        table()->setCurrentIndex(cell(table(), QStringLiteral("old"), kNameColumn));
        driver.then([&](QWidget* widget) {
            title = widget->windowTitle();
            widget->findChild<QLineEdit*>(QStringLiteral("hostNameEdit"))->setText(QStringLiteral("renamed"));
            qobject_cast<QDialog*>(widget)->accept();
        });
        button("editButton")->click();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("编辑远程主机"));
        const std::optional<Remote> edited = m_db->getRemote(existing.id);
        QCOMPARE(edited->name, QStringLiteral("renamed"));
        QCOMPARE(edited->password, QStringLiteral("pw-old"));
        QCOMPARE(shownNames(), QStringList{"renamed"});
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void exportedFileImportsAgain()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("win"), QStringLiteral("10.0.0.1"), group, QStringLiteral("rdp"),
                QStringLiteral("前台"), QStringLiteral("team"));
        addHost(QStringLiteral("linux"), QStringLiteral("10.0.0.2"), group, QStringLiteral("ssh"));
        TestWindow* w = openWindow();
        w->exportPath = m_inventory->filePath(QStringLiteral("hosts.csv"));
        ModalDriver driver;
        SeenBox question;
        SeenBox done;

        // Cancel at the password question writes nothing.
        driver.answer(QMessageBox::Cancel, &question);
        w->exportHosts();
        QVERIFY(driver.done());
        QCOMPARE(question.title, QStringLiteral("是否导出密码"));
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QCOMPARE(question.defaultButton, QMessageBox::No);
        QVERIFY(!QFile::exists(w->exportPath));

        // Yes, then anything but Yes at the second question, writes nothing either.
        SeenBox confirm;
        driver.answer(QMessageBox::Yes);
        driver.answer(QMessageBox::No, &confirm);
        w->exportHosts();
        QVERIFY(driver.done());
        QCOMPARE(confirm.title, QStringLiteral("确认导出明文凭据"));
        QCOMPARE(confirm.defaultButton, QMessageBox::No);
        QVERIFY(!QFile::exists(w->exportPath));

        driver.answer(QMessageBox::Yes);
        driver.answer(QMessageBox::Yes);
        driver.answer(QMessageBox::Ok, &done);
        w->exportHosts();
        QVERIFY(driver.done());
        QCOMPARE(done.title, QStringLiteral("导出完成"));
        QCOMPARE(done.text, QStringLiteral("已导出 2 台主机。文件包含明文密码，请妥善保管。"));
        QFile exported(w->exportPath);
        QVERIFY(exported.open(QIODevice::ReadOnly));
        QVERIFY(exported.readAll().contains("pw-win"));
        exported.close();

        // Without passwords, then back in through the import.
        driver.answer(QMessageBox::No);
        driver.answer(QMessageBox::Ok, &done);
        w->exportHosts();
        QVERIFY(driver.done());
        QCOMPARE(done.text, QStringLiteral("已导出 2 台主机。密码列已留空。"));

        QStringList ids;
        for (const Remote& remote : m_db->getAllRemotes()) {
            ids.append(remote.id);
        }
        QVERIFY(m_db->deleteRemotes(ids));
        w->refresh();
        QCOMPARE(table()->model()->rowCount(), 0);

        w->importPath = w->exportPath;
        driver.answer(QMessageBox::Ok, &done);
        w->importHosts();
        QVERIFY(driver.done());
        QCOMPARE(done.title, QStringLiteral("导入完成"));
        QCOMPARE(done.text, QStringLiteral("已从hosts.csv安全导入 2 台主机，密码已加密保存。"));
        QCOMPARE(table()->model()->rowCount(), 2);
        const QList<Remote> imported = m_db->getAllRemotes();
        QCOMPARE(namesOf(imported), (QSet<QString>{"win", "linux"}));
        for (const Remote& remote : imported) {
            QCOMPARE(remote.group_id, group.id);
            if (remote.name == QLatin1String("linux")) {
                QVERIFY(remote.isSsh());
                QVERIFY(remote.remark.isEmpty());
                QCOMPARE(remote.access_scope, QStringLiteral("owner"));
            } else {
                QCOMPARE(remote.remark, QStringLiteral("前台"));
                QCOMPARE(remote.access_scope, QStringLiteral("team"));
            }
        }

        driver.answer(QMessageBox::Ok, &done);
        w->importHosts();
        QVERIFY(driver.done());
        QCOMPARE(done.title, QStringLiteral("无需导入"));
        QCOMPARE(done.text, QStringLiteral("导入内容中的主机已经存在。"));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void importReportsReaderAndParserFailures()
    {
        addGroup(QStringLiteral("默认分组"));
        TestWindow* w = openWindow();
        ModalDriver driver;
        SeenBox seen;

        w->importPath = m_inventory->filePath(QStringLiteral("hosts.pdf"));
        QFile pdf(w->importPath);
        QVERIFY(pdf.open(QIODevice::WriteOnly));
        pdf.write("10.0.0.1,3389\n");
        pdf.close();
        driver.answer(QMessageBox::Ok, &seen);
        w->importHosts();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("导入失败"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QVERIFY(!seen.text.isEmpty());

        w->importPath = m_inventory->filePath(QStringLiteral("bad.csv"));
        QFile bad(w->importPath);
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("10.0.0.1,abc\n");
        bad.close();
        driver.answer(QMessageBox::Ok, &seen);
        w->importHosts();
        QVERIFY(driver.done());
        QCOMPARE(seen.title, QStringLiteral("导入失败"));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.text, QStringLiteral("第 1 行主机或端口无效"));

        // No file chosen: nothing happens.
        w->importPath.clear();
        w->importHosts();
        QVERIFY(driver.done());
        QVERIFY(m_db->getAllRemotes().isEmpty());
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void clipboardImportDialog()
    {
        const Group group = addGroup(QStringLiteral("默认分组"));
        addHost(QStringLiteral("existing"), QStringLiteral("10.0.0.1"), group);
        openWindow();
        QApplication::clipboard()->setText(
            QStringLiteral("10.0.0.1,3389\n10.0.0.5，，admin\n10.0.0.6,22,root"));

        ModalDriver driver;
        QSize size;
        QString placeholder;
        QString prefilled;
        QString title;
        driver.then([&](QWidget* widget) {
            title = widget->windowTitle();
            size = widget->size();
            auto* editor = widget->findChild<QPlainTextEdit*>(QStringLiteral("clipboardImportText"));
            QVERIFY(editor != nullptr);
            placeholder = editor->placeholderText();
            prefilled = editor->toPlainText();
            widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        SeenBox done;
        driver.answer(QMessageBox::Ok, &done);
        m_window->importFromClipboard();
        QVERIFY(driver.done());
        QCOMPARE(title, QStringLiteral("从剪贴板导入主机"));
        QCOMPARE(size, QSize(760, 520));
        QCOMPARE(
            placeholder,
            QStringLiteral(
                "192.168.1.10,3389,Administrator,密码,Windows主机\n192.168.1.20，22，root，密码，Linux主机"));
        QCOMPARE(prefilled, QApplication::clipboard()->text());
        QCOMPARE(done.title, QStringLiteral("导入完成"));
        QCOMPARE(done.text,
                 QStringLiteral("已从剪贴板安全导入 2 台主机，密码已加密保存。\n已自动跳过 1 台重复主机。"));
        const QList<Remote> remotes = m_db->getAllRemotes();
        QCOMPARE(remotes.size(), 3);
        for (const Remote& remote : remotes) {
            if (remote.host == QLatin1String("10.0.0.5")) {
                QCOMPARE(remote.port, 3389);
                QCOMPARE(remote.name, QStringLiteral("10.0.0.5"));
            } else if (remote.host == QLatin1String("10.0.0.6")) {
                QVERIFY(remote.isSsh());
            }
        }

        // Cancel or white space only imports nothing.
        QApplication::clipboard()->setText(QStringLiteral("  \n "));
        driver.then([](QWidget* widget) {
            widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        m_window->importFromClipboard();
        QVERIFY(driver.done());
        QCOMPARE(m_db->getAllRemotes().size(), 3);

        // Text without a host is refused over the dialog, which keeps it for mending.
        QApplication::clipboard()->setText(QStringLiteral("not a host"));
        QPointer<QDialog> pasted;
        QString kept;
        SeenBox refused;
        driver.then([&](QWidget* widget) {
            pasted = qobject_cast<QDialog*>(widget);
            // Outside this handler, so the driver sees the box the click opens.
            QTimer::singleShot(0, widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                               &QAbstractButton::click);
        });
        driver.then([&](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QVERIFY(box);
            refused.title = box->windowTitle();
            const bool open = pasted && pasted->isVisible();
            kept = open ? pasted->findChild<QPlainTextEdit*>()->toPlainText() : QString();
            box->button(QMessageBox::Ok)->click();
            if (open)
                QTimer::singleShot(0, pasted, &QDialog::reject);
        });
        m_window->importFromClipboard();
        QVERIFY(driver.done());
        QCOMPARE(refused.title, QStringLiteral("导入失败"));
        QCOMPARE(kept, QStringLiteral("not a host"));
        QCOMPARE(m_db->getAllRemotes().size(), 3);

        // A paste the database refuses to take comes back in the dialog, as pasted.
        execOnSecondConnection(QStringLiteral("CREATE TRIGGER refuse_insert BEFORE INSERT ON remotes "
                                              "BEGIN SELECT RAISE(ABORT, 'full'); END"));
        QApplication::clipboard()->setText(QStringLiteral("10.0.0.9,3389,admin"));
        SeenBox failed;
        QString reopened;
        driver.then([](QWidget* widget) {
            widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        driver.answer(QMessageBox::Ok, &failed);
        driver.then([&](QWidget* widget) {
            reopened = widget->findChild<QPlainTextEdit*>()->toPlainText();
            qobject_cast<QDialog*>(widget)->reject();
        });
        m_window->importFromClipboard();
        QVERIFY(driver.done());
        QCOMPARE(failed.title, QStringLiteral("导入失败"));
        QCOMPARE(reopened, QStringLiteral("10.0.0.9,3389,admin"));
        QCOMPARE(m_db->getAllRemotes().size(), 3);
        execOnSecondConnection(QStringLiteral("DROP TRIGGER refuse_insert"));

        SeenBox help;
        driver.answer(QMessageBox::Ok, &help);
        m_window->showImportFormatHelp();
        QCOMPARE(help.title, QStringLiteral("导入格式说明"));
        QVERIFY(help.text.startsWith(QStringLiteral("支持 CSV、TXT、XLS、XLSX，也可以直接粘贴剪贴板内容。")));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join('\n')));
    }

    void multiScreenWindowsInsetPerPass()
    {
        const QRect first(0, 0, 1920, 1040);
        const QRect second(1920, 0, 1280, 984);
        QCOMPARE(MainWindow::multiScreenGeometry(first, 0, 2), first);
        QCOMPARE(MainWindow::multiScreenGeometry(second, 1, 2), second);
        QCOMPARE(MainWindow::multiScreenGeometry(first, 2, 2), first.adjusted(32, 32, -32, -32));
        QCOMPARE(MainWindow::multiScreenGeometry(second, 3, 2), second.adjusted(32, 32, -32, -32));
        // Never more than a quarter of the shorter side.
        const QRect small(0, 0, 400, 200);
        QCOMPARE(MainWindow::multiScreenGeometry(small, 20, 1), small.adjusted(50, 50, -50, -50));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
