#include "import/csv_exporter.h"
#include "import/host_file_reader.h"
#include "import/host_importer.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"
#include "support/raw_connection.h"
#include "support/test_environment.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>

namespace {

using Status = HostImporter::Status;

// A real inventory database in a temporary folder.
class Inventory
{
public:
    Inventory() : m_crypto(std::make_unique<FakeDataProtection>())
    {
        m_ready = m_dir.isValid() && m_crypto.initialize(m_dir.filePath(QStringLiteral("credential.key"))) &&
                  m_database.initialize(databasePath(), &m_crypto);
    }

    bool isReady() const { return m_ready; }
    DatabaseManager* database() { return &m_database; }
    QString databasePath() const { return m_dir.filePath(QStringLiteral("data.db")); }

    bool addGroup(const QString& id, int sortOrder) { return addGroup(id, id, sortOrder); }

    bool addGroup(const QString& id, const QString& name, int sortOrder)
    {
        Group group;
        group.id = id;
        group.name = name;
        group.sort_order = sortOrder;
        group.created_at = QDateTime::currentDateTimeUtc();
        return m_database.addGroup(group);
    }

    // Group names in sort order.
    QStringList groupNames()
    {
        QStringList names;
        for (const Group& group : m_database.getGroups()) {
            names.append(group.name);
        }
        return names;
    }

    QString groupName(const QString& id)
    {
        for (const Group& group : m_database.getGroups()) {
            if (group.id == id) {
                return group.name;
            }
        }
        return QString();
    }

    QString groupId(const QString& name)
    {
        for (const Group& group : m_database.getGroups()) {
            if (group.name == name) {
                return group.id;
            }
        }
        return QString();
    }

    bool addHost(const QString& host, int port, const QString& groupId)
    {
        Remote remote;
        remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        remote.name = host;
        remote.host = host;
        remote.port = port;
        remote.group_id = groupId;
        return m_database.addRemote(remote);
    }

    // host:port of every stored host, sorted.
    QStringList stored()
    {
        QStringList hosts;
        for (const Remote& remote : m_database.getAllRemotes(DatabaseManager::Passwords::Skip)) {
            hosts.append(remote.host + QLatin1Char(':') + QString::number(remote.port));
        }
        hosts.sort();
        return hosts;
    }

    std::optional<Remote> storedHost(const QString& host, int port = 0)
    {
        for (const Remote& remote : m_database.getAllRemotes()) {
            if (remote.host == host && (port == 0 || remote.port == port)) {
                return remote;
            }
        }
        return std::nullopt;
    }

private:
    QTemporaryDir m_dir;
    CryptoManager m_crypto;
    DatabaseManager m_database;
    bool m_ready = false;
};

} // namespace

class TestHostImporter : public QObject
{
    Q_OBJECT

private slots:
    void withoutGroupsNothingHappens();
    void targetGroup_data();
    void targetGroup();
    void nothingParsedReportsWhy_data();
    void nothingParsedReportsWhy();
    void binaryFileWritesNothing();

    void importsAndKeepsTheErrorLines();
    void passwordsAreStoredSealed();
    void duplicatesWithinTheImport();
    void duplicatesOfStoredHosts();
    void importingTwiceFindsEverythingPresent();
    void subAccountImportsAsTeam_data();
    void subAccountImportsAsTeam();

    void failedWriteLeavesTheInventoryUnchanged();
    void tenThousandHosts();

    void exportedInventoryImportsIntoAnEmptyOne();
    void groupColumnFindsAndCreatesGroups();
    void chosenGroupOverridesTheGroupColumn();
    void duplicatesCreateNoGroup();
    void failedWriteRollsBackCreatedGroups_data();
    void failedWriteRollsBackCreatedGroups();
    void brokenGroupFileImportsTheGoodRows();
};

void TestHostImporter::withoutGroupsNothingHappens()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());

    const HostImporter::Outcome outcome =
        HostImporter::run(inventory.database(), "10.0.0.1,3389\n", QString(), false);
    QCOMPARE(outcome.status, Status::NoGroups);
    QCOMPARE(outcome.added, 0);
    QVERIFY(inventory.stored().isEmpty());
}

