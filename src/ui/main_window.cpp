#include "ui/main_window.h"

#include "cloud/account_client.h"
#include "import/csv_exporter.h"
#include "import/host_file_reader.h"
#include "import/host_importer.h"
#include "logger.h"
#include "rdp/rdp_tile.h"
#include "ssh/batch_command_dialog.h"
#include "ssh/batch_ssh_dialog.h"
#include "ssh/ssh_command.h"
#include "ssh/terminal_launcher.h"
#include "storage/config_manager.h"
#include "storage/database_manager.h"
#include "ui/global_settings_dialog.h"
#include "ui/host_editor_dialog.h"
#include "ui/remote_id_mime.h"
#include "wall/screen_wall_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QUuid>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

const QString kEditionName = QStringLiteral("Nimbara-Vantrel特别版");
const QString kAgentGroupName = QStringLiteral("Agent 托管主机");
const QString kDefaultGroupName = QStringLiteral("默认分组");
const QString kHighlightColor = QStringLiteral("#dce8ff");

enum Column {
    CheckColumn = 0,
    NameColumn,
    TypeColumn,
    HostColumn,
    PortColumn,
    UserColumn,
    GroupColumn,
    ScopeColumn,
    RemarkColumn,
    IdColumn,
    ColumnCount
};

// Navigation item data: the kind ("all", "heading", "protocol", "group") and its value.
constexpr int kKindRole = Qt::UserRole;
constexpr int kValueRole = Qt::UserRole + 1;

const QString kKindAll = QStringLiteral("all");
const QString kKindHeading = QStringLiteral("heading");
const QString kKindProtocol = QStringLiteral("protocol");
const QString kKindGroup = QStringLiteral("group");

constexpr int kConfirmConnectionsFrom = 13;

struct ColumnBounds
{
    int minimum;
    int maximum;
};

constexpr ColumnBounds kColumnBounds[] = {{92, 120},  {100, 300}, {112, 170}, {130, 360}, {70, 90},
                                          {100, 240}, {90, 220},  {122, 220}, {100, 460}};

const QString kStyleSheet = QStringLiteral(R"(
QWidget {
    font-family: "Microsoft YaHei UI", "Noto Sans CJK SC";
    font-size: 10pt;
    color: #13233b;
}
QMainWindow, QWidget#centralPage, QStatusBar {
    background: #eef2f8;
}
QStatusBar QLabel {
    color: #475569;
    padding: 0 6px;
}
QFrame#heroCard {
    background: #ffffff;
    border: 1px solid #d8e1ef;
    border-radius: 12px;
}
QLabel#brandMark {
    background: #2468df;
    color: #ffffff;
    border-radius: 14px;
    font-size: 19pt;
    font-weight: 700;
}
QLabel#pageTitle {
    font-size: 16pt;
    font-weight: 700;
}
QLabel#pageSubtitle {
    color: #5b6b82;
}
QLabel#editionBadge {
    background: #edf7ff;
    color: #0767a8;
    border: 1px solid #b9dcf5;
    border-radius: 10px;
    padding: 3px 10px;
    font-weight: 600;
}
QFrame#memberCard {
    background: #f5f8fd;
    border: 1px solid #d8e1ef;
    border-radius: 10px;
}
QLabel#memberTitle {
    color: #5b6b82;
    font-size: 9pt;
}
QLabel#memberName {
    font-weight: 600;
}
QFrame#sidebarCard {
    background: #ffffff;
    border: 1px solid #d8e1ef;
    border-radius: 10px;
}
QLabel#accelerationLabel {
    color: #5b6b82;
}
QPushButton {
    background: #ffffff;
    border: 1px solid #c9d4e5;
    border-radius: 6px;
    padding: 5px 12px;
    color: #1f2f46;
}
QPushButton:hover {
    background: #f2f6fd;
    border-color: #9fb4d6;
}
QPushButton:pressed {
    background: #e4ecf9;
}
QPushButton:disabled {
    color: #9aa7b8;
    background: #f4f6fa;
    border-color: #dde3ec;
}
QPushButton[role="primary"] {
    background: #2468df;
    color: #ffffff;
    border-color: #2468df;
}
QPushButton[role="primary"]:hover {
    background: #1d59c2;
    border-color: #1d59c2;
}
QPushButton[role="accent"] {
    background: #edf7ff;
    color: #0767a8;
    border-color: #b9dcf5;
}
QPushButton[role="danger"] {
    background: #fff8f7;
    color: #b42318;
    border-color: #f3c6c1;
}
QPushButton#importButton {
    padding-right: 24px;
}
QPushButton::menu-indicator {
    subcontrol-origin: padding;
    subcontrol-position: center right;
    right: 8px;
}
QLineEdit, QComboBox {
    background: #ffffff;
    border: 1px solid #c9d4e5;
    border-radius: 6px;
    padding: 4px 8px;
}
QLineEdit:focus, QComboBox:focus {
    border-color: #4b7bec;
}
QTableWidget, QTreeWidget {
    background: #ffffff;
    alternate-background-color: #f8faff;
    border: 1px solid #d8e1ef;
    border-radius: 8px;
    gridline-color: #e6ecf5;
    selection-background-color: #dce8ff;
    selection-color: #13233b;
}
QTreeWidget {
    border: none;
}
QTableWidget::item:selected, QTreeWidget::item:selected {
    background: #dce8ff;
    color: #13233b;
}
QHeaderView::section {
    background: #f3f6fb;
    color: #334155;
    border: none;
    border-right: 1px solid #e2e8f0;
    border-bottom: 1px solid #d8e1ef;
    padding: 5px 6px;
    font-weight: 600;
}
QMenu {
    background: #ffffff;
    border: 1px solid #c9d4e5;
}
QMenu::item {
    padding: 5px 22px;
}
QMenu::item:selected {
    background: #dce8ff;
}
QMenu::item:disabled {
    color: #9aa7b8;
}
)");

const QString kRemarkEditorStyle = QStringLiteral(
    "QLineEdit{background:#ffffff;color:#13233b;selection-background-color:#2468df;selection-color:#ffffff;"
    "border:2px solid #4b7bec;border-radius:5px;padding:2px 5px;font-size:10pt;}");

QString typeText(const Remote& remote)
{
    return remote.isSsh() ? QStringLiteral("Linux / SSH") : QStringLiteral("Windows / RDP");
}

QString scopeText(const Remote& remote)
{
    return remote.access_scope == QLatin1String("team") ? QStringLiteral("主账号 + 子账号")
                                                        : QStringLiteral("仅主账号");
}

QString remarkToolTip(const QString& remark)
{
    return remark.isEmpty() ? QStringLiteral("双击直接填写备注")
                            : QStringLiteral("%1\n\n双击可直接修改备注").arg(remark);
}

QStringList withoutDuplicates(const QStringList& ids)
{
    QStringList unique;
    QSet<QString> seen;
    for (const QString& id : ids) {
        if (!seen.contains(id)) {
            seen.insert(id);
            unique.append(id);
        }
    }
    return unique;
}

