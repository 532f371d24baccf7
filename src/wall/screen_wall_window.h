#pragma once

#include "rdp/rdp_engine.h"
#include "rdp/rdp_tile.h"
#include "storage/remote.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

class AppLock;
class QAction;
class QCloseEvent;
class QComboBox;
class QGridLayout;
class QLabel;
class QResizeEvent;
class QScrollArea;
class QToolBar;
class QToolButton;
class ToolBarAutoHider;

// Many live RDP sessions at once: one tile per host in a grid. Also the window of a single session
// and of each multi-screen window. Deletes itself when closed, after disconnecting every session.
class ScreenWallWindow : public QMainWindow
{
    Q_OBJECT
public:
    // Makes the tile of one host; the default makes a plain RdpTile.
    using TileFactory = std::function<RdpTile*(const Remote& remote, QSize desktopSize, int colorDepth,
                                               QWidget* parent, RdpEngine engine, bool autoMixed)>;

    using PasswordSource = RdpTile::PasswordSource;

    ScreenWallWindow(const QList<Remote>& remotes, QSize desktopSize, int colorDepth, bool autoMixed,
                     RdpEngine engine, QWidget* parent = nullptr, TileFactory tileFactory = {});
    ~ScreenWallWindow() override;

    static constexpr int kReconnectSpacingMs = 120;
    static constexpr int kMaxHideDelaySeconds = 3600;
    // A filling tile keeps room for its header and a picture.
    static constexpr int kMinFillHeight = 120;

    // On the lock's locked() every tile and this window wipe the host passwords they hold; sessions
    // keep running. A later connection takes its password from the source, which the window asks
    // only while the program is unlocked. Without a lock nothing changes.
    void setAppLock(AppLock* appLock);
    void setPasswordSource(PasswordSource source) { m_passwordSource = std::move(source); }
    // Wipes the passwords of this window and of every tile, as on locked().
    void wipePasswords();

    // Disconnects every active tile and reconnects tile i after initialDelayMs + 120 × i ms.
    // Returns how many were scheduled.
    int reconnectActiveSessions(int initialDelayMs);

    // Batch keyboard input to every connected tile.
    void sendPresetToAll(int presetIndex, const QString& label, bool confirm);
    void sendCombinationToAll(const QList<int>& keys, const QString& label, bool confirm);
    void openCustomShortcutDialog();
    void openBatchTextDialog();
    void openSoftKeyboard();

    QList<RdpTile*> tiles() const;
    int connectedCount() const;
    QSize desktopSize() const { return m_desktopSize; }
    int columns() const { return m_columns; }
    // The [display] layout: `columns` tiles per row (0 or less: automatic), and with `fill` the tiles
    // fill the view, `rows` rows high (the wall scrolls for more); without it they keep the remote
    // desktop's aspect ratio. Counts above the settings' bounds (ConfigManager) are taken as the bound.
    void setLayoutSettings(int rows, int columns, bool fill);
    // The [display] tool bar: shown, hidden, or hiding `delaySeconds` (1 to 3600) after the pointer left
    // it; a hidden one comes back at the window's top edge.
    void setToolBarSettings(bool show, bool autoHide, int delaySeconds);
    int effectiveColumns() const;
    RdpTile* zoomedTile() const { return m_zoomedTile; }
    void disconnectAll();

    // Tiles per row for n hosts: the chosen count (at most n), or, when automatic (0), one per 320 px of
    // the viewport, 1 to min(n, 6).
    static int effectiveColumns(int hostCount, int columns, int viewportWidth);
    // Title of a wall: edition, engine name and host count.
    static QString wallTitle(RdpEngine engine, bool autoMixed, int hostCount);

signals:
    void controllerWindowRequested();
    void legacyCompatibilityDetected(const QString& remoteId);
    void certificateFingerprintTrusted(const QString& remoteId, const QString& fingerprint);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    // Runs `task` after `delayMs` unless the window is gone first; the seam for the tests' clock.
    virtual void schedule(int delayMs, std::function<void()> task);
    // The acceleration manager's verdict on a failed connection: true when the tile should retry.
    virtual bool retryAfterFailure(const QString& remoteId, const QString& remoteName,
                                   const QString& message);

private:
    void buildToolBar();
    void buildTiles();
    void connectTile(RdpTile* tile);
    void relayout();
    // The height that gives `tile` the remote desktop's shape in a grid of `columns` × `rows`.
    int tileHeightFor(const RdpTile* tile, int columns, int rows) const;
    // The tile height at which `rows` rows fill the view.
    int fillHeight(int rows) const;
    void updateSummary();
    void zoomTile(RdpTile* tile);
    void restoreWall();
    void applyResolution();
    void reconnectAll();
    void onColumnChanged(int index);
    bool noConnectedSessions();
    bool confirmBatch(int connected, const QString& label);
    // Counts the connected tiles, asks when `confirm`, sends to every tile and reports the count.
    void sendToAll(const QString& label, bool confirm, const std::function<void(RdpTile*)>& send);
    void showStatus(const QString& text, int milliseconds);

    // The password a tile asks for after a wipe: from the source, and nothing while locked.
    std::optional<QString> openPassword(const QString& hostId) const;

    QList<Remote> m_remotes;
    QPointer<AppLock> m_appLock;
    PasswordSource m_passwordSource;
    // The passwords in m_remotes were wiped: tiles built from them ask the source.
    bool m_passwordsWiped = false;
    QSize m_desktopSize;
    int m_colorDepth = 32;
    bool m_autoMixed = false;
    RdpEngine m_engine = RdpEngine::FreeRdp;
    int m_columns = 4;
    QToolBar* m_toolBar = nullptr;
    QPointer<ToolBarAutoHider> m_toolBarHider;
    int m_rows = 2;
    bool m_fill = false;
    bool m_relayoutPending = false;
    bool m_closing = false;
    QPointer<RdpTile> m_zoomedTile;
    TileFactory m_tileFactory;

    QComboBox* m_columnCombo = nullptr;
    QComboBox* m_resolutionCombo = nullptr;
    QAction* m_restoreAction = nullptr;
    QToolButton* m_shortcutButton = nullptr;
    QLabel* m_summaryLabel = nullptr;
    QScrollArea* m_scrollArea = nullptr;
    QWidget* m_container = nullptr;
    QGridLayout* m_grid = nullptr;
};
