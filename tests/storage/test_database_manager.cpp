#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/fake_data_protection.h"
#include "support/log_capture.h"
#include "support/raw_connection.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#if !defined(Q_OS_WIN)
#include <unistd.h>
#endif

#include <memory>
#include <string>

namespace {

// Command-line switch that turns this executable into the helper that opens a database on a
// read-only mount (see readOnlyFileFailsAndStaysUnchanged).
constexpr char kReadOnlyHelperSwitch[] = "--open-read-only-database";

enum HelperExit {
    kHelperRefused = 0,
    kHelperOpened = 2,
    kHelperRefusedWithoutLog = 3,
    kHelperNoKey = 4,
    kHelperFileWritable = 5,
    kHelperMountFailed = 77,
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QDateTime utcTime(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

Group makeGroup(const QString& id, const QString& name, int sortOrder)
{
    Group group;
    group.id = id;
    group.name = name;
    group.sort_order = sortOrder;
    group.created_at = utcTime(2024, 1, 2, 3, 4, 5);
    return group;
}

Remote makeRemote(const QString& id, const QString& name, const QString& groupId = QStringLiteral("g1"))
{
    Remote remote;
    remote.id = id;
    remote.name = name;
    remote.host = QStringLiteral("%1.example").arg(id);
    remote.port = 3389;
    remote.username = QStringLiteral("admin");
    remote.password = QStringLiteral("pw-%1").arg(id);
    remote.remark = QStringLiteral("remark of %1").arg(id);
    remote.group_id = groupId;
    remote.mac_address = QStringLiteral("00:11:22:33:44:55");
    remote.created_at = utcTime(2024, 2, 1, 10, 0, 0);
    remote.updated_at = utcTime(2024, 2, 1, 11, 0, 0);
    return remote;
}

Remote makeVantrelRemote(const QString& id, const QString& name)
{
    Remote remote = makeRemote(id, name);
    remote.source_type = QStringLiteral("vantrel");
    return remote;
}

QStringList idsOf(const QList<Remote>& remotes)
{
    QStringList ids;
    for (const Remote& remote : remotes) {
        ids.append(remote.id);
    }
    return ids;
}

QStringList namesOf(const QList<Remote>& remotes)
{
    QStringList names;
    for (const Remote& remote : remotes) {
        names.append(remote.name);
    }
    return names;
}

bool isBase64(const QString& text)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok && !decoded.decoded.isEmpty();
}

// Helper process: try to open a database that lives on a read-only mount.
int openReadOnlyDatabase(const QString& path)
{
    {
        QFile probe(path);
        if (probe.open(QIODevice::ReadWrite)) {
            return kHelperFileWritable;
        }
    }
    QTemporaryDir keyDir;
    CryptoManager crypto(std::make_unique<FakeDataProtection>());
    if (!keyDir.isValid() || !crypto.initialize(keyDir.filePath(QStringLiteral("credential.key")))) {
        return kHelperNoKey;
    }
    LogCapture log;
    DatabaseManager db;
    if (db.initialize(path, &crypto)) {
        return kHelperOpened;
    }
    return log.contains("数据库打开失败") ? kHelperRefused : kHelperRefusedWithoutLog;
}

} // namespace

class TestDatabaseManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newDatabaseHasSchema();
    void migratesOldSchema();
    void initializeWithoutCryptoFails();
    void unopenablePathFails();
    void notADatabaseFailsAndStaysUnchanged_data();
    void notADatabaseFailsAndStaysUnchanged();
    void readOnlyFileFailsAndStaysUnchanged();
    void busyDatabaseIsNotReadOnly();
    void closedManagerFails();
    void managersUseSeparateConnections();

    void defaultRecordsStoreTextKeys();
    void recordsRoundTrip();
    void timesAreIsoText_data();
    void timesAreIsoText();
    void sealedPasswordDiffersPerWrite();
    void emptyPasswordStaysEmpty();
    void listingCanSkipPasswords();
    void plaintextPasswordNeverReachesFile();
    void passwordSealedByAnotherKeyReadsEmpty();
    void writeNormalisesFields_data();
    void writeNormalisesFields();
    void readNormalisesStoredValues_data();
    void readNormalisesStoredValues();

    void groupsOrderedAndUpdated();
    void addGroupDuplicateFails();
    void deleteGroupRemovesItsHosts();
    void deleteGroupRollsBackWhole();

    void addRemoteFailures_data();
    void addRemoteFailures();
    void addRemotesIsAllOrNothing();
    void emptyBatchesNeedNoTransaction();
    void updateRemoteKeepsCreatedAt();
    void deleteRemotes();
    void deleteRemotesRollsBackWhole();
    void getRemoteOfUnknownId();
    void remotesOrderedByNameBytes();
    void remoteExistsIsExact_data();
    void remoteExistsIsExact();
    void countsBySource();

    void replaceVantrelRemotesWithEmptyList();
    void replaceVantrelRemotesSyncsList();
    void replaceVantrelRemotesRollsBackWhole();
    void replaceVantrelRemotesNeverTakesAManualHost();
    void replaceVantrelRemotesKeepsPinnedCertificate();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("data.db")); }
    // Opens the manager on data.db with the groups g1 and g2.
    bool openWithGroups();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<CryptoManager> m_crypto;
    std::unique_ptr<DatabaseManager> m_db;
};

void TestDatabaseManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_log = std::make_unique<LogCapture>();
    m_crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
    QVERIFY(m_crypto->initialize(m_dir->filePath(QStringLiteral("credential.key"))));
    m_db = std::make_unique<DatabaseManager>();
}

void TestDatabaseManager::cleanup()
{
    m_db.reset();
    m_crypto.reset();
    m_log.reset();
    m_dir.reset();
}

bool TestDatabaseManager::openWithGroups()
{
    return m_db->initialize(dbPath(), m_crypto.get()) &&
           m_db->addGroup(makeGroup(QStringLiteral("g1"), QStringLiteral("Servers"), 0)) &&
           m_db->addGroup(makeGroup(QStringLiteral("g2"), QStringLiteral("Office"), 1));
}

void TestDatabaseManager::newDatabaseHasSchema()
{
    QVERIFY(!QFile::exists(dbPath()));
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QVERIFY(QFile::exists(dbPath()));

    RawConnection raw(dbPath());
    QVERIFY(raw.isOpen());
    QStringList tables =
        raw.texts(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"));
    QCOMPARE(tables, QStringList({QStringLiteral("agent_credential_profiles"), QStringLiteral("groups"),
                                  QStringLiteral("remotes"), QStringLiteral("sync_baseline"),
                                  QStringLiteral("sync_origins")}));
    QStringList indices = raw.texts(QStringLiteral(
        "SELECT name FROM sqlite_master WHERE type='index' AND name LIKE 'idx_%' ORDER BY name"));
    QCOMPARE(indices, QStringList({QStringLiteral("idx_remotes_group"), QStringLiteral("idx_remotes_host")}));
    QCOMPARE(raw.value(QStringLiteral("SELECT tbl_name FROM sqlite_master WHERE name='idx_remotes_host'")),
             QVariant(QStringLiteral("remotes")));

    const QStringList columns = raw.texts(QStringLiteral("SELECT name FROM pragma_table_info('remotes')"));
    QCOMPARE(columns,
             QStringList({"id", "name", "host", "port", "username", "password", "remark", "group_id",
                          "mac_address", "created_at", "updated_at", "legacy_rdp_security", "protocol",
                          "agent_device_id", "rdp_certificate_fingerprint", "access_scope", "source_type"}));
    QCOMPARE(raw.value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));

    // Opening the same file again leaves the schema as it is.
    m_db->close();
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QCOMPARE(raw.texts(QStringLiteral("SELECT name FROM pragma_table_info('remotes')")), columns);
}

