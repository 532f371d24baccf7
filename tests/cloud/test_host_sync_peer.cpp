// The encrypted host sync between computers and team members, against the real account server over
// HTTPS: each simulated computer has its own settings directory, device key, host database and
// configuration, and its own sync controller with a window stand-in that records what the user sees.

#include "cloud/account_client.h"
#include "cloud/host_sync_controller.h"
#include "cloud/host_sync_ui.h"
#include "storage/app_config.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/account_test_server.h"
#include "support/fake_data_protection.h"
#include "support/sync_computer.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>

namespace {

const QString kPassword = QStringLiteral("account password 123");
const QString kPassphrase = QStringLiteral("同步密码 sync-phrase-42");
constexpr int kWaitMs = 60000;

struct Seen
{
    HostSyncUi::MessageKind kind;
    QString title;
    QString text;
};

// The window side, as a user would meet it.
class RecordingSyncUi : public HostSyncUi
{
public:
    bool promptSyncPassphrase() override
    {
        ++prompts;
        return false;
    }
    void showSyncMessage(MessageKind kind, const QString& title, const QString& text) override
    {
        messages.append({kind, title, text});
    }
    void showSyncStatus(const QString& text, int) override { statuses.append(text); }
    void reloadInventory() override { ++reloads; }
    void setSyncBusy(bool busy) override { busyNow = busy; }

    int prompts = 0;
    int reloads = 0;
    bool busyNow = false;
    QList<Seen> messages;
    QStringList statuses;
};

// One installation (see SyncComputer) with a group of its own and a recording window.
class Computer : public SyncComputer
{
public:
    Computer(const AccountTestServer& server, const QString& groupName)
        : SyncComputer(server, std::make_unique<RecordingSyncUi>()), ui(uiAs<RecordingSyncUi>())
    {
        if (database->getGroups().isEmpty()) {
            database->addGroup(Group{QUuid::createUuid().toString(QUuid::WithoutBraces), groupName, 0,
                                     QDateTime::currentDateTimeUtc()});
        }
    }

    Remote addHost(const QString& name, const QString& host, const QString& password,
                   const QDateTime& time = QDateTime::currentDateTimeUtc())
    {
        Remote remote;
        remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        remote.name = name;
        remote.host = host;
        remote.username = QStringLiteral("administrator");
        remote.password = password;
        remote.group_id = database->getGroups().first().id;
        remote.created_at = time;
        remote.updated_at = time;
        database->addRemote(remote);
        return remote;
    }

    QStringList hostNames()
    {
        QStringList names;
        for (const Remote& remote : database->getAllRemotes()) {
            names.append(remote.name);
        }
        names.sort();
        return names;
    }

    RecordingSyncUi& ui;
};

QString uniqueEmail(const char* name)
{
    static int counter = 0;
    return QStringLiteral("%1.%2@example.com").arg(QLatin1String(name)).arg(++counter);
}

} // namespace