QPushButton* makeButton(QWidget* parent, const char* objectName, const QString& text,
                        const QString& toolTip = QString(), const char* role = nullptr)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(objectName));
    if (!toolTip.isEmpty()) {
        button->setToolTip(toolTip);
    }
    if (role != nullptr) {
        button->setProperty("role", QLatin1String(role));
    }
    return button;
}

bool isGroupItem(const QTreeWidgetItem* item)
{
    return item != nullptr && item->data(0, kKindRole).toString() == kKindGroup;
}

// Turns sorting off for the lifetime of the object while the table is sorted on the check column:
// every check change would otherwise make the table re-sort that row, quadratic over all rows.
class SortingPause
{
public:
    explicit SortingPause(QTableWidget* table)
        : m_table(table), m_active(table->isSortingEnabled() &&
                                   table->horizontalHeader()->sortIndicatorSection() == CheckColumn)
    {
        if (m_active) {
            m_table->setSortingEnabled(false);
        }
    }
    ~SortingPause()
    {
        if (m_active) {
            m_table->setSortingEnabled(true);
        }
    }
    SortingPause(const SortingPause&) = delete;
    SortingPause& operator=(const SortingPause&) = delete;

private:
    QTableWidget* m_table;
    bool m_active;
};

// The navigation tree: group items accept hosts dragged from the host table.
class GroupDropTreeWidget : public QTreeWidget
{
public:
    using DropCallback = std::function<void(const QString& groupId, const QStringList& ids)>;

    explicit GroupDropTreeWidget(QWidget* parent) : QTreeWidget(parent) {}

    void setDropCallback(DropCallback callback) { m_dropCallback = std::move(callback); }

    // Called before the items are destroyed: the remembered item must not be touched again.
    void forgetHighlight()
    {
        m_highlighted = nullptr;
        m_previousBackground = QBrush();
    }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override
    {
        if (event->mimeData()->hasFormat(kRemoteIdsMimeType)) {
            event->setDropAction(Qt::MoveAction);
            event->accept();
        } else {
            event->ignore();
        }
    }

    void dragMoveEvent(QDragMoveEvent* event) override
    {
        QTreeWidgetItem* item = itemAt(event->position().toPoint());
        if (isGroupItem(item) && event->mimeData()->hasFormat(kRemoteIdsMimeType)) {
            highlight(item);
            event->setDropAction(Qt::MoveAction);
            event->accept();
        } else {
            clearHighlight();
            event->ignore();
        }
    }

    void dragLeaveEvent(QDragLeaveEvent* event) override
    {
        clearHighlight();
        event->accept();
    }

    void dropEvent(QDropEvent* event) override
    {
        QTreeWidgetItem* item = itemAt(event->position().toPoint());
        if (!isGroupItem(item) || !event->mimeData()->hasFormat(kRemoteIdsMimeType)) {
            clearHighlight();
            event->ignore();
            return;
        }
        const QStringList ids = decodeRemoteIds(event->mimeData()->data(kRemoteIdsMimeType));
        const QString groupId = item->data(0, kValueRole).toString();
        clearHighlight();
        if (m_dropCallback && !groupId.isEmpty() && !ids.isEmpty()) {
            event->setDropAction(Qt::MoveAction);
            event->accept();
            // The callback rebuilds the tree; nothing of it may be used afterwards.
            m_dropCallback(groupId, ids);
        } else {
            event->ignore();
        }
    }

private:
    void highlight(QTreeWidgetItem* item)
    {
        if (item == m_highlighted) {
            return;
        }
        clearHighlight();
        m_highlighted = item;
        m_previousBackground = item->background(0);
        item->setBackground(0, QColor(kHighlightColor));
        viewport()->update();
    }

    void clearHighlight()
    {
        if (m_highlighted == nullptr) {
            return;
        }
        m_highlighted->setBackground(0, m_previousBackground);
        forgetHighlight();
        viewport()->update();
    }

    DropCallback m_dropCallback;
    QTreeWidgetItem* m_highlighted = nullptr;
    QBrush m_previousBackground;
};

// The host table: a drag carries the ids of the chosen hosts instead of the cells' contents.
class HostTableWidget : public QTableWidget
{
public:
    using IdProvider = std::function<QStringList()>;

    explicit HostTableWidget(QWidget* parent) : QTableWidget(parent) {}

    void setIdProvider(IdProvider provider) { m_idProvider = std::move(provider); }

protected:
    void startDrag(Qt::DropActions supportedActions) override
    {
        Q_UNUSED(supportedActions);
        if (!m_idProvider) {
            return;
        }
        const QStringList ids = m_idProvider();
        if (ids.isEmpty()) {
            return;
        }
        auto* mimeData = new QMimeData;
        mimeData->setData(kRemoteIdsMimeType, encodeRemoteIds(ids));
        auto* drag = new QDrag(this);
        drag->setMimeData(mimeData);
        drag->exec(Qt::MoveAction, Qt::MoveAction);
    }

private:
    IdProvider m_idProvider;
};

// The inline editor of the remark column.
class RemarkEditorDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override
    {
        auto* editor = new QLineEdit(parent);
        editor->setObjectName(QStringLiteral("remarkEditor"));
        const QVariant cellFont = index.data(Qt::FontRole);
        editor->setFont(cellFont.canConvert<QFont>() ? cellFont.value<QFont>() : option.font);
        editor->setMinimumHeight(std::max(option.rect.height() - 2, 28));
        editor->setTextMargins(4, 0, 4, 0);
        editor->setStyleSheet(kRemarkEditorStyle);
        return editor;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        auto* lineEdit = qobject_cast<QLineEdit*>(editor);
        if (lineEdit == nullptr) {
            QStyledItemDelegate::setEditorData(editor, index);
            return;
        }
        lineEdit->setText(index.data(Qt::EditRole).toString());
        // The view focuses the editor only after this returns; select on the next turn.
        QTimer::singleShot(0, lineEdit, [lineEdit] {
            lineEdit->setFocus();
            lineEdit->selectAll();
        });
    }
};

} // namespace