void TestDatabaseManager::migratesOldSchema()
{
    {
        RawConnection raw(dbPath());
        QVERIFY(raw.isOpen());
        QVERIFY(raw.exec(QStringLiteral(
            "CREATE TABLE groups (id TEXT PRIMARY KEY, name TEXT NOT NULL, sort_order INTEGER DEFAULT 0, "
            "created_at TEXT DEFAULT (datetime('now')))")));
        QVERIFY(raw.exec(QStringLiteral(
            "CREATE TABLE remotes (id TEXT PRIMARY KEY, name TEXT NOT NULL, host TEXT NOT NULL, port INTEGER "
            "DEFAULT 3389, username TEXT, password TEXT, remark TEXT, group_id TEXT NOT NULL, mac_address "
            "TEXT, created_at TEXT DEFAULT (datetime('now')), updated_at TEXT DEFAULT (datetime('now')), "
            "FOREIGN KEY (group_id) REFERENCES groups(id))")));
        QVERIFY(raw.exec(QStringLiteral("INSERT INTO groups (id, name, sort_order, created_at) VALUES "
                                        "('g1', 'Old group', 0, '2023-05-01T08:00:00Z')")));
        const QString insert = QStringLiteral(
            "INSERT INTO remotes (id, name, host, port, username, password, remark, group_id, mac_address, "
            "created_at, updated_at) VALUES (?, ?, ?, ?, 'admin', '', 'old remark', 'g1', '', "
            "'2023-05-01T08:30:00Z', '2023-05-02T09:00:00Z')");
        QVERIFY(raw.exec(insert, {QStringLiteral("vantrel-42"), QStringLiteral("Portal server"),
                                  QStringLiteral("203.0.113.7"), 3389}));
        QVERIFY(raw.exec(insert, {QStringLiteral("5f0c0e9e-1111-2222-3333-444455556666"),
                                  QStringLiteral("Office PC"), QStringLiteral("192.168.0.20"), 3390}));
    }

    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));

    {
        RawConnection raw(dbPath());
        const QStringList columns =
            raw.texts(QStringLiteral("SELECT name FROM pragma_table_info('remotes')"));
        for (const char* added : {"legacy_rdp_security", "protocol", "agent_device_id",
                                  "rdp_certificate_fingerprint", "access_scope", "source_type"}) {
            QVERIFY2(columns.contains(QLatin1String(added)), added);
        }
        QCOMPARE(columns.size(), 17);
        QCOMPARE(
            raw.value(QStringLiteral("SELECT source_type FROM remotes WHERE id='vantrel-42'")).toString(),
            QStringLiteral("vantrel"));
        QCOMPARE(
            raw.value(QStringLiteral("SELECT source_type FROM remotes WHERE id LIKE '5f0c%'")).toString(),
            QStringLiteral("manual"));
        QVERIFY(raw.texts(QStringLiteral("SELECT name FROM sqlite_master WHERE type='index'"))
                    .contains(QStringLiteral("idx_remotes_host")));
    }

    const std::optional<Remote> portal = m_db->getRemote(QStringLiteral("vantrel-42"));
    QVERIFY(portal.has_value());
    QCOMPARE(portal->source_type, QStringLiteral("vantrel"));
    QCOMPARE(portal->protocol, QStringLiteral("rdp"));
    QCOMPARE(portal->access_scope, QStringLiteral("owner"));
    QCOMPARE(portal->legacy_rdp_security, false);
    QCOMPARE(portal->created_at, utcTime(2023, 5, 1, 8, 30, 0));
    QCOMPARE(portal->remark, QStringLiteral("old remark"));

    const std::optional<Remote> manual =
        m_db->getRemote(QStringLiteral("5f0c0e9e-1111-2222-3333-444455556666"));
    QVERIFY(manual.has_value());
    QCOMPARE(manual->source_type, QStringLiteral("manual"));
    QCOMPARE(manual->port, 3390);
    QCOMPARE(m_db->countVantrelRemotes(), 1);
    QCOMPARE(m_db->countManualRemotes(), 1);
    QCOMPARE(m_db->getGroups().size(), 1);

    // A migrated file opens again without losing anything.
    m_db->close();
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QCOMPARE(m_db->getAllRemotes().size(), 2);
    QCOMPARE(m_db->getRemote(QStringLiteral("vantrel-42"))->source_type, QStringLiteral("vantrel"));
}

void TestDatabaseManager::initializeWithoutCryptoFails()
{
    QVERIFY(!m_db->initialize(dbPath(), nullptr));
    QVERIFY(m_log->contains("数据库初始化失败: 缺少凭据加密服务"));
    QVERIFY(!QFile::exists(dbPath()));
    QVERIFY(!m_db->addGroup(makeGroup(QStringLiteral("g1"), QStringLiteral("Servers"), 0)));
}

void TestDatabaseManager::unopenablePathFails()
{
    const QString path = m_dir->filePath(QStringLiteral("missing/dir/data.db"));
    QVERIFY(!m_db->initialize(path, m_crypto.get()));
    QVERIFY(m_log->contains("数据库打开失败"));
    QVERIFY(!QFile::exists(path));
    QVERIFY(m_db->getGroups().isEmpty());
}

void TestDatabaseManager::notADatabaseFailsAndStaysUnchanged_data()
{
    QTest::addColumn<QByteArray>("content");

    QByteArray text;
    for (int i = 0; i < 200; ++i) {
        text += "host-list line " + QByteArray::number(i) + ", not a database\n";
    }
    QTest::newRow("text") << text;

    QByteArray noise(8192, Qt::Uninitialized);
    QRandomGenerator generator(20240601);
    for (char& byte : noise) {
        byte = static_cast<char>(generator.bounded(256));
    }
    QTest::newRow("binary noise") << noise;
    QTest::newRow("zeros") << QByteArray(4096, '\0');
}

void TestDatabaseManager::notADatabaseFailsAndStaysUnchanged()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(dbPath(), content));

    QVERIFY(!m_db->initialize(dbPath(), m_crypto.get()));
    QVERIFY(m_log->contains("创建groups表失败"));
    QVERIFY(!m_log->contains("数据库打开失败"));
    QVERIFY(m_db->getGroups().isEmpty());
    m_db->close();

    QCOMPARE(fileBytes(dbPath()), content);
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        QVERIFY2(!QFile::exists(dbPath() + QLatin1String(suffix)), suffix);
    }
}

