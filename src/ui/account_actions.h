#pragma once

#include "cloud/host_sync_ui.h"

#include <QObject>
#include <QPointer>

#include <functional>

class AccountClient;
class ConfigManager;
class CryptoManager;
class DatabaseManager;
class HostSyncController;
class QWidget;
class VantrelClient;

// The member account and host sync actions of the main window: sign-in, registration, sign-out, the
// sync centre, the answers to the account client's signals, and the window side of the host sync
// (passphrase dialog, messages, status bar).
class AccountActions : public QObject, public HostSyncUi
{
    Q_OBJECT

public:
    // `status` shows a status bar text (0: until the next); `reload` reads the inventory again.
    AccountActions(QWidget* window, AccountClient* account, DatabaseManager* database, ConfigManager* config,
                   CryptoManager* crypto, std::function<void(const QString&, int)> status,
                   std::function<void()> reload, QObject* parent = nullptr);
    ~AccountActions() override;

    HostSyncController* sync() const { return m_sync; }
    // The portal client the sign-in dialog offers; without one only the account service is offered.
    void setPortal(VantrelClient* portal) { m_portal = portal; }

    // Where the lasting sync state ("N 处更改尚未上传") is shown.
    void setSyncStateView(std::function<void(const QString&)> view) { m_syncState = std::move(view); }

    // HostSyncUi
    std::optional<QString> askSyncPassphrase(PassphraseMode mode, const QString& problem) override;
    void showSyncState(const QString& text) override;
    ConflictChoice resolveConflicts(const QList<Conflict>& conflicts) override;
    bool offerSync(const QString& email) override;
    void showSyncMessage(MessageKind kind, const QString& title, const QString& text) override;
    void showSyncStatus(const QString& text, int timeoutMs) override;
    void reloadInventory() override;
    void setSyncBusy(bool busy) override;
    EarlierHostsChoice askAboutEarlierHosts(const QString& earlierAccounts, const QStringList& hostNames,
                                            int count, const QString& currentAccount) override;

public slots:
    void showLogin();
    void showRegister();
    void logoutAccount();
    void showCloudSyncCenter();

signals:
    // [sync] enabled was switched on here: the account card may show it.
    void syncSwitched();

private:
    QPointer<QWidget> m_window;
    AccountClient* m_account;
    DatabaseManager* m_db;
    ConfigManager* m_config;
    HostSyncController* m_sync = nullptr;
    VantrelClient* m_portal = nullptr;
    std::function<void(const QString&, int)> m_status;
    std::function<void()> m_reload;
    std::function<void(const QString&)> m_syncState;
    bool m_busyCursor = false;
};
