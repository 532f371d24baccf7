#include "support/sync_computer.h"

#include "support/account_test_server.h"
#include "support/fake_data_protection.h"

#include <QSettings>

SyncComputer::SyncComputer(const AccountTestServer& server, std::unique_ptr<HostSyncUi> syncUi)
    : ui(std::move(syncUi))
{
    use();
    crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
    crypto->initialize(home.filePath(QStringLiteral("credential.key")));
    database = std::make_unique<DatabaseManager>();
    database->initialize(home.filePath(QStringLiteral("data.db")), crypto.get());
    config.setSyncEnabled(true);
    config.setAutoSync(true);
    wire(server);
}

void SyncComputer::wire(const AccountTestServer& server)
{
    account = std::make_unique<AccountClient>(crypto.get());
    AppConfig endpoint;
    endpoint.account_service_url = server.baseUrl();
    endpoint.account_ca_certificates = server.caCertificatePath();
    applyAccountServiceConfig(*account, endpoint);
    sync =
        std::make_unique<HostSyncController>(database.get(), &config, crypto.get(), account.get(), ui.get());
    // As the window does: the sync reacts to every change of the account.
    QObject::connect(account.get(), &AccountClient::accountChanged, sync.get(),
                     [this](const MemberAccount& member) { sync->onAccountChanged(member); });
}

void SyncComputer::restart(const AccountTestServer& server)
{
    use();
    sync.reset();
    account.reset();
    wire(server);
    account->restoreSession();
}

SyncComputer::~SyncComputer() = default;

void SyncComputer::use() const
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
}