class TestHostSyncPeer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AccountTestServer> m_server;
    QList<QByteArray> m_secrets;
    QList<const Computer*> m_computers;

    // Signs in (or registers) and waits until the sync has settled after it.
    bool signIn(Computer& computer, const QString& email, bool registerFirst)
    {
        computer.use();
        QSignalSpy changed(computer.account.get(), &AccountClient::accountChanged);
        if (registerFirst) {
            computer.account->registerAccount(QStringLiteral("Tester"), email, kPassword);
        } else {
            computer.account->login(email, kPassword);
        }
        while (!computer.account->isSignedIn()) {
            if (!changed.wait(kWaitMs)) {
                return false;
            }
        }
        return settle(computer);
    }

    // Waits until no download or upload is under way.
    static bool settle(Computer& computer)
    {
        QSignalSpy settled(computer.sync.get(), &HostSyncController::syncSettled);
        while (computer.sync->isSyncInProgress()) {
            if (!settled.wait(kWaitMs)) {
                return false;
            }
        }
        return true;
    }

    qint64 serverRevision(const QString& ownerEmail)
    {
        QVariant value;
        QString error;
        m_server->execSql(
            QStringLiteral("SELECT s.revision FROM host_snapshots s JOIN users u ON u.id = s.owner_id "
                           "WHERE u.email_key = ?"),
            {ownerEmail.toLower()}, &value, &error);
        return value.isValid() ? value.toLongLong() : 0;
    }

    static bool upload(Computer& computer)
    {
        computer.use();
        computer.sync->uploadHostSyncNow();
        return settle(computer);
    }

    static bool download(Computer& computer, bool userInitiated)
    {
        computer.use();
        computer.sync->startHostSyncDownload(userInitiated);
        return settle(computer);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        if (!AccountTestServer::unavailableReason().isEmpty()) {
            QSKIP(qPrintable(AccountTestServer::unavailableReason()));
        }
        m_server = std::make_unique<AccountTestServer>();
        QString error;
        QVERIFY2(m_server->start(&error), qPrintable(error));
        m_secrets = {kPassphrase.toUtf8()};
    }

    void twoComputersOneAccount()
    {
        Computer a(*m_server, QStringLiteral("机房A"));
        QVERIFY(a.sync->storeSyncPassphrase(kPassphrase));
        const QDateTime twoHoursAgo = QDateTime::currentDateTimeUtc().addSecs(-7200);
        a.addHost(QStringLiteral("a-web"), QStringLiteral("10.0.0.1"), QStringLiteral("A-host-secret-1"),
                  twoHoursAgo);
        const Remote aDb = a.addHost(QStringLiteral("a-db"), QStringLiteral("10.0.0.2"),
                                     QStringLiteral("A-host-secret-2"), twoHoursAgo);
        m_secrets << "A-host-secret-1"
                  << "A-host-secret-2"
                  << "B-host-secret-1";
        const QString email = uniqueEmail("owner");

        // Signing in with sync on: the cloud is empty, so the inventory goes up at once.
        QVERIFY(signIn(a, email, true));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(email), 1, kWaitMs);
        QCOMPARE(a.sync->cloudRevision(), 1);
        QVERIFY(a.ui.messages.isEmpty());
        QVERIFY(!a.ui.busyNow);

        // A edits a host before B has even read the cloud copy; the change is not uploaded yet. The
        // restore below must keep it: B's copy is older.
        a.use();
        Remote edited = *a.database->getRemote(aDb.id);
        edited.remark = QStringLiteral("changed on A");
        // Made an hour ago, after the copy in the cloud (two hours ago) and before B's merge (now).
        edited.updated_at = QDateTime::currentDateTimeUtc().addSecs(-3600);
        QVERIFY(a.database->updateRemote(edited, DatabaseManager::UpdatedAt::Keep));

        // Another computer with the same passphrase gets A's hosts, passwords included, and keeps its own.
        Computer b(*m_server, QStringLiteral("机房B"));
        QVERIFY(b.sync->storeSyncPassphrase(kPassphrase));
        b.addHost(QStringLiteral("b-app"), QStringLiteral("10.0.1.1"), QStringLiteral("B-host-secret-1"));
        QVERIFY(signIn(b, email, false));
        QCOMPARE(b.hostNames(), (QStringList{"a-db", "a-web", "b-app"}));
        QCOMPARE(b.database->getRemote(aDb.id)->password, QStringLiteral("A-host-secret-2"));
        QVERIFY(b.ui.reloads > 0);
        // B's own host is not in the cloud yet: the debounced upload is armed.
        QVERIFY(b.sync->autoSyncTimer()->isActive());
        QVERIFY(upload(b));
        QCOMPARE(serverRevision(email), 2);

        // A's upload comes after B's: refused, nothing is overwritten.
        a.use();
        a.sync->scheduleHostSyncUpload();
        QVERIFY(a.sync->autoSyncTimer()->isActive());
        QSignalSpy failed(a.account.get(), &AccountClient::requestFailed);
        QVERIFY(upload(a));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.first().first().toString(),
                 QStringLiteral("云端主机数据已发生变化，请先从云端恢复后再上传"));
        QCOMPARE(serverRevision(email), 2);

        // Restore, then upload again: both edits survive.
        QVERIFY(download(a, true));
        QCOMPARE(a.ui.messages.last().title, QStringLiteral("云端恢复完成"));
        QCOMPARE(a.ui.messages.last().text,
                 QStringLiteral("已安全合并云端数据，本机独有主机不会被删除。当前共有 3 台主机。"));
        QCOMPARE(a.hostNames(), (QStringList{"a-db", "a-web", "b-app"}));
        QCOMPARE(a.database->getRemote(aDb.id)->remark, QStringLiteral("changed on A"));
        QVERIFY(upload(a));
        QCOMPARE(serverRevision(email), 3);

        QVERIFY(download(b, false));
        QCOMPARE(b.database->getRemote(aDb.id)->remark, QStringLiteral("changed on A"));
        // The test drives A's uploads by hand from here: a debounced upload of B firing while A is
        // driven (on a slow machine) would move the revisions these checks count.
        b.sync->autoSyncTimer()->stop();

        // Deleting on A never deletes on B.
        a.use();
        QVERIFY(a.database->deleteRemotes({aDb.id}));
        QVERIFY(upload(a));
        QCOMPARE(serverRevision(email), 4);
        QVERIFY(download(b, false));
        QVERIFY(b.database->getRemote(aDb.id).has_value());
        b.sync->autoSyncTimer()->stop();

        // Nothing changed since: no upload.
        QVERIFY(upload(a));
        QCOMPARE(serverRevision(email), 4);
        // After an upload the debounce stays idle until something changes.
        a.sync->scheduleHostSyncUpload();
        QVERIFY(!a.sync->autoSyncTimer()->isActive());
        a.addHost(QStringLiteral("a-new"), QStringLiteral("10.0.0.3"), QStringLiteral("A-host-secret-3"));
        a.sync->scheduleHostSyncUpload();
        QVERIFY(a.sync->autoSyncTimer()->isActive());
        a.sync->autoSyncTimer()->stop();

        a.use();
        m_secrets << QSettings().value(QStringLiteral("account/session_token")).toString().toUtf8();
        m_secrets.last() = a.crypto->sealDecrypt(QString::fromUtf8(m_secrets.last())).toUtf8();
        checkNoSecrets(a);
        checkNoSecrets(b);
    }

    void wrongPassphraseNeverUploads()
    {
        Computer a(*m_server, QStringLiteral("机房A"));
        QVERIFY(a.sync->storeSyncPassphrase(kPassphrase));
        a.addHost(QStringLiteral("only-a"), QStringLiteral("10.0.2.1"), QStringLiteral("A-host-secret-1"));
        const QString email = uniqueEmail("wrong");
        QVERIFY(signIn(a, email, true));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(email), 1, kWaitMs);

        Computer c(*m_server, QStringLiteral("机房C"));
        QVERIFY(c.sync->storeSyncPassphrase(QStringLiteral("another passphrase!")));
        c.addHost(QStringLiteral("only-c"), QStringLiteral("10.0.3.1"), QStringLiteral("C-host-secret-1"));
        QVERIFY(signIn(c, email, false));
        QCOMPARE(c.ui.messages.size(), 1);
        QCOMPARE(c.ui.messages.first().title, QStringLiteral("无法解密云端主机"));
        QCOMPARE(
            c.ui.messages.first().text,
            QStringLiteral("同步密码错误，或云端数据已被修改\n请确认输入的是创建该备份时使用的同步密码。"));
        QVERIFY(!c.sync->isCloudStateKnown());
        c.sync->scheduleHostSyncUpload();
        QVERIFY(!c.sync->autoSyncTimer()->isActive());
        QVERIFY(upload(c));
        QCOMPARE(serverRevision(email), 1);
        QCOMPARE(c.hostNames(), QStringList{"only-c"});
    }

    void teamMemberMergesButNeverUploads()
    {
        Computer owner(*m_server, QStringLiteral("总部"));
        QVERIFY(owner.sync->storeSyncPassphrase(kPassphrase));
        const QString ownerEmail = uniqueEmail("lead");
        const QString memberEmail = uniqueEmail("night-shift");
        // The owner signs in with sync off, so the cloud stays empty for now.
        owner.config.setSyncEnabled(false);
        QVERIFY(signIn(owner, ownerEmail, true));

        Computer member(*m_server, QStringLiteral("值班室"));
        QVERIFY(member.sync->storeSyncPassphrase(kPassphrase));
        member.addHost(QStringLiteral("member-own"), QStringLiteral("10.0.4.1"),
                       QStringLiteral("M-host-secret-1"));
        member.use();
        QString error;
        QVERIFY2(m_server->addUser(memberEmail, QStringLiteral("Night"), kPassword, &error),
                 qPrintable(error));
        const AccountTestServer::CommandResult joined =
            m_server->admin({QStringLiteral("team"), QStringLiteral("add-member"), QStringLiteral("--owner"),
                             ownerEmail, QStringLiteral("--member"), memberEmail});
        QVERIFY2(joined.exitCode == 0, joined.err.constData());

        // Empty cloud: the member is told (when it asked) and uploads nothing.
        QVERIFY(signIn(member, memberEmail, false));
        QCOMPARE(member.account->account().role, QStringLiteral("member"));
        QVERIFY(download(member, true));
        QCOMPARE(member.ui.messages.last().text,
                 QStringLiteral("主账号尚未创建团队主机云备份，请联系主账号先开启云同步。"));
        QCOMPARE(serverRevision(ownerEmail), 0);

        // The owner uploads; the member merges it and still never uploads.
        owner.use();
        owner.config.setSyncEnabled(true);
        owner.addHost(QStringLiteral("team-host"), QStringLiteral("10.0.5.1"),
                      QStringLiteral("T-host-secret-1"));
        QVERIFY(download(owner, false));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(ownerEmail), 1, kWaitMs);
        QVERIFY(download(member, false));
        QCOMPARE(member.hostNames(), (QStringList{"member-own", "team-host"}));
        QVERIFY(!member.sync->autoSyncTimer()->isActive());
        QVERIFY(upload(member));
        QCOMPARE(serverRevision(ownerEmail), 1);
    }

    void cleanupTestCase()
    {
        if (!m_server) {
            return;
        }
        // The server keeps only ciphertext: no host password, passphrase or token in its files or log.
        QByteArray serverBytes = m_server->log();
        QDirIterator it(QFileInfo(m_server->databasePath()).absolutePath(), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly)) {
                serverBytes += file.readAll();
            }
        }
        QVERIFY(serverBytes.contains("NIMBARA-SYNC-1.")); // the containers are there
        for (const QByteArray& secret : m_secrets) {
            QVERIFY2(!secret.isEmpty() && !serverBytes.contains(secret), secret.constData());
        }
    }

private:
    // Every file of a computer: database, settings, key. Passwords and tokens only sealed.
    void checkNoSecrets(const Computer& computer)
    {
        QByteArray bytes;
        QDirIterator it(computer.home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly)) {
                bytes += file.readAll();
            }
        }
        QVERIFY(bytes.contains("sync/passphrase") || bytes.contains("passphrase"));
        for (const QByteArray& secret : m_secrets) {
            QVERIFY2(!secret.isEmpty() && !bytes.contains(secret), secret.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestHostSyncPeer)
#include "test_host_sync_peer.moc"