void TestDatabaseManager::readOnlyFileFailsAndStaysUnchanged()
{
    QVERIFY(openWithGroups());
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    QVERIFY(m_db->addRemote(remote));
    m_db->close();
    const QByteArray before = fileBytes(dbPath());
    QVERIFY(!before.isEmpty());
    QVERIFY(!QFile::exists(dbPath() + QStringLiteral("-wal")));

#if defined(Q_OS_WIN)
    // The read-only attribute stops every writer.
    const bool superUser = false;
#else
    const bool superUser = ::geteuid() == 0;
#endif
    if (!superUser) {
        const QFileDevice::Permissions writable = QFile::permissions(dbPath());
        QVERIFY(QFile::setPermissions(dbPath(), QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(dbPath(), writable); });
#if defined(Q_OS_WIN)
        if (QFile probe(dbPath()); probe.open(QIODevice::ReadWrite)) {
            // Wine keeps the attribute as Unix permission bits, which do not stop root.
            QSKIP("the read-only attribute does not stop this user");
        }
#endif
        DatabaseManager readOnly;
        QVERIFY(!readOnly.initialize(dbPath(), m_crypto.get()));
        QVERIFY(m_log->contains("数据库打开失败"));
    } else {
        // Permission bits do not stop root; put the file on a read-only bind mount in a private
        // mount namespace and let a copy of this executable try to open it there.
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        const QString mount = QStandardPaths::findExecutable(QStringLiteral("mount"));
        if (unshare.isEmpty() || mount.isEmpty()) {
            QSKIP("running as root without unshare/mount: no way to make the file read-only");
        }
        QProcess check;
        check.start(unshare, {QStringLiteral("-m"), QStringLiteral("--propagation"),
                              QStringLiteral("private"), QStringLiteral("true")});
        if (!check.waitForFinished(30000) || check.exitStatus() != QProcess::NormalExit ||
            check.exitCode() != 0) {
            QSKIP(qPrintable(QStringLiteral("cannot create a mount namespace: %1")
                                 .arg(QString::fromLocal8Bit(check.readAllStandardError()).trimmed())));
        }

        const QString script = QStringLiteral("mount --bind \"$1\" \"$1\" && mount -o remount,ro,bind \"$1\" "
                                              "\"$1\" || exit %1; exec \"$0\" %2 \"$1\"")
                                   .arg(static_cast<int>(kHelperMountFailed))
                                   .arg(QLatin1String(kReadOnlyHelperSwitch));
        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(unshare, {QStringLiteral("-m"), QStringLiteral("--propagation"),
                               QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                               QCoreApplication::applicationFilePath(), dbPath()});
        QVERIFY(helper.waitForFinished(60000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        if (helper.exitCode() == kHelperMountFailed) {
            QSKIP("cannot bind-mount the database file read-only");
        }
        if (helper.exitCode() == kHelperFileWritable) {
            QSKIP("the read-only bind mount still lets the file be written");
        }
        QCOMPARE(helper.exitCode(), static_cast<int>(kHelperRefused));
    }

    QCOMPARE(fileBytes(dbPath()), before);
    // Companion files made by the failed attempt would keep its read-only mode and break the next start.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        QVERIFY2(!QFile::exists(dbPath() + QLatin1String(suffix)), suffix);
    }

    // Writable again, the file opens with its data intact.
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    const std::optional<Remote> stored = m_db->getRemote(QStringLiteral("r1"));
    QVERIFY(stored.has_value());
    QCOMPARE(*stored, remote);
}

// Another program holding the write lock (a backup tool, the sqlite3 shell) makes the database busy,
// not read-only: it opens and reads, and writes once the lock is gone.
void TestDatabaseManager::busyDatabaseIsNotReadOnly()
{
    QVERIFY(openWithGroups());
    const Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    QVERIFY(m_db->addRemote(remote));
    m_db->close();

    RawConnection holder(dbPath());
    QVERIFY(holder.isOpen());
    QVERIFY(holder.exec(QStringLiteral("BEGIN IMMEDIATE")));
    QVERIFY(holder.exec(QStringLiteral("UPDATE groups SET sort_order = sort_order")));

    DatabaseManager busy;
    QVERIFY(busy.initialize(dbPath(), m_crypto.get()));
    QVERIFY(!m_log->contains("数据库打开失败"));
    QCOMPARE(busy.getRemote(QStringLiteral("r1")), std::optional<Remote>(remote));

    QVERIFY(holder.exec(QStringLiteral("ROLLBACK")));
    const Remote other = makeRemote(QStringLiteral("r2"), QStringLiteral("Other"));
    QVERIFY(busy.addRemote(other));
    QCOMPARE(busy.getRemote(QStringLiteral("r2")), std::optional<Remote>(other));
}

void TestDatabaseManager::closedManagerFails()
{
    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemote(makeRemote(QStringLiteral("r1"), QStringLiteral("Server"))));
    QVERIFY(m_db->addRemote(makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("Portal"))));
    m_db->close();
    m_db->close();

    const Remote other = makeRemote(QStringLiteral("r2"), QStringLiteral("Other"));
    QVERIFY(!m_db->createTables());
    QVERIFY(m_db->getGroups().isEmpty());
    QVERIFY(!m_db->addGroup(makeGroup(QStringLiteral("g3"), QStringLiteral("Third"), 2)));
    QVERIFY(!m_db->updateGroup(makeGroup(QStringLiteral("g1"), QStringLiteral("Renamed"), 0)));
    QVERIFY(!m_db->deleteGroup(QStringLiteral("g2")));
    QVERIFY(!m_db->addRemote(other));
    QVERIFY(!m_db->addRemotes({other}));
    QVERIFY(!m_db->updateRemote(makeRemote(QStringLiteral("r1"), QStringLiteral("Renamed"))));
    QVERIFY(!m_db->deleteRemotes({QStringLiteral("r1")}));
    QVERIFY(!m_db->getRemote(QStringLiteral("r1")).has_value());
    QVERIFY(m_db->getAllRemotes().isEmpty());
    QVERIFY(m_db->getRemotesByGroup(QStringLiteral("g1")).isEmpty());
    QVERIFY(!m_db->remoteExists(QStringLiteral("r1.example"), 3389));
    QCOMPARE(m_db->countManualRemotes(), 0);
    QCOMPARE(m_db->countVantrelRemotes(), 0);
    QVERIFY(!m_db->replaceVantrelRemotes({}));

    // Nothing of the above reached the file.
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QCOMPARE(idsOf(m_db->getAllRemotes()), QStringList({QStringLiteral("vantrel-1"), QStringLiteral("r1")}));
    QCOMPARE(m_db->getRemote(QStringLiteral("r1"))->name, QStringLiteral("Server"));
    QCOMPARE(m_db->getGroups().size(), 2);
}

void TestDatabaseManager::managersUseSeparateConnections()
{
    const QString otherPath = m_dir->filePath(QStringLiteral("other.db"));
    QVERIFY(openWithGroups());
    DatabaseManager other;
    QVERIFY(other.initialize(otherPath, m_crypto.get()));
    QVERIFY(other.addGroup(makeGroup(QStringLiteral("x"), QStringLiteral("Elsewhere"), 0)));

    QCOMPARE(m_db->getGroups().size(), 2);
    QCOMPARE(other.getGroups().size(), 1);

    other.close();
    QVERIFY(m_db->addRemote(makeRemote(QStringLiteral("r1"), QStringLiteral("Server"))));
    QCOMPARE(m_db->getAllRemotes().size(), 1);
}