void TestHostImporter::targetGroup_data()
{
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("used");

    // Groups come in their sort order: "first" (0) before "second" (1).
    QTest::newRow("the group filter") << QStringLiteral("second") << QStringLiteral("second");
    QTest::newRow("all hosts shown") << QString() << QStringLiteral("first");
    QTest::newRow("a group that no longer exists") << QStringLiteral("deleted") << QStringLiteral("first");
}

void TestHostImporter::targetGroup()
{
    QFETCH(QString, requested);
    QFETCH(QString, used);

    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("second"), 1));
    QVERIFY(inventory.addGroup(QStringLiteral("first"), 0));

    const HostImporter::Outcome outcome =
        HostImporter::run(inventory.database(), "10.0.0.1,3389\n10.0.0.2,22\n", requested, false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 2);
    const QList<Remote> stored = inventory.database()->getRemotesByGroup(used);
    QCOMPARE(stored.size(), 2);
}

void TestHostImporter::nothingParsedReportsWhy_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("errors");

    QTest::newRow("empty") << QByteArray() << QStringList{"导入内容为空"};
    QTest::newRow("header only") << QByteArray("ip,port\n") << QStringList();
    QTest::newRow("invalid rows") << QByteArray("ip,port\nbad host,22\n10.0.0.1,abc\n")
                                  << QStringList{"第 2 行主机或端口无效", "第 3 行主机或端口无效"};
}

void TestHostImporter::nothingParsedReportsWhy()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, errors);

    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::NothingParsed);
    QCOMPARE(outcome.errors, errors);
    QCOMPARE(outcome.added, 0);
    QVERIFY(inventory.stored().isEmpty());
}

void TestHostImporter::binaryFileWritesNothing()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    const QByteArray bytes = readFile(QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/binary.csv"));
    QVERIFY(!bytes.isEmpty());
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::NothingParsed);
    QVERIFY(!outcome.errors.isEmpty());
    QVERIFY(inventory.stored().isEmpty());
}

void TestHostImporter::importsAndKeepsTheErrorLines()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    const QByteArray bytes = QStringLiteral("名称,IP,端口,用户名,密码,备注,系统,权限\n"
                                            "web,10.0.0.1,3389,admin,pw,前台,Windows,仅主账号\n"
                                            "bad,10.0.0.x y,3389,,,,,\n"
                                            "db,10.0.0.2,,root,pw2,,Ubuntu Linux,team\n")
                                 .toUtf8();
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 2);
    QCOMPARE(outcome.duplicates, 0);
    QCOMPARE(outcome.errors, QStringList{"第 3 行主机或端口无效"});
    QCOMPARE(inventory.stored(), (QStringList{"10.0.0.1:3389", "10.0.0.2:22"}));

    const std::optional<Remote> database = inventory.storedHost(QStringLiteral("10.0.0.2"));
    QVERIFY(database);
    QCOMPARE(database->name, QStringLiteral("db"));
    QCOMPARE(database->protocol, QStringLiteral("ssh"));
    QCOMPARE(database->access_scope, QStringLiteral("team"));
    QCOMPARE(database->remark, QStringLiteral("Ubuntu Linux"));
    QCOMPARE(database->group_id, QStringLiteral("g"));
    QCOMPARE(database->source_type, QStringLiteral("manual"));
}

void TestHostImporter::passwordsAreStoredSealed()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    const HostImporter::Outcome outcome =
        HostImporter::run(inventory.database(), "10.0.0.1,3389,admin,Zq7Lm4p-secret\n", QString(), false);
    QCOMPARE(outcome.status, Status::Imported);

    const std::optional<Remote> stored = inventory.storedHost(QStringLiteral("10.0.0.1"));
    QVERIFY(stored);
    QCOMPARE(stored->password, QStringLiteral("Zq7Lm4p-secret"));
    RawConnection raw(inventory.databasePath());
    const QString column = raw.text(QStringLiteral("SELECT password FROM remotes"));
    QVERIFY(!column.isEmpty());
    QVERIFY(!column.contains(QStringLiteral("Zq7Lm4p")));
    QVERIFY(!readFile(inventory.databasePath()).contains("Zq7Lm4p-secret"));
}