MainWindow::MainWindow(DatabaseManager* database, ConfigManager* config, CryptoManager* crypto,
                       QWidget* parent)
    : QMainWindow(parent), m_db(database), m_config(config), m_crypto(crypto)
{
    m_accountClient = new AccountClient(m_crypto, this);
    buildUi();
    // The access rule depends on the role of the signed-in account.
    connect(m_accountClient, &AccountClient::accountChanged, this, [this] { refresh(); });
    refresh();
    updateAccountCard();
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
    setStyleSheet(kStyleSheet);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralPage"));
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(16, 14, 16, 10);
    layout->setSpacing(10);

    // Hero card.
    auto* hero = new QFrame(central);
    hero->setObjectName(QStringLiteral("heroCard"));
    auto* heroLayout = new QHBoxLayout(hero);
    heroLayout->setContentsMargins(18, 14, 18, 14);
    heroLayout->setSpacing(14);

    auto* brand = new QLabel(QStringLiteral("nb"), hero);
    brand->setObjectName(QStringLiteral("brandMark"));
    brand->setFixedSize(54, 54);
    brand->setAlignment(Qt::AlignCenter);
    heroLayout->addWidget(brand);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    auto* title = new QLabel(kEditionName, hero);
    title->setObjectName(QStringLiteral("pageTitle"));
    titleRow->addWidget(title);
    auto* badge = new QLabel(QStringLiteral("Vantrel特别版"), hero);
    badge->setObjectName(QStringLiteral("editionBadge"));
    titleRow->addWidget(badge, 0, Qt::AlignVCenter);
    titleRow->addStretch();
    titles->addLayout(titleRow);
    auto* subtitle = new QLabel(QStringLiteral("统一管理 Windows RDP、Linux SSH、多屏连接与批量运维"), hero);
    subtitle->setObjectName(QStringLiteral("pageSubtitle"));
    titles->addWidget(subtitle);
    heroLayout->addLayout(titles, 1);

    auto* memberCard = new QFrame(hero);
    memberCard->setObjectName(QStringLiteral("memberCard"));
    auto* memberLayout = new QVBoxLayout(memberCard);
    memberLayout->setContentsMargins(12, 6, 12, 6);
    memberLayout->setSpacing(0);
    auto* memberTitle = new QLabel(QStringLiteral("会员账号"), memberCard);
    memberTitle->setObjectName(QStringLiteral("memberTitle"));
    memberLayout->addWidget(memberTitle);
    m_memberLabel = new QLabel(QStringLiteral("未登录"), memberCard);
    m_memberLabel->setObjectName(QStringLiteral("memberName"));
    memberLayout->addWidget(m_memberLabel);
    heroLayout->addWidget(memberCard, 0, Qt::AlignVCenter);

    auto* settingsButton = makeButton(hero, "settingsButton", QStringLiteral("设置"),
                                      QStringLiteral("连接、显示、云同步和智能转发设置"));
    connect(settingsButton, &QPushButton::clicked, this, &MainWindow::showGlobalSettings);
    heroLayout->addWidget(settingsButton, 0, Qt::AlignVCenter);

    m_accelerationButton =
        makeButton(hero, "accelerationButton", QStringLiteral("启动远程加速"),
                   QStringLiteral("Vantrel用户专享；检测香港节点后加速 RDP 与 SSH 连接"), "accent");
    connect(m_accelerationButton, &QPushButton::clicked, this, &MainWindow::onAccelerationClicked);
    heroLayout->addWidget(m_accelerationButton, 0, Qt::AlignVCenter);
    layout->addWidget(hero);

    // Group row.
    auto* groupRow = new QHBoxLayout;
    groupRow->addWidget(new QLabel(QStringLiteral("分组："), central));
    m_groupFilter = new QComboBox(central);
    m_groupFilter->setObjectName(QStringLiteral("groupFilter"));
    m_groupFilter->setMinimumWidth(150);
    groupRow->addWidget(m_groupFilter);
    auto* newGroupButton = makeButton(central, "newGroupButton", QStringLiteral("新建分组"));
    auto* renameGroupButton = makeButton(central, "renameGroupButton", QStringLiteral("重命名分组"));
    auto* deleteGroupButton = makeButton(central, "deleteGroupButton", QStringLiteral("删除分组"));
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
    connect(m_search, &QLineEdit::textChanged, this, &MainWindow::refresh);
    layout->addWidget(m_search);

    // Action row 1.
    auto* row1 = new QHBoxLayout;
    auto* addHostButton =
        makeButton(central, "addHostButton", QStringLiteral("添加主机"), QString(), "primary");
    connect(addHostButton, &QPushButton::clicked, this, &MainWindow::addRemote);
    row1->addWidget(addHostButton);

    auto* importButton = makeButton(central, "importButton", QStringLiteral("导入主机"));
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

    auto* exportButton = makeButton(central, "exportButton", QStringLiteral("导出主机"));
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::exportHosts);
    row1->addWidget(exportButton);
    auto* editButton = makeButton(central, "editButton", QStringLiteral("编辑"));
    connect(editButton, &QPushButton::clicked, this, &MainWindow::editSelected);
    row1->addWidget(editButton);
    m_selectAllButton = makeButton(central, "selectAllButton", QStringLiteral("一键全选"),
                                   QStringLiteral("勾选并高亮当前列表中的全部可见主机"));
    connect(m_selectAllButton, &QPushButton::clicked, this, &MainWindow::checkAllRows);
    row1->addWidget(m_selectAllButton);
    m_clearSelectionButton = makeButton(central, "clearSelectionButton", QStringLiteral("取消选择"),
                                        QStringLiteral("取消当前列表中全部主机的勾选和高亮"));
    connect(m_clearSelectionButton, &QPushButton::clicked, this, &MainWindow::uncheckAllRows);
    row1->addWidget(m_clearSelectionButton);
    auto* permissionButton =
        makeButton(central, "permissionButton", QStringLiteral("权限设置"),
                   QStringLiteral("主账号可将已勾选主机设为仅自己可用，或授权给全部子账号"));
    connect(permissionButton, &QPushButton::clicked, this, &MainWindow::setSelectedPermission);
    row1->addWidget(permissionButton);
    row1->addStretch();
    layout->addLayout(row1);

    // Action row 2.
    auto* row2 = new QHBoxLayout;
    auto* connectButton = makeButton(
        central, "connectButton", QStringLiteral("远程连接"),
        QStringLiteral("单台连接使用微软系统 RDP，兼容剪贴板、文件拖入和旧版 Windows。"), "primary");
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::connectSelected);
    row2->addWidget(connectButton);
    auto* sshButton = makeButton(central, "sshButton", QStringLiteral("SSH连接"));
    connect(sshButton, &QPushButton::clicked, this, &MainWindow::connectSsh);
    row2->addWidget(sshButton);
    auto* screenWallButton = makeButton(central, "screenWallButton", QStringLiteral("屏幕墙"));
    connect(screenWallButton, &QPushButton::clicked, this, &MainWindow::openScreenWall);
    row2->addWidget(screenWallButton);
    auto* multiScreenButton = makeButton(central, "multiScreenButton", QStringLiteral("多屏打开"));
    connect(multiScreenButton, &QPushButton::clicked, this, &MainWindow::openMultiScreen);
    row2->addWidget(multiScreenButton);
    auto* batchButton = makeButton(central, "batchButton", QStringLiteral("批量功能"));
    connect(batchButton, &QPushButton::clicked, this, &MainWindow::showBatchOperations);
    row2->addWidget(batchButton);
    auto* disconnectAllButton = makeButton(central, "disconnectAllButton", QStringLiteral("批量关闭远程"));
    connect(disconnectAllButton, &QPushButton::clicked, this, &MainWindow::disconnectAllSessions);
    row2->addWidget(disconnectAllButton);
    auto* deleteButton = makeButton(central, "deleteButton", QStringLiteral("删除"), QString(), "danger");
    connect(deleteButton, &QPushButton::clicked, this, &MainWindow::deleteSelected);
    row2->addWidget(deleteButton);
    row2->addStretch();
    m_accelerationLabel = new QLabel(QStringLiteral("未加速"), central);
    m_accelerationLabel->setObjectName(QStringLiteral("accelerationLabel"));
    row2->addWidget(m_accelerationLabel);
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

    auto* tree = new GroupDropTreeWidget(sidebar);
    tree->setObjectName(QStringLiteral("assetTree"));
    tree->setHeaderHidden(true);
    tree->setAlternatingRowColors(true);
    tree->setMinimumWidth(150);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    tree->setAcceptDrops(true);
    tree->setDragDropMode(QAbstractItemView::DropOnly);
    tree->setDropIndicatorShown(true);
    tree->setToolTip(QStringLiteral("可将右侧主机拖到这里的目标分组；已勾选多台时会批量移动"));
    tree->setDropCallback(
        [this](const QString& groupId, const QStringList& ids) { moveRemotes(ids, groupId); });
    connect(tree, &QTreeWidget::itemSelectionChanged, this, &MainWindow::onTreeSelectionChanged);
    connect(tree, &QWidget::customContextMenuRequested, this, &MainWindow::showAssetTreeContextMenu);
    sidebarLayout->addWidget(tree, 1);
    m_tree = tree;

    auto* table = new HostTableWidget(splitter);
    table->setObjectName(QStringLiteral("hostTable"));
    table->setColumnCount(ColumnCount);
    auto* checkHeader = new QTableWidgetItem(QStringLiteral("☐ 全选"));
    checkHeader->setToolTip(QStringLiteral("点击这里可一键全选或取消全部主机"));
    table->setHorizontalHeaderItem(CheckColumn, checkHeader);
    const QStringList headers = {QStringLiteral("名称"), QStringLiteral("类型"),   QStringLiteral("主机"),
                                 QStringLiteral("端口"), QStringLiteral("用户名"), QStringLiteral("分组"),
                                 QStringLiteral("权限"), QStringLiteral("备注"),   QStringLiteral("ID")};
    for (int column = NameColumn; column < ColumnCount; ++column) {
        table->setHorizontalHeaderItem(column, new QTableWidgetItem(headers.at(column - NameColumn)));
    }
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setAlternatingRowColors(true);
    table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                           QAbstractItemView::EditKeyPressed);
    table->setSortingEnabled(true);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->setDragEnabled(true);
    table->setDragDropMode(QAbstractItemView::DragOnly);
    table->setDefaultDropAction(Qt::MoveAction);
    // Row numbers mean nothing once the table is sorted or filtered.
    table->verticalHeader()->setVisible(false);
    QHeaderView* header = table->horizontalHeader();
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(54);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setResizeContentsPrecision(300);
    table->setItemDelegateForColumn(RemarkColumn, new RemarkEditorDelegate(table));
    table->setColumnHidden(IdColumn, true);
    table->setIdProvider([this] { return dragIds(); });
    connect(table, &QTableWidget::itemSelectionChanged, this, &MainWindow::onTableSelectionChanged);
    connect(table, &QTableWidget::itemChanged, this, &MainWindow::onTableItemChanged);
    connect(table, &QTableWidget::itemDoubleClicked, this, &MainWindow::onTableItemDoubleClicked);
    connect(table, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    connect(header, &QHeaderView::sectionClicked, this, &MainWindow::onHeaderSectionClicked);
    m_table = table;

    splitter->addWidget(sidebar);
    splitter->addWidget(table);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 1100});
    layout->addWidget(splitter, 1);

    setCentralWidget(central);

    m_statusSummary = new QLabel(statusBar());
    m_statusSummary->setObjectName(QStringLiteral("statusSummary"));
    statusBar()->addPermanentWidget(m_statusSummary);

    connect(m_groupFilter, &QComboBox::currentIndexChanged, this, [this] {
        m_protocolFilter.clear();
        refresh();
    });

    reloadGroups();
}

