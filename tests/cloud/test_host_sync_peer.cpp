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

#include <functional>
#include <memory>
#include <vector>

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
    std::optional<QString> askSyncPassphrase(PassphraseMode mode, const QString& problem) override
    {
        asked.append({mode, problem});
        if (passphraseAnswers.isEmpty()) {
            return std::nullopt;
        }
        return passphraseAnswers.takeFirst();
    }
    void showSyncState(const QString& text) override { syncState = text; }
    ConflictChoice resolveConflicts(const QList<Conflict>& list) override
    {
        conflicts += list;
        if (whileAsked) {
            whileAsked();
        }
        return conflictAnswer;
    }
    bool offerSync(const QString& email) override
    {
        offers.append(email);
        return acceptOffer;
    }
    void showSyncMessage(MessageKind kind, const QString& title, const QString& text) override
    {
        messages.append({kind, title, text});
    }
    void showSyncStatus(const QString& text, int) override { statuses.append(text); }
    void reloadInventory() override { ++reloads; }
    void setSyncBusy(bool busy) override { busyNow = busy; }
    EarlierHostsChoice askAboutEarlierHosts(const QString& accounts, const QStringList& names, int count,
                                            const QString&) override
    {
        questions.append(QStringLiteral("%1:%2:%3").arg(accounts).arg(count).arg(names.join(u',')));
        return earlierHostsAnswer;
    }

    EarlierHostsChoice earlierHostsAnswer = EarlierHostsChoice::Undecided;
    QStringList questions;
    QList<std::pair<PassphraseMode, QString>> asked;
    QStringList passphraseAnswers; // what the user types, in turn; none left: cancel
    QList<Conflict> conflicts;
    ConflictChoice conflictAnswer = ConflictChoice::KeepLocal;
    std::function<void()> whileAsked; // what the user does in the window while the question is open
    QStringList offers;
    bool acceptOffer = false;
    QString syncState;
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
                   const QDateTime& time = QDateTime::currentDateTimeUtc(),
                   const QString& scope = QStringLiteral("owner"))
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
        remote.access_scope = scope;
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

    // Waits until no download, upload or count of the changes not uploaded yet is under way.
    static bool settle(Computer& computer)
    {
        return QTest::qWaitFor(
            [&] { return !computer.sync->isSyncInProgress() && !computer.sync->isCountingChanges(); },
            kWaitMs);
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

        // A's upload comes after B's: the service refuses it, and A reads B's copy, merges and goes up
        // again by itself. Nobody is asked: no host changed on both sides.
        a.use();
        a.sync->scheduleHostSyncUpload();
        QVERIFY(settle(a));
        QVERIFY(a.sync->autoSyncTimer()->isActive());
        QCOMPARE(a.ui.syncState, QStringLiteral("1 处更改尚未上传"));
        QVERIFY(upload(a));
        QCOMPARE(serverRevision(email), 3);
        QVERIFY(a.ui.messages.isEmpty());
        QVERIFY(a.ui.conflicts.isEmpty());
        QCOMPARE(a.hostNames(), (QStringList{"a-db", "a-web", "b-app"}));
        QCOMPARE(a.database->getRemote(aDb.id)->remark, QStringLiteral("changed on A"));
        QCOMPARE(a.ui.syncState, QString());
        // Progress texts end with the operation.
        QVERIFY(!a.ui.statuses.last().startsWith(QStringLiteral("正在")));

        // B takes A's edit: changed only in the cloud.
        QVERIFY(download(b, false));
        QCOMPARE(b.database->getRemote(aDb.id)->remark, QStringLiteral("changed on A"));
        QVERIFY(!b.sync->autoSyncTimer()->isActive());

        // Deleting on A never deletes on B, and B does not send it back either.
        a.use();
        QVERIFY(a.database->deleteRemotes({aDb.id}));
        QVERIFY(upload(a));
        QCOMPARE(serverRevision(email), 4);
        QVERIFY(download(b, false));
        QVERIFY(b.database->getRemote(aDb.id).has_value());
        QVERIFY(!b.sync->autoSyncTimer()->isActive());

        // Nothing changed since: no upload.
        QVERIFY(upload(a));
        QCOMPARE(serverRevision(email), 4);
        a.sync->scheduleHostSyncUpload();
        QVERIFY(settle(a));
        QVERIFY(!a.sync->autoSyncTimer()->isActive());

        // The same host changed on both computers: A is asked, with both versions, and keeps B's.
        const Remote aWeb = a.database->getAllRemotes().first(); // a-web, by name
        QCOMPARE(aWeb.name, QStringLiteral("a-web"));
        for (Computer* computer : {&a, &b}) {
            computer->use();
            Remote both = *computer->database->getRemote(aWeb.id);
            both.remark = computer == &a ? QStringLiteral("A's remark") : QStringLiteral("B's remark");
            QVERIFY(computer->database->updateRemote(both));
        }
        a.addHost(QStringLiteral("a-new"), QStringLiteral("10.0.0.3"), QStringLiteral("A-host-secret-3"));
        QVERIFY(upload(b));
        QCOMPARE(serverRevision(email), 5);
        a.ui.conflictAnswer = HostSyncUi::ConflictChoice::TakeCloud;
        QVERIFY(upload(a));
        QCOMPARE(a.ui.conflicts.size(), 1);
        QCOMPARE(a.ui.conflicts.first().local.remark, QStringLiteral("A's remark"));
        QCOMPARE(a.ui.conflicts.first().cloud.remark, QStringLiteral("B's remark"));
        QCOMPARE(a.database->getRemote(aWeb.id)->remark, QStringLiteral("B's remark"));
        QCOMPARE(serverRevision(email), 6); // a-new went up with the merge
        QVERIFY(a.ui.messages.isEmpty());

        // B starting again with nothing changed reads the cloud copy and uploads nothing.
        b.restart(*m_server);
        QTRY_VERIFY_WITH_TIMEOUT(b.account->isSignedIn(), kWaitMs);
        QVERIFY(settle(b));
        QVERIFY(b.database->getRemote(aWeb.id).has_value());
        QVERIFY(b.hostNames().contains(QStringLiteral("a-new")));
        QVERIFY(!b.sync->autoSyncTimer()->isActive());
        QCOMPARE(serverRevision(email), 6);

        // The service goes away: A's change is kept, said, and goes up once it is back.
        a.use();
        a.sync->setRetryDelays(50, 400);
        m_server->stop();
        a.addHost(QStringLiteral("a-offline"), QStringLiteral("10.0.0.4"), QStringLiteral("A-host-secret-4"));
        QVERIFY(upload(a));
        QVERIFY(a.ui.messages.isEmpty());
        QCOMPARE(a.ui.syncState, QStringLiteral("1 处更改尚未上传"));
        QVERIFY(a.ui.statuses.last().contains(QStringLiteral("后重试")));
        QVERIFY(a.sync->retryTimer()->isActive());
        QString error;
        QVERIFY2(m_server->restart(&error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(email), 7, kWaitMs);
        QVERIFY(settle(a));
        QCOMPARE(a.ui.syncState, QString());
        QVERIFY(a.ui.messages.isEmpty());

        a.use();
        m_secrets << QSettings().value(QStringLiteral("account/session_token")).toString().toUtf8();
        m_secrets.last() = a.crypto->sealDecrypt(QString::fromUtf8(m_secrets.last())).toUtf8();
        checkNoSecrets(a);
        checkNoSecrets(b);
    }

    void wrongPassphraseIsAskedAgain()
    {
        Computer a(*m_server, QStringLiteral("机房A"));
        QVERIFY(a.sync->storeSyncPassphrase(kPassphrase));
        a.addHost(QStringLiteral("only-a"), QStringLiteral("10.0.2.1"), QStringLiteral("A-host-secret-1"));
        const QString email = uniqueEmail("wrong");
        QVERIFY(signIn(a, email, true));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(email), 1, kWaitMs);

        // A wrong passphrase is not kept: the user is asked again and told why; a cancel leaves the
        // cloud copy unread and nothing goes up.
        Computer c(*m_server, QStringLiteral("机房C"));
        QVERIFY(c.sync->storeSyncPassphrase(QStringLiteral("another passphrase!")));
        c.addHost(QStringLiteral("only-c"), QStringLiteral("10.0.3.1"), QStringLiteral("C-host-secret-1"));
        QVERIFY(signIn(c, email, false));
        QVERIFY(c.ui.messages.isEmpty());
        QCOMPARE(c.ui.asked.size(), 1);
        QCOMPARE(c.ui.asked.first().first, HostSyncUi::PassphraseMode::Enter);
        QVERIFY(c.ui.asked.first().second.startsWith(QStringLiteral("同步密码不正确")));
        QVERIFY(c.sync->storedSyncPassphrase().isEmpty());
        QVERIFY(!c.sync->isCloudStateKnown());
        QVERIFY(!c.sync->lastProblem().isEmpty());
        QVERIFY(upload(c));
        QCOMPARE(serverRevision(email), 1);
        QCOMPARE(c.hostNames(), QStringList{"only-c"});

        // Syncing again asks afresh ("输入同步密码", the one set on the first computer); the right one
        // reads A's hosts and C's own go up.
        c.ui.passphraseAnswers = {kPassphrase};
        QVERIFY(download(c, false));
        QCOMPARE(c.ui.asked.size(), 2);
        QCOMPARE(c.ui.asked.last().first, HostSyncUi::PassphraseMode::Enter);
        QCOMPARE(c.hostNames(), (QStringList{"only-a", "only-c"}));
        QVERIFY(upload(c));
        QCOMPARE(serverRevision(email), 2);

        // Turning sync off forgets the passphrase; another computer that signs in with sync off is told
        // the account has a cloud copy, and joins with the passphrase.
        c.sync->disableSync();
        QVERIFY(c.sync->storedSyncPassphrase().isEmpty());
        Computer d(*m_server, QStringLiteral("机房D"));
        d.config.setSyncEnabled(false);
        d.ui.acceptOffer = true;
        d.ui.passphraseAnswers = {kPassphrase};
        QVERIFY(signIn(d, email, false));
        QTRY_COMPARE_WITH_TIMEOUT(d.ui.offers, QStringList{email}, kWaitMs);
        QVERIFY(settle(d));
        QCOMPARE(d.ui.asked.size(), 1);
        QCOMPARE(d.ui.asked.first().first, HostSyncUi::PassphraseMode::Enter);
        QVERIFY(d.config.config().sync_enabled);
        QCOMPARE(d.hostNames(), (QStringList{"only-a", "only-c"}));
    }

    // An owner, the owner's second computer and two members, each member with a passphrase of its own.
    void teamMembersReadOnlyTeamHosts()
    {
        const QString ownerEmail = uniqueEmail("lead");
        const QString memberEmails[] = {uniqueEmail("night-shift"), uniqueEmail("day-shift")};
        const QString memberPassphrases[] = {QStringLiteral("夜班自己的同步密码 night-1"),
                                             QStringLiteral("day shift's own phrase")};
        m_secrets << "P-host-secret-1"
                  << "10.66.0.9"
                  << "T-host-secret-1"
                  << "T-host-secret-2";
        Computer owner(*m_server, QStringLiteral("总部"));
        QVERIFY(owner.sync->storeSyncPassphrase(kPassphrase));
        owner.addHost(QStringLiteral("team-web"), QStringLiteral("10.0.5.1"),
                      QStringLiteral("T-host-secret-1"), QDateTime::currentDateTimeUtc(),
                      QStringLiteral("team"));
        owner.addHost(QStringLiteral("private-db"), QStringLiteral("10.66.0.9"),
                      QStringLiteral("P-host-secret-1"));
        owner.config.setSyncEnabled(false); // nothing goes up before the team exists
        QVERIFY(signIn(owner, ownerEmail, true));

        std::vector<std::unique_ptr<Computer>> members;
        for (int i = 0; i < 2; ++i) {
            QString error;
            QVERIFY2(m_server->addUser(memberEmails[i], QStringLiteral("Shift"), kPassword, &error),
                     qPrintable(error));
            const AccountTestServer::CommandResult joined = m_server->admin(
                {QStringLiteral("team"), QStringLiteral("add-member"), QStringLiteral("--owner"), ownerEmail,
                 QStringLiteral("--member"), memberEmails[i]});
            QVERIFY2(joined.exitCode == 0, joined.err.constData());
            members.push_back(std::make_unique<Computer>(*m_server, QStringLiteral("值班室")));
            Computer& member = *members.back();
            QVERIFY(member.sync->storeSyncPassphrase(memberPassphrases[i]));
            member.addHost(QStringLiteral("member-own"), QStringLiteral("10.0.4.%1").arg(i + 1),
                           QStringLiteral("M-host-secret"));
            // Signing in makes the member's keys; nothing is shared with it yet, and it is told why.
            QVERIFY(signIn(member, memberEmails[i], false));
            QCOMPARE(member.account->account().role, QStringLiteral("member"));
            QVERIFY2(member.ui.statuses.join(u'|').contains(QStringLiteral("主账号尚未创建团队主机云备份")),
                     qPrintable(member.ui.statuses.join(u'|') +
                                (member.ui.messages.isEmpty() ? QString() : member.ui.messages.last().text)));
            QVERIFY(!member.sync->ownFingerprint().isEmpty());
        }
        Computer& m1 = *members[0];
        Computer& m2 = *members[1];

        // The owner turns sync on: its full inventory for itself, the team host sealed to both members.
        owner.use();
        owner.config.setSyncEnabled(true);
        QVERIFY(download(owner, false));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(ownerEmail), 1, kWaitMs);
        QVERIFY(settle(owner));
        QCOMPARE(owner.sync->peerKeys().size(), 2);
        for (const HostSyncController::PeerKey& peer : owner.sync->peerKeys()) {
            QCOMPARE(peer.state, HostSyncController::PeerKey::State::FirstSeen);
        }
        // What the owner shows for a member is what the member shows for itself.
        QCOMPARE(owner.sync->peerKeys().first().fingerprint, m2.sync->ownFingerprint()); // sorted by e-mail

        // Members read the team host with its password, and nothing of the owner's private one.
        for (Computer* member : {&m1, &m2}) {
            QVERIFY(download(*member, true));
            QCOMPARE(member->hostNames(), (QStringList{"member-own", "team-web"}));
            QCOMPARE(member->ui.messages.last().title, QStringLiteral("云端恢复完成"));
            QCOMPARE(member->sync->peerKeys().first().fingerprint, owner.sync->ownFingerprint());
        }
        const Remote teamWeb = m1.database->getAllRemotes().last();
        QCOMPARE(teamWeb.password, QStringLiteral("T-host-secret-1"));
        QVERIFY(upload(m1));
        QCOMPARE(serverRevision(ownerEmail), 1);

        // The owner's second computer has everything.
        Computer second(*m_server, QStringLiteral("分部"));
        QVERIFY(second.sync->storeSyncPassphrase(kPassphrase));
        QVERIFY(signIn(second, ownerEmail, false));
        QCOMPARE(second.hostNames(), (QStringList{"private-db", "team-web"}));

        // The server (or anyone with its database) alters the team snapshot: refused, nothing merged.
        auto ownerRow =
            QStringLiteral("(SELECT id FROM users WHERE email_key = '%1')").arg(ownerEmail.toLower());
        QVariant stored;
        QString error;
        QVERIFY(m_server->execSql(
            QStringLiteral("SELECT team_payload FROM host_snapshots WHERE owner_id = ") + ownerRow, {},
            &stored, &error));
        const QByteArray original = stored.toByteArray();
        QByteArray tampered = original;
        tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
        QVERIFY2(
            m_server->execSql(QStringLiteral("UPDATE host_snapshots SET team_payload = ? WHERE owner_id = ") +
                                  ownerRow,
                              {tampered}, nullptr, &error),
            qPrintable(error));
        QVERIFY(download(m1, false));
        QCOMPARE(m1.ui.messages.last().title, QStringLiteral("无法读取团队主机"));
        QVERIFY(!m1.sync->isCloudStateKnown());
        QVERIFY(m_server->execSql(
            QStringLiteral("UPDATE host_snapshots SET team_payload = ? WHERE owner_id = ") + ownerRow,
            {original}, nullptr, &error));
        QVariant oldSealed;
        QVERIFY(
            m_server->execSql(QStringLiteral("SELECT sealed FROM team_keys WHERE member_id = (SELECT id FROM "
                                             "users WHERE email_key = '%1')")
                                  .arg(memberEmails[0].toLower()),
                              {}, &oldSealed, &error));

        // The owner removes a member and shares a new host: the removed member cannot read it (and is
        // told), the remaining one can; the server keeps no key for the removed one.
        const AccountTestServer::CommandResult removed = m_server->admin(
            {QStringLiteral("team"), QStringLiteral("remove-member"), QStringLiteral("--owner"), ownerEmail,
             QStringLiteral("--member"), memberEmails[1]});
        QVERIFY2(removed.exitCode == 0, removed.err.constData());
        owner.use();
        owner.addHost(QStringLiteral("team-new"), QStringLiteral("10.0.5.2"),
                      QStringLiteral("T-host-secret-2"), QDateTime::currentDateTimeUtc(),
                      QStringLiteral("team"));
        QVERIFY(upload(owner));
        QCOMPARE(serverRevision(ownerEmail), 2);
        QVariant keyCount;
        QVERIFY(
            m_server->execSql(QStringLiteral("SELECT COUNT(*) FROM team_keys WHERE owner_id = ") + ownerRow,
                              {}, &keyCount, &error));
        QCOMPARE(keyCount.toInt(), 1);
        QVERIFY(download(m2, true));
        QVERIFY(!m2.hostNames().contains(QStringLiteral("team-new")));
        QVERIFY(m2.ui.messages.last().text.contains(QStringLiteral("主账号尚未创建团队主机云备份")));
        QVERIFY(download(m1, false));
        QVERIFY(m1.sync->isCloudStateKnown());
        QCOMPARE(m1.hostNames(), (QStringList{"member-own", "team-new", "team-web"}));

        // The server replays the previous revision (its container and sealed key): refused.
        QVERIFY(
            m_server->execSql(QStringLiteral("UPDATE host_snapshots SET team_payload = ?, revision = 1 WHERE "
                                             "owner_id = ") +
                                  ownerRow,
                              {original}, nullptr, &error));
        QVERIFY(m_server->execSql(QStringLiteral("UPDATE team_keys SET sealed = ?, revision = 1"),
                                  {oldSealed}, nullptr, &error));
        QVERIFY(download(m1, false));
        QCOMPARE(m1.ui.messages.last().title, QStringLiteral("云端数据已被回退"));
        QCOMPARE(m1.hostNames(), (QStringList{"member-own", "team-new", "team-web"}));

        // Signing out ends sync on the member's computer; its files never held the private host.
        m1.use();
        m1.account->logout();
        QVERIFY(!m1.config.config().sync_enabled);
        QVERIFY(m1.sync->storedSyncPassphrase().isEmpty());
        QVERIFY(!QSettings().contains(QStringLiteral("sync/passphrase")));
        m_secrets << memberPassphrases[0].toUtf8();
        for (Computer* member : {&m1, &m2}) {
            checkNoSecrets(*member, {"P-host-secret-1", "10.66.0.9", "private-db", kPassphrase.toUtf8()});
        }
    }

    // Another account signs in where an earlier one synced: nothing goes up until the user decides.
    void accountSwitchAsksFirst()
    {
        Computer computer(*m_server, QStringLiteral("共用电脑"));
        QVERIFY(computer.sync->storeSyncPassphrase(kPassphrase));
        computer.addHost(QStringLiteral("first-own"), QStringLiteral("10.0.7.1"),
                         QStringLiteral("F-host-secret"));
        const QString first = uniqueEmail("first");
        QVERIFY(signIn(computer, first, true));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(first), 1, kWaitMs);
        QVERIFY(settle(computer));
        computer.account->logout();

        // The next account turns sync on with its own passphrase and has no cloud copy yet.
        const QString second = uniqueEmail("second");
        computer.config.setSyncEnabled(true);
        QVERIFY(computer.sync->storeSyncPassphrase(QStringLiteral("the second one's phrase")));
        computer.addHost(QStringLiteral("second-own"), QStringLiteral("10.0.7.2"),
                         QStringLiteral("S-host-secret"));
        QVERIFY(signIn(computer, second, true));
        QCOMPARE(computer.ui.questions, QStringList{first + QStringLiteral(":1:first-own")});
        QCOMPARE(serverRevision(second), 0);
        QVERIFY(upload(computer));
        QCOMPARE(serverRevision(second), 0); // left open: not asked again, nothing sent

        computer.ui.earlierHostsAnswer = HostSyncUi::EarlierHostsChoice::KeepLocalOnly;
        computer.sync->startHostSyncDownload(false);
        QVERIFY(settle(computer));
        QCOMPARE(computer.ui.questions.size(), 2); // asked again by the next sync started
        QVariant hosts;
        QString error;
        QTRY_VERIFY_WITH_TIMEOUT(
            m_server->execSql(QStringLiteral("SELECT s.device_count FROM host_snapshots s JOIN users "
                                             "u ON u.id = s.owner_id WHERE u.email_key = ?"),
                              {second.toLower()}, &hosts, &error) &&
                hosts.toInt() == 1,
            kWaitMs);
        QCOMPARE(computer.hostNames(), (QStringList{"first-own", "second-own"}));
    }

    // The merge asks first with nothing written, then merges on the worker with the answer: a host the
    // user edited in the meantime keeps that edit (it goes up next) instead of the cloud's older read.
    void editDuringMergeIsKept()
    {
        Computer a(*m_server, QStringLiteral("机房A"));
        QVERIFY(a.sync->storeSyncPassphrase(kPassphrase));
        const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
        const Remote asked = a.addHost(QStringLiteral("asked"), QStringLiteral("10.0.8.1"), "E-1", hourAgo);
        const Remote edited = a.addHost(QStringLiteral("edited"), QStringLiteral("10.0.8.2"), "E-2", hourAgo);
        const QString email = uniqueEmail("editor");
        QVERIFY(signIn(a, email, true));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(email), 1, kWaitMs);
        Computer b(*m_server, QStringLiteral("机房B"));
        QVERIFY(b.sync->storeSyncPassphrase(kPassphrase));
        QVERIFY(signIn(b, email, false));
        const auto setRemark = [](Computer& computer, const Remote& host, const QString& remark) {
            computer.use();
            Remote changed = *computer.database->getRemote(host.id);
            changed.remark = remark;
            return computer.database->updateRemote(changed);
        };
        QVERIFY(setRemark(b, asked, QStringLiteral("B asked")) &&
                setRemark(b, edited, QStringLiteral("B edited")));
        QVERIFY(upload(b));
        QCOMPARE(serverRevision(email), 2);

        QVERIFY(setRemark(a, asked, QStringLiteral("A asked")));
        a.ui.conflictAnswer = HostSyncUi::ConflictChoice::TakeCloud;
        a.ui.whileAsked = [&] {
            QVERIFY(setRemark(a, edited, QStringLiteral("A edited meanwhile")));
        };
        QVERIFY(download(a, false));
        QCOMPARE(a.ui.conflicts.size(), 1);
        QCOMPARE(a.database->getRemote(asked.id)->remark, QStringLiteral("B asked"));
        QCOMPARE(a.database->getRemote(edited.id)->remark, QStringLiteral("A edited meanwhile"));
        QCOMPARE(a.sync->pendingChanges(), 1);
        QVERIFY(a.ui.messages.isEmpty());
    }

    // Counts of the changes not uploaded yet run on the worker and may answer out of order: only the
    // latest is shown, every one's follow-up runs, and one that read while the program locked (empty
    // passwords: every host changed) is dropped.
    void changeCountsAnswerInOrder()
    {
        Computer a(*m_server, QStringLiteral("机房A"));
        QString error;
        QVERIFY2(a.crypto->setMasterPassword(QString(), QStringLiteral("master 1"), &error),
                 qPrintable(error));
        QVERIFY(a.sync->storeSyncPassphrase(kPassphrase));
        QList<Remote> hosts;
        for (int i = 1; i <= 5; ++i) {
            hosts.append(
                a.addHost(QStringLiteral("host-%1").arg(i), QStringLiteral("10.0.9.%1").arg(i), "C-1"));
        }
        const QString email = uniqueEmail("counter");
        QVERIFY(signIn(a, email, true));
        QTRY_COMPARE_WITH_TIMEOUT(serverRevision(email), 1, kWaitMs);
        QVERIFY(settle(a));
        QCOMPARE(a.sync->pendingChanges(), 0);

        QList<std::function<void()>> held;
        a.sync->setRunner([&held](std::function<void()> work) { held.append(std::move(work)); });
        const auto edit = [&](int index, bool counted) {
            Remote changed = *a.database->getRemote(hosts[index].id);
            changed.remark = QStringLiteral("edited");
            QVERIFY(a.database->updateRemote(changed));
            if (counted) {
                a.sync->scheduleHostSyncUpload(); // as the window after its refresh
            }
        };
        edit(0, true);
        edit(1, true);
        QCOMPARE(held.size(), 2);
        QVERIFY(a.sync->isCountingChanges());
        held[1](); // the newer count answers first: 2
        QTRY_COMPARE_WITH_TIMEOUT(a.sync->pendingChanges(), 2, kWaitMs);
        QVERIFY(a.sync->isCountingChanges());
        edit(2, false);
        held[0](); // the older one answers late, with what it read then (here 3)
        QTRY_VERIFY_WITH_TIMEOUT(!a.sync->isCountingChanges(), kWaitMs);
        QCOMPARE(a.sync->pendingChanges(), 2);
        QCOMPARE(a.ui.syncState, QStringLiteral("2 处更改尚未上传"));
        QVERIFY(a.sync->autoSyncTimer()->isActive()); // both follow-ups ran
        a.sync->autoSyncTimer()->stop();

        held.clear();
        edit(3, true);
        QCOMPARE(held.size(), 1);
        a.crypto->lock(); // before the worker opened the passwords
        held[0]();
        QTRY_VERIFY_WITH_TIMEOUT(!a.sync->isCountingChanges(), kWaitMs);
        QCOMPARE(a.sync->pendingChanges(), 2);
        QCOMPARE(a.ui.syncState, QStringLiteral("2 处更改尚未上传"));
        QVERIFY(!a.sync->autoSyncTimer()->isActive());
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
        QVERIFY(serverBytes.contains("NIMBARA-SYNC-2.")); // the containers are there
        for (const QByteArray& secret : m_secrets) {
            QVERIFY2(!secret.isEmpty() && !serverBytes.contains(secret), secret.constData());
        }
    }

private:
    // Every file of a computer: database, settings, key. Passwords and tokens only sealed.
    void checkNoSecrets(const Computer& computer, const QList<QByteArray>& alsoAbsent = {})
    {
        QByteArray bytes;
        QDirIterator it(computer.home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly)) {
                bytes += file.readAll();
            }
        }
        QVERIFY(bytes.contains("remotes")); // the database was read
        for (const QByteArray& secret : m_secrets + alsoAbsent) {
            QVERIFY2(!secret.isEmpty() && !bytes.contains(secret), secret.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestHostSyncPeer)
#include "test_host_sync_peer.moc"