void TestHostImporter::duplicatesWithinTheImport()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    // Same host (trimmed, any letter case) and port: one is kept; another port is another host.
    const QByteArray bytes = "10.0.0.1,3389,first\n"
                             "10.0.0.1,3389,second\n"
                             "Jump.Example.com,22\n"
                             "  jump.example.COM  ,22\n"
                             "10.0.0.1,3390\n"
                             "10.0.0.1,,third\n";
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 3);
    QCOMPARE(outcome.duplicates, 3);
    QVERIFY(outcome.errors.isEmpty());
    QCOMPARE(inventory.stored(), (QStringList{"10.0.0.1:3389", "10.0.0.1:3390", "Jump.Example.com:22"}));
    // The first of the repeated rows is the one kept.
    const std::optional<Remote> kept = inventory.storedHost(QStringLiteral("10.0.0.1"), 3389);
    QVERIFY(kept);
    QCOMPARE(kept->username, QStringLiteral("first"));
}

void TestHostImporter::duplicatesOfStoredHosts()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));
    QVERIFY(inventory.addHost(QStringLiteral("10.0.0.1"), 3389, QStringLiteral("g")));

    const HostImporter::Outcome outcome = HostImporter::run(
        inventory.database(), "10.0.0.1,3389\n10.0.0.1,22\n10.0.0.2,3389\n", QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 2);
    QCOMPARE(outcome.duplicates, 1);
    QCOMPARE(inventory.stored(), (QStringList{"10.0.0.1:22", "10.0.0.1:3389", "10.0.0.2:3389"}));
}

void TestHostImporter::importingTwiceFindsEverythingPresent()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));
    const QByteArray bytes = "10.0.0.1,3389\n10.0.0.2,22\nbad host\n";

    HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 2);

    outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::AllDuplicates);
    QCOMPARE(outcome.added, 0);
    QCOMPARE(outcome.duplicates, 2);
    QCOMPARE(outcome.errors, QStringList{"第 3 行主机或端口无效"});
    QCOMPARE(inventory.stored(), (QStringList{"10.0.0.1:3389", "10.0.0.2:22"}));
}

void TestHostImporter::subAccountImportsAsTeam_data()
{
    QTest::addColumn<bool>("teamOnly");
    QTest::addColumn<QStringList>("scopes");

    QTest::newRow("main account keeps the file's scopes") << false << QStringList{"owner", "team", "owner"};
    QTest::newRow("sub-account stores everything as team") << true << QStringList{"team", "team", "team"};
}

void TestHostImporter::subAccountImportsAsTeam()
{
    QFETCH(bool, teamOnly);
    QFETCH(QStringList, scopes);

    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    const QByteArray bytes =
        QStringLiteral("ip,权限\n10.0.0.1,仅主账号\n10.0.0.2,主账号及子账号\n10.0.0.3,\n").toUtf8();
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), teamOnly);
    QCOMPARE(outcome.status, Status::Imported);
    QStringList stored;
    for (const QString& host :
         {QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.3")}) {
        stored.append(inventory.storedHost(host)->access_scope);
    }
    QCOMPARE(stored, scopes);
}

void TestHostImporter::failedWriteLeavesTheInventoryUnchanged()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));
    QVERIFY(inventory.addHost(QStringLiteral("10.9.9.9"), 3389, QStringLiteral("g")));
    {
        // The second new host cannot be written; the first must not stay behind either.
        RawConnection raw(inventory.databasePath());
        QVERIFY(
            raw.exec(QStringLiteral("CREATE TRIGGER refuse_second BEFORE INSERT ON remotes "
                                    "WHEN NEW.host = '10.0.0.2' BEGIN SELECT RAISE(ABORT, 'refused'); END")));
    }

    const HostImporter::Outcome outcome =
        HostImporter::run(inventory.database(),
                          "10.0.0.1,3389\n10.0.0.2,3389\n10.0.0.3,3389\n10.9.9.9,3389\n", QString(), false);
    QCOMPARE(outcome.status, Status::WriteFailed);
    QCOMPARE(outcome.added, 0);
    QCOMPARE(outcome.duplicates, 1);
    QCOMPARE(inventory.stored(), QStringList{"10.9.9.9:3389"});

    // The database is still usable afterwards.
    const HostImporter::Outcome retry =
        HostImporter::run(inventory.database(), "10.0.0.1,3389\n10.0.0.3,3389\n", QString(), false);
    QCOMPARE(retry.status, Status::Imported);
    QCOMPARE(inventory.stored(), (QStringList{"10.0.0.1:3389", "10.0.0.3:3389", "10.9.9.9:3389"}));
}