void TestDatabaseManager::defaultRecordsStoreTextKeys()
{
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    // Null strings in the key and name columns are stored as empty text, so default-constructed
    // records satisfy the NOT NULL columns and the group reference.
    QVERIFY(m_db->addGroup(Group{}));
    QVERIFY(m_db->addRemote(Remote{}));

    RawConnection raw(dbPath());
    QCOMPARE(raw.texts(QStringLiteral("SELECT typeof(id) || ',' || typeof(name) FROM groups")),
             QStringList({QStringLiteral("text,text")}));
    QCOMPARE(raw.texts(QStringLiteral(
                 "SELECT typeof(id) || typeof(name) || typeof(host) || typeof(group_id) FROM remotes")),
             QStringList({QStringLiteral("texttexttexttext")}));
    QCOMPARE(raw.texts(QStringLiteral("SELECT quote(password) || quote(created_at) || quote(updated_at) FROM "
                                      "remotes UNION ALL SELECT quote(created_at) FROM groups")),
             QStringList({QStringLiteral("''''''"), QStringLiteral("''")}));

    const std::optional<Remote> stored = m_db->getRemote(QString());
    QVERIFY(stored.has_value());
    QCOMPARE(*stored, Remote{});
    QCOMPARE(m_db->getRemotesByGroup(QString()).size(), 1);
    QVERIFY(m_db->deleteGroup(QString()));
    QVERIFY(m_db->getAllRemotes().isEmpty());
}

void TestDatabaseManager::recordsRoundTrip()
{
    QVERIFY(openWithGroups());
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("数据库服务器"));
    remote.port = 22;
    remote.protocol = QStringLiteral("ssh");
    remote.legacy_rdp_security = true;
    remote.agent_device_id = QStringLiteral("agent-7");
    remote.rdp_certificate_fingerprint = QStringLiteral("AB:CD:EF");
    remote.access_scope = QStringLiteral("team");
    remote.source_type = QStringLiteral("vantrel");
    remote.group_id = QStringLiteral("g2");
    QVERIFY(m_db->addRemote(remote));

    const std::optional<Remote> stored = m_db->getRemote(QStringLiteral("r1"));
    QVERIFY(stored.has_value());
    QCOMPARE(*stored, remote);

    RawConnection raw(dbPath());
    QCOMPARE(
        raw.value(QStringLiteral("SELECT typeof(legacy_rdp_security) || legacy_rdp_security FROM remotes")),
        QVariant(QStringLiteral("integer1")));
    QCOMPARE(raw.value(QStringLiteral("SELECT typeof(port) || port FROM remotes")),
             QVariant(QStringLiteral("integer22")));
}

void TestDatabaseManager::timesAreIsoText_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("text");

    QTest::newRow("UTC") << utcTime(2024, 3, 1, 8, 30, 15) << QStringLiteral("'2024-03-01T08:30:15Z'");
    QTest::newRow("local") << QDateTime(QDate(2024, 3, 1), QTime(8, 30, 15), Qt::LocalTime)
                           << QStringLiteral("'2024-03-01T08:30:15'");
    QTest::newRow("null is empty text") << QDateTime() << QStringLiteral("''");
}

void TestDatabaseManager::timesAreIsoText()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, text);

    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    Group group = makeGroup(QStringLiteral("g1"), QStringLiteral("Servers"), 0);
    group.created_at = time;
    QVERIFY(m_db->addGroup(group));
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    remote.created_at = time;
    remote.updated_at = time;
    QVERIFY(m_db->addRemote(remote));

    RawConnection raw(dbPath());
    QCOMPARE(raw.value(QStringLiteral("SELECT quote(created_at) FROM groups")), QVariant(text));
    QCOMPARE(raw.texts(QStringLiteral(
                 "SELECT quote(created_at) FROM remotes UNION ALL SELECT quote(updated_at) FROM remotes")),
             QStringList({text, text}));

    const std::optional<Remote> stored = m_db->getRemote(QStringLiteral("r1"));
    QVERIFY(stored.has_value());
    QCOMPARE(stored->created_at, time);
    QCOMPARE(stored->updated_at, time);
    QCOMPARE(stored->created_at.timeSpec(), time.timeSpec());
    QCOMPARE(m_db->getGroups().value(0).created_at, time);
}

void TestDatabaseManager::sealedPasswordDiffersPerWrite()
{
    QVERIFY(openWithGroups());
    Remote first = makeRemote(QStringLiteral("r1"), QStringLiteral("First"));
    first.password = QStringLiteral("x");
    Remote second = makeRemote(QStringLiteral("r2"), QStringLiteral("Second"));
    second.password = QStringLiteral("x");
    QVERIFY(m_db->addRemote(first));
    QVERIFY(m_db->addRemote(second));

    RawConnection raw(dbPath());
    const QString storedFirst =
        raw.value(QStringLiteral("SELECT password FROM remotes WHERE id='r1'")).toString();
    const QString storedSecond =
        raw.value(QStringLiteral("SELECT password FROM remotes WHERE id='r2'")).toString();
    QVERIFY(isBase64(storedFirst));
    QVERIFY(isBase64(storedSecond));
    QVERIFY(storedFirst != storedSecond);

    QVERIFY(m_db->updateRemote(first));
    const QString rewritten =
        raw.value(QStringLiteral("SELECT password FROM remotes WHERE id='r1'")).toString();
    QVERIFY(isBase64(rewritten));
    QVERIFY(rewritten != storedFirst);

    QCOMPARE(m_db->getRemote(QStringLiteral("r1"))->password, QStringLiteral("x"));
    QCOMPARE(m_db->getRemote(QStringLiteral("r2"))->password, QStringLiteral("x"));
    QCOMPARE(m_crypto->sealDecrypt(rewritten), QStringLiteral("x"));
}

void TestDatabaseManager::emptyPasswordStaysEmpty()
{
    QVERIFY(openWithGroups());
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    remote.password.clear();
    QVERIFY(m_db->addRemote(remote));

    RawConnection raw(dbPath());
    const QString storedEmpty = QStringLiteral("SELECT quote(password) FROM remotes");
    QCOMPARE(raw.value(storedEmpty), QVariant(QStringLiteral("''")));
    QCOMPARE(m_db->getRemote(QStringLiteral("r1"))->password, QString());

    // Clearing a stored password through an update stores empty text again.
    remote.password = QStringLiteral("secret");
    QVERIFY(m_db->updateRemote(remote));
    QVERIFY(raw.value(QStringLiteral("SELECT password FROM remotes")).toString().size() > 8);
    remote.password = QString();
    QVERIFY(m_db->updateRemote(remote));
    QCOMPARE(raw.value(storedEmpty), QVariant(QStringLiteral("''")));
    QVERIFY(m_db->getRemote(QStringLiteral("r1"))->password.isEmpty());
}

void TestDatabaseManager::listingCanSkipPasswords()
{
    QVERIFY(openWithGroups());
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    remote.password = QStringLiteral("secret");
    remote.group_id = QStringLiteral("g1");
    QVERIFY(m_db->addRemote(remote));

    const QList<Remote> listed = m_db->getAllRemotes(DatabaseManager::Passwords::Skip);
    QCOMPARE(listed.size(), 1);
    QVERIFY(listed[0].password.isEmpty());
    QCOMPARE(listed[0].host, remote.host);
    const QList<Remote> grouped =
        m_db->getRemotesByGroup(QStringLiteral("g1"), DatabaseManager::Passwords::Skip);
    QCOMPARE(grouped.size(), 1);
    QVERIFY(grouped[0].password.isEmpty());
    QCOMPARE(m_db->getRemotesByGroup(QStringLiteral("g1")).value(0).password, QStringLiteral("secret"));
    QCOMPARE(m_db->getAllRemotes().value(0).password, QStringLiteral("secret"));
}

