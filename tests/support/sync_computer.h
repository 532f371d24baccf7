#pragma once

#include "cloud/account_client.h"
#include "cloud/host_sync_controller.h"
#include "cloud/host_sync_ui.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"

#include <QTemporaryDir>

#include <memory>

class AccountTestServer;

// One simulated installation with everything the host sync touches: its own per-user settings
// directory, device key (fake data protection), host database and configuration (sync on), an account
// client pointed at `server`, and a sync controller wired as the window wires it, talking to `ui`.
// Several of them in one process take turns: call use() before driving one.
class SyncComputer
{
public:
    SyncComputer(const AccountTestServer& server, std::unique_ptr<HostSyncUi> ui);
    virtual ~SyncComputer();

    // Per-user settings written from now on belong to this computer.
    void use() const;
    // As the program starting again: a new account client and sync, the kept session signed in again.
    void restart(const AccountTestServer& server);

    template <typename Ui> Ui& uiAs() { return static_cast<Ui&>(*ui); }

    QTemporaryDir home;
    std::unique_ptr<CryptoManager> crypto;
    std::unique_ptr<DatabaseManager> database;
    ConfigManager config;
    std::unique_ptr<AccountClient> account;
    std::unique_ptr<HostSyncUi> ui;
    std::unique_ptr<HostSyncController> sync;

private:
    void wire(const AccountTestServer& server);
};
