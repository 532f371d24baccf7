// The inventory as host sync reads and writes it on a worker: which hosts an account uploads, and that a
// lock of the program while passwords are read never passes for a good read.

#include "cloud/sync_inventory.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kMe = QStringLiteral("account-me");
const QString kOther = QStringLiteral("account-other");
const QString kMaster = QStringLiteral("master password");

Remote host(const QString& id, const QString& address)
{
    Remote remote;
    remote.id = id;
    remote.name = id;
    remote.host = address;
    remote.password = QStringLiteral("pw-") + id;
    remote.created_at = QDateTime(QDate(2026, 1, 1), QTime(8, 0), Qt::UTC);
    remote.updated_at = remote.created_at;
    return remote;
}

} // namespace

class TestSyncInventory : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<CryptoManager> m_crypto;
    std::unique_ptr<DatabaseManager> m_db;
    QString m_groupId;

private slots:
    void initTestCase()
    {
        m_crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
        QVERIFY(m_crypto->initialize(m_home.filePath(QStringLiteral("credential.key"))));
        QString error;
        // Only a master password makes the program lockable.
        QVERIFY2(m_crypto->setMasterPassword(QString(), kMaster, &error), qPrintable(error));
    }

    void init()
    {
        if (m_crypto->isLocked()) {
            QVERIFY(m_crypto->unlock(kMaster));
        }
        m_db.reset();
        QFile::remove(m_home.filePath(QStringLiteral("data.db")));
        m_db = std::make_unique<DatabaseManager>();
        QVERIFY(m_db->initialize(m_home.filePath(QStringLiteral("data.db")), m_crypto.get()));
        m_groupId = QStringLiteral("g-1");
        QVERIFY(m_db->addGroup(Group{m_groupId, QStringLiteral("机房"), 0, QDateTime::currentDateTimeUtc()}));
        for (const char* id : {"never-synced", "mine", "others", "local-only"}) {
            Remote remote =
                host(QLatin1String(id), QStringLiteral("10.0.0.%1").arg(m_db->countManualRemotes() + 1));
            remote.group_id = m_groupId;
            QVERIFY(m_db->addRemote(remote));
        }
        QVERIFY(m_db->setSyncOrigin({QStringLiteral("mine")}, kMe));
        QVERIFY(m_db->setSyncOrigin({QStringLiteral("others")}, kOther));
        QVERIFY(m_db->setSyncOrigin({QStringLiteral("local-only")},
                                    QString::fromLatin1(DatabaseManager::kLocalOnlyOrigin)));
    }

    // An account uploads hosts no account's cloud has yet and its own, never another account's or
    // those kept on this computer only; after the upload the fresh ones are its own.
    void uploadTakesOnlyThisAccountsHosts()
    {
        SyncInventory inventory(*m_db, m_crypto.get(), m_crypto->lockCount(), kMe);
        const SyncInventory::Upload upload = inventory.readUpload();
        QCOMPARE(upload.outcome, SyncInventory::Upload::Outcome::Read);
        QStringList ids;
        for (const Remote& remote : upload.snapshot.remotes) {
            ids.append(remote.id);
            QCOMPARE(remote.password, QStringLiteral("pw-") + remote.id); // opened, not empty
        }
        ids.sort();
        QCOMPARE(ids, (QStringList{"mine", "never-synced"}));
        QCOMPARE(upload.digests.size(), upload.snapshot.groups.size() + 2);

        QVERIFY(inventory.recordUpload(upload.digests, ids));
        const QHash<QString, QString> origins = m_db->syncOrigins();
        QCOMPARE(origins.value(QStringLiteral("never-synced")), kMe);
        QCOMPARE(origins.value(QStringLiteral("others")), kOther);
        QCOMPARE(origins.value(QStringLiteral("local-only")),
                 QString::fromLatin1(DatabaseManager::kLocalOnlyOrigin));
        QCOMPARE(m_db->syncBaseline(kMe), std::optional(upload.digests));
        QCOMPARE(inventory.countPending(std::nullopt).pending, 0);
    }

    // Passwords read after a lock come out empty. Whether the lock came before the read or came and
    // went before it, the count, the upload and the merge say so and neither count every host as
    // changed, nor hand out empty passwords, nor write anything.
    void lockNeverPassesForAGoodRead_data()
    {
        QTest::addColumn<int>("locks"); // 0: none; 1: locked; 2: locked and unlocked again
        QTest::newRow("no lock") << 0;
        QTest::newRow("locked") << 1;
        QTest::newRow("locked and unlocked") << 2;
    }

    void lockNeverPassesForAGoodRead()
    {
        QFETCH(int, locks);
        SyncInventory before(*m_db, m_crypto.get(), m_crypto->lockCount(), kMe);
        const SyncInventory::Upload first = before.readUpload();
        QVERIFY(before.recordUpload(first.digests, {QStringLiteral("never-synced"), QStringLiteral("mine")}));
        Remote edited = *m_db->getRemote(QStringLiteral("mine"));
        edited.remark = QStringLiteral("changed here");
        QVERIFY(m_db->updateRemote(edited));
        HostSnapshot cloud{m_db->getGroups(),
                           {host(QStringLiteral("from-cloud"), QStringLiteral("10.9.9.9"))}};
        cloud.remotes.first().group_id = m_groupId;

        SyncInventory inventory(*m_db, m_crypto.get(), m_crypto->lockCount(), kMe);
        if (locks > 0) {
            m_crypto->lock();
            QVERIFY(m_crypto->isLocked());
        }
        if (locks > 1) {
            QVERIFY(m_crypto->unlock(kMaster));
        }
        const bool good = locks == 0;

        const SyncInventory::Count count = inventory.countPending(first.digests);
        QCOMPARE(count.read, good);
        QCOMPARE(count.pending, good ? 1 : -1);

        const SyncInventory::Upload upload = inventory.readUpload();
        QCOMPARE(upload.outcome,
                 good ? SyncInventory::Upload::Outcome::Read : SyncInventory::Upload::Outcome::Locked);
        QCOMPARE(upload.snapshot.remotes.size(), good ? 2 : 0);

        const SyncInventory::OwnMerge merge = inventory.mergeOwn(cloud, std::nullopt, false);
        QCOMPARE(merge.outcome,
                 good ? SyncInventory::OwnMerge::Outcome::Merged : SyncInventory::OwnMerge::Outcome::Locked);
        QCOMPARE(m_db->getRemote(QStringLiteral("from-cloud")).has_value(), good);
        if (good) {
            QCOMPARE(merge.pending, 1); // the edit made here is still to go up
        } else {
            QCOMPARE(m_db->syncBaseline(kMe), std::optional(first.digests));
        }
    }
};

QTEST_GUILESS_MAIN(TestSyncInventory)
#include "test_sync_inventory.moc"
