#include "ui/main_window.h"

#include "cloud/account_client.h"
#include "cloud/host_sync_controller.h"
#include "import/csv_exporter.h"
#include "import/host_file_reader.h"
#include "import/host_importer.h"
#include "logger.h"
#include "network/acceleration_manager.h"
#include "network/vantrel_client.h"
#include "platform/desktop_lock_monitor.h"
#include "platform/idle_lock_timer.h"
#include "rdp/rdp_tile.h"
#include "ssh/batch_command_dialog.h"
#include "ssh/batch_ssh_dialog.h"
#include "ssh/ssh_command.h"
#include "ssh/terminal_launcher.h"
#include "storage/app_lock.h"
#include "storage/auto_lock.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "ui/acceleration_actions.h"
#include "ui/account_actions.h"
#include "ui/clipboard_import_dialog.h"
#include "ui/global_settings_dialog.h"
#include "ui/group_actions.h"
#include "ui/group_drop_tree_widget.h"
#include "ui/hero_card.h"
#include "ui/host_actions.h"
#include "ui/host_editor_dialog.h"
#include "ui/host_filter_model.h"
#include "ui/host_listing_reader.h"
#include "ui/host_table_model.h"
#include "ui/host_table_view.h"
#include "ui/lock_screen_controller.h"
#include "ui/main_window_style.h"
#include "ui/master_password_actions.h"
#include "ui/portal_sync_actions.h"
#include "wall/screen_wall_window.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHash>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

const QString kEditionName = QStringLiteral("Nimbara-Vantrel特别版");

constexpr int kConfirmConnectionsFrom = 13;

} // namespace

MainWindow::MainWindow(DatabaseManager* database, ConfigManager* config, CryptoManager* crypto,
                       QWidget* parent)
    : QMainWindow(parent), m_db(database), m_config(config), m_crypto(crypto)
{
    m_accountClient = new AccountClient(m_crypto, this);
    if (m_config) {
        applyAccountServiceConfig(*m_accountClient,
                                  m_config->config()); // a bad value keeps the default, logged
        applyAccelerationServiceConfig(*AccelerationManager::instance(), m_config->config());
    }
    m_portal = new VantrelClient(this);
    if (m_config) {
        applyPortalConfig(*m_portal, m_config->config());
    }
    m_hostModel = new HostTableModel(m_db, this);
    m_filterModel = new HostFilterModel(m_hostModel, this);
    m_groupActions = new GroupActions(m_db, this);
    m_hostActions = new HostActions(m_db, this);
    connect(m_hostActions, &HostActions::inventoryChanged, this, &MainWindow::refresh);
    connect(m_hostActions, &HostActions::hostsMoved, this, [this] {
        m_table->uncheckAll();
        refresh();
    });
    connect(m_hostActions, &HostActions::statusMessage, statusBar(), &QStatusBar::showMessage);
    m_listingReader = new HostListingReader(
        m_db, m_hostModel, [this](HostTableModel::Listing listing) { showListing(std::move(listing)); },
        [this] { reloadGroups(); }, this);
    // What a sync wrote is read on a worker: thousands of hosts would hold the window.
    m_accountActions = new AccountActions(
        this, m_accountClient, m_db, m_config, m_crypto,
        [this](const QString& text, int timeoutMs) { statusBar()->showMessage(text, timeoutMs); },
        [this] {
            m_groupActions->mergeAgentGroup();
            m_listingReader->read(isTeamMember());
        },
        this);
    m_accountActions->setPortal(m_portal);
    m_portalActions = new PortalSyncActions(
        this, m_portal, m_db, m_accountClient, AccelerationManager::instance(),
        [this](const QString& text, int timeoutMs) { statusBar()->showMessage(text, timeoutMs); },
        [this] { reloadGroups(); }, this);
    buildUi();
    // The card first, then the sync (which may start a download), then the table: the access rule
    // depends on the role of the signed-in account.
    connect(m_accountClient, &AccountClient::accountChanged, this, [this](const MemberAccount& account) {
        updateAccountCard();
        m_accountActions->sync()->onAccountChanged(account);
        refresh();
    });
    // The group reload ends with the one read of the hosts.
    reloadGroups();
    // A session kept from the last run signs in again without a dialog (after the unlock when the
    // program starts locked).
    if (m_crypto && m_crypto->isLocked()) {
        m_restoreAfterUnlock = true;
    } else {
        m_accountClient->restoreSession();
    }
}

void MainWindow::setAppLock(AppLock* lock)
{
    m_appLock = lock;
    m_lockScreens = new LockScreenController(lock, this);
    m_lockAction = new QAction(QStringLiteral("锁定"), this);
    m_lockAction->setObjectName(QStringLiteral("lockAction"));
    m_lockAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    // From every window of the program, the screen wall included.
    m_lockAction->setShortcutContext(Qt::ApplicationShortcut);
    addAction(m_lockAction);
    connect(m_lockAction, &QAction::triggered, lock, &AppLock::lock);
    connect(m_heroCard->lockButton(), &QPushButton::clicked, lock, &AppLock::lock);
    if (m_config) {
        auto* idle = new IdleLockTimer(nullptr, this);
        IDesktopLockMonitor* desktop = createDesktopLockMonitor().release();
        desktop->setParent(this);
        m_autoLock = new AutoLock(lock, m_config, idle, desktop, this);
    }
    updateLockAvailability();
    connect(lock, &AppLock::unlocked, this, [this] {
        updateLockAvailability();
        if (m_restoreAfterUnlock) {
            m_restoreAfterUnlock = false;
            m_accountClient->restoreSession();
        }
        m_accountActions->sync()->resumeAfterUnlock();
    });
}

void MainWindow::updateLockAvailability()
{
    const bool available = m_appLock && m_appLock->isAvailable();
    const QString why = QStringLiteral("需要先在“设置”中设置主密码。");
    if (m_lockAction) {
        m_lockAction->setEnabled(available);
    }
    m_heroCard->lockButton()->setEnabled(available);
    if (m_autoLock) {
        m_autoLock->apply();
    }
    m_heroCard->lockButton()->setToolTip(available ? QStringLiteral("锁定程序（Ctrl+L）") : why);
}

MainWindow::~MainWindow() = default;

QRect MainWindow::multiScreenGeometry(const QRect& available, int index, int screenCount)
{
    if (screenCount <= 0 || index < 0) {
        return available;
    }
    const int pass = index / screenCount;
    const int margin = std::min(std::min(available.width(), available.height()) / 4, 32 * pass);
    return available.adjusted(margin, margin, -margin, -margin);
}

