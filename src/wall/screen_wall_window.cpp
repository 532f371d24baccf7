#include "wall/screen_wall_window.h"

#include "network/acceleration_manager.h"
#include "platform/secure_memory.h"
#include "rdp/rdp_tile.h"
#include "storage/app_lock.h"
#include "storage/config_manager.h"
#include "wall/batch_text_dialog.h"
#include "wall/custom_shortcut_dialog.h"
#include "wall/soft_keyboard_dialog.h"
#include "wall/tool_bar_auto_hider.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <spdlog/spdlog.h>

#include <algorithm>

namespace {

const QString kEdition = QStringLiteral("Nimbara-Vantrel特别版");
const QString kNoSessions = QStringLiteral("当前没有已连接的远程会话。");

struct ResolutionChoice
{
    const char* text;
    QSize size;
};

const ResolutionChoice kResolutions[] = {
    {"1280 × 720（推荐）", QSize(1280, 720)},
    {"1024 × 768（旧系统）", QSize(1024, 768)},
    {"1366 × 768", QSize(1366, 768)},
    {"1600 × 900（清晰）", QSize(1600, 900)},
};

struct PresetEntry
{
    const char* text;
    int preset;
    bool confirm;
};

const PresetEntry kPresetsBeforeLock[] = {
    {"刷新桌面  F5", 0, false},
    {"打开运行  Win + R", 1, false},
    {"打开资源管理器  Win + E", 2, false},
    {"安全键  Ctrl + Alt + Del", 3, true},
    {"关闭当前窗口  Alt + F4", 6, true},
    {"取消/返回  Esc", 4, false},
};

constexpr int kEnterPreset = 7;
constexpr int kAccelerationRetryMs = 250;

// Tool bar widgets keep the width their text needs.
void fitToContents(QComboBox* combo)
{
    combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    combo->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QLabel* fixedLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return label;
}

} // namespace

ScreenWallWindow::ScreenWallWindow(const QList<Remote>& remotes, QSize desktopSize, int colorDepth,
                                   bool autoMixed, RdpEngine engine, QWidget* parent, TileFactory tileFactory)
    : QMainWindow(parent), m_remotes(remotes),
      // Small tiles gain nothing from a large desktop, and every extra pixel costs each session memory.
      m_desktopSize(remotes.size() >= 2 ? QSize(1280, 720) : desktopSize), m_colorDepth(colorDepth),
      m_autoMixed(autoMixed), m_engine(engine), m_tileFactory(std::move(tileFactory))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(wallTitle(engine, autoMixed, static_cast<int>(remotes.size())));
    // As much of its screen as windows may take; owners that place it themselves do so afterwards.
    if (const QScreen* where = screen()) {
        setGeometry(where->availableGeometry());
    }
    if (!m_tileFactory) {
        m_tileFactory = [](const Remote& remote, QSize size, int depth, QWidget* tileParent,
                           RdpEngine tileEngine, bool mixed) {
            return new RdpTile(remote, size, depth, tileParent, tileEngine, mixed);
        };
    }

    buildToolBar();

    m_scrollArea = new QScrollArea(this);
    m_scrollArea->setWidgetResizable(true);
    m_container = new QWidget(m_scrollArea);
    m_grid = new QGridLayout(m_container);
    m_grid->setHorizontalSpacing(8);
    m_grid->setVerticalSpacing(8);
    m_scrollArea->setWidget(m_container);
    setCentralWidget(m_scrollArea);

    buildTiles();
}

ScreenWallWindow::~ScreenWallWindow() = default;

void ScreenWallWindow::setAppLock(AppLock* appLock)
{
    if (m_appLock) {
        m_appLock->disconnect(this);
    }
    m_appLock = appLock;
    if (appLock) {
        connect(appLock, &AppLock::locked, this, &ScreenWallWindow::wipePasswords);
        if (appLock->isLocked()) {
            wipePasswords();
        }
    }
}

void ScreenWallWindow::wipePasswords()
{
    for (Remote& remote : m_remotes) {
        SecureMemory::wipe(remote.password);
    }
    m_passwordsWiped = true;
    for (RdpTile* tile : tiles()) {
        tile->wipePassword();
    }
}