bool MainWindow::isTeamMember() const
{
    return m_accountClient->isSignedIn() && !m_accountClient->account().isMainAccount();
}

QList<Remote> MainWindow::accessibleRemotes()
{
    QList<Remote> remotes = m_db->getAllRemotes(DatabaseManager::Passwords::Skip);
    if (isTeamMember()) {
        remotes.removeIf([](const Remote& remote) { return remote.access_scope != QLatin1String("team"); });
    }
    return remotes;
}

QString MainWindow::currentGroupId() const
{
    return m_groupFilter->currentData().toString();
}

void MainWindow::refresh()
{
    const QString search = m_search->text().trimmed();
    const QString groupFilter = currentGroupId();

    // One read serves the table, the status line and the navigation counts; the group filter is
    // applied here so that the counts always see the whole accessible inventory.
    const QList<Remote> accessible = accessibleRemotes();
    const bool onlySsh = m_protocolFilter == QLatin1String("ssh");
    QList<const Remote*> shown;
    shown.reserve(accessible.size());
    int windowsCount = 0;
    for (const Remote& remote : accessible) {
        const bool ssh = remote.isSsh();
        if (!ssh) {
            ++windowsCount;
        }
        if (!groupFilter.isEmpty() && remote.group_id != groupFilter) {
            continue;
        }
        if (!m_protocolFilter.isEmpty() && ssh != onlySsh) {
            continue;
        }
        if (!search.isEmpty() && !remote.name.contains(search, Qt::CaseInsensitive) &&
            !remote.host.contains(search, Qt::CaseInsensitive) &&
            !remote.remark.contains(search, Qt::CaseInsensitive)) {
            continue;
        }
        shown.append(&remote);
    }

    const QList<Group> groups = m_db->getGroups();
    QHash<QString, QString> groupNames;
    for (const Group& group : groups) {
        groupNames.insert(group.id, group.name);
    }

    QSet<QString> checkedIds;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem* check = m_table->item(row, CheckColumn);
        const QTableWidgetItem* id = m_table->item(row, IdColumn);
        if (check != nullptr && id != nullptr && check->checkState() == Qt::Checked) {
            checkedIds.insert(id->text());
        }
    }

    m_table->setUpdatesEnabled(false);
    m_table->setSortingEnabled(false);
    {
        const QSignalBlocker blocker(m_table);
        const Qt::ItemFlags checkFlags = Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled;
        const Qt::ItemFlags remarkFlags = QTableWidgetItem().flags();
        const Qt::ItemFlags plainFlags = remarkFlags & ~Qt::ItemIsEditable;
        // Cells of rows that stay are rewritten in place: allocating and freeing a hundred
        // thousand items costs more than the rest of the fill.
        const auto cell = [this](int row, int column, const QString& text, Qt::ItemFlags flags) {
            QTableWidgetItem* item = m_table->item(row, column);
            if (item == nullptr) {
                item = new QTableWidgetItem(text);
                item->setFlags(flags);
                m_table->setItem(row, column, item);
                return item;
            }
            item->setText(text);
            if (item->flags() != flags) {
                item->setFlags(flags);
            }
            return item;
        };

        const int rows = static_cast<int>(shown.size());
        m_table->setRowCount(rows);
        {
            // Each cell would tell the view about itself; one notice for the whole table is enough.
            const QSignalBlocker modelBlocker(m_table->model());
            for (int row = 0; row < rows; ++row) {
                const Remote& remote = *shown.at(row);
                cell(row, CheckColumn, QString(), checkFlags)
                    ->setCheckState(checkedIds.contains(remote.id) ? Qt::Checked : Qt::Unchecked);
                cell(row, NameColumn, remote.name, plainFlags);
                cell(row, TypeColumn, typeText(remote), plainFlags);
                cell(row, HostColumn, remote.host, plainFlags);
                cell(row, PortColumn, QString::number(remote.port), plainFlags);
                cell(row, UserColumn, remote.username, plainFlags);
                cell(row, GroupColumn, groupNames.value(remote.group_id), plainFlags);
                cell(row, ScopeColumn, scopeText(remote), plainFlags);
                cell(row, RemarkColumn, remote.remark, remarkFlags)->setToolTip(remarkToolTip(remote.remark));
                cell(row, IdColumn, remote.id, plainFlags);
            }
        }
        if (rows > 0) {
            QAbstractItemModel* model = m_table->model();
            emit model->dataChanged(model->index(0, 0), model->index(rows - 1, ColumnCount - 1));
        }
    }
    m_table->setSortingEnabled(true);
    fitColumns();
    updateCheckControls();
    m_table->setUpdatesEnabled(true);

    const int total = static_cast<int>(accessible.size());
    m_statusSummary->setText(QStringLiteral("全部 %1 台  ·  当前显示 %2 台  ·  Windows %3 台  ·  Linux %4 台")
                                 .arg(total)
                                 .arg(shown.size())
                                 .arg(windowsCount)
                                 .arg(total - windowsCount));

    updateAccountCard();
    rebuildTree(accessible, groups);
}