void MainWindow::buildUi()
{
    setWindowTitle(QStringLiteral("%1 - 多远程管理").arg(kEditionName));
    resize(1320, 760);
    setMinimumSize(980, 640);

    // The Windows UI font first, then the CJK font of Linux desktops, so Chinese never falls back
    // to a font without its glyphs.
    QFont windowFont = font();
    windowFont.setFamilies({QStringLiteral("Microsoft YaHei UI"), QStringLiteral("Noto Sans CJK SC")});
    windowFont.setPointSize(10);
    setFont(windowFont);
    setStyleSheet(mainWindowStyleSheet());

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralPage"));
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(16, 14, 16, 10);
    layout->setSpacing(10);

    auto* hero = new HeroCard(kEditionName, central);
    connect(hero->settingsButton(), &QPushButton::clicked, this, &MainWindow::showGlobalSettings);
    m_accelerationButton = hero->accelerationButton();
    m_heroCard = hero;
    connect(hero->signInButton(), &QPushButton::clicked, m_accountActions, &AccountActions::showLogin);
    connect(hero->registerButton(), &QPushButton::clicked, m_accountActions, &AccountActions::showRegister);
    connect(hero->cloudSyncButton(), &QPushButton::clicked, m_accountActions,
            &AccountActions::showCloudSyncCenter);
    connect(hero->signOutButton(), &QPushButton::clicked, m_accountActions, &AccountActions::logoutAccount);
    layout->addWidget(hero);

    // Group row.
    auto* groupRow = new QHBoxLayout;
    groupRow->addWidget(new QLabel(QStringLiteral("分组："), central));
    m_groupFilter = new QComboBox(central);
    m_groupFilter->setObjectName(QStringLiteral("groupFilter"));
    m_groupFilter->setMinimumWidth(150);
    groupRow->addWidget(m_groupFilter);
    auto* newGroupButton = makeStyledButton(central, "newGroupButton", QStringLiteral("新建分组"));
    auto* renameGroupButton = makeStyledButton(central, "renameGroupButton", QStringLiteral("重命名分组"));
    auto* deleteGroupButton = makeStyledButton(central, "deleteGroupButton", QStringLiteral("删除分组"));
    connect(newGroupButton, &QPushButton::clicked, this, &MainWindow::addGroup);
    connect(renameGroupButton, &QPushButton::clicked, this, &MainWindow::renameGroup);
    connect(deleteGroupButton, &QPushButton::clicked, this, &MainWindow::deleteGroup);
    groupRow->addWidget(newGroupButton);
    groupRow->addWidget(renameGroupButton);
    groupRow->addWidget(deleteGroupButton);
    groupRow->addStretch();
    layout->addLayout(groupRow);

    // Search field.
    m_search = new QLineEdit(central);
    m_search->setObjectName(QStringLiteral("assetSearch"));
    m_search->setPlaceholderText(QStringLiteral("搜索名称、主机或备注"));
    // A keystroke only filters what is listed: no database read, no tree rebuild, no column fitting.
    connect(m_search, &QLineEdit::textChanged, this, &MainWindow::applyFilter);
    layout->addWidget(m_search);

    // Action row 1.
    auto* row1 = new QHBoxLayout;
    auto* addHostButton =
        makeStyledButton(central, "addHostButton", QStringLiteral("添加主机"), QString(), "primary");
    connect(addHostButton, &QPushButton::clicked, this, &MainWindow::addRemote);
    row1->addWidget(addHostButton);

    auto* importButton = makeStyledButton(central, "importButton", QStringLiteral("导入主机"));
    auto* importMenu = new QMenu(importButton);
    importMenu->setObjectName(QStringLiteral("importMenu"));
    QAction* importFile = importMenu->addAction(QStringLiteral("从 CSV / TXT / Excel 文件导入"));
    importFile->setObjectName(QStringLiteral("importFileAction"));
    QAction* importClipboard = importMenu->addAction(QStringLiteral("从剪贴板粘贴导入"));
    importClipboard->setObjectName(QStringLiteral("importClipboardAction"));
    importMenu->addSeparator();
    QAction* importHelp = importMenu->addAction(QStringLiteral("查看导入格式说明"));
    importHelp->setObjectName(QStringLiteral("importHelpAction"));
    connect(importFile, &QAction::triggered, this, &MainWindow::importHosts);
    connect(importClipboard, &QAction::triggered, this, &MainWindow::importFromClipboard);
    connect(importHelp, &QAction::triggered, this, &MainWindow::showImportFormatHelp);
    importButton->setMenu(importMenu);
    row1->addWidget(importButton);

    auto* exportButton = makeStyledButton(central, "exportButton", QStringLiteral("导出主机"));
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::exportHosts);
    row1->addWidget(exportButton);
    m_editButton = makeStyledButton(central, "editButton", QStringLiteral("编辑"));
    connect(m_editButton, &QPushButton::clicked, this, &MainWindow::editSelected);
    row1->addWidget(m_editButton);
    m_selectAllButton = makeStyledButton(central, "selectAllButton", QStringLiteral("一键全选"),
                                         QStringLiteral("勾选并高亮当前列表中的全部可见主机"));
    connect(m_selectAllButton, &QPushButton::clicked, this, [this] { m_table->checkAll(); });
    row1->addWidget(m_selectAllButton);
    m_clearSelectionButton = makeStyledButton(central, "clearSelectionButton", QStringLiteral("取消选择"),
                                              QStringLiteral("取消当前列表中全部主机的勾选和高亮"));
    connect(m_clearSelectionButton, &QPushButton::clicked, this, [this] { m_table->uncheckAll(); });
    row1->addWidget(m_clearSelectionButton);
    auto* permissionButton =
        makeStyledButton(central, "permissionButton", QStringLiteral("权限设置"),
                         QStringLiteral("主账号可将已勾选主机设为仅自己可用，或授权给全部子账号"));
    connect(permissionButton, &QPushButton::clicked, this, &MainWindow::setSelectedPermission);
    row1->addWidget(permissionButton);
    row1->addStretch();
    layout->addLayout(row1);

    // Action row 2.
    auto* row2 = new QHBoxLayout;
    auto* connectButton = makeStyledButton(
        central, "connectButton", QStringLiteral("远程连接"),
        QStringLiteral("单台连接使用系统 RDP 客户端，兼容剪贴板、文件拖入和旧版 Windows。"), "primary");
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::connectSelected);
    row2->addWidget(connectButton);
    auto* sshButton = makeStyledButton(central, "sshButton", QStringLiteral("SSH连接"));
    connect(sshButton, &QPushButton::clicked, this, &MainWindow::connectSsh);
    row2->addWidget(sshButton);
    auto* screenWallButton = makeStyledButton(central, "screenWallButton", QStringLiteral("屏幕墙"));
    connect(screenWallButton, &QPushButton::clicked, this, &MainWindow::openScreenWall);
    row2->addWidget(screenWallButton);
    auto* multiScreenButton = makeStyledButton(central, "multiScreenButton", QStringLiteral("多屏打开"));
    connect(multiScreenButton, &QPushButton::clicked, this, &MainWindow::openMultiScreen);
    row2->addWidget(multiScreenButton);
    auto* batchButton = makeStyledButton(central, "batchButton", QStringLiteral("批量功能"));
    connect(batchButton, &QPushButton::clicked, this, &MainWindow::showBatchOperations);
    row2->addWidget(batchButton);
    auto* disconnectAllButton =
        makeStyledButton(central, "disconnectAllButton", QStringLiteral("批量关闭远程"));
    connect(disconnectAllButton, &QPushButton::clicked, this, &MainWindow::disconnectAllSessions);
    row2->addWidget(disconnectAllButton);
    m_deleteButton = makeStyledButton(central, "deleteButton", QStringLiteral("删除"), QString(), "danger");
    connect(m_deleteButton, &QPushButton::clicked, this, &MainWindow::deleteSelected);
    row2->addWidget(m_deleteButton);
    row2->addStretch();
    m_accelerationLabel = new QLabel(QStringLiteral("未加速"), central);
    m_accelerationLabel->setObjectName(QStringLiteral("accelerationLabel"));
    row2->addWidget(m_accelerationLabel);
    m_accelerationActions = new AccelerationActions(
        this, m_accountClient, AccelerationManager::instance(), [this] { return sessionWindows(); }, this);
    connect(m_accelerationButton, &QPushButton::clicked, m_accelerationActions, &AccelerationActions::toggle);
    connect(m_accelerationActions, &AccelerationActions::buttonTextChanged, m_accelerationButton,
            &QPushButton::setText);
    connect(m_accelerationActions, &AccelerationActions::stateTextChanged, m_accelerationLabel,
            &QLabel::setText);
    connect(m_accelerationActions, &AccelerationActions::statusMessage, statusBar(),
            &QStatusBar::showMessage);
    layout->addLayout(row2);

    // Splitter: navigation on the left, hosts on the right.
    auto* splitter = new QSplitter(Qt::Horizontal, central);
    splitter->setObjectName(QStringLiteral("mainSplitter"));
    splitter->setChildrenCollapsible(true);
    splitter->setHandleWidth(6);

    auto* sidebar = new QFrame(splitter);
    sidebar->setObjectName(QStringLiteral("sidebarCard"));
    auto* sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(8, 8, 8, 8);
    sidebarLayout->setSpacing(4);
    auto* caption = new QLabel(QStringLiteral("主机导航"), sidebar);
    caption->setObjectName(QStringLiteral("sidebarCaption"));
    caption->setStyleSheet(QStringLiteral("font-weight:600;color:#334155;padding:2px 4px"));
    caption->setToolTip(QStringLiteral("将主机表格中的一台或多台已勾选主机拖到目标分组"));
    sidebarLayout->addWidget(caption);

    m_tree = new GroupDropTreeWidget(sidebar);
    m_tree->setObjectName(QStringLiteral("assetTree"));
    m_tree->setToolTip(QStringLiteral("可将右侧主机拖到这里的目标分组；已勾选多台时会批量移动"));
    m_tree->setDropCallback(
        [this](const QString& groupId, const QStringList& ids) { m_hostActions->move(ids, groupId); });
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &MainWindow::onTreeSelectionChanged);
    connect(m_tree, &QWidget::customContextMenuRequested, this, &MainWindow::showAssetTreeContextMenu);
    sidebarLayout->addWidget(m_tree, 1);

    m_table = new HostTableView(m_filterModel, splitter);
    m_table->setObjectName(QStringLiteral("hostTable"));
    m_table->setIdProvider([this] { return dragIds(); });
    connect(m_hostModel, &HostTableModel::checksChanged, this, &MainWindow::updateCheckControls);
    connect(m_hostModel, &HostTableModel::remarkSaved, this,
            [this] { statusBar()->showMessage(QStringLiteral("备注已保存"), 4000); });
    // Shown once the editor has closed and the cell shows the stored remark again.
    connect(
        m_hostModel, &HostTableModel::remarkSaveFailed, this,
        [this] {
            QMessageBox::critical(this, QStringLiteral("保存失败"),
                                  QStringLiteral("无法保存这台主机的备注，请稍后重试。"));
        },
        Qt::QueuedConnection);
    connect(m_table, &QAbstractItemView::doubleClicked, this, &MainWindow::onTableDoubleClicked);
    connect(m_table, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);

    splitter->addWidget(sidebar);
    splitter->addWidget(m_table);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 1100});
    layout->addWidget(splitter, 1);

    setCentralWidget(central);

    m_statusSummary = new QLabel(statusBar());
    m_statusSummary->setObjectName(QStringLiteral("statusSummary"));
    statusBar()->addPermanentWidget(m_statusSummary);
    // Lasting, unlike the status messages that come and go: changes not uploaded yet.
    m_syncState = new QLabel(statusBar());
    m_syncState->setObjectName(QStringLiteral("syncState"));
    m_syncState->setVisible(false);
    statusBar()->addPermanentWidget(m_syncState);
    m_accountActions->setSyncStateView([this](const QString& text) {
        m_syncState->setText(text);
        m_syncState->setVisible(!text.isEmpty());
    });
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateEditControls);

    connect(m_groupFilter, &QComboBox::currentIndexChanged, this, [this] {
        m_protocolFilter.clear();
        applyFilter();
    });
}