void TestDatabaseManager::plaintextPasswordNeverReachesFile()
{
    const QString added = QStringLiteral("Plaintext-Added-7f3a9c");
    const QString updated = QStringLiteral("Plaintext-Updated-51be02");
    const QString batched = QStringLiteral("Plaintext-Batched-c0ffee");
    const QString portal = QStringLiteral("Plaintext-Portal-9911aa");
    const QByteArray visibleRemark = "visible-remark-4c21d8";

    QVERIFY(openWithGroups());
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    remote.password = added;
    remote.remark = QString::fromLatin1(visibleRemark);
    QVERIFY(m_db->addRemote(remote));
    remote.password = updated;
    QVERIFY(m_db->updateRemote(remote));
    Remote second = makeRemote(QStringLiteral("r2"), QStringLiteral("Second"));
    second.password = batched;
    QVERIFY(m_db->addRemotes({second}));
    Remote fromPortal = makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("Portal"));
    fromPortal.password = portal;
    QVERIFY(m_db->replaceVantrelRemotes({fromPortal}));

    const auto containsSecret = [&](const QByteArray& bytes) {
        for (const QString& secret : {added, updated, batched, portal}) {
            const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2);
            if (bytes.contains(secret.toUtf8()) || bytes.contains(utf16)) {
                return true;
            }
        }
        return false;
    };

    const QByteArray whileOpen = fileBytes(dbPath()) + fileBytes(dbPath() + QStringLiteral("-wal"));
    // The remark is found in the same bytes, so the search itself works.
    QVERIFY(whileOpen.contains(visibleRemark));
    QVERIFY(!containsSecret(whileOpen));

    m_db->close();
    const QByteArray afterClose = fileBytes(dbPath()) + fileBytes(dbPath() + QStringLiteral("-wal"));
    QVERIFY(afterClose.contains(visibleRemark));
    QVERIFY(!containsSecret(afterClose));

    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QCOMPARE(m_db->getRemote(QStringLiteral("r1"))->password, updated);
    QCOMPARE(m_db->getRemote(QStringLiteral("r2"))->password, batched);
    QCOMPARE(m_db->getRemote(QStringLiteral("vantrel-1"))->password, portal);
}

void TestDatabaseManager::passwordSealedByAnotherKeyReadsEmpty()
{
    QVERIFY(openWithGroups());
    Remote remote = makeRemote(QStringLiteral("r1"), QStringLiteral("Server"));
    remote.password = QStringLiteral("only-for-the-first-key");
    QVERIFY(m_db->addRemote(remote));
    m_db->close();

    CryptoManager otherKey(std::make_unique<FakeDataProtection>());
    QVERIFY(otherKey.initialize(m_dir->filePath(QStringLiteral("other-credential.key"))));
    DatabaseManager other;
    QVERIFY(other.initialize(dbPath(), &otherKey));
    const std::optional<Remote> stored = other.getRemote(QStringLiteral("r1"));
    QVERIFY(stored.has_value());
    QCOMPARE(stored->password, QString());
    Remote expected = remote;
    expected.password.clear();
    QCOMPARE(*stored, expected);
    QCOMPARE(other.getAllRemotes().value(0).password, QString());
}

void TestDatabaseManager::writeNormalisesFields_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expectedProtocol");
    QTest::addColumn<QString>("expectedScope");
    QTest::addColumn<QString>("expectedSource");

    QTest::newRow("empty protocol, capital TEAM, other source")
        << QString() << QStringLiteral("TEAM") << QStringLiteral("portal") << QStringLiteral("rdp")
        << QStringLiteral("owner") << QStringLiteral("manual");
    QTest::newRow("exact values kept")
        << QStringLiteral("ssh") << QStringLiteral("team") << QStringLiteral("vantrel")
        << QStringLiteral("ssh") << QStringLiteral("team") << QStringLiteral("vantrel");
    QTest::newRow("letter case") << QStringLiteral("SSH") << QStringLiteral("Team")
                                 << QStringLiteral("Vantrel") << QStringLiteral("SSH")
                                 << QStringLiteral("owner") << QStringLiteral("manual");
    QTest::newRow("surrounding spaces")
        << QStringLiteral("rdp") << QStringLiteral(" team") << QStringLiteral("vantrel ")
        << QStringLiteral("rdp") << QStringLiteral("owner") << QStringLiteral("manual");
    QTest::newRow("empty scope and source")
        << QStringLiteral("rdp") << QStringLiteral("") << QString() << QStringLiteral("rdp")
        << QStringLiteral("owner") << QStringLiteral("manual");
}

void TestDatabaseManager::writeNormalisesFields()
{
    QFETCH(QString, protocol);
    QFETCH(QString, scope);
    QFETCH(QString, source);
    QFETCH(QString, expectedProtocol);
    QFETCH(QString, expectedScope);
    QFETCH(QString, expectedSource);

    QVERIFY(openWithGroups());
    Remote added = makeRemote(QStringLiteral("added"), QStringLiteral("Added"));
    added.protocol = protocol;
    added.access_scope = scope;
    added.source_type = source;
    QVERIFY(m_db->addRemote(added));

    Remote updated = makeRemote(QStringLiteral("updated"), QStringLiteral("Updated"));
    QVERIFY(m_db->addRemote(updated));
    updated.protocol = protocol;
    updated.access_scope = scope;
    updated.source_type = source;
    QVERIFY(m_db->updateRemote(updated));

    RawConnection raw(dbPath());
    for (const QString& id : {QStringLiteral("added"), QStringLiteral("updated")}) {
        QCOMPARE(raw.texts(QStringLiteral("SELECT protocol FROM remotes WHERE id=? UNION ALL "
                                          "SELECT access_scope FROM remotes WHERE id=? UNION ALL "
                                          "SELECT source_type FROM remotes WHERE id=?"),
                           {id, id, id}),
                 QStringList({expectedProtocol, expectedScope, expectedSource}));
        const std::optional<Remote> stored = m_db->getRemote(id);
        QVERIFY(stored.has_value());
        QCOMPARE(stored->protocol, expectedProtocol);
        QCOMPARE(stored->access_scope, expectedScope);
        QCOMPARE(stored->source_type, expectedSource);
    }
}

void TestDatabaseManager::readNormalisesStoredValues_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expectedProtocol");
    QTest::addColumn<QString>("expectedScope");
    QTest::addColumn<QString>("expectedSource");

    QTest::newRow("empty and unknown")
        << QStringLiteral("") << QStringLiteral("TEAM") << QStringLiteral("other") << QStringLiteral("rdp")
        << QStringLiteral("owner") << QStringLiteral("manual");
    QTest::newRow("exact values") << QStringLiteral("ssh") << QStringLiteral("team")
                                  << QStringLiteral("vantrel") << QStringLiteral("ssh")
                                  << QStringLiteral("team") << QStringLiteral("vantrel");
    QTest::newRow("letter case") << QStringLiteral("Ssh") << QStringLiteral("Team")
                                 << QStringLiteral("VANTREL") << QStringLiteral("Ssh")
                                 << QStringLiteral("owner") << QStringLiteral("manual");
    QTest::newRow("empty scope and source")
        << QStringLiteral("rdp") << QStringLiteral("") << QStringLiteral("") << QStringLiteral("rdp")
        << QStringLiteral("owner") << QStringLiteral("manual");
}

