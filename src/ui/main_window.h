#pragma once

#include "import/host_importer.h"
#include "rdp/rdp_engine.h"
#include "storage/app_config.h"
#include "storage/group.h"
#include "storage/remote.h"
#include "ui/host_table_model.h"

#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>

class AccelerationActions;
class AppLock;
class AutoLock;
class LockScreenController;
class QAction;
class AccountActions;
class PortalSyncActions;
class VantrelClient;
class AccountClient;
class ConfigManager;
class CryptoManager;
class DatabaseManager;
class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class GroupActions;
class GroupDropTreeWidget;
class HeroCard;
class HostActions;
class HostFilterModel;
class HostListingReader;
class HostTableView;
class MasterPasswordActions;
struct HostPasswordReveal;
class QModelIndex;
class ScreenWallWindow;

// The controller window: the host inventory with its navigation tree and host table, and the
// starting point of every host operation and connection.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The services are not owned and must outlive the window.
    MainWindow(DatabaseManager* database, ConfigManager* config, CryptoManager* crypto,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    AccountClient* accountClient() const { return m_accountClient; }
    AccountActions* accountActions() const { return m_accountActions; }
    AccelerationActions* accelerationActions() const { return m_accelerationActions; }
    PortalSyncActions* portalActions() const { return m_portalActions; }

    // Whether closing the window while session windows are open asks first. A termination request
    // turns the question off: the program then closes without waiting for an answer.
    void setAskBeforeClosing(bool ask) { m_askBeforeClosing = ask; }

    // The program's lock (not owned): a lock screen over every window while locked, the "锁定"
    // action, and what waited for the unlock (the stored sign-in, the sync).
    void setAppLock(AppLock* lock);
    LockScreenController* lockScreens() const { return m_lockScreens; }
    QAction* lockAction() const { return m_lockAction; }
    // What guards stored passwords (the editor's "显示", export with passwords). Without it a stored
    // password is shown only when no master password is set.
    void setMasterPasswordActions(MasterPasswordActions* actions);

    // Where the multi-screen window of host `index` goes on a screen with the available geometry
    // `available`, with `screenCount` screens taking the hosts in turn: each further pass over the
    // screens is inset 32 px more, at most a quarter of the shorter side.
    static QRect multiScreenGeometry(const QRect& available, int index, int screenCount);

public slots:
    // Reads the inventory again: table, navigation counts and status line.
    void refresh();
    // Applies the search text and the navigation filter to the hosts already read.
    void applyFilter();
    void addRemote();
    void addGroup();
    void renameGroup();
    void deleteGroup();
    void importHosts();
    void importFromClipboard();
    void showImportFormatHelp();
    void exportHosts();
    void editSelected();
    void setSelectedPermission();
    void deleteSelected();
    void connectSelected();
    void connectWithSystemClient();
    void openScreenWall();
    void openSystemScreenWall();
    void openMultiScreen();
    void openSystemMultiScreen();
    void connectSsh();
    void showBatchOperations();
    void disconnectAllSessions();
    void showGlobalSettings();
    void showContextMenu(const QPoint& position);
    void showAssetTreeContextMenu(const QPoint& position);

protected:
    enum class SessionKind {
        SystemRdp,   // one window per host, always the system RDP control
        ScreenWall,  // one window holding all hosts
        MultiScreen, // one window per host, spread over the screens
        SshTerminal, // one terminal per host
    };

    // The final host list of a connect action, after the type checks and the user's consent.
    virtual void openSessions(SessionKind kind, const QList<Remote>& hosts, RdpKernel kernel);
    // One command over Linux hosts, in a batch dialog of its own.
    virtual void openBatchSsh(const QList<Remote>& hosts, const QString& command);
    // Opens the terminal of one SSH host; false with `error` set when it cannot.
    virtual bool launchSshTerminal(const Remote& remote, QString* error);
    // A session window (wall, single or multi-screen session) over `hosts`, not yet shown.
    virtual ScreenWallWindow* createSessionWindow(const QList<Remote>& hosts, QSize desktopSize,
                                                  int colorDepth, bool autoMixed, RdpEngine engine);
    // Runs `task` after `delayMs` on this window's clock; the seam for the tests' clock.
    virtual void schedule(int delayMs, std::function<void()> task);
    // The session windows opened and not yet destroyed, oldest first.
    QList<ScreenWallWindow*> sessionWindows() const;
    // The remote desktop size of new sessions, from the settings.
    QSize sessionSize() const;
    // The file dialogs of import and export; an empty path means the user chose none.
    virtual QString chooseImportFile();
    virtual QString chooseExportFile();

    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildUi();
    void updateLockAvailability();
    void reloadGroups();
    void fillGroupFilter(const QList<Group>& groups);
    // Shows a listing the reader made after a sync wrote the inventory.
    void showListing(HostTableModel::Listing listing);
    // Everything that shows the model's hosts after it changed: the tree, the filter, the columns.
    void showHosts();
    bool isTeamMember() const;
    void updateAccountCard();

    void onTreeSelectionChanged();
    void onTableDoubleClicked(const QModelIndex& index);
    void updateCheckControls();
    // Edit and delete are off, with the reason, while a team member has the owner's hosts chosen.
    void updateEditControls();
    // False (with the reason shown) when `chosen` holds a host this member may not change.
    bool requireChangeable(const QList<Remote>& chosen, const QString& title);

    QList<Remote> chosenHosts();
    // True when `chosen` holds a host; else tells the user with `text` and returns false.
    bool requireChosen(const QList<Remote>& chosen, const QString& title, const QString& text);
    // The chosen hosts a connect action can use: the SSH hosts or the others. Tells the user when
    // none is chosen, when none fits, and how many of the other kind it skips.
    QList<Remote> chosenForConnection(bool ssh);
    QStringList dragIds();
    QString currentGroupId() const;
    void selectGroupInFilter(const QString& groupId);

    void showMoveDialog();
    void batchEditRemark();
    void launchBatchSsh();
    HostImporter::Status importBytes(const QByteArray& bytes, const QString& sourceName);
    void openScreenWallWith(RdpKernel kernel);
    void openMultiScreenWith(RdpKernel kernel);
    bool confirmConnectionCount(int count);
    void registerSessionWindow(ScreenWallWindow* window);
    void closeSessionWindows();
    void storeLegacyFlag(const QString& remoteId);
    void storeTrustedFingerprint(const QString& remoteId, const QString& fingerprint);
    bool confirmForSecret(QWidget* parent);
    HostPasswordReveal passwordReveal();

    DatabaseManager* m_db = nullptr;
    ConfigManager* m_config = nullptr;
    CryptoManager* m_crypto = nullptr;
    AppLock* m_appLock = nullptr;
    LockScreenController* m_lockScreens = nullptr;
    AutoLock* m_autoLock = nullptr;
    QAction* m_lockAction = nullptr;
    // Started locked: the stored sign-in needs the secret key, so it waits for the unlock.
    bool m_restoreAfterUnlock = false;
    AccountClient* m_accountClient = nullptr;
    AccountActions* m_accountActions = nullptr;
    VantrelClient* m_portal = nullptr;
    PortalSyncActions* m_portalActions = nullptr;
    AccelerationActions* m_accelerationActions = nullptr;
    QPointer<MasterPasswordActions> m_masterPasswordActions;

    HeroCard* m_heroCard = nullptr;
    QPushButton* m_accelerationButton = nullptr;
    QLabel* m_accelerationLabel = nullptr;
    QComboBox* m_groupFilter = nullptr;
    QLineEdit* m_search = nullptr;
    QPushButton* m_selectAllButton = nullptr;
    QPushButton* m_clearSelectionButton = nullptr;
    GroupActions* m_groupActions = nullptr;
    HostActions* m_hostActions = nullptr;
    HostTableModel* m_hostModel = nullptr;
    HostListingReader* m_listingReader = nullptr;
    HostFilterModel* m_filterModel = nullptr;
    GroupDropTreeWidget* m_tree = nullptr;
    HostTableView* m_table = nullptr;
    QLabel* m_statusSummary = nullptr;
    QLabel* m_syncState = nullptr;
    QPushButton* m_editButton = nullptr;
    QPushButton* m_deleteButton = nullptr;

    // Set only from the navigation tree: "rdp", "ssh" or empty.
    QString m_protocolFilter;
    // The window's address is kept apart from the guard: when `destroyed` arrives the window is only a
    // QWidget any more, and reading the guard as a ScreenWallWindow then is undefined.
    struct SessionWindowEntry
    {
        const QObject* identity;
        QPointer<ScreenWallWindow> window;
    };
    QList<SessionWindowEntry> m_sessionWindows;
    bool m_askBeforeClosing = true;
};