bool MainWindow::isTeamMember() const
{
    return m_accountClient->isSignedIn() && !m_accountClient->account().isMainAccount();
}

QString MainWindow::currentGroupId() const
{
    return m_groupFilter->currentData().toString();
}

void MainWindow::refresh()
{
    // The one read of the hosts: the table, the navigation counts and the status line all derive
    // from it.
    m_hostModel->reload(isTeamMember());
    showHosts();
    // Decides itself whether the changed inventory goes up.
    m_accountActions->sync()->scheduleHostSyncUpload();
}

void MainWindow::applyFilter()
{
    m_filterModel->setFilter(currentGroupId(), m_protocolFilter, m_search->text());
    m_tree->showFilter(m_protocolFilter, currentGroupId());
    const int total = m_hostModel->rowCount();
    const int windowsCount = m_hostModel->windowsCount();
    m_statusSummary->setText(QStringLiteral("全部 %1 台  ·  当前显示 %2 台  ·  Windows %3 台  ·  Linux %4 台")
                                 .arg(total)
                                 .arg(m_filterModel->rowCount())
                                 .arg(windowsCount)
                                 .arg(total - windowsCount));
    updateCheckControls();
    // Once per change of the filter, after everything above has told the table about it: one paint.
    m_table->layOutNow();
}

void MainWindow::updateCheckControls()
{
    const int rows = m_filterModel->rowCount();
    // Hosts the filter hides are never checked.
    const int checked = m_hostModel->checkedCount();
    m_selectAllButton->setText(rows == 0 ? QStringLiteral("一键全选")
                                         : QStringLiteral("一键全选 (%1)").arg(rows));
    m_selectAllButton->setEnabled(rows > 0 && checked < rows);
    m_clearSelectionButton->setText(checked == 0 ? QStringLiteral("取消选择")
                                                 : QStringLiteral("取消选择 (%1)").arg(checked));
    m_clearSelectionButton->setEnabled(checked > 0);
    updateEditControls();
}

void MainWindow::updateEditControls()
{
    bool readOnly = false;
    if (isTeamMember()) {
        const QStringList ids = m_table->chosenIds();
        const QSet<QString> chosen(ids.cbegin(), ids.cend());
        for (int row = 0; row < m_hostModel->rowCount() && !readOnly; ++row) {
            readOnly = m_hostModel->isReadOnly(row) && chosen.contains(m_hostModel->host(row).id);
        }
    }
    const QString why = readOnly ? HostTableModel::teamHostNote() : QString();
    for (QPushButton* button : {m_editButton, m_deleteButton}) {
        button->setEnabled(!readOnly);
        button->setToolTip(why);
    }
}

bool MainWindow::requireChangeable(const QList<Remote>& chosen, const QString& title)
{
    if (!isTeamMember() || !m_hostModel->anyReadOnly(chosen)) {
        return true;
    }
    QMessageBox::information(this, title, HostTableModel::teamHostNote());
    return false;
}