void MainWindow::fitColumns()
{
    for (int column = CheckColumn; column <= RemarkColumn; ++column) {
        m_table->resizeColumnToContents(column);
        const ColumnBounds& bounds = kColumnBounds[column];
        m_table->setColumnWidth(column,
                                std::clamp(m_table->columnWidth(column) + 8, bounds.minimum, bounds.maximum));
    }
}

void MainWindow::updateCheckControls()
{
    const int rows = m_table->rowCount();
    int checked = 0;
    for (int row = 0; row < rows; ++row) {
        const QTableWidgetItem* item = m_table->item(row, CheckColumn);
        if (item != nullptr && item->checkState() == Qt::Checked) {
            ++checked;
        }
    }

    QString headerText;
    if (rows > 0 && checked == rows) {
        headerText = QStringLiteral("☑ 已全选");
    } else if (checked == 0) {
        headerText = QStringLiteral("☐ 全选");
    } else {
        headerText = QStringLiteral("▣ 已选 %1").arg(checked);
    }
    if (QTableWidgetItem* header = m_table->horizontalHeaderItem(CheckColumn)) {
        header->setText(headerText);
    }

    m_selectAllButton->setText(rows == 0 ? QStringLiteral("一键全选")
                                         : QStringLiteral("一键全选 (%1)").arg(rows));
    m_selectAllButton->setEnabled(rows > 0 && checked < rows);
    m_clearSelectionButton->setText(checked == 0 ? QStringLiteral("取消选择")
                                                 : QStringLiteral("取消选择 (%1)").arg(checked));
    m_clearSelectionButton->setEnabled(checked > 0);
}

void MainWindow::updateAccountCard()
{
    if (!m_accountClient->isSignedIn()) {
        m_memberLabel->setText(QStringLiteral("未登录"));
        return;
    }
    const MemberAccount account = m_accountClient->account();
    const QString name = !account.name.isEmpty()    ? account.name
                         : !account.email.isEmpty() ? account.email
                                                    : account.id;
    m_memberLabel->setText(QStringLiteral("%1 · %2").arg(
        name, account.isMainAccount() ? QStringLiteral("主账号") : QStringLiteral("子账号")));
}

void MainWindow::rebuildTree()
{
    rebuildTree(accessibleRemotes(), m_db->getGroups());
}

void MainWindow::rebuildTree(const QList<Remote>& accessible, const QList<Group>& groups)
{
    const int total = static_cast<int>(accessible.size());
    int windowsCount = 0;
    QHash<QString, int> perGroup;
    for (const Remote& remote : accessible) {
        if (!remote.isSsh()) {
            ++windowsCount;
        }
        ++perGroup[remote.group_id];
    }

    const QSignalBlocker blocker(m_tree);
    static_cast<GroupDropTreeWidget*>(m_tree)->forgetHighlight();
    m_tree->clear();

    const Qt::ItemFlags plainFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const auto makeItem = [&](QTreeWidgetItem* parent, const QString& text, const QString& kind,
                              const QString& value) {
        auto* item = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_tree);
        item->setText(0, text);
        item->setData(0, kKindRole, kind);
        if (!value.isNull()) {
            item->setData(0, kValueRole, value);
        }
        item->setFlags(kind == kKindGroup ? plainFlags | Qt::ItemIsDropEnabled : plainFlags);
        if (kind == kKindHeading) {
            QFont bold = item->font(0);
            bold.setWeight(QFont::Bold);
            item->setFont(0, bold);
        }
        return item;
    };

    QTreeWidgetItem* all =
        makeItem(nullptr, QStringLiteral("全部主机  (%1)").arg(total), kKindAll, QString());
    QTreeWidgetItem* systems = makeItem(nullptr, QStringLiteral("系统类型"), kKindHeading, QString());
    QTreeWidgetItem* rdp = makeItem(systems, QStringLiteral("Windows / RDP  (%1)").arg(windowsCount),
                                    kKindProtocol, QStringLiteral("rdp"));
    QTreeWidgetItem* ssh = makeItem(systems, QStringLiteral("Linux / SSH  (%1)").arg(total - windowsCount),
                                    kKindProtocol, QStringLiteral("ssh"));
    QTreeWidgetItem* groupHeading = makeItem(nullptr, QStringLiteral("主机分组"), kKindHeading, QString());
    const QString groupFilter = currentGroupId();
    QTreeWidgetItem* currentGroup = nullptr;
    for (const Group& group : groups) {
        QTreeWidgetItem* item =
            makeItem(groupHeading, QStringLiteral("%1  (%2)").arg(group.name).arg(perGroup.value(group.id)),
                     kKindGroup, group.id);
        if (currentGroup == nullptr && !groupFilter.isEmpty() && group.id == groupFilter) {
            currentGroup = item;
        }
    }
    systems->setExpanded(true);
    groupHeading->setExpanded(true);

    QTreeWidgetItem* current = all;
    if (!m_protocolFilter.isEmpty()) {
        if (m_protocolFilter == QLatin1String("rdp")) {
            current = rdp;
        } else if (m_protocolFilter == QLatin1String("ssh")) {
            current = ssh;
        }
    } else if (currentGroup != nullptr) {
        current = currentGroup;
    }
    m_tree->setCurrentItem(current);
}