std::optional<QString> ScreenWallWindow::openPassword(const QString& hostId) const
{
    if ((m_appLock && m_appLock->isLocked()) || !m_passwordSource) {
        return std::nullopt;
    }
    return m_passwordSource(hostId);
}

QString ScreenWallWindow::wallTitle(RdpEngine engine, bool autoMixed, int hostCount)
{
    QString engineName;
    if (engine == RdpEngine::System) {
        engineName = QStringLiteral("兼容");
    } else if (autoMixed) {
        engineName = QStringLiteral("自动混合");
    } else {
        engineName = QStringLiteral("极速");
    }
    return QStringLiteral("%1 %2 屏幕墙 - %3 台").arg(kEdition, engineName).arg(hostCount);
}

void ScreenWallWindow::buildToolBar()
{
    auto* bar = new QToolBar(QStringLiteral("会话操作"), this);
    m_toolBar = bar;
    bar->setObjectName(QStringLiteral("sessionToolBar"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addToolBar(bar);

    bar->addWidget(fixedLabel(QStringLiteral("布局"), bar));
    m_columnCombo = new QComboBox(bar);
    m_columnCombo->setObjectName(QStringLiteral("columnCombo"));
    m_columnCombo->setToolTip(QStringLiteral("控制一行显示几台主机。列数越少，画面越大、越清晰。"));
    m_columnCombo->addItem(QStringLiteral("4 列（清晰）"), 4);
    m_columnCombo->addItem(QStringLiteral("3 列（大图）"), 3);
    m_columnCombo->addItem(QStringLiteral("5 列"), 5);
    m_columnCombo->addItem(QStringLiteral("6 列（紧凑）"), 6);
    m_columnCombo->addItem(QStringLiteral("自动"), 0);
    fitToContents(m_columnCombo);
    bar->addWidget(m_columnCombo);
    connect(m_columnCombo, &QComboBox::currentIndexChanged, this, &ScreenWallWindow::onColumnChanged);

    bar->addSeparator();
    bar->addWidget(fixedLabel(QStringLiteral("远程分辨率"), bar));
    m_resolutionCombo = new QComboBox(bar);
    m_resolutionCombo->setObjectName(QStringLiteral("resolutionCombo"));
    m_resolutionCombo->setToolTip(QStringLiteral("选择后点击“应用并重连”，会对全部屏幕墙会话生效。"));
    for (const ResolutionChoice& choice : kResolutions) {
        m_resolutionCombo->addItem(QString::fromUtf8(choice.text), choice.size);
    }
    // The size the sessions run at is always a choice, so that nothing looks pending that is not.
    int current = m_resolutionCombo->findData(m_desktopSize);
    if (current < 0) {
        m_resolutionCombo->addItem(
            QStringLiteral("%1 × %2（当前）").arg(m_desktopSize.width()).arg(m_desktopSize.height()),
            m_desktopSize);
        current = m_resolutionCombo->count() - 1;
    }
    m_resolutionCombo->setCurrentIndex(current);
    fitToContents(m_resolutionCombo);
    bar->addWidget(m_resolutionCombo);
    connect(m_resolutionCombo, &QComboBox::currentIndexChanged, this, &ScreenWallWindow::updateSummary);

    QAction* apply = bar->addAction(QStringLiteral("应用并重连"));
    apply->setToolTip(QStringLiteral("按选择的分辨率重新连接当前屏幕墙的所有主机"));
    connect(apply, &QAction::triggered, this, &ScreenWallWindow::applyResolution);

    bar->addSeparator();
    m_shortcutButton = new QToolButton(bar);
    m_shortcutButton->setObjectName(QStringLiteral("shortcutButton"));
    m_shortcutButton->setText(QStringLiteral("批量快捷键"));
    m_shortcutButton->setToolTip(QStringLiteral("向全部已连接的远程主机同时发送常用按键"));
    m_shortcutButton->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(m_shortcutButton);
    for (const PresetEntry& entry : kPresetsBeforeLock) {
        const QString text = QString::fromUtf8(entry.text);
        connect(menu->addAction(text), &QAction::triggered, this,
                [this, text, entry] { sendPresetToAll(entry.preset, text, entry.confirm); });
    }
    menu->addSeparator();
    const QString lockText = QStringLiteral("锁定所有远程主机  Win + L");
    connect(menu->addAction(lockText), &QAction::triggered, this,
            [this, lockText] { sendPresetToAll(5, lockText, true); });
    menu->addSeparator();
    QAction* custom = menu->addAction(QStringLiteral("自定义快捷键…"));
    custom->setToolTip(QStringLiteral("自由组合 Ctrl、Alt、Shift、Win 和常用主键"));
    connect(custom, &QAction::triggered, this, &ScreenWallWindow::openCustomShortcutDialog);
    connect(menu->addAction(QStringLiteral("批量键盘输入…")), &QAction::triggered, this,
            &ScreenWallWindow::openBatchTextDialog);
    connect(menu->addAction(QStringLiteral("批量软键盘…")), &QAction::triggered, this,
            &ScreenWallWindow::openSoftKeyboard);
    menu->setToolTipsVisible(true);
    m_shortcutButton->setMenu(menu);
    bar->addWidget(m_shortcutButton);

    QAction* reconnect = bar->addAction(QStringLiteral("全部重连"));
    reconnect->setToolTip(QStringLiteral("以当前屏幕墙分辨率重新连接全部会话"));
    connect(reconnect, &QAction::triggered, this, &ScreenWallWindow::reconnectAll);

    m_restoreAction = bar->addAction(QStringLiteral("恢复屏幕墙"));
    m_restoreAction->setToolTip(QStringLiteral("退出单画面放大，恢复全部主机布局"));
    m_restoreAction->setVisible(false);
    connect(m_restoreAction, &QAction::triggered, this, &ScreenWallWindow::restoreWall);

    QAction* controller = bar->addAction(QStringLiteral("返回主控端"));
    controller->setToolTip(QStringLiteral("将 NIMBARA 主控窗口切换到最前面"));
    connect(controller, &QAction::triggered, this, &ScreenWallWindow::controllerWindowRequested);

    connect(bar->addAction(QStringLiteral("断开全部")), &QAction::triggered, this,
            &ScreenWallWindow::disconnectAll);

    m_summaryLabel = new QLabel(bar);
    m_summaryLabel->setObjectName(QStringLiteral("summaryLabel"));
    m_summaryLabel->setStyleSheet(QStringLiteral("padding:2px 8px;color:#60738a"));
    m_summaryLabel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    bar->addWidget(m_summaryLabel);
}

QList<RdpTile*> ScreenWallWindow::tiles() const
{
    // Tiles scheduled for deletion by a rebuild are no longer the wall's.
    QList<RdpTile*> result;
    for (RdpTile* tile : m_container->findChildren<RdpTile*>(Qt::FindDirectChildrenOnly)) {
        if (!tile->property("nimbaraRetired").toBool()) {
            result.append(tile);
        }
    }
    return result;
}

int ScreenWallWindow::connectedCount() const
{
    const QList<RdpTile*> all = tiles();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [](RdpTile* tile) { return tile->isActive(); }));
}