void TestDatabaseManager::readNormalisesStoredValues()
{
    QFETCH(QString, protocol);
    QFETCH(QString, scope);
    QFETCH(QString, source);
    QFETCH(QString, expectedProtocol);
    QFETCH(QString, expectedScope);
    QFETCH(QString, expectedSource);

    QVERIFY(openWithGroups());
    {
        RawConnection raw(dbPath());
        QVERIFY(raw.exec(
            QStringLiteral("INSERT INTO remotes (id, name, host, port, group_id, protocol, "
                           "access_scope, source_type) VALUES ('r1', 'Server', 'h', 22, 'g1', ?, ?, ?)"),
            {protocol, scope, source}));
    }

    const std::optional<Remote> stored = m_db->getRemote(QStringLiteral("r1"));
    QVERIFY(stored.has_value());
    QCOMPARE(stored->protocol, expectedProtocol);
    QCOMPARE(stored->access_scope, expectedScope);
    QCOMPARE(stored->source_type, expectedSource);
    const QList<Remote> all = m_db->getAllRemotes();
    QCOMPARE(all.size(), 1);
    QCOMPARE(all.first(), *stored);
}

void TestDatabaseManager::groupsOrderedAndUpdated()
{
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QVERIFY(m_db->addGroup(makeGroup(QStringLiteral("c"), QStringLiteral("Third"), 5)));
    QVERIFY(m_db->addGroup(makeGroup(QStringLiteral("a"), QStringLiteral("First"), -1)));
    QVERIFY(m_db->addGroup(makeGroup(QStringLiteral("b"), QStringLiteral("Second"), 2)));

    QList<Group> groups = m_db->getGroups();
    QCOMPARE(groups.size(), 3);
    QCOMPARE(groups.at(0), makeGroup(QStringLiteral("a"), QStringLiteral("First"), -1));
    QCOMPARE(groups.at(1).id, QStringLiteral("b"));
    QCOMPARE(groups.at(2).id, QStringLiteral("c"));

    Group moved = makeGroup(QStringLiteral("c"), QStringLiteral("Now first"), -5);
    moved.created_at = utcTime(2030, 1, 1, 0, 0, 0);
    QVERIFY(m_db->updateGroup(moved));
    groups = m_db->getGroups();
    QCOMPARE(groups.at(0).id, QStringLiteral("c"));
    QCOMPARE(groups.at(0).name, QStringLiteral("Now first"));
    QCOMPARE(groups.at(0).sort_order, -5);
    // The creation time is not part of an update.
    QCOMPARE(groups.at(0).created_at, utcTime(2024, 1, 2, 3, 4, 5));
}

void TestDatabaseManager::addGroupDuplicateFails()
{
    QVERIFY(openWithGroups());
    QVERIFY(!m_db->addGroup(makeGroup(QStringLiteral("g1"), QStringLiteral("Again"), 9)));
    QVERIFY(m_log->contains("添加分组失败"));
    QCOMPARE(m_db->getGroups().value(0).name, QStringLiteral("Servers"));
}

void TestDatabaseManager::deleteGroupRemovesItsHosts()
{
    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemotes({makeRemote(QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("g1")),
                              makeRemote(QStringLiteral("b"), QStringLiteral("B"), QStringLiteral("g1")),
                              makeRemote(QStringLiteral("c"), QStringLiteral("C"), QStringLiteral("g2"))}));

    QVERIFY(m_db->deleteGroup(QStringLiteral("g1")));
    const QList<Group> groups = m_db->getGroups();
    QCOMPARE(groups.size(), 1);
    QCOMPARE(groups.first().id, QStringLiteral("g2"));
    QCOMPARE(idsOf(m_db->getAllRemotes()), QStringList({QStringLiteral("c")}));
    QVERIFY(m_db->getRemotesByGroup(QStringLiteral("g1")).isEmpty());

    // Deleting a group that does not exist is not an error.
    QVERIFY(m_db->deleteGroup(QStringLiteral("missing")));
    QCOMPARE(m_db->getGroups().size(), 1);
}

void TestDatabaseManager::deleteGroupRollsBackWhole()
{
    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemotes({makeRemote(QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("g1")),
                              makeRemote(QStringLiteral("b"), QStringLiteral("B"), QStringLiteral("g1"))}));
    {
        RawConnection raw(dbPath());
        QVERIFY(raw.exec(QStringLiteral("CREATE TRIGGER keep_g1 BEFORE DELETE ON groups WHEN old.id='g1' "
                                        "BEGIN SELECT RAISE(ABORT, 'g1 is locked'); END")));
    }

    // The hosts are deleted first; the failing group delete must bring them back.
    QVERIFY(!m_db->deleteGroup(QStringLiteral("g1")));
    QCOMPARE(m_db->getGroups().size(), 2);
    QCOMPARE(idsOf(m_db->getRemotesByGroup(QStringLiteral("g1"))), QStringList({"a", "b"}));

    // The connection is usable afterwards: no transaction was left open.
    QVERIFY(m_db->deleteGroup(QStringLiteral("g2")));
    m_db->close();
    QVERIFY(m_db->initialize(dbPath(), m_crypto.get()));
    QCOMPARE(m_db->getGroups().size(), 1);
}

void TestDatabaseManager::addRemoteFailures_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("groupId");

    QTest::newRow("duplicate id") << QStringLiteral("r1") << QStringLiteral("g2");
    QTest::newRow("unknown group") << QStringLiteral("r2") << QStringLiteral("nowhere");
}

void TestDatabaseManager::addRemoteFailures()
{
    QFETCH(QString, id);
    QFETCH(QString, groupId);

    QVERIFY(openWithGroups());
    const Remote original = makeRemote(QStringLiteral("r1"), QStringLiteral("Original"));
    QVERIFY(m_db->addRemote(original));

    QVERIFY(!m_db->addRemote(makeRemote(id, QStringLiteral("Rejected"), groupId)));
    QVERIFY(m_log->contains("添加远程失败"));
    const QList<Remote> all = m_db->getAllRemotes();
    QCOMPARE(all.size(), 1);
    QCOMPARE(all.first(), original);
}

void TestDatabaseManager::addRemotesIsAllOrNothing()
{
    QVERIFY(openWithGroups());
    const QList<Remote> batch = {
        makeRemote(QStringLiteral("a"), QStringLiteral("A")),
        makeRemote(QStringLiteral("b"), QStringLiteral("B"), QStringLiteral("nowhere")),
        makeRemote(QStringLiteral("c"), QStringLiteral("C"))};
    QVERIFY(!m_db->addRemotes(batch));
    QVERIFY(m_log->contains("添加远程失败"));
    QVERIFY(m_db->getAllRemotes().isEmpty());

    QList<Remote> fixed = batch;
    fixed[1].group_id = QStringLiteral("g2");
    QVERIFY(m_db->addRemotes(fixed));
    QCOMPARE(m_db->getAllRemotes(), fixed);
}

void TestDatabaseManager::emptyBatchesNeedNoTransaction()
{
    // Empty lists succeed at once, even before the database is open.
    QVERIFY(m_db->addRemotes({}));
    QVERIFY(m_db->deleteRemotes({}));

    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemote(makeRemote(QStringLiteral("a"), QStringLiteral("A"))));
    QVERIFY(m_db->addRemotes({}));
    QVERIFY(m_db->deleteRemotes({}));
    QCOMPARE(m_db->getAllRemotes().size(), 1);
}