void MainWindow::reloadGroups()
{
    QList<Group> groups = m_db->getGroups();
    const auto agent = std::find_if(groups.cbegin(), groups.cend(),
                                    [](const Group& group) { return group.name == kAgentGroupName; });
    if (agent != groups.cend()) {
        const Group agentGroup = *agent;
        auto target = std::find_if(groups.cbegin(), groups.cend(),
                                   [](const Group& group) { return group.name == kDefaultGroupName; });
        if (target == groups.cend()) {
            target = std::find_if(groups.cbegin(), groups.cend(),
                                  [&](const Group& group) { return group.id != agentGroup.id; });
        }
        if (target != groups.cend()) {
            // Passwords are opened here because every host is written back whole.
            bool allMoved = true;
            for (Remote remote : m_db->getRemotesByGroup(agentGroup.id, DatabaseManager::Passwords::Open)) {
                remote.group_id = target->id;
                remote.updated_at = QDateTime::currentDateTimeUtc();
                if (!m_db->updateRemote(remote)) {
                    allMoved = false;
                }
            }
            if (allMoved) {
                m_db->deleteGroup(agentGroup.id);
            } else {
                SPDLOG_WARN("Agent 托管主机分组合并未完成，下次刷新分组时重试");
            }
        } else {
            Group renamed = agentGroup;
            renamed.name = kDefaultGroupName;
            m_db->updateGroup(renamed);
        }
        groups = m_db->getGroups();
    }

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
    rebuildTree();
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
    const QString kind = item->data(0, kKindRole).toString();
    if (kind == kKindHeading) {
        return;
    }
    const QString value = item->data(0, kValueRole).toString();
    {
        const QSignalBlocker blocker(m_groupFilter);
        if (kind == kKindGroup) {
            m_protocolFilter.clear();
            m_groupFilter->setCurrentIndex(std::max(m_groupFilter->findData(value), 0));
        } else {
            m_groupFilter->setCurrentIndex(0);
            m_protocolFilter = kind == kKindProtocol ? value : QString();
        }
    }
    // The refresh rebuilds the tree, which must not happen inside the tree's own selection
    // handling; run it on the next event-loop turn.
    QTimer::singleShot(0, this, &MainWindow::refresh);
}

void MainWindow::onTableSelectionChanged()
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    {
        const SortingPause pause(m_table);
        const QSignalBlocker blocker(m_table);
        for (const QModelIndex& index : rows) {
            if (QTableWidgetItem* check = m_table->item(index.row(), CheckColumn)) {
                if (check->checkState() != Qt::Checked) {
                    check->setCheckState(Qt::Checked);
                }
            }
        }
    }
    updateCheckControls();
}

void MainWindow::checkAllRows()
{
    {
        const SortingPause pause(m_table);
        const QSignalBlocker tableBlocker(m_table);
        const QSignalBlocker selectionBlocker(m_table->selectionModel());
        for (int row = 0; row < m_table->rowCount(); ++row) {
            if (QTableWidgetItem* check = m_table->item(row, CheckColumn)) {
                check->setCheckState(Qt::Checked);
            }
        }
        m_table->selectAll();
    }
    m_table->viewport()->update();
    updateCheckControls();
}

void MainWindow::uncheckAllRows()
{
    {
        const SortingPause pause(m_table);
        const QSignalBlocker tableBlocker(m_table);
        const QSignalBlocker selectionBlocker(m_table->selectionModel());
        for (int row = 0; row < m_table->rowCount(); ++row) {
            if (QTableWidgetItem* check = m_table->item(row, CheckColumn)) {
                check->setCheckState(Qt::Unchecked);
            }
        }
        m_table->clearSelection();
    }
    m_table->viewport()->update();
    updateCheckControls();
}

void MainWindow::onHeaderSectionClicked(int section)
{
    if (section != CheckColumn) {
        return;
    }
    const int rows = m_table->rowCount();
    bool allChecked = rows > 0;
    for (int row = 0; row < rows && allChecked; ++row) {
        const QTableWidgetItem* check = m_table->item(row, CheckColumn);
        allChecked = check != nullptr && check->checkState() == Qt::Checked;
    }
    if (allChecked) {
        uncheckAllRows();
    } else {
        checkAllRows();
    }
}

void MainWindow::onTableItemChanged(QTableWidgetItem* item)
{
    if (item == nullptr) {
        return;
    }
    if (item->column() == CheckColumn) {
        updateCheckControls();
    } else if (item->column() == RemarkColumn) {
        saveRemark(item);
    }
}

void MainWindow::saveRemark(QTableWidgetItem* item)
{
    const QTableWidgetItem* idItem = m_table->item(item->row(), IdColumn);
    if (idItem == nullptr) {
        return;
    }
    std::optional<Remote> remote = m_db->getRemote(idItem->text());
    if (!remote) {
        return;
    }
    const QString trimmed = item->text().trimmed();
    if (trimmed == remote->remark) {
        if (item->text() != trimmed) {
            const QSignalBlocker blocker(m_table);
            item->setText(trimmed);
        }
        fitColumns();
        return;
    }

    const QString stored = remote->remark;
    remote->remark = trimmed;
    remote->updated_at = QDateTime::currentDateTimeUtc();
    if (m_db->updateRemote(*remote)) {
        // The cell that is reporting its change must outlive this handler; rebuild afterwards.
        QTimer::singleShot(0, this, &MainWindow::refresh);
        statusBar()->showMessage(QStringLiteral("备注已保存"), 4000);
        return;
    }
    {
        const QSignalBlocker blocker(m_table);
        item->setText(stored);
    }
    QMessageBox::critical(this, QStringLiteral("保存失败"),
                          QStringLiteral("无法保存这台主机的备注，请稍后重试。"));
}

void MainWindow::onTableItemDoubleClicked(QTableWidgetItem* item)
{
    if (item == nullptr || item->column() == RemarkColumn) {
        return;
    }
    const QList<Remote> chosen = chosenHosts();
    if (chosen.size() == 1 && chosen.first().isSsh()) {
        connectSsh();
    } else {
        connectSelected();
    }
}

QStringList MainWindow::chosenIds() const
{
    QStringList checked;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem* check = m_table->item(row, CheckColumn);
        const QTableWidgetItem* id = m_table->item(row, IdColumn);
        if (check != nullptr && id != nullptr && check->checkState() == Qt::Checked) {
            checked.append(id->text());
        }
    }
    if (!checked.isEmpty()) {
        return checked;
    }

    QList<int> rows;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows()) {
        rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    QStringList selected;
    for (int row : rows) {
        if (const QTableWidgetItem* id = m_table->item(row, IdColumn)) {
            selected.append(id->text());
        }
    }
    return selected;
}

QList<Remote> MainWindow::chosenHosts()
{
    QList<Remote> hosts;
    for (const QString& id : chosenIds()) {
        if (std::optional<Remote> remote = m_db->getRemote(id)) {
            hosts.append(*remote);
        }
    }
    return hosts;
}

