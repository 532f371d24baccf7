// The merge of a downloaded cloud snapshot into the local database, without an account server: the
// controller gets the download answer directly, as the account client would hand it over.

#include "cloud/account_client.h"
#include "cloud/host_snapshot_codec.h"
#include "cloud/host_sync_controller.h"
#include "cloud/host_sync_ui.h"
#include "storage/config_manager.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kPassphrase = QStringLiteral("a passphrase of some length");

class RecordingUi : public HostSyncUi
{
public:
    std::optional<QString> askSyncPassphrase(PassphraseMode, const QString&) override { return std::nullopt; }
    void showSyncMessage(MessageKind, const QString& title, const QString& text) override
    {
        titles.append(title);
        texts.append(text);
    }
    void showSyncStatus(const QString&, int) override {}
    void reloadInventory() override { ++reloads; }
    void setSyncBusy(bool busy) override { busyChanges.append(busy); }

    QStringList titles;
    QStringList texts;
    int reloads = 0;
    QList<bool> busyChanges;
};

Group group(const QString& id, const QString& name, int order)
{
    return Group{id, name, order, QDateTime(QDate(2026, 1, 1), QTime(8, 0), Qt::UTC)};
}

Remote host(const QString& id, const QString& address, const QString& groupId, const QDateTime& updated)
{
    Remote remote;
    remote.id = id;
    remote.name = id;
    remote.host = address;
    remote.password = QStringLiteral("pw-") + id;
    remote.group_id = groupId;
    remote.created_at = QDateTime(QDate(2026, 1, 1), QTime(8, 0), Qt::UTC);
    remote.updated_at = updated;
    return remote;
}

} // namespace

class TestHostSyncController : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    std::unique_ptr<CryptoManager> m_crypto;
    std::unique_ptr<DatabaseManager> m_db;
    ConfigManager m_config;
    std::unique_ptr<AccountClient> m_account;
    RecordingUi m_ui;
    std::unique_ptr<HostSyncController> m_sync;
    QDateTime m_localTime;

    void deliver(const HostSnapshot& cloud, const QString& passphrase)
    {
        QString error;
        const QString container = encryptHostSnapshot(cloud, passphrase, &error);
        QVERIFY2(!container.isEmpty(), qPrintable(error));
        QSignalSpy settled(m_sync.get(), &HostSyncController::syncSettled);
        m_sync->onHostSyncDownloaded(true, container, 0, 7,
                                     QDateTime(QDate(2026, 12, 8), QTime(10, 0), Qt::UTC));
        QVERIFY(settled.wait(60000));
    }