void TestHostImporter::tenThousandHosts()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));

    QByteArray bytes = "IP,端口,用户名,密码\n";
    for (int i = 0; i < 10000; ++i) {
        bytes += "10." + QByteArray::number(i / 62500) + "." + QByteArray::number(i / 250 % 250) + "." +
                 QByteArray::number(i % 250 + 1) + ",3389,admin,pw" + QByteArray::number(i) + "\n";
    }
    bytes += "10.0.0.1,3389,admin,again\n";

    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 10000);
    QCOMPARE(outcome.duplicates, 1);
    QCOMPARE(inventory.database()->countManualRemotes(), 10000);
}

namespace {

Remote inventoryHost(const QString& name, const QString& host, int port, const QString& protocol,
                     const QString& groupId)
{
    Remote remote;
    remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    remote.name = name;
    remote.host = host;
    remote.port = port;
    remote.protocol = protocol;
    remote.legacy_rdp_security = protocol == QLatin1String("rdp");
    remote.group_id = groupId;
    remote.created_at = QDateTime::currentDateTimeUtc();
    remote.updated_at = remote.created_at;
    return remote;
}

} // namespace

void TestHostImporter::exportedInventoryImportsIntoAnEmptyOne()
{
    Inventory source;
    QVERIFY(source.isReady());
    QVERIFY(source.addGroup(QStringLiteral("g-default"), QStringLiteral("默认分组"), 0));
    QVERIFY(source.addGroup(QStringLiteral("g-prod"), QStringLiteral("生产"), 1));
    QVERIFY(source.addGroup(QStringLiteral("g-test"), QStringLiteral("测试, 备用"), 2));
    QVERIFY(source.addGroup(QStringLiteral("g-ops"), QStringLiteral("运维\"一线\""), 3));

    QList<Remote> hosts;
    Remote front = inventoryHost(QStringLiteral("前台"), QStringLiteral("192.168.1.10"), 3389,
                                 QStringLiteral("rdp"), QStringLiteral("g-default"));
    front.username = QStringLiteral("Administrator");
    front.password = QStringLiteral("Zq7Lm4p");
    front.remark = QStringLiteral("一楼");
    front.access_scope = QStringLiteral("team");
    hosts.append(front);
    // The same address in three groups, each on its own port.
    Remote web = inventoryHost(QStringLiteral("web"), QStringLiteral("10.0.0.5"), 3389, QStringLiteral("rdp"),
                               QStringLiteral("g-prod"));
    web.username = QStringLiteral("admin");
    web.password = QStringLiteral(" pass word ");
    hosts.append(web);
    Remote webStandby = inventoryHost(QStringLiteral("web-备"), QStringLiteral("10.0.0.5"), 3390,
                                      QStringLiteral("rdp"), QStringLiteral("g-test"));
    webStandby.password = QStringLiteral("\"quoted\",and，commas\ttab");
    hosts.append(webStandby);
    Remote database = inventoryHost(QStringLiteral("db"), QStringLiteral("10.0.0.5"), 22,
                                    QStringLiteral("ssh"), QStringLiteral("g-ops"));
    database.username = QStringLiteral("root");
    database.password = QStringLiteral("密码🔑");
    database.remark = QStringLiteral("主库\n第二行");
    hosts.append(database);
    // Protocol and port disagree with the usual pairing.
    hosts.append(inventoryHost(QStringLiteral("rdp-on-22"), QStringLiteral("10.0.0.6"), 22,
                               QStringLiteral("rdp"), QStringLiteral("g-ops")));
    hosts.append(inventoryHost(QStringLiteral("ssh-on-3389"), QStringLiteral("10.0.0.7"), 3389,
                               QStringLiteral("ssh"), QStringLiteral("g-prod")));
    Remote jump = inventoryHost(QStringLiteral("跳板"), QStringLiteral("jump.example.com"), 2222,
                                QStringLiteral("ssh"), QStringLiteral("g-test"));
    jump.remark = QStringLiteral("外网，备用");
    jump.access_scope = QStringLiteral("team");
    hosts.append(jump);
    hosts.append(inventoryHost(QStringLiteral("IPv6 主机"), QStringLiteral("2001:db8::10"), 3389,
                               QStringLiteral("rdp"), QStringLiteral("g-default")));
    QVERIFY(source.database()->addRemotes(hosts));

    QHash<QString, QString> groupNames;
    for (const Group& group : source.database()->getGroups()) {
        groupNames.insert(group.id, group.name);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hosts.csv"));
    QString error;
    QVERIFY(CsvExporter::write(path, source.database()->getAllRemotes(), groupNames, true, &error));
    const std::optional<QByteArray> bytes = HostFileReader::read(path, &error);
    QVERIFY2(bytes, qPrintable(error));

    // A fresh inventory holds only the default group, under an id of its own.
    Inventory target;
    QVERIFY(target.isReady());
    QVERIFY(target.addGroup(QStringLiteral("other-default"), QStringLiteral("默认分组"), 0));
    const HostImporter::Outcome outcome = HostImporter::run(target.database(), *bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QVERIFY2(outcome.errors.isEmpty(), qPrintable(outcome.errors.join(QLatin1Char('\n'))));
    QCOMPARE(outcome.duplicates, 0);
    QCOMPARE(outcome.added, int(hosts.size()));
    QStringList created = outcome.createdGroups;
    created.sort();
    QStringList expectedCreated{QStringLiteral("生产"), QStringLiteral("测试, 备用"),
                                QStringLiteral("运维\"一线\"")};
    expectedCreated.sort();
    QCOMPARE(created, expectedCreated);
    QStringList targetGroups = target.groupNames();
    QCOMPARE(targetGroups.constFirst(), QStringLiteral("默认分组"));
    targetGroups.sort();
    QStringList sourceGroups = source.groupNames();
    sourceGroups.sort();
    QCOMPARE(targetGroups, sourceGroups);

    QCOMPARE(target.database()->getAllRemotes().size(), hosts.size());
    for (const Remote& original : std::as_const(hosts)) {
        const std::optional<Remote> imported = target.storedHost(original.host, original.port);
        QVERIFY2(imported, qPrintable(original.name));
        QCOMPARE(imported->name, original.name);
        QCOMPARE(imported->username, original.username);
        QCOMPARE(imported->password, original.password);
        QCOMPARE(imported->remark, original.remark);
        QCOMPARE(imported->protocol, original.protocol);
        QCOMPARE(imported->access_scope, original.access_scope);
        QCOMPARE(target.groupName(imported->group_id), source.groupName(original.group_id));
        QCOMPARE(imported->source_type, QStringLiteral("manual"));
    }
    QCOMPARE(target.storedHost(QStringLiteral("192.168.1.10"))->group_id, QStringLiteral("other-default"));
}

void TestHostImporter::groupColumnFindsAndCreatesGroups()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g-default"), QStringLiteral("默认分组"), 0));
    QVERIFY(inventory.addGroup(QStringLiteral("g-room"), QStringLiteral("机房"), 1));
    // Two groups of one name: the first in sort order takes the hosts.
    QVERIFY(inventory.addGroup(QStringLiteral("g-room-later"), QStringLiteral("机房"), 2));

    const QByteArray bytes = readFile(QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/hosts_groups.csv"));
    QVERIFY(!bytes.isEmpty());
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 5);
    QCOMPARE(outcome.createdGroups, QStringList{QStringLiteral("财务部")});

    const QString finance = inventory.groupId(QStringLiteral("财务部"));
    QVERIFY(!finance.isEmpty());
    QCOMPARE(inventory.groupNames(), (QStringList{"默认分组", "机房", "机房", "财务部"}));
    QCOMPARE(inventory.storedHost(QStringLiteral("192.168.10.11"))->group_id, QStringLiteral("g-default"));
    QCOMPARE(inventory.storedHost(QStringLiteral("192.168.10.12"))->group_id, finance);
    QCOMPARE(inventory.storedHost(QStringLiteral("10.20.0.5"), 22)->group_id, QStringLiteral("g-room"));
    QCOMPARE(inventory.storedHost(QStringLiteral("10.20.0.5"), 2222)->group_id, QStringLiteral("g-room"));
    // No group named: the target group, here the first one as all hosts are shown.
    QCOMPARE(inventory.storedHost(QStringLiteral("jump.example.com"))->group_id, QStringLiteral("g-default"));
    QCOMPARE(inventory.storedHost(QStringLiteral("10.20.0.5"), 22)->password, QStringLiteral("p,w"));
}

void TestHostImporter::chosenGroupOverridesTheGroupColumn()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g-default"), QStringLiteral("默认分组"), 0));
    QVERIFY(inventory.addGroup(QStringLiteral("g-chosen"), QStringLiteral("新购"), 1));

    const QByteArray bytes = readFile(QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/hosts_groups.csv"));
    QVERIFY(!bytes.isEmpty());
    const HostImporter::Outcome outcome =
        HostImporter::run(inventory.database(), bytes, QStringLiteral("g-chosen"), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 5);
    QVERIFY(outcome.createdGroups.isEmpty());
    QCOMPARE(inventory.groupNames(), (QStringList{"默认分组", "新购"}));
    QCOMPARE(inventory.database()->getRemotesByGroup(QStringLiteral("g-chosen")).size(), 5);
}

void TestHostImporter::duplicatesCreateNoGroup()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));
    QVERIFY(inventory.addHost(QStringLiteral("10.0.0.1"), 3389, QStringLiteral("g")));

    // Both rows of "only-duplicates" are dropped; "new" is created once for its two hosts.
    const QByteArray bytes = "ip,port,group\n"
                             "10.0.0.1,3389,only-duplicates\n"
                             "10.0.0.2,3389,new\n"
                             "10.0.0.2,3389,only-duplicates\n"
                             "10.0.0.3,3389,new\n";
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.added, 2);
    QCOMPARE(outcome.duplicates, 2);
    QCOMPARE(outcome.createdGroups, QStringList{QStringLiteral("new")});
    QCOMPARE(inventory.groupNames(), (QStringList{"g", "new"}));
    QCOMPARE(inventory.database()->getRemotesByGroup(inventory.groupId(QStringLiteral("new"))).size(), 2);
}