void TestDatabaseManager::updateRemoteKeepsCreatedAt()
{
    QVERIFY(openWithGroups());
    const Remote original = makeRemote(QStringLiteral("r1"), QStringLiteral("Before"));
    QVERIFY(m_db->addRemote(original));

    Remote changed = original;
    changed.name = QStringLiteral("After");
    changed.host = QStringLiteral("10.0.0.9");
    changed.port = 2222;
    changed.group_id = QStringLiteral("g2");
    changed.created_at = utcTime(1999, 1, 1, 0, 0, 0);
    changed.updated_at = utcTime(1999, 1, 1, 0, 0, 0);
    const QDateTime before = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    QVERIFY(m_db->updateRemote(changed));
    const QDateTime after = QDateTime::currentDateTime();

    const std::optional<Remote> stored = m_db->getRemote(QStringLiteral("r1"));
    QVERIFY(stored.has_value());
    QCOMPARE(stored->name, QStringLiteral("After"));
    QCOMPARE(stored->host, QStringLiteral("10.0.0.9"));
    QCOMPARE(stored->port, 2222);
    QCOMPARE(stored->group_id, QStringLiteral("g2"));
    QCOMPARE(stored->password, original.password);
    QCOMPARE(stored->created_at, original.created_at);
    QVERIFY2(stored->updated_at >= before && stored->updated_at <= after,
             qPrintable(stored->updated_at.toString(Qt::ISODate)));
    QCOMPARE(stored->updated_at.timeSpec(), Qt::LocalTime);

    RawConnection raw(dbPath());
    const QString text = raw.value(QStringLiteral("SELECT updated_at FROM remotes")).toString();
    static const QRegularExpression localIso(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$)"));
    QVERIFY2(localIso.match(text).hasMatch(), qPrintable(text));
}

void TestDatabaseManager::deleteRemotes()
{
    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemotes({makeRemote(QStringLiteral("a"), QStringLiteral("A")),
                              makeRemote(QStringLiteral("b"), QStringLiteral("B")),
                              makeRemote(QStringLiteral("c"), QStringLiteral("C"))}));

    QVERIFY(m_db->deleteRemotes({QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("unknown")}));
    QCOMPARE(idsOf(m_db->getAllRemotes()), QStringList({QStringLiteral("b")}));
    QCOMPARE(m_db->getGroups().size(), 2);
}

void TestDatabaseManager::deleteRemotesRollsBackWhole()
{
    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemotes({makeRemote(QStringLiteral("a"), QStringLiteral("A")),
                              makeRemote(QStringLiteral("pinned"), QStringLiteral("P")),
                              makeRemote(QStringLiteral("c"), QStringLiteral("C"))}));
    {
        RawConnection raw(dbPath());
        QVERIFY(raw.exec(QStringLiteral("CREATE TRIGGER keep_pinned BEFORE DELETE ON remotes WHEN "
                                        "old.id='pinned' BEGIN SELECT RAISE(ABORT, 'pinned'); END")));
    }

    QVERIFY(!m_db->deleteRemotes({QStringLiteral("a"), QStringLiteral("pinned"), QStringLiteral("c")}));
    QCOMPARE(idsOf(m_db->getAllRemotes()), QStringList({"a", "c", "pinned"}));

    QVERIFY(m_db->deleteRemotes({QStringLiteral("a")}));
    QCOMPARE(idsOf(m_db->getAllRemotes()), QStringList({"c", "pinned"}));
}

void TestDatabaseManager::getRemoteOfUnknownId()
{
    QVERIFY(openWithGroups());
    QVERIFY(m_db->addRemote(makeRemote(QStringLiteral("r1"), QStringLiteral("Server"))));

    QVERIFY(!m_db->getRemote(QStringLiteral("r2")).has_value());
    QVERIFY(!m_db->getRemote(QStringLiteral("R1")).has_value());
    QVERIFY(!m_db->getRemote(QString()).has_value());
    QVERIFY(m_db->getRemote(QStringLiteral("r1")).has_value());
}

void TestDatabaseManager::remotesOrderedByNameBytes()
{
    QVERIFY(openWithGroups());
    const QStringList names = {QStringLiteral("b"),  QStringLiteral("Ä"), QStringLiteral("a"),
                               QStringLiteral("10"), QStringLiteral("B"), QStringLiteral("9")};
    int index = 0;
    for (const QString& name : names) {
        const QString group = index % 2 == 0 ? QStringLiteral("g1") : QStringLiteral("g2");
        QVERIFY(m_db->addRemote(makeRemote(QStringLiteral("id%1").arg(index++), name, group)));
    }

    // SQLite's binary collation: digits, capitals, small letters, then non-ASCII.
    QCOMPARE(namesOf(m_db->getAllRemotes()), QStringList({"10", "9", "B", "a", "b", "Ä"}));
    QCOMPARE(namesOf(m_db->getRemotesByGroup(QStringLiteral("g1"))), QStringList({"B", "a", "b"}));
    QCOMPARE(namesOf(m_db->getRemotesByGroup(QStringLiteral("g2"))), QStringList({"10", "9", "Ä"}));
    QVERIFY(m_db->getRemotesByGroup(QStringLiteral("missing")).isEmpty());
}

void TestDatabaseManager::remoteExistsIsExact_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("exists");

    QTest::newRow("same host and port") << QStringLiteral("Server.Example") << 3389 << true;
    QTest::newRow("other letter case") << QStringLiteral("server.example") << 3389 << false;
    QTest::newRow("other port") << QStringLiteral("Server.Example") << 3390 << false;
    QTest::newRow("leading space") << QStringLiteral(" Server.Example") << 3389 << false;
    QTest::newRow("prefix only") << QStringLiteral("Server.Exampl") << 3389 << false;
    QTest::newRow("second host") << QStringLiteral("10.0.0.5") << 22 << true;
    QTest::newRow("second host, first port") << QStringLiteral("10.0.0.5") << 3389 << false;
}

void TestDatabaseManager::remoteExistsIsExact()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, exists);

    QVERIFY(openWithGroups());
    Remote first = makeRemote(QStringLiteral("r1"), QStringLiteral("First"));
    first.host = QStringLiteral("Server.Example");
    first.port = 3389;
    Remote second = makeRemote(QStringLiteral("r2"), QStringLiteral("Second"));
    second.host = QStringLiteral("10.0.0.5");
    second.port = 22;
    QVERIFY(m_db->addRemotes({first, second}));

    QCOMPARE(m_db->remoteExists(host, port), exists);
}

void TestDatabaseManager::countsBySource()
{
    QVERIFY(openWithGroups());
    QCOMPARE(m_db->countManualRemotes(), 0);
    QCOMPARE(m_db->countVantrelRemotes(), 0);

    QVERIFY(m_db->addRemotes({makeRemote(QStringLiteral("m1"), QStringLiteral("M1")),
                              makeRemote(QStringLiteral("m2"), QStringLiteral("M2")),
                              makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("V1")),
                              makeVantrelRemote(QStringLiteral("vantrel-2"), QStringLiteral("V2")),
                              makeVantrelRemote(QStringLiteral("portal-3"), QStringLiteral("V3"))}));
    {
        // A source written by some other tool counts as manual.
        RawConnection raw(dbPath());
        QVERIFY(raw.exec(QStringLiteral("INSERT INTO remotes (id, name, host, group_id, source_type) VALUES "
                                        "('x1', 'X', 'x.example', 'g1', 'imported')")));
    }
    QCOMPARE(m_db->countManualRemotes(), 3);
    QCOMPARE(m_db->countVantrelRemotes(), 3);
}