private slots:
    void init()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        isolateSettings(m_home.path());
        m_crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
        QVERIFY(m_crypto->initialize(m_home.filePath(QStringLiteral("credential.key"))));
        QFile::remove(m_home.filePath(QStringLiteral("data.db")));
        m_db = std::make_unique<DatabaseManager>();
        QVERIFY(m_db->initialize(m_home.filePath(QStringLiteral("data.db")), m_crypto.get()));
        for (const Group& existing : m_db->getGroups()) {
            m_db->deleteGroup(existing.id);
        }
        QVERIFY(m_db->addGroup(group(QStringLiteral("g-second"), QStringLiteral("本地二"), 2)));
        QVERIFY(m_db->addGroup(group(QStringLiteral("g-first"), QStringLiteral("本地一"), 1)));
        m_account = std::make_unique<AccountClient>(m_crypto.get());
        m_ui = RecordingUi();
        m_sync = std::make_unique<HostSyncController>(m_db.get(), &m_config, m_crypto.get(), m_account.get(),
                                                      &m_ui);
        QVERIFY(m_sync->storeSyncPassphrase(kPassphrase));
        m_localTime = QDateTime(QDate(2026, 6, 1), QTime(12, 0), Qt::UTC);
    }

    void cleanup()
    {
        m_sync.reset();
        m_account.reset();
        m_db.reset();
        m_crypto.reset();
    }

    void passphraseIsSealed()
    {
        QCOMPARE(m_sync->storedSyncPassphrase(), kPassphrase);
        QFile settings(QSettings().fileName());
        QVERIFY(settings.fileName().startsWith(m_home.path()));
        QVERIFY(settings.open(QIODevice::ReadOnly));
        const QByteArray content = settings.readAll();
        QVERIFY(content.contains("passphrase"));
        QVERIFY(!content.contains(kPassphrase.toUtf8()));
    }

    void mergeAddsAndNeverDeletes()
    {
        QVERIFY(m_db->addRemote(host(QStringLiteral("local-only"), QStringLiteral("10.0.0.9"),
                                     QStringLiteral("g-second"), m_localTime)));
        QVERIFY(m_db->addRemote(host(QStringLiteral("same-address"), QStringLiteral("10.0.0.1"),
                                     QStringLiteral("g-second"), m_localTime)));

        HostSnapshot cloud;
        // A group known here keeps its local name; an unknown one is added.
        cloud.groups = {group(QStringLiteral("g-second"), QStringLiteral("云端改名"), 0),
                        group(QStringLiteral("g-cloud"), QStringLiteral("云端分组"), 5)};
        Remote inCloudGroup = host(QStringLiteral("in-cloud-group"), QStringLiteral("10.0.1.1"),
                                   QStringLiteral("g-cloud"), m_localTime);
        Remote orphan = host(QStringLiteral("orphan"), QStringLiteral("10.0.1.2"),
                             QStringLiteral("g-nowhere"), m_localTime);
        orphan.created_at = QDateTime();
        orphan.updated_at = QDateTime();
        // The same machine under another id is not imported twice.
        Remote duplicate = host(QStringLiteral("duplicate"), QStringLiteral("10.0.0.1"),
                                QStringLiteral("g-cloud"), m_localTime);
        cloud.remotes = {inCloudGroup, orphan, duplicate};
        deliver(cloud, kPassphrase);

        QCOMPARE(m_sync->cloudRevision(), 7);
        QVERIFY(m_sync->isCloudStateKnown());
        QVERIFY(!m_sync->isSyncInProgress());
        QVERIFY(m_ui.titles.isEmpty());
        QCOMPARE(m_ui.reloads, 1);
        // The decryption, then the merge, each on the worker.
        QCOMPARE(m_ui.busyChanges, (QList<bool>{true, false, true, false}));

        QList<QString> names;
        for (const Group& g : m_db->getGroups()) {
            names.append(g.name);
        }
        QCOMPARE(names, (QList<QString>{"本地一", "本地二", "云端分组"}));
        QVERIFY(m_db->getRemote(QStringLiteral("local-only")).has_value());
        QVERIFY(m_db->getRemote(QStringLiteral("same-address")).has_value());
        QVERIFY(!m_db->getRemote(QStringLiteral("duplicate")).has_value());
        QCOMPARE(m_db->getRemote(QStringLiteral("in-cloud-group"))->group_id, QStringLiteral("g-cloud"));
        QCOMPARE(m_db->getRemote(QStringLiteral("in-cloud-group"))->password,
                 QStringLiteral("pw-in-cloud-group"));
        // Lands in the first group by order, with its times filled in.
        const std::optional<Remote> placed = m_db->getRemote(QStringLiteral("orphan"));
        QVERIFY(placed.has_value());
        QCOMPARE(placed->group_id, QStringLiteral("g-first"));
        QVERIFY(!placed->created_at.isNull());
        QVERIFY(!placed->updated_at.isNull());
    }

    void sameHostReplacedOnlyWhenStrictlyNewer_data()
    {
        QTest::addColumn<int>("cloudSecondsLater");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("older") << -3600 << false;
        QTest::newRow("same time") << 0 << false;
        QTest::newRow("one second later") << 1 << true;
    }

    void sameHostReplacedOnlyWhenStrictlyNewer()
    {
        QFETCH(int, cloudSecondsLater);
        QFETCH(bool, replaced);
        Remote local = host(QStringLiteral("shared"), QStringLiteral("10.0.2.1"), QStringLiteral("g-first"),
                            m_localTime);
        local.remark = QStringLiteral("local");
        QVERIFY(m_db->addRemote(local));
        // The stored time as this computer reads it back.
        const QDateTime stored = m_db->getRemote(QStringLiteral("shared"))->updated_at;

        HostSnapshot cloud;
        Remote remote = host(QStringLiteral("shared"), QStringLiteral("10.0.2.1"), QStringLiteral("g-first"),
                             stored.addSecs(cloudSecondsLater));
        remote.remark = QStringLiteral("cloud");
        cloud.remotes = {remote};
        deliver(cloud, kPassphrase);
        const std::optional<Remote> merged = m_db->getRemote(QStringLiteral("shared"));
        QCOMPARE(merged->remark, replaced ? QStringLiteral("cloud") : QStringLiteral("local"));
        // A host taken over keeps the time it was changed on the other computer.
        QCOMPARE(merged->updated_at.toUTC(), (replaced ? remote.updated_at : stored).toUTC());
    }

    void wrongPassphraseChangesNothing()
    {
        QVERIFY(m_db->addRemote(host(QStringLiteral("kept"), QStringLiteral("10.0.3.1"),
                                     QStringLiteral("g-first"), m_localTime)));
        HostSnapshot cloud;
        cloud.remotes = {host(QStringLiteral("never"), QStringLiteral("10.0.3.2"), QStringLiteral("g-first"),
                              m_localTime)};
        deliver(cloud, QStringLiteral("some other passphrase"));
        QCOMPARE(m_ui.titles, QStringList{QStringLiteral("无法解密云端主机")});
        QCOMPARE(
            m_ui.texts.first(),
            QStringLiteral("同步密码错误，或云端数据已被修改\n请确认输入的是创建该备份时使用的同步密码。"));
        QVERIFY(!m_sync->isCloudStateKnown());
        QVERIFY(!m_db->getRemote(QStringLiteral("never")).has_value());
        QVERIFY(m_db->getRemote(QStringLiteral("kept")).has_value());
        QCOMPARE(m_ui.reloads, 0);
    }

    void signedOutStateIsForgotten()
    {
        HostSnapshot cloud;
        deliver(cloud, kPassphrase);
        QVERIFY(m_sync->isCloudStateKnown());
        m_sync->onAccountChanged(m_account->account());
        QVERIFY(!m_sync->isCloudStateKnown());
        QCOMPARE(m_sync->cloudRevision(), 0);
        QVERIFY(!m_sync->autoSyncTimer()->isActive());
        // Nothing goes up without an account.
        m_sync->uploadHostSyncNow();
        QVERIFY(!m_sync->isSyncInProgress());
    }
};

QTEST_GUILESS_MAIN(TestHostSyncController)
#include "test_host_sync_controller.moc"