QStringList MainWindow::dragIds()
{
    QStringList ids;
    for (const Remote& remote : chosenHosts()) {
        ids.append(remote.id);
    }
    return withoutDuplicates(ids);
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
    const qsizetype chosen = chosenHosts().size();

    QMenu menu(this);
    menu.setObjectName(QStringLiteral("hostContextMenu"));
    QList<std::pair<QAction*, std::function<void()>>> entries;
    const auto add = [&](const QString& text, std::function<void()> run) {
        QAction* action = menu.addAction(text);
        entries.append({action, std::move(run)});
        return action;
    };
    add(QStringLiteral("编辑主机"), [this] { editSelected(); })->setEnabled(chosen == 1);
    add(QStringLiteral("远程连接"), [this] { connectSelected(); });
    add(QStringLiteral("SSH 连接"), [this] { connectSsh(); });
    menu.addSeparator();
    add(QStringLiteral("移动到分组"), [this] { showMoveDialog(); });
    add(QStringLiteral("设置访问权限"), [this] {
        setSelectedPermission();
    })->setEnabled(m_accountClient->isSignedIn() && !isTeamMember());
    add(QStringLiteral("批量修改备注"), [this] { batchEditRemark(); });
    add(QStringLiteral("导出所选主机"), [this] { exportHosts(); });
    add(QStringLiteral("批量功能"), [this] { showBatchOperations(); });
    menu.addSeparator();
    add(QStringLiteral("删除"), [this] { deleteSelected(); });

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
    if (!isGroupItem(item)) {
        return;
    }
    const int index = m_groupFilter->findData(item->data(0, kValueRole).toString());
    if (index < 0) {
        return;
    }
    m_tree->setCurrentItem(item);
    {
        const QSignalBlocker blocker(m_groupFilter);
        m_groupFilter->setCurrentIndex(index);
    }

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
        HostEditorDialog::edit(this, groups, groupId, std::nullopt, showScope);
    if (remote && !m_db->addRemote(*remote)) {
        QMessageBox::critical(this, QStringLiteral("保存失败"), QStringLiteral("无法保存远程主机"));
    }
    refresh();
}

void MainWindow::editSelected()
{
    const int row = m_table->currentRow();
    if (row < 0) {
        return;
    }
    const QTableWidgetItem* idItem = m_table->item(row, IdColumn);
    if (idItem == nullptr) {
        return;
    }
    const std::optional<Remote> existing = m_db->getRemote(idItem->text());
    if (!existing) {
        return;
    }
    const bool showScope = m_accountClient->isSignedIn() && !isTeamMember();
    const std::optional<Remote> remote =
        HostEditorDialog::edit(this, m_db->getGroups(), existing->group_id, existing, showScope);
    if (remote && !m_db->updateRemote(*remote)) {
        QMessageBox::critical(this, QStringLiteral("保存失败"), QStringLiteral("无法更新远程主机"));
    }
    refresh();
}

void MainWindow::deleteSelected()
{
    const QList<Remote> chosen = chosenHosts();
    if (chosen.isEmpty()) {
        return;
    }
    const auto answer =
        QMessageBox::question(this, QStringLiteral("确认删除"),
                              QStringLiteral("确定删除选中的 %1 台远程主机吗？").arg(chosen.size()),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        return;
    }
    QStringList ids;
    for (const Remote& remote : chosen) {
        ids.append(remote.id);
    }
    if (m_db->deleteRemotes(ids)) {
        refresh();
    } else {
        QMessageBox::critical(this, QStringLiteral("删除失败"),
                              QStringLiteral("未删除任何主机，数据库事务已回滚。"));
    }
}

void MainWindow::showMoveDialog()
{
    const QList<Remote> chosen = chosenHosts();
    if (chosen.isEmpty()) {
        return;
    }
    const QList<Group> groups = m_db->getGroups();
    QStringList names;
    for (const Group& group : groups) {
        names.append(group.name);
    }
    bool ok = false;
    const QString name =
        QInputDialog::getItem(this, QStringLiteral("移动主机"),
                              QStringLiteral("将 %1 台主机移动到").arg(chosen.size()), names, 0, false, &ok);
    if (!ok) {
        return;
    }
    const auto target =
        std::find_if(groups.cbegin(), groups.cend(), [&](const Group& group) { return group.name == name; });
    if (target == groups.cend()) {
        return;
    }
    QStringList ids;
    for (const Remote& remote : chosen) {
        ids.append(remote.id);
    }
    moveRemotes(ids, target->id);
}

void MainWindow::moveRemotes(const QStringList& ids, const QString& groupId)
{
    if (ids.isEmpty() || groupId.isEmpty()) {
        return;
    }
    const QList<Group> groups = m_db->getGroups();
    const auto target =
        std::find_if(groups.cbegin(), groups.cend(), [&](const Group& group) { return group.id == groupId; });
    if (target == groups.cend()) {
        QMessageBox::warning(this, QStringLiteral("无法移动"),
                             QStringLiteral("目标分组已经不存在，请刷新后重试。"));
        return;
    }
    const QString groupName = target->name;

    int moved = 0;
    int failed = 0;
    int alreadyThere = 0;
    for (const QString& id : withoutDuplicates(ids)) {
        std::optional<Remote> remote = m_db->getRemote(id);
        if (!remote) {
            ++failed;
            continue;
        }
        if (remote->group_id == groupId) {
            ++alreadyThere;
            continue;
        }
        remote->group_id = groupId;
        remote->updated_at = QDateTime::currentDateTimeUtc();
        if (m_db->updateRemote(*remote)) {
            ++moved;
        } else {
            ++failed;
        }
    }

    uncheckAllRows();
    refresh();

    if (failed == 0 && moved > 0) {
        statusBar()->showMessage(QStringLiteral("已将 %1 台主机移动到“%2”分组").arg(moved).arg(groupName),
                                 6000);
    } else if (failed > 0) {
        QMessageBox::warning(this, QStringLiteral("移动完成"),
                             QStringLiteral("已移动 %1 台主机到“%2”，另有 %3 台保存失败。")
                                 .arg(moved)
                                 .arg(groupName)
                                 .arg(failed));
    } else if (alreadyThere > 0) {
        statusBar()->showMessage(QStringLiteral("所选主机已经在“%1”分组中").arg(groupName), 5000);
    }
}

void MainWindow::batchEditRemark()
{
    const QList<Remote> chosen = chosenHosts();
    if (chosen.isEmpty()) {
        return;
    }
    bool ok = false;
    const QString text = QInputDialog::getMultiLineText(
        this, QStringLiteral("批量修改备注"), QStringLiteral("将覆盖所选 %1 台主机的备注").arg(chosen.size()),
        QString(), &ok);
    if (!ok) {
        return;
    }
    const QString remark = text.trimmed();
    for (Remote remote : chosen) {
        remote.remark = remark;
        // A failed write of one host does not stop the others and is not reported.
        m_db->updateRemote(remote);
    }
    refresh();
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
    if (chosen.isEmpty()) {
        QMessageBox::information(this, title, QStringLiteral("请先勾选一台或多台主机。"));
        return;
    }
    bool ok = false;
    const QString choice = QInputDialog::getItem(
        this, QStringLiteral("设置主机权限"), QStringLiteral("所选 %1 台主机允许谁使用？").arg(chosen.size()),
        {QStringLiteral("仅主账号可用"), QStringLiteral("主账号及所有子账号可用")}, 0, false, &ok);
    if (!ok) {
        return;
    }
    const QString scope =
        choice.startsWith(QStringLiteral("仅主账号")) ? QStringLiteral("owner") : QStringLiteral("team");
    int updated = 0;
    for (Remote remote : chosen) {
        remote.access_scope = scope;
        remote.updated_at = QDateTime::currentDateTimeUtc();
        if (m_db->updateRemote(remote)) {
            ++updated;
        }
    }
    refresh();
    statusBar()->showMessage(QStringLiteral("已更新 %1 台主机的访问权限").arg(updated), 6000);
}