void MainWindow::updateAccountCard()
{
    m_heroCard->setSignedIn(m_accountClient->isSignedIn());
    if (!m_accountClient->isSignedIn()) {
        m_heroCard->setMemberText(QStringLiteral("未登录"));
        return;
    }
    const MemberAccount account = m_accountClient->account();
    const QString name = !account.name.isEmpty()    ? account.name
                         : !account.email.isEmpty() ? account.email
                                                    : account.id;
    if (m_accountClient->isPartnerMode()) {
        // A partner-cloud sign-in imports servers; it is no member account and has no cloud sync.
        m_heroCard->cloudSyncButton()->setVisible(false);
        m_heroCard->setMemberText(QStringLiteral("%1 · Vantrelnet 账号").arg(name));
        return;
    }
    m_heroCard->setMemberText(QStringLiteral("%1 · %2").arg(
        name, account.isMainAccount() ? QStringLiteral("主账号") : QStringLiteral("子账号")));
}

void MainWindow::reloadGroups()
{
    m_groupActions->mergeAgentGroup();
    fillGroupFilter(m_db->getGroups());
    refresh();
}

void MainWindow::showListing(HostTableModel::Listing listing)
{
    fillGroupFilter(listing.groups);
    // As refresh(), without its own read, and without counting what the sync itself wrote as a change.
    m_hostModel->show(std::move(listing));
    showHosts();
}

void MainWindow::showHosts()
{
    m_tree->rebuild(*m_hostModel, m_protocolFilter, currentGroupId());
    applyFilter();
    m_table->fitColumns();
    updateAccountCard();
}

void MainWindow::fillGroupFilter(const QList<Group>& groups)
{
    const QString previous = currentGroupId();
    {
        const QSignalBlocker blocker(m_groupFilter);
        m_groupFilter->clear();
        m_groupFilter->addItem(QStringLiteral("全部主机"), QString());
        for (const Group& group : groups) {
            m_groupFilter->addItem(group.name, group.id);
        }
        const int index = previous.isEmpty() ? 0 : m_groupFilter->findData(previous);
        m_groupFilter->setCurrentIndex(std::max(index, 0));
    }
}

void MainWindow::selectGroupInFilter(const QString& groupId)
{
    const int index = m_groupFilter->findData(groupId);
    if (index >= 0) {
        m_groupFilter->setCurrentIndex(index);
    }
}

void MainWindow::onTreeSelectionChanged()
{
    const QTreeWidgetItem* item = m_tree->currentItem();
    if (item == nullptr) {
        return;
    }
    const QString kind = item->data(0, GroupDropTreeWidget::KindRole).toString();
    if (kind == QLatin1String("heading")) {
        return;
    }
    const QString value = item->data(0, GroupDropTreeWidget::ValueRole).toString();
    {
        const QSignalBlocker blocker(m_groupFilter);
        if (kind == QLatin1String("group")) {
            m_protocolFilter.clear();
            m_groupFilter->setCurrentIndex(std::max(m_groupFilter->findData(value), 0));
        } else {
            m_groupFilter->setCurrentIndex(0);
            m_protocolFilter = kind == QLatin1String("protocol") ? value : QString();
        }
    }
    applyFilter();
}

void MainWindow::onTableDoubleClicked(const QModelIndex& index)
{
    // A double click on the remark edits it.
    if (!index.isValid() || index.column() == HostTableModel::RemarkColumn) {
        return;
    }
    const QList<Remote> chosen = chosenHosts();
    if (chosen.size() == 1 && chosen.first().isSsh()) {
        connectSsh();
    } else {
        connectSelected();
    }
}

QList<Remote> MainWindow::chosenHosts()
{
    QList<Remote> hosts;
    for (const QString& id : m_table->chosenIds()) {
        if (std::optional<Remote> remote = m_db->getRemote(id)) {
            hosts.append(*remote);
        }
    }
    return hosts;
}

bool MainWindow::requireChosen(const QList<Remote>& chosen, const QString& title, const QString& text)
{
    if (!chosen.isEmpty()) {
        return true;
    }
    QMessageBox::information(this, title, text);
    return false;
}

QStringList MainWindow::dragIds()
{
    QStringList ids;
    for (const Remote& remote : chosenHosts()) {
        ids.append(remote.id);
    }
    // The first of each id stays.
    ids.removeDuplicates();
    return ids;
}

void MainWindow::showContextMenu(const QPoint& position)
{
    const QModelIndex index = m_table->indexAt(position);
    if (!index.isValid()) {
        return;
    }
    if (!m_table->selectionModel()->isRowSelected(index.row(), QModelIndex())) {
        m_table->selectRow(index.row());
    }
    const QList<Remote> chosenList = chosenHosts();
    const qsizetype chosen = chosenList.size();
    const bool readOnly = isTeamMember() && m_hostModel->anyReadOnly(chosenList);

    QMenu menu(this);
    menu.setToolTipsVisible(true);
    menu.setObjectName(QStringLiteral("hostContextMenu"));
    QList<std::pair<QAction*, std::function<void()>>> entries;
    const auto add = [&](const QString& text, std::function<void()> run) {
        QAction* action = menu.addAction(text);
        entries.append({action, std::move(run)});
        return action;
    };
    const auto changing = [&](QAction* action, bool enabled) {
        action->setEnabled(enabled && !readOnly);
        if (readOnly) {
            action->setToolTip(HostTableModel::teamHostNote());
        }
    };
    changing(add(QStringLiteral("编辑主机"), [this] { editSelected(); }), chosen == 1);
    add(QStringLiteral("远程连接"), [this] { connectSelected(); });
    add(QStringLiteral("SSH 连接"), [this] { connectSsh(); });
    menu.addSeparator();
    changing(add(QStringLiteral("移动到分组"), [this] { showMoveDialog(); }), true);
    add(QStringLiteral("设置访问权限"), [this] {
        setSelectedPermission();
    })->setEnabled(m_accountClient->isSignedIn() && !isTeamMember());
    changing(add(QStringLiteral("批量修改备注"), [this] { batchEditRemark(); }), true);
    add(QStringLiteral("导出所选主机"), [this] { exportHosts(); });
    add(QStringLiteral("批量功能"), [this] { showBatchOperations(); });
    menu.addSeparator();
    changing(add(QStringLiteral("删除"), [this] { deleteSelected(); }), true);

    QAction* picked = menu.exec(m_table->viewport()->mapToGlobal(position));
    for (const auto& [action, run] : entries) {
        if (action == picked) {
            run();
            break;
        }
    }
}

void MainWindow::showAssetTreeContextMenu(const QPoint& position)
{
    QTreeWidgetItem* item = m_tree->itemAt(position);
    if (!GroupDropTreeWidget::isGroupItem(item)) {
        return;
    }
    const int index = m_groupFilter->findData(item->data(0, GroupDropTreeWidget::ValueRole).toString());
    if (index < 0) {
        return;
    }
    {
        const QSignalBlocker treeBlocker(m_tree);
        m_tree->setCurrentItem(item);
    }
    {
        const QSignalBlocker blocker(m_groupFilter);
        m_groupFilter->setCurrentIndex(index);
    }
    m_protocolFilter.clear();
    applyFilter();

    QMenu menu(this);
    menu.setObjectName(QStringLiteral("groupContextMenu"));
    QAction* rename = menu.addAction(QStringLiteral("重命名分组"));
    if (menu.exec(m_tree->viewport()->mapToGlobal(position)) == rename) {
        renameGroup();
    }
}