void TestDatabaseManager::replaceVantrelRemotesWithEmptyList()
{
    QVERIFY(openWithGroups());
    const Remote manual = makeRemote(QStringLiteral("m1"), QStringLiteral("Manual"));
    // Deletion goes by source, not by id prefix.
    const Remote prefixed = makeRemote(QStringLiteral("vantrel-looking"), QStringLiteral("Manual too"));
    QVERIFY(m_db->addRemotes({manual, prefixed,
                              makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("V1")),
                              makeVantrelRemote(QStringLiteral("other-id"), QStringLiteral("V2"))}));

    QVERIFY(m_db->replaceVantrelRemotes({}));
    QCOMPARE(m_db->countVantrelRemotes(), 0);
    QCOMPARE(m_db->getAllRemotes(), QList<Remote>({manual, prefixed}));

    // Nothing left to remove is still a success.
    QVERIFY(m_db->replaceVantrelRemotes({}));
    QCOMPARE(m_db->countManualRemotes(), 2);
}

void TestDatabaseManager::replaceVantrelRemotesSyncsList()
{
    QVERIFY(openWithGroups());
    const Remote manual = makeRemote(QStringLiteral("m1"), QStringLiteral("Manual"));
    const Remote manualOther =
        makeRemote(QStringLiteral("m2"), QStringLiteral("Manual 2"), QStringLiteral("g2"));
    const Remote kept = makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("Old name"));
    QVERIFY(m_db->addRemotes({manual, manualOther, kept,
                              makeVantrelRemote(QStringLiteral("vantrel-2"), QStringLiteral("Dropped"))}));

    Remote renamed = kept;
    renamed.name = QStringLiteral("New name");
    renamed.password = QStringLiteral("rotated");
    renamed.source_type = QStringLiteral("manual");
    renamed.created_at = utcTime(2001, 1, 1, 0, 0, 0);
    Remote added = makeRemote(QStringLiteral("vantrel-3"), QStringLiteral("Added"));
    const QDateTime before = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    QVERIFY(m_db->replaceVantrelRemotes({renamed, added}));

    QCOMPARE(m_db->countVantrelRemotes(), 2);
    QVERIFY(!m_db->getRemote(QStringLiteral("vantrel-2")).has_value());

    const std::optional<Remote> updated = m_db->getRemote(QStringLiteral("vantrel-1"));
    QVERIFY(updated.has_value());
    QCOMPARE(updated->name, QStringLiteral("New name"));
    QCOMPARE(updated->password, QStringLiteral("rotated"));
    QCOMPARE(updated->source_type, QStringLiteral("vantrel"));
    QCOMPARE(updated->created_at, kept.created_at);
    QVERIFY(updated->updated_at >= before);

    const std::optional<Remote> inserted = m_db->getRemote(QStringLiteral("vantrel-3"));
    QVERIFY(inserted.has_value());
    Remote expectedInsert = added;
    expectedInsert.source_type = QStringLiteral("vantrel");
    QCOMPARE(*inserted, expectedInsert);

    QCOMPARE(m_db->getRemote(QStringLiteral("m1")), std::optional<Remote>(manual));
    QCOMPARE(m_db->getRemote(QStringLiteral("m2")), std::optional<Remote>(manualOther));
    QCOMPARE(m_db->countManualRemotes(), 2);
}

void TestDatabaseManager::replaceVantrelRemotesNeverTakesAManualHost()
{
    QVERIFY(openWithGroups());
    // A manual host whose id happens to look like a portal id.
    const Remote manual = makeRemote(QStringLiteral("vantrel-looking"), QStringLiteral("Mine"));
    QVERIFY(m_db->addRemote(manual));

    Remote fromPortal = makeVantrelRemote(QStringLiteral("vantrel-looking"), QStringLiteral("Portal"));
    fromPortal.host = QStringLiteral("203.0.113.9");
    const Remote other = makeVantrelRemote(QStringLiteral("vantrel-2"), QStringLiteral("Other"));
    QVERIFY(m_db->replaceVantrelRemotes({fromPortal, other}));
    QCOMPARE(m_db->getRemote(QStringLiteral("vantrel-looking")), std::optional<Remote>(manual));
    QVERIFY(m_db->getRemote(QStringLiteral("vantrel-2")).has_value());

    // Nor does a later sync that no longer lists it delete it.
    QVERIFY(m_db->replaceVantrelRemotes({}));
    QCOMPARE(m_db->getAllRemotes(), QList<Remote>({manual}));
}

void TestDatabaseManager::replaceVantrelRemotesKeepsPinnedCertificate()
{
    QVERIFY(openWithGroups());
    Remote pinned = makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("Pinned"));
    pinned.rdp_certificate_fingerprint = QStringLiteral("ab:cd");
    Remote moved = makeVantrelRemote(QStringLiteral("vantrel-2"), QStringLiteral("Moved"));
    moved.rdp_certificate_fingerprint = QStringLiteral("12:34");
    QVERIFY(m_db->addRemotes({pinned, moved}));

    // The portal knows nothing of pinned certificates.
    Remote pinnedAgain = pinned;
    pinnedAgain.rdp_certificate_fingerprint.clear();
    pinnedAgain.name = QStringLiteral("Renamed");
    Remote movedAgain = moved;
    movedAgain.rdp_certificate_fingerprint.clear();
    movedAgain.host = QStringLiteral("198.51.100.20");
    QVERIFY(m_db->replaceVantrelRemotes({pinnedAgain, movedAgain}));

    QCOMPARE(m_db->getRemote(QStringLiteral("vantrel-1"))->rdp_certificate_fingerprint,
             QStringLiteral("ab:cd"));
    QCOMPARE(m_db->getRemote(QStringLiteral("vantrel-1"))->name, QStringLiteral("Renamed"));
    // Another address is another machine: its certificate is learnt afresh.
    QVERIFY(m_db->getRemote(QStringLiteral("vantrel-2"))->rdp_certificate_fingerprint.isEmpty());
}

void TestDatabaseManager::replaceVantrelRemotesRollsBackWhole()
{
    QVERIFY(openWithGroups());
    const Remote manual = makeRemote(QStringLiteral("m1"), QStringLiteral("Manual"));
    const Remote first = makeVantrelRemote(QStringLiteral("vantrel-1"), QStringLiteral("First"));
    const Remote second = makeVantrelRemote(QStringLiteral("vantrel-2"), QStringLiteral("Second"));
    QVERIFY(m_db->addRemotes({manual, first, second}));
    const QList<Remote> before = m_db->getAllRemotes();

    Remote renamed = first;
    renamed.name = QStringLiteral("Renamed");
    const Remote fresh = makeVantrelRemote(QStringLiteral("vantrel-3"), QStringLiteral("Fresh"));
    const Remote broken =
        makeRemote(QStringLiteral("vantrel-4"), QStringLiteral("Broken"), QStringLiteral("nowhere"));
    QVERIFY(!m_db->replaceVantrelRemotes({renamed, fresh, broken}));

    // Neither the update, the insert nor the pending delete of vantrel-2 survived.
    QCOMPARE(m_db->getAllRemotes(), before);

    QVERIFY(m_db->replaceVantrelRemotes({renamed}));
    QCOMPARE(idsOf(m_db->getAllRemotes()), QStringList({"m1", "vantrel-1"}));
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], kReadOnlyHelperSwitch) == 0) {
        QCoreApplication app(argc, argv);
        return openReadOnlyDatabase(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    TestDatabaseManager test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_database_manager.moc"