void MainWindow::addGroup()
{
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("新建分组"), QStringLiteral("分组名称"),
                                               QLineEdit::Normal, QString(), &ok)
                             .trimmed();
    if (!ok || name.isEmpty()) {
        return;
    }
    Group group;
    group.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    group.name = name;
    group.sort_order = static_cast<int>(m_db->getGroups().size());
    group.created_at = QDateTime::currentDateTimeUtc();
    if (!m_db->addGroup(group)) {
        QMessageBox::critical(this, QStringLiteral("创建失败"), QStringLiteral("无法创建分组"));
        return;
    }
    reloadGroups();
    selectGroupInFilter(group.id);
}

void MainWindow::renameGroup()
{
    const QString groupId = currentGroupId();
    if (groupId.isEmpty()) {
        return;
    }
    const QList<Group> groups = m_db->getGroups();
    const auto found =
        std::find_if(groups.cbegin(), groups.cend(), [&](const Group& group) { return group.id == groupId; });
    if (found == groups.cend()) {
        return;
    }
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("重命名分组"), QStringLiteral("分组名称"),
                                               QLineEdit::Normal, found->name, &ok)
                             .trimmed();
    if (!ok || name.isEmpty()) {
        return;
    }
    Group renamed = *found;
    renamed.name = name;
    if (!m_db->updateGroup(renamed)) {
        QMessageBox::critical(this, QStringLiteral("保存失败"), QStringLiteral("无法重命名分组"));
        return;
    }
    reloadGroups();
}

void MainWindow::deleteGroup()
{
    const QString groupId = currentGroupId();
    if (groupId.isEmpty()) {
        return;
    }
    if (m_db->getGroups().size() <= 1) {
        QMessageBox::information(this, QStringLiteral("不能删除"), QStringLiteral("至少保留一个分组"));
        return;
    }
    const qsizetype count = m_db->getRemotesByGroup(groupId, DatabaseManager::Passwords::Skip).size();
    const auto answer = QMessageBox::warning(
        this, QStringLiteral("删除分组"),
        QStringLiteral("删除该分组会同时删除其中 %1 台远程主机。确定继续吗？").arg(count),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        return;
    }
    if (!m_db->deleteGroup(groupId)) {
        QMessageBox::critical(this, QStringLiteral("删除失败"), QStringLiteral("无法删除分组"));
        return;
    }
    reloadGroups();
    refresh();
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
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("clipboardImportDialog"));
    dialog.setWindowTitle(QStringLiteral("从剪贴板导入主机"));
    dialog.resize(760, 520);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(
        QStringLiteral(
            "每行格式：IP,端口,用户名,密码,备注。支持英文逗号、中文全角逗号或 Tab，也支持带表头内容。"),
        &dialog);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* editor = new QPlainTextEdit(&dialog);
    editor->setObjectName(QStringLiteral("clipboardImportText"));
    editor->setPlainText(QApplication::clipboard()->text());
    editor->setPlaceholderText(QStringLiteral(
        "192.168.1.10,3389,Administrator,密码,Windows主机\n192.168.1.20，22，root，密码，Linux主机"));
    layout->addWidget(editor, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);

    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const QString text = editor->toPlainText();
    if (text.trimmed().isEmpty()) {
        return;
    }
    importBytes(text.toUtf8(), QStringLiteral("剪贴板"));
}

void MainWindow::importBytes(const QByteArray& bytes, const QString& sourceName)
{
    if (m_db->getGroups().isEmpty()) {
        return;
    }
    // A group chosen in the filter (or the tree) takes every host; with all hosts shown, the
    // file's group column decides.
    const HostImporter::Outcome outcome = HostImporter::run(m_db, bytes, currentGroupId(), isTeamMember());
    switch (outcome.status) {
    case HostImporter::Status::NoGroups:
        return;
    case HostImporter::Status::NothingParsed:
        QMessageBox::warning(this, QStringLiteral("导入失败"), outcome.errors.join(QLatin1Char('\n')));
        return;
    case HostImporter::Status::AllDuplicates:
        QMessageBox::information(this, QStringLiteral("无需导入"),
                                 QStringLiteral("导入内容中的主机已经存在。"));
        return;
    case HostImporter::Status::WriteFailed:
        QMessageBox::critical(this, QStringLiteral("导入失败"),
                              QStringLiteral("资产未写入，数据库事务已回滚"));
        return;
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
}

void MainWindow::showImportFormatHelp()
{
    QMessageBox::information(
        this, QStringLiteral("导入格式说明"),
        QStringLiteral(
            "支持 CSV、TXT、XLS、XLSX，也可以直接粘贴剪贴板内容。\n\n无表头时每行格式：\nIP,端口,用户名,密码,"
            "备注\n\n示例：\n192.168.1.10,3389,Administrator,Zq7Lm4p,办公室Windows\n192.168.1.20，22，"
            "root，Zq7Lm4p，Linux服务器\n\n英文逗号 ,、中文全角逗号 ，和 Tab "
            "均可识别。带表头时还可使用：名称、类型/协议、权限。\n权限填写 owner（仅主账号）或 "
            "team（主账号及子账号）；不填时默认仅主账号。"));
}

void MainWindow::exportHosts()
{
    QList<Remote> hosts = chosenHosts();
    if (hosts.isEmpty()) {
        for (int row = 0; row < m_table->rowCount(); ++row) {
            if (const QTableWidgetItem* id = m_table->item(row, IdColumn)) {
                if (std::optional<Remote> remote = m_db->getRemote(id->text())) {
                    hosts.append(*remote);
                }
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

void MainWindow::connectSelected()
{
    const QList<Remote> chosen = chosenHosts();
    int dropped = 0;
    const QList<Remote> hosts = keepKind(chosen, false, &dropped);
    if (dropped > 0 && !chosen.isEmpty()) {
        QMessageBox::information(this, kTypeHintTitle, linuxSkippedText(dropped));
    }
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
    const QList<Remote> chosen = chosenHosts();
    int dropped = 0;
    const QList<Remote> hosts = keepKind(chosen, true, &dropped);
    if (dropped > 0 && !chosen.isEmpty()) {
        QMessageBox::information(
            this, kTypeHintTitle,
            QStringLiteral("本操作只适用于 Linux / SSH 主机，已跳过 %1 台 Windows 主机。").arg(dropped));
    }
    if (hosts.isEmpty()) {
        return;
    }
    openSessions(SessionKind::SshTerminal, hosts, m_config->config().default_kernel);
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
    return new ScreenWallWindow(hosts, desktopSize, colorDepth, autoMixed, engine, nullptr,
                                [timeout](const Remote& remote, QSize size, int depth, QWidget* parent,
                                          RdpEngine tileEngine, bool mixed) {
                                    auto* tile = new RdpTile(remote, size, depth, parent, tileEngine, mixed);
                                    tile->setConnectTimeout(timeout);
                                    return tile;
                                });
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
    dialog.exec();
}

void MainWindow::onAccelerationClicked()
{
    if (!m_accountClient->isSignedIn()) {
        QMessageBox::information(this, QStringLiteral("远程加速"), QStringLiteral("登陆后使用"));
        return;
    }
    // Acceleration needs a partner-portal session, which no account of this build can hold.
    QMessageBox::information(this, QStringLiteral("远程加速"), QStringLiteral("请先使用Vantrel账号登录。"));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    closeSessionWindows();
    QMainWindow::closeEvent(event);
}