int ScreenWallWindow::effectiveColumns(int hostCount, int columns, int viewportWidth)
{
    if (hostCount < 1) {
        return 1;
    }
    if (columns > 0) {
        return std::min(hostCount, columns);
    }
    return std::clamp(viewportWidth / 320, 1, std::min(hostCount, 6));
}

int ScreenWallWindow::effectiveColumns() const
{
    return effectiveColumns(static_cast<int>(m_remotes.size()), m_columns, m_scrollArea->viewport()->width());
}

void ScreenWallWindow::buildTiles()
{
    m_zoomedTile = nullptr;
    m_restoreAction->setVisible(false);
    while (QLayoutItem* item = m_grid->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            if (auto* tile = qobject_cast<RdpTile*>(widget)) {
                tile->setProperty("nimbaraRetired", true);
                tile->disconnect(this);
                tile->disconnectSession();
            }
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    for (int i = 0; i < m_grid->columnCount(); ++i) {
        m_grid->setColumnStretch(i, 0);
    }
    for (int i = 0; i < m_grid->rowCount(); ++i) {
        m_grid->setRowStretch(i, 0);
    }

    const int c = effectiveColumns();
    for (int i = 0; i < m_remotes.size(); ++i) {
        RdpTile* tile =
            m_tileFactory(m_remotes.at(i), m_desktopSize, m_colorDepth, m_container, m_engine, m_autoMixed);
        connectTile(tile);
        tile->setPasswordSource([this](const QString& hostId) { return openPassword(hostId); });
        if (m_passwordsWiped) {
            tile->wipePassword();
        }
        m_grid->addWidget(tile, i / c, i % c);
        tile->show();
        tile->connectSession();
    }
    relayout();
    updateSummary();
}

void ScreenWallWindow::connectTile(RdpTile* tile)
{
    connect(
        tile, &RdpTile::certificateConfirmationRequired, this,
        [this](RdpTile* source, const QString& details) {
            const QPointer<RdpTile> guard(source);
            const auto answer = QMessageBox::warning(
                this, QStringLiteral("未知 RDP 证书"),
                QStringLiteral("服务器证书尚未受信任。请核对指纹后决定是否仅本次信任。\n\n%1").arg(details),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
            // The tile may have been rebuilt or closed while the box was open.
            if (answer == QMessageBox::Yes && guard) {
                guard->trustPendingCertificate();
            }
        });
    connect(tile, &RdpTile::legacyCompatibilityDetected, this,
            &ScreenWallWindow::legacyCompatibilityDetected);
    connect(tile, &RdpTile::certificateFingerprintTrusted, this,
            &ScreenWallWindow::certificateFingerprintTrusted);
    connect(tile, &RdpTile::connectionFailed, this,
            [this, guard = QPointer<RdpTile>(tile)](const QString& remoteId, const QString& message) {
                if (!guard || !retryAfterFailure(remoteId, guard->remote().name, message)) {
                    return;
                }
                guard->disconnectSession();
                schedule(kAccelerationRetryMs, [guard] {
                    if (guard) {
                        guard->connectSession();
                    }
                });
            });
    connect(tile, &RdpTile::focusRequested, this, &ScreenWallWindow::zoomTile);
    connect(tile, &RdpTile::systemFallbackActivated, this,
            [this](const QString&, const QString& remoteName, const QString&) {
                showStatus(
                    QStringLiteral("“%1”的 FreeRDP 协商失败，已自动切换到系统 RDP 客户端。").arg(remoteName),
                    8000);
                updateSummary(); // a zoomed tile may now take dropped files
            });
    connect(tile, &RdpTile::localFilesQueued, this,
            [this](const QString&, const QString& remoteName, int count) {
                showStatus(QStringLiteral("已向“%1”发送 %2 个本机文件；将粘贴到远程当前活动文件夹或桌面。")
                               .arg(remoteName)
                               .arg(count),
                           8000);
            });
    connect(tile, &RdpTile::localFilesRejected, this, [this](const QString&, const QString& message) {
        showStatus(message, 7000);
        QMessageBox::information(this, QStringLiteral("拖拽文件"), message, QMessageBox::Ok);
    });
    connect(tile, &RdpTile::interactionFailed, this,
            [this](const QString&, const QString& remoteName, const QString& message) {
                const QString text =
                    QStringLiteral("“%1”：%2\n远程连接仍保持在线。").arg(remoteName, message);
                showStatus(text, 8000);
                QMessageBox::warning(this, QStringLiteral("远程操作失败"), text, QMessageBox::Ok);
            });
}

bool ScreenWallWindow::retryAfterFailure(const QString& remoteId, const QString& remoteName,
                                         const QString& message)
{
    return AccelerationManager::instance()->handleConnectionFailure(remoteId, remoteName, message);
}

void ScreenWallWindow::schedule(int delayMs, std::function<void()> task)
{
    QTimer::singleShot(delayMs, this, std::move(task));
}

void ScreenWallWindow::relayout()
{
    for (int i = 0; i < m_grid->columnCount(); ++i) {
        m_grid->setColumnStretch(i, 0);
    }
    for (int i = 0; i < m_grid->rowCount(); ++i) {
        m_grid->setRowStretch(i, 0);
    }
    const QList<RdpTile*> all = tiles();
    for (RdpTile* tile : all) {
        m_grid->removeWidget(tile);
    }
    if (m_zoomedTile) {
        for (RdpTile* tile : all) {
            const bool zoomed = tile == m_zoomedTile;
            tile->setVisible(zoomed);
            tile->setZoomAllowed(!zoomed);
            tile->setFollowsView(zoomed);
        }
        // Alone, the tile takes the whole view and letterboxes the picture itself.
        m_zoomedTile->setMinimumHeight(0);
        m_zoomedTile->setMaximumHeight(QWIDGETSIZE_MAX);
        m_grid->addWidget(m_zoomedTile, 0, 0);
        m_grid->setRowStretch(0, 1);
        m_grid->setColumnStretch(0, 1);
        return;
    }
    const int c = effectiveColumns();
    // Filling: as high as `m_rows` rows (or fewer when there are fewer) fill the view; else as high as
    // the remote desktop's aspect ratio makes the column width. The grid scrolls when the rows do not all
    // fit, and the space they leave stays below them.
    const int rows = (static_cast<int>(all.size()) + c - 1) / c;
    const int tileHeight =
        all.isEmpty() ? 0
                      : (m_fill ? fillHeight(std::min(rows, m_rows)) : tileHeightFor(all.first(), c, rows));
    for (int i = 0; i < all.size(); ++i) {
        RdpTile* tile = all.at(i);
        tile->setZoomAllowed(true);
        // Alone in its window, a session's desktop takes the window's size; on a wall, the wall's.
        tile->setFollowsView(all.size() == 1);
        tile->setFixedHeight(tileHeight);
        tile->show();
        m_grid->addWidget(tile, i / c, i % c);
    }
    for (int i = 0; i < c; ++i) {
        m_grid->setColumnStretch(i, 1);
    }
    m_grid->setRowStretch(rows, 1);
}

void ScreenWallWindow::setToolBarSettings(bool show, bool autoHide, int delaySeconds)
{
    delete m_toolBarHider;
    m_toolBar->show();
    m_toolBarHider = new ToolBarAutoHider(this, m_toolBar, show, autoHide,
                                          std::clamp(delaySeconds, 1, kMaxHideDelaySeconds) * 1000);
}

void ScreenWallWindow::setLayoutSettings(int rows, int columns, bool fill)
{
    m_rows = std::clamp(rows, 1, ConfigManager::kMaxWallRows);
    m_fill = fill;
    const int wanted = columns <= 0 ? 0 : std::min(columns, ConfigManager::kMaxWallColumns);
    int index = m_columnCombo->findData(wanted);
    if (index < 0) {
        m_columnCombo->addItem(QStringLiteral("%1 列").arg(wanted), wanted);
        index = m_columnCombo->count() - 1;
    }
    if (index != m_columnCombo->currentIndex()) {
        m_columnCombo->setCurrentIndex(index); // relayouts
    } else {
        relayout();
        updateSummary();
    }
}

int ScreenWallWindow::fillHeight(int rows) const
{
    const QMargins margins = m_grid->contentsMargins();
    const int room = m_scrollArea->maximumViewportSize().height() - margins.top() - margins.bottom();
    return std::max(kMinFillHeight, (room - m_grid->verticalSpacing() * (rows - 1)) / std::max(rows, 1));
}

int ScreenWallWindow::tileHeightFor(const RdpTile* tile, int columns, int rows) const
{
    const QMargins margins = m_grid->contentsMargins();
    const QSize room = m_scrollArea->maximumViewportSize() -
                       QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
    const auto heightAt = [&](int width) {
        return tile->heightForWidth(
            std::max(1, (width - m_grid->horizontalSpacing() * (columns - 1)) / columns));
    };
    // Without a vertical scroll bar if the rows fit, else with its room taken from the width.
    const int height = heightAt(room.width());
    if (rows * height + m_grid->verticalSpacing() * (rows - 1) <= room.height()) {
        return height;
    }
    return heightAt(room.width() -
                    m_scrollArea->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_scrollArea));
}

void ScreenWallWindow::updateSummary()
{
    if (m_zoomedTile) {
        // Dropped files reach the remote side only through the system client.
        m_summaryLabel->setText(
            m_zoomedTile->engine() == RdpEngine::System
                ? QStringLiteral("单画面 · 系统 RDP 客户端 · 可拖入本机文件 · 点击“恢复屏幕墙”返回")
                : QStringLiteral("单画面 · FreeRDP · 点击“恢复屏幕墙”返回"));
        return;
    }
    const QSize selected = m_resolutionCombo->currentData().toSize();
    const QString columnsText = m_columns == 0 ? QStringLiteral("自动") : QString::number(effectiveColumns());
    const QString pending =
        selected.isValid() && selected != m_desktopSize
            ? QStringLiteral("（已选 %1 × %2，新分辨率待应用）").arg(selected.width()).arg(selected.height())
            : QString();
    m_summaryLabel->setText(QStringLiteral("%1 台主机 · %2 列 · 当前 %3 × %4%5 · Ctrl+双击画面单独放大")
                                .arg(m_remotes.size())
                                .arg(columnsText)
                                .arg(m_desktopSize.width())
                                .arg(m_desktopSize.height())
                                .arg(pending));
}

void ScreenWallWindow::onColumnChanged(int index)
{
    m_columns = m_columnCombo->itemData(index).toInt();
    relayout();
    updateSummary();
}

void ScreenWallWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // Column counts (when automatic) and row heights follow the width.
    if (m_relayoutPending) {
        return;
    }
    m_relayoutPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_relayoutPending = false;
            relayout();
            updateSummary();
        },
        Qt::QueuedConnection);
}