void MainWindow::addRemote()
{
    const QList<Group> groups = m_db->getGroups();
    if (groups.isEmpty()) {
        return;
    }
    const QString filter = currentGroupId();
    const QString groupId = filter.isEmpty() ? groups.first().id : filter;
    const bool showScope = m_accountClient->isSignedIn() && !isTeamMember();
    const std::optional<Remote> remote =
        HostEditorDialog::edit(this, groups, groupId, std::nullopt, showScope, passwordReveal());
    if (remote && !m_db->addRemote(*remote)) {
        QMessageBox::critical(this, QStringLiteral("保存失败"), QStringLiteral("无法保存远程主机"));
    }
    refresh();
}

void MainWindow::editSelected()
{
    const int row = m_table->currentHostRow();
    const std::optional<Remote> existing =
        row < 0 ? std::nullopt : m_db->getRemote(m_hostModel->host(row).id);
    if (!existing) {
        QMessageBox::information(this, QStringLiteral("编辑"), QStringLiteral("请先选中要编辑的主机。"));
        return;
    }
    if (!requireChangeable({*existing}, QStringLiteral("编辑"))) {
        return;
    }
    const bool showScope = m_accountClient->isSignedIn() && !isTeamMember();
    const std::optional<Remote> remote = HostEditorDialog::edit(this, m_db->getGroups(), existing->group_id,
                                                                existing, showScope, passwordReveal());
    if (remote && !m_db->updateRemote(*remote)) {
        QMessageBox::critical(this, QStringLiteral("保存失败"), QStringLiteral("无法更新远程主机"));
    }
    refresh();
}

void MainWindow::deleteSelected()
{
    const QList<Remote> chosen = chosenHosts();
    if (requireChosen(chosen, QStringLiteral("删除"), QStringLiteral("请先勾选或选中要删除的主机。")) &&
        requireChangeable(chosen, QStringLiteral("删除"))) {
        m_hostActions->remove(chosen);
    }
}

void MainWindow::showMoveDialog()
{
    const QList<Remote> chosen = chosenHosts();
    if (requireChosen(chosen, QStringLiteral("移动主机"), QStringLiteral("请先勾选或选中要移动的主机。")) &&
        requireChangeable(chosen, QStringLiteral("移动主机"))) {
        m_hostActions->chooseGroupAndMove(chosen);
    }
}

void MainWindow::batchEditRemark()
{
    const QList<Remote> chosen = chosenHosts();
    if (requireChosen(chosen, QStringLiteral("批量修改备注"),
                      QStringLiteral("请先勾选或选中要修改备注的主机。")) &&
        requireChangeable(chosen, QStringLiteral("批量修改备注"))) {
        m_hostActions->editRemarks(chosen);
    }
}

void MainWindow::setSelectedPermission()
{
    const QString title = QStringLiteral("权限设置");
    if (!m_accountClient->isSignedIn()) {
        QMessageBox::information(this, title, QStringLiteral("请先登录会员账号。"));
        return;
    }
    if (isTeamMember()) {
        QMessageBox::information(this, title, QStringLiteral("只有主账号可以修改主机访问权限。"));
        return;
    }
    const QList<Remote> chosen = chosenHosts();
    if (requireChosen(chosen, title, QStringLiteral("请先勾选一台或多台主机。"))) {
        m_hostActions->setScope(chosen);
    }
}

void MainWindow::addGroup()
{
    const QString id = m_groupActions->add();
    if (!id.isEmpty()) {
        reloadGroups();
        selectGroupInFilter(id);
    }
}

void MainWindow::renameGroup()
{
    if (m_groupActions->rename(currentGroupId())) {
        reloadGroups();
    }
}

void MainWindow::deleteGroup()
{
    if (m_groupActions->remove(currentGroupId())) {
        reloadGroups();
    }
}

QString MainWindow::chooseImportFile()
{
    return QFileDialog::getOpenFileName(
        this, QStringLiteral("导入主机"), QString(),
        QStringLiteral("支持的主机文件 (*.csv *.txt *.xls *.xlsx *.xlsm);;CSV 文件 (*.csv);;文本文件 "
                       "(*.txt);;Excel 文件 (*.xls *.xlsx *.xlsm)"));
}

QString MainWindow::chooseExportFile()
{
    return QFileDialog::getSaveFileName(this, QStringLiteral("导出主机列表"),
                                        QStringLiteral("NIMBARA-主机列表.csv"),
                                        QStringLiteral("CSV 文件 (*.csv)"));
}

void MainWindow::importHosts()
{
    const QString path = chooseImportFile();
    if (path.isEmpty()) {
        return;
    }
    QString error;
    const std::optional<QByteArray> bytes = HostFileReader::read(path, &error);
    if (!bytes) {
        QMessageBox::critical(this, QStringLiteral("导入失败"), error);
        return;
    }
    importBytes(*bytes, QFileInfo(path).fileName());
}

void MainWindow::importFromClipboard()
{
    QString text = QApplication::clipboard()->text();
    // A paste that could not be written comes back with what the user pasted and edited.
    for (;;) {
        ClipboardImportDialog dialog(text, this);
        if (dialog.exec() != QDialog::Accepted) {
            return;
        }
        text = dialog.text();
        if (text.trimmed().isEmpty() ||
            importBytes(text.toUtf8(), QStringLiteral("剪贴板")) != HostImporter::Status::WriteFailed) {
            return;
        }
    }
}

HostImporter::Status MainWindow::importBytes(const QByteArray& bytes, const QString& sourceName)
{
    if (m_db->getGroups().isEmpty()) {
        return HostImporter::Status::NoGroups;
    }
    // A group chosen in the filter (or the tree) takes every host; with all hosts shown, the
    // file's group column decides.
    const HostImporter::Outcome outcome = HostImporter::run(m_db, bytes, currentGroupId(), isTeamMember());
    switch (outcome.status) {
    case HostImporter::Status::NoGroups:
        return outcome.status;
    case HostImporter::Status::NothingParsed:
        QMessageBox::warning(this, QStringLiteral("导入失败"), outcome.errors.join(QLatin1Char('\n')));
        return outcome.status;
    case HostImporter::Status::AllDuplicates:
        QMessageBox::information(this, QStringLiteral("无需导入"),
                                 QStringLiteral("导入内容中的主机已经存在。"));
        return outcome.status;
    case HostImporter::Status::WriteFailed:
        QMessageBox::critical(this, QStringLiteral("导入失败"),
                              QStringLiteral("资产未写入，数据库事务已回滚"));
        return outcome.status;
    case HostImporter::Status::Imported:
        break;
    }

    if (!outcome.createdGroups.isEmpty()) {
        reloadGroups();
    }
    refresh();
    QString text =
        QStringLiteral("已从%1安全导入 %2 台主机，密码已加密保存。").arg(sourceName).arg(outcome.added);
    if (!outcome.createdGroups.isEmpty()) {
        text += QStringLiteral("\n已按文件中的分组列新建 %1 个分组。").arg(outcome.createdGroups.size());
    }
    if (!outcome.errors.isEmpty()) {
        text += QStringLiteral("\n另有 %1 行未导入：\n%2")
                    .arg(outcome.errors.size())
                    .arg(outcome.errors.join(QLatin1Char('\n')));
    }
    if (outcome.duplicates > 0) {
        text += QStringLiteral("\n已自动跳过 %1 台重复主机。").arg(outcome.duplicates);
    }
    QMessageBox::information(this, QStringLiteral("导入完成"), text);
    return outcome.status;
}