void TestHostImporter::failedWriteRollsBackCreatedGroups_data()
{
    QTest::addColumn<QString>("trigger");

    QTest::newRow("a host is refused")
        << QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON remotes WHEN NEW.host = '10.0.0.3' "
                          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    QTest::newRow("a group is refused")
        << QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON groups WHEN NEW.name = 'second-new' "
                          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
}

void TestHostImporter::failedWriteRollsBackCreatedGroups()
{
    QFETCH(QString, trigger);

    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), 0));
    {
        RawConnection raw(inventory.databasePath());
        QVERIFY(raw.exec(trigger));
    }

    const QByteArray bytes = "ip,分组\n10.0.0.1,first-new\n10.0.0.2,second-new\n10.0.0.3,first-new\n";
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::WriteFailed);
    QCOMPARE(outcome.added, 0);
    QVERIFY(outcome.createdGroups.isEmpty());
    QCOMPARE(inventory.groupNames(), QStringList{"g"});
    QVERIFY(inventory.stored().isEmpty());
}

void TestHostImporter::brokenGroupFileImportsTheGoodRows()
{
    Inventory inventory;
    QVERIFY(inventory.isReady());
    QVERIFY(inventory.addGroup(QStringLiteral("g"), QStringLiteral("默认分组"), 0));

    const QByteArray bytes =
        readFile(QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/hosts_groups_broken.csv"));
    QVERIFY(!bytes.isEmpty());
    const HostImporter::Outcome outcome = HostImporter::run(inventory.database(), bytes, QString(), false);
    QCOMPARE(outcome.status, Status::Imported);
    QCOMPARE(outcome.errors, (QStringList{"导入内容存在未闭合的引号", "第 3 行主机或端口无效",
                                          "第 4 行主机或端口无效", "第 6 行分组名称无效"}));
    // Only rows that were imported create their group.
    QCOMPARE(outcome.createdGroups, QStringList{QStringLiteral("测试")});
    QCOMPARE(inventory.groupNames(), (QStringList{"默认分组", "测试"}));
    QCOMPARE(inventory.stored(), (QStringList{"10.30.0.1:3389", "10.30.0.4:3389"}));
    QCOMPARE(inventory.storedHost(QStringLiteral("10.30.0.1"))->group_id,
             inventory.groupId(QStringLiteral("测试")));
    // The unclosed quote swallowed the rest of the file into the password; the row names no group.
    QCOMPARE(inventory.storedHost(QStringLiteral("10.30.0.4"))->group_id, QStringLiteral("g"));
}

QTEST_GUILESS_MAIN(TestHostImporter)
#include "test_host_importer.moc"