void ScreenWallWindow::zoomTile(RdpTile* tile)
{
    if (tile == nullptr || !tiles().contains(tile)) {
        return;
    }
    m_zoomedTile = tile;
    m_restoreAction->setVisible(true);
    relayout();
    m_scrollArea->ensureWidgetVisible(tile);
    showStatus(QStringLiteral("已放大单台远程画面；点击顶部“恢复屏幕墙”返回。"), 7000);
    updateSummary();
}

void ScreenWallWindow::restoreWall()
{
    if (!m_zoomedTile) {
        return;
    }
    m_zoomedTile->setZoomAllowed(true);
    m_zoomedTile = nullptr;
    m_restoreAction->setVisible(false);
    relayout();
    updateSummary();
    showStatus(QStringLiteral("已恢复屏幕墙布局。"), 3500);
}

void ScreenWallWindow::applyResolution()
{
    const QSize size = m_resolutionCombo->currentData().toSize();
    if (size.isEmpty()) {
        return;
    }
    if (size == m_desktopSize) {
        showStatus(QStringLiteral("当前屏幕墙已使用此分辨率。"), 3500);
        return;
    }
    const auto answer = QMessageBox::question(
        this, QStringLiteral("应用屏幕墙分辨率"),
        QStringLiteral(
            "将 %1 台远程主机切换为 %2 × %3，并批量重新连接。\n屏幕墙布局和主机列表不会受影响。是否继续？")
            .arg(m_remotes.size())
            .arg(size.width())
            .arg(size.height()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer != QMessageBox::Yes) {
        return;
    }
    m_desktopSize = size;
    buildTiles();
    showStatus(QStringLiteral("正在以新分辨率重连全部屏幕墙会话。"), 5000);
}

void ScreenWallWindow::reconnectAll()
{
    const auto answer = QMessageBox::question(
        this, QStringLiteral("全部重连"),
        QStringLiteral("将断开并重新连接当前 %1 台远程主机。是否继续？").arg(m_remotes.size()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer != QMessageBox::Yes) {
        return;
    }
    buildTiles();
    showStatus(QStringLiteral("正在重新连接全部屏幕墙会话。"), 5000);
}

void ScreenWallWindow::disconnectAll()
{
    for (RdpTile* tile : tiles()) {
        tile->disconnectSession();
    }
    showStatus(QStringLiteral("已请求断开全部屏幕墙会话。"), 4000);
}

int ScreenWallWindow::reconnectActiveSessions(int initialDelayMs)
{
    int scheduled = 0;
    for (RdpTile* tile : tiles()) {
        if (!tile->isActive()) {
            continue;
        }
        tile->disconnectSession();
        schedule(initialDelayMs + kReconnectSpacingMs * scheduled, [guard = QPointer<RdpTile>(tile)] {
            if (guard && !guard->property("nimbaraRetired").toBool()) {
                guard->connectSession();
            }
        });
        ++scheduled;
    }
    return scheduled;
}

void ScreenWallWindow::closeEvent(QCloseEvent* event)
{
    if (!m_closing) {
        m_closing = true;
        disconnectAll();
    }
    QMainWindow::closeEvent(event);
}

void ScreenWallWindow::showStatus(const QString& text, int milliseconds)
{
    statusBar()->showMessage(text, milliseconds);
}

bool ScreenWallWindow::noConnectedSessions()
{
    if (connectedCount() > 0) {
        return false;
    }
    showStatus(kNoSessions, 4000);
    return true;
}

bool ScreenWallWindow::confirmBatch(int connected, const QString& label)
{
    return QMessageBox::question(
               this, QStringLiteral("确认批量快捷键"),
               QStringLiteral("将向 %1 台已连接主机发送“%2”。\n是否继续？").arg(connected).arg(label),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void ScreenWallWindow::sendToAll(const QString& label, bool confirm,
                                 const std::function<void(RdpTile*)>& send)
{
    const int n = connectedCount();
    if (noConnectedSessions()) {
        return;
    }
    if (confirm && !confirmBatch(n, label)) {
        return;
    }
    // Every tile: one that is not connected ignores it.
    for (RdpTile* tile : tiles()) {
        send(tile);
    }
    showStatus(QStringLiteral("已向 %1 台会话发送：%2").arg(n).arg(label), 5000);
}

void ScreenWallWindow::sendPresetToAll(int presetIndex, const QString& label, bool confirm)
{
    sendToAll(label, confirm, [presetIndex](RdpTile* tile) { tile->sendPresetShortcut(presetIndex); });
}

void ScreenWallWindow::sendCombinationToAll(const QList<int>& keys, const QString& label, bool confirm)
{
    if (keys.isEmpty()) {
        return;
    }
    sendToAll(label, confirm, [&keys](RdpTile* tile) { tile->sendKeyCombination(keys); });
}

void ScreenWallWindow::openCustomShortcutDialog()
{
    if (noConnectedSessions()) {
        return;
    }
    CustomShortcutDialog dialog(connectedCount(), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    sendCombinationToAll(dialog.keys(), dialog.label(), dialog.confirmBeforeSend());
}

void ScreenWallWindow::openBatchTextDialog()
{
    if (noConnectedSessions()) {
        return;
    }
    const int n = connectedCount();
    BatchTextDialog dialog(n, this);
    if (dialog.exec() != QDialog::Accepted || dialog.text().isEmpty()) {
        return;
    }
    const QString text = dialog.text();
    const bool enter = dialog.pressEnter();
    for (RdpTile* tile : tiles()) {
        tile->sendText(text);
        if (enter) {
            tile->sendPresetShortcut(kEnterPreset);
        }
    }
    showStatus(QStringLiteral("已向 %1 台会话发送键盘输入。").arg(n), 5000);
}

void ScreenWallWindow::openSoftKeyboard()
{
    if (noConnectedSessions()) {
        return;
    }
    SoftKeyboardDialog keyboard(this);
    connect(&keyboard, &SoftKeyboardDialog::combinationRequested, this,
            &ScreenWallWindow::sendCombinationToAll);
    keyboard.exec();
}