void MainWindow::showImportFormatHelp()
{
    QMessageBox::information(
        this, QStringLiteral("导入格式说明"),
        QStringLiteral(
            "支持 CSV、TXT、XLS、XLSX，也可以直接粘贴剪贴板内容。\n\n无表头时每行格式：\nIP,端口,用户名,密码,"
            "备注\n\n示例：\n192.168.1.10,3389,Administrator,Zq7Lm4p,办公室Windows\n192.168.1.20，22，"
            "root，Zq7Lm4p，Linux服务器\n\n英文逗号 ,、中文全角逗号 ，和 Tab "
            "均可识别。带表头时还可使用：名称、类型/"
            "协议、权限、分组（显示全部主机时按分组名称导入，没有的分组会自动新建）。\n权限填写 "
            "owner（仅主账号）或 "
            "team（主账号及子账号）；不填时默认仅主账号。"));
}

void MainWindow::exportHosts()
{
    QList<Remote> hosts = chosenHosts();
    if (hosts.isEmpty()) {
        for (const QString& id : m_table->shownIds()) {
            if (std::optional<Remote> remote = m_db->getRemote(id)) {
                hosts.append(*remote);
            }
        }
    }
    if (hosts.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("导出主机"), QStringLiteral("当前没有可导出的主机。"));
        return;
    }

    const QString path = chooseExportFile();
    if (path.isEmpty()) {
        return;
    }

    const auto withPasswordsAnswer =
        QMessageBox::question(this, QStringLiteral("是否导出密码"),
                              QStringLiteral("默认建议不导出密码。是否确实需要在导出文件中包含明文密码？"),
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::No);
    if (withPasswordsAnswer == QMessageBox::Cancel) {
        return;
    }
    const bool withPasswords = withPasswordsAnswer == QMessageBox::Yes;
    if (withPasswords) {
        const auto confirmed = QMessageBox::warning(
            this, QStringLiteral("确认导出明文凭据"),
            QStringLiteral("导出的密码将以明文保存在 CSV 中。请确保文件存放位置安全。继续吗？"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (confirmed != QMessageBox::Yes) {
            return;
        }
        if (!confirmForSecret(this)) {
            statusBar()->showMessage(QStringLiteral("未通过主密码验证，没有导出任何文件。"), 8000);
            return;
        }
    }

    QHash<QString, QString> groupNames;
    for (const Group& group : m_db->getGroups()) {
        groupNames.insert(group.id, group.name);
    }
    QString error;
    if (!CsvExporter::write(path, hosts, groupNames, withPasswords, &error)) {
        QMessageBox::critical(this, QStringLiteral("导出失败"), error);
        return;
    }
    QMessageBox::information(this, QStringLiteral("导出完成"),
                             QStringLiteral("已导出 %1 台主机。%2")
                                 .arg(hosts.size())
                                 .arg(withPasswords ? QStringLiteral("文件包含明文密码，请妥善保管。")
                                                    : QStringLiteral("密码列已留空。")));
}

void MainWindow::setMasterPasswordActions(MasterPasswordActions* actions)
{
    m_masterPasswordActions = actions;
    connect(actions, &MasterPasswordActions::masterPasswordChanged, this,
            &MainWindow::updateLockAvailability);
    if (m_lockScreens) {
        m_lockScreens->setForgottenHandler([this](QWidget* parent) {
            // Whoever cannot give the master password must not go on with the account signed in
            // here: its session and sync keys are still in memory.
            if (m_masterPasswordActions->resetForgotten(parent)) {
                m_accountClient->logout();
            }
        });
    }
}

bool MainWindow::confirmForSecret(QWidget* parent)
{
    if (m_masterPasswordActions) {
        return m_masterPasswordActions->confirmForSecret(parent);
    }
    return m_crypto == nullptr || !m_crypto->hasMasterPassword();
}

HostPasswordReveal MainWindow::passwordReveal()
{
    return {m_config && m_config->config().show_password, [this](QWidget* parent) {
                return confirmForSecret(parent);
            }};
}

bool MainWindow::confirmConnectionCount(int count)
{
    if (count < kConfirmConnectionsFrom) {
        return true;
    }
    const auto answer = QMessageBox::warning(
        this, QStringLiteral("确认建立多路连接"),
        QStringLiteral("将同时建立 %1 路 RDP 连接，会明显占用本机 CPU、内存和网络带宽。是否继续？")
            .arg(count),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
}

namespace {

// Keeps the hosts of one kind and reports how many of the others were dropped.
QList<Remote> keepKind(const QList<Remote>& hosts, bool ssh, int* dropped)
{
    QList<Remote> kept;
    for (const Remote& remote : hosts) {
        if (remote.isSsh() == ssh) {
            kept.append(remote);
        }
    }
    *dropped = static_cast<int>(hosts.size() - kept.size());
    return kept;
}

const QString kTypeHintTitle = QStringLiteral("连接类型提示");

QString linuxSkippedText(int dropped)
{
    return QStringLiteral("本操作只适用于 Windows / RDP 主机，已跳过 %1 台 Linux 主机。").arg(dropped);
}

} // namespace

QList<Remote> MainWindow::chosenForConnection(bool ssh)
{
    const QString title = ssh ? QStringLiteral("SSH连接") : QStringLiteral("远程连接");
    const QList<Remote> chosen = chosenHosts();
    if (!requireChosen(chosen, title,
                       ssh ? QStringLiteral("请先选择至少一台 Linux 主机")
                           : QStringLiteral("请先选择至少一台 Windows 远程主机"))) {
        return {};
    }
    int dropped = 0;
    const QList<Remote> hosts = keepKind(chosen, ssh, &dropped);
    if (hosts.isEmpty()) {
        QMessageBox::information(
            this, title,
            ssh ? QStringLiteral("所选的 %1 台主机都是 Windows / RDP 主机，SSH连接只适用于 Linux / SSH 主机；"
                                 "Windows 主机请使用“远程连接”。")
                      .arg(dropped)
                : QStringLiteral(
                      "所选的 %1 台主机都是 Linux / SSH 主机，远程连接只适用于 Windows / RDP 主机；"
                      "Linux 主机请使用“SSH连接”。")
                      .arg(dropped));
    } else if (dropped > 0) {
        QMessageBox::information(
            this, kTypeHintTitle,
            ssh ? QStringLiteral("本操作只适用于 Linux / SSH 主机，已跳过 %1 台 Windows 主机。").arg(dropped)
                : linuxSkippedText(dropped));
    }
    return hosts;
}

void MainWindow::connectSelected()
{
    const QList<Remote> hosts = chosenForConnection(false);
    if (hosts.isEmpty() || !confirmConnectionCount(static_cast<int>(hosts.size()))) {
        return;
    }
    // A single connection always uses the system RDP control, whatever the configured kernel.
    openSessions(SessionKind::SystemRdp, hosts, RdpKernel::Mstsc);
}

void MainWindow::connectWithSystemClient()
{
    connectSelected();
}

void MainWindow::openScreenWall()
{
    openScreenWallWith(m_config->config().default_kernel);
}

void MainWindow::openSystemScreenWall()
{
    openScreenWallWith(RdpKernel::Mstsc);
}

void MainWindow::openScreenWallWith(RdpKernel kernel)
{
    const QList<Remote> chosen = chosenHosts();
    int dropped = 0;
    const QList<Remote> hosts = keepKind(chosen, false, &dropped);
    if (dropped > 0 && !chosen.isEmpty()) {
        QMessageBox::information(this, kTypeHintTitle, linuxSkippedText(dropped));
    }
    if (hosts.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("屏幕墙"), QStringLiteral("请先选择至少一台远程主机"));
        return;
    }
    if (!confirmConnectionCount(static_cast<int>(hosts.size()))) {
        return;
    }
    openSessions(SessionKind::ScreenWall, hosts, kernel);
}

void MainWindow::openMultiScreen()
{
    openMultiScreenWith(m_config->config().default_kernel);
}

void MainWindow::openSystemMultiScreen()
{
    openMultiScreenWith(RdpKernel::Mstsc);
}

void MainWindow::openMultiScreenWith(RdpKernel kernel)
{
    const QList<Remote> chosen = chosenHosts();
    int dropped = 0;
    const QList<Remote> hosts = keepKind(chosen, false, &dropped);
    if (dropped > 0 && !chosen.isEmpty()) {
        QMessageBox::information(this, kTypeHintTitle, linuxSkippedText(dropped));
    }
    if (hosts.isEmpty() || QGuiApplication::screens().isEmpty()) {
        QMessageBox::information(this, QStringLiteral("多屏打开"),
                                 QStringLiteral("请选择远程主机并确认显示器可用"));
        return;
    }
    if (!confirmConnectionCount(static_cast<int>(hosts.size()))) {
        return;
    }
    openSessions(SessionKind::MultiScreen, hosts, kernel);
}

void MainWindow::connectSsh()
{
    const QList<Remote> hosts = chosenForConnection(true);
    if (!hosts.isEmpty()) {
        openSessions(SessionKind::SshTerminal, hosts, m_config->config().default_kernel);
    }
}

void MainWindow::launchBatchSsh()
{
    int dropped = 0;
    const QList<Remote> hosts = keepKind(chosenHosts(), true, &dropped);
    if (hosts.isEmpty()) {
        return;
    }
    const QString command = BatchCommandDialog::askCommand(static_cast<int>(hosts.size()), this);
    if (!command.isEmpty()) {
        openBatchSsh(hosts, command);
    }
}

void MainWindow::openBatchSsh(const QList<Remote>& hosts, const QString& command)
{
    SPDLOG_INFO("批量 SSH: {} 台 Linux 主机", hosts.size());
    auto* dialog = new BatchSshDialog(hosts, command, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

bool MainWindow::launchSshTerminal(const Remote& remote, QString* error)
{
    return openSshTerminal(remote, error);
}

QSize MainWindow::sessionSize() const
{
    const AppConfig& config = m_config->config();
    if (config.default_resolution == ResolutionMode::Custom) {
        return {config.custom_width, config.custom_height};
    }
    if (config.default_resolution == ResolutionMode::Fullscreen && QGuiApplication::primaryScreen()) {
        return QGuiApplication::primaryScreen()->availableSize();
    }
    return {1280, 720};
}

ScreenWallWindow* MainWindow::createSessionWindow(const QList<Remote>& hosts, QSize desktopSize,
                                                  int colorDepth, bool autoMixed, RdpEngine engine)
{
    const int timeout = m_config->config().connect_timeout;
    const RdpSessionOptions options = RdpSessionOptions::fromConfig(m_config->config());
    auto* window =
        new ScreenWallWindow(hosts, desktopSize, colorDepth, autoMixed, engine, nullptr,
                             [timeout, options](const Remote& remote, QSize size, int depth, QWidget* parent,
                                                RdpEngine tileEngine, bool mixed) {
                                 auto* tile = new RdpTile(remote, size, depth, parent, tileEngine, mixed);
                                 tile->setConnectTimeout(timeout);
                                 tile->setSessionOptions(options);
                                 return tile;
                             });
    const AppConfig& config = m_config->config();
    window->setLayoutSettings(config.screen_wall_rows, config.screen_wall_cols, config.screen_wall_auto_fill);
    window->setToolBarSettings(config.toolbar_show, config.toolbar_auto_hide, config.toolbar_auto_hide_delay);
    // A session whose password was wiped at a lock reads it from the database again when it reconnects.
    window->setPasswordSource([this, guard = QPointer<MainWindow>(this)](const QString& id) {
        std::optional<QString> password;
        if (!guard || (m_crypto && m_crypto->isLocked())) {
            return password;
        }
        if (std::optional<Remote> remote = m_db->getRemote(id)) {
            password = std::move(remote->password);
        }
        return password;
    });
    return window;
}

void MainWindow::schedule(int delayMs, std::function<void()> task)
{
    QTimer::singleShot(delayMs, this, std::move(task));
}

QList<ScreenWallWindow*> MainWindow::sessionWindows() const
{
    QList<ScreenWallWindow*> windows;
    for (const SessionWindowEntry& entry : m_sessionWindows) {
        if (entry.window) {
            windows.append(entry.window.data());
        }
    }
    return windows;
}

void MainWindow::openSessions(SessionKind kind, const QList<Remote>& hosts, RdpKernel kernel)
{
    const int depth = m_config->config().color_depth;
    const QSize size = sessionSize();
    const bool autoMixed = kernel == RdpKernel::Auto;
    const RdpEngine engine = kernel == RdpKernel::Mstsc ? RdpEngine::System : RdpEngine::FreeRdp;
    switch (kind) {
    case SessionKind::SystemRdp:
        // Staggered so that a batch of single sessions does not hit the network and the CPU at once.
        for (int i = 0; i < hosts.size(); ++i) {
            SPDLOG_INFO("系统 RDP 连接: {} ({}x{}, {} 位色)", hosts.at(i).name, size.width(), size.height(),
                        depth);
            schedule(i * 150, [this, remote = hosts.at(i), size, depth] {
                ScreenWallWindow* window =
                    createSessionWindow({remote}, size, depth, false, RdpEngine::System);
                window->setWindowTitle(QStringLiteral("%1 系统 RDP - %2").arg(remote.name, kEditionName));
                registerSessionWindow(window);
                window->show();
            });
        }
        break;
    case SessionKind::ScreenWall: {
        SPDLOG_INFO("屏幕墙: {} 台主机 ({}x{}, {} 位色, 内核 {})", hosts.size(), size.width(), size.height(),
                    depth, static_cast<int>(kernel));
        ScreenWallWindow* window = createSessionWindow(hosts, size, depth, autoMixed, engine);
        registerSessionWindow(window);
        window->show();
        break;
    }
    case SessionKind::MultiScreen: {
        const QList<QScreen*> screens = QGuiApplication::screens();
        const int screenCount = static_cast<int>(screens.size());
        for (int i = 0; i < hosts.size() && screenCount > 0; ++i) {
            ScreenWallWindow* window = createSessionWindow({hosts.at(i)}, size, depth, autoMixed, engine);
            window->setWindowTitle(QStringLiteral("%1 - %2 - 显示器%3")
                                       .arg(hosts.at(i).name, kEditionName)
                                       .arg(i % screenCount + 1));
            registerSessionWindow(window);
            window->setGeometry(
                multiScreenGeometry(screens.at(i % screenCount)->availableGeometry(), i, screenCount));
            window->show();
        }
        break;
    }
    case SessionKind::SshTerminal:
        // Staggered like RDP windows; each terminal gets its own copy of the host.
        for (int i = 0; i < hosts.size(); ++i) {
            SPDLOG_INFO("SSH 连接: {}", hosts.at(i).name);
            schedule(i * 120, [this, remote = hosts.at(i)] {
                QString error;
                if (!launchSshTerminal(remote, &error)) {
                    QMessageBox::critical(this, QStringLiteral("SSH连接失败"), error);
                }
            });
        }
        break;
    }
}

void MainWindow::showBatchOperations()
{
    const QList<Remote> chosen = chosenHosts();
    if (chosen.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("批量功能"),
                                 QStringLiteral("请先选择一台或多台主机。"));
        return;
    }
    bool ok = false;
    const QString choice =
        QInputDialog::getItem(this, QStringLiteral("批量功能"), QStringLiteral("选择要执行的操作"),
                              {QStringLiteral("移动到分组"), QStringLiteral("修改备注"),
                               QStringLiteral("设置访问权限"), QStringLiteral("Linux SSH：批量执行命令"),
                               QStringLiteral("导出所选主机"), QStringLiteral("批量关闭远程会话")},
                              0, false, &ok);
    if (!ok) {
        return;
    }
    if (choice == QStringLiteral("移动到分组")) {
        showMoveDialog();
    } else if (choice == QStringLiteral("修改备注")) {
        batchEditRemark();
    } else if (choice == QStringLiteral("设置访问权限")) {
        setSelectedPermission();
    } else if (choice.startsWith(QLatin1String("Linux SSH"))) {
        int windowsHosts = 0;
        if (keepKind(chosen, true, &windowsHosts).isEmpty()) {
            QMessageBox::information(this, QStringLiteral("批量功能"),
                                     QStringLiteral("所选主机中没有 Linux / SSH 主机，无法批量执行命令。"));
            return;
        }
        launchBatchSsh();
    } else if (choice.startsWith(QStringLiteral("导出"))) {
        exportHosts();
    } else {
        disconnectAllSessions();
    }
}

void MainWindow::disconnectAllSessions()
{
    const QList<ScreenWallWindow*> windows = sessionWindows();
    const QString title = QStringLiteral("批量关闭远程");
    if (windows.isEmpty()) {
        QMessageBox::information(this, title, QStringLiteral("当前没有由 NIMBARA 打开的内嵌远程会话。"));
        return;
    }
    const auto answer = QMessageBox::question(
        this, title,
        QStringLiteral("确定断开当前 %1 个内嵌远程窗口中的全部会话吗？\n不会关闭或重启远程主机。")
            .arg(windows.size()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        return;
    }
    closeSessionWindows();
}

void MainWindow::closeSessionWindows()
{
    // Closing a session window disconnects its sessions first; a closed window leaves the list.
    for (const SessionWindowEntry& entry : QList<SessionWindowEntry>(m_sessionWindows)) {
        if (entry.window) {
            entry.window->close();
        }
    }
}

void MainWindow::registerSessionWindow(ScreenWallWindow* window)
{
    m_sessionWindows.append({window, QPointer<ScreenWallWindow>(window)});
    if (m_appLock) {
        // Its sessions drop the passwords they keep for reconnecting when the program locks.
        window->setAppLock(m_appLock);
    }
    connect(window, &ScreenWallWindow::controllerWindowRequested, this, [this] {
        if (isMinimized()) {
            showNormal();
        }
        show();
        raise();
        activateWindow();
    });
    connect(window, &ScreenWallWindow::legacyCompatibilityDetected, this, &MainWindow::storeLegacyFlag);
    connect(window, &ScreenWallWindow::certificateFingerprintTrusted, this,
            &MainWindow::storeTrustedFingerprint);
    connect(window, &QObject::destroyed, this, [this](QObject* gone) {
        m_sessionWindows.removeIf([gone](const SessionWindowEntry& entry) {
            return entry.identity == gone || entry.window.isNull();
        });
    });
}

void MainWindow::storeLegacyFlag(const QString& remoteId)
{
    std::optional<Remote> remote = m_db->getRemote(remoteId);
    if (!remote || remote->legacy_rdp_security) {
        return;
    }
    remote->legacy_rdp_security = true;
    remote->updated_at = QDateTime::currentDateTimeUtc();
    if (m_db->updateRemote(*remote)) {
        statusBar()->showMessage(QStringLiteral("已自动为 %1 启用旧版 Windows 兼容模式").arg(remote->name),
                                 8000);
    }
}

void MainWindow::storeTrustedFingerprint(const QString& remoteId, const QString& fingerprint)
{
    std::optional<Remote> remote = m_db->getRemote(remoteId);
    if (!remote || fingerprint.isEmpty() || fingerprint == remote->rdp_certificate_fingerprint) {
        return;
    }
    remote->rdp_certificate_fingerprint = fingerprint;
    remote->updated_at = QDateTime::currentDateTimeUtc();
    m_db->updateRemote(*remote);
}

void MainWindow::showGlobalSettings()
{
    if (!m_config) {
        return;
    }
    GlobalSettingsDialog dialog(m_config, TerminalLauncher::system(), this);
    connect(&dialog, &GlobalSettingsDialog::settingsSaved, this, &MainWindow::updateAccountCard);
    dialog.setAccountServiceAddress(m_accountClient->serviceUrl());
    dialog.setMasterPasswordActions(m_masterPasswordActions);
    HostSyncController* sync = m_accountActions->sync();
    if (sync->isSyncAvailable()) {
        const bool wasOn = m_config->config().sync_enabled;
        dialog.enableCloudSync(GlobalSettingsDialog::CloudSync{[sync, wasOn](bool enabled) {
            if (enabled && !wasOn) {
                sync->enableSync();
            } else if (!enabled && wasOn) {
                sync->disableSync();
            }
        }});
    }
    dialog.exec();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Coming back to the window is when the user expects what other computers changed.
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        m_accountActions->sync()->onWindowActivated();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    const qsizetype open = sessionWindows().size();
    if (open > 0 && m_askBeforeClosing) {
        const auto answer = QMessageBox::question(
            this, QStringLiteral("关闭 NIMBARA"),
            QStringLiteral("还有 %1 个远程会话窗口开着，关闭主窗口会同时断开其中的全部会话。\n确定关闭吗？")
                .arg(open),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    closeSessionWindows();
    QMainWindow::closeEvent(event);
}
