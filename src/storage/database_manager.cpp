#include "storage/database_manager.h"

#include "logger.h"
#include "storage/crypto_manager.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <sqlite3.h>

namespace {

const QString kRemoteColumns = QStringLiteral(
    "SELECT id, name, host, port, username, password, remark, group_id, mac_address, created_at, "
    "updated_at, legacy_rdp_security, protocol, agent_device_id, rdp_certificate_fingerprint, "
    "access_scope, source_type ");

// Qt binds a null QString as SQL NULL; the key and name columns must hold text.
QString nonNullText(const QString& value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

QString encodeTime(const QDateTime& time)
{
    return nonNullText(time.toString(Qt::ISODate));
}

QDateTime decodeTime(const QString& value)
{
    return QDateTime::fromString(value, Qt::ISODate);
}

// One row of the remote columns as Qt's SQL layer holds it.
struct QueryRow
{
    const QSqlQuery& query;
    QString text(int column) const { return query.value(column).toString(); }
    int integer(int column) const { return query.value(column).toInt(); }
};

// One row of the remote columns straight from SQLite, without a QVariant per value: the listing of
// thousands of hosts spends most of its time there otherwise.
struct StatementRow
{
    sqlite3_stmt* statement;
    QString text(int column) const
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return bytes == nullptr ? QString()
                                : QString::fromUtf8(bytes, sqlite3_column_bytes(statement, column));
    }
    int integer(int column) const { return sqlite3_column_int(statement, column); }
};

QString normalizedProtocol(const QString& protocol)
{
    return protocol.isEmpty() ? QStringLiteral("rdp") : protocol;
}

QString normalizedAccessScope(const QString& scope)
{
    return scope == QLatin1String("team") ? QStringLiteral("team") : QStringLiteral("owner");
}

QString normalizedSourceType(const QString& source)
{
    return source == QLatin1String("vantrel") ? QStringLiteral("vantrel") : QStringLiteral("manual");
}

bool execStatement(QSqlDatabase& db, const QString& statement)
{
    QSqlQuery query(db);
    return query.exec(statement);
}

// Deletes the hosts `ids` and what the sync knew of them, inside the caller's transaction.
bool deleteRemoteRows(QSqlDatabase& db, const QStringList& ids)
{
    QSqlQuery remote(db);
    QSqlQuery origin(db);
    if (!remote.prepare(QStringLiteral("DELETE FROM remotes WHERE id=?")) ||
        !origin.prepare(QStringLiteral("DELETE FROM sync_origins WHERE remote_id=?"))) {
        return false;
    }
    for (const QString& id : ids) {
        remote.bindValue(0, nonNullText(id));
        origin.bindValue(0, nonNullText(id));
        if (!remote.exec() || !origin.exec()) {
            return false;
        }
    }
    return true;
}

// The columns name … mac_address, in statement order; insert and update share them.
void bindHostColumns(QSqlQuery& query, const Remote& remote, const QString& sealedPassword)
{
    query.addBindValue(nonNullText(remote.name));
    query.addBindValue(nonNullText(remote.host));
    query.addBindValue(remote.port);
    query.addBindValue(remote.username);
    query.addBindValue(sealedPassword);
    query.addBindValue(remote.remark);
    query.addBindValue(nonNullText(remote.group_id));
    query.addBindValue(remote.mac_address);
}

// The columns legacy_rdp_security … source_type, normalised as they are stored.
void bindFlagColumns(QSqlQuery& query, const Remote& remote)
{
    query.addBindValue(remote.legacy_rdp_security);
    query.addBindValue(normalizedProtocol(remote.protocol));
    query.addBindValue(remote.agent_device_id);
    query.addBindValue(remote.rdp_certificate_fingerprint);
    query.addBindValue(normalizedAccessScope(remote.access_scope));
    query.addBindValue(normalizedSourceType(remote.source_type));
}

} // namespace

DatabaseManager::DatabaseManager(QObject* parent) : QObject(parent)
{
    static const bool registered = [] {
        qRegisterMetaType<Remote>();
        qRegisterMetaType<QList<Remote>>();
        qRegisterMetaType<Group>();
        qRegisterMetaType<QList<Group>>();
        return true;
    }();
    Q_UNUSED(registered);
}

DatabaseManager::~DatabaseManager()
{
    close();
}

bool DatabaseManager::initialize(const QString& path, CryptoManager* crypto)
{
    if (crypto == nullptr) {
        SPDLOG_ERROR("数据库初始化失败: 缺少凭据加密服务");
        return false;
    }
    close();

    // Merely reading a WAL-mode file makes SQLite create its -wal and -shm files, and on a file it
    // may not write they inherit the read-only mode and would break the next start. A failed
    // attempt removes again those it created itself.
    const QString walPath = path + QStringLiteral("-wal");
    const QString shmPath = path + QStringLiteral("-shm");
    const bool hadWal = QFile::exists(walPath);
    const bool hadShm = QFile::exists(shmPath);
    const auto fail = [&] {
        close();
        if (!hadWal && QFileInfo(walPath).size() == 0) {
            QFile::remove(walPath);
        }
        if (!hadShm && !QFile::exists(walPath)) {
            QFile::remove(shmPath);
        }
        return false;
    };

    m_crypto = crypto;
    m_connectionName = QStringLiteral("nimbara-%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(path);
    if (!m_db.open()) {
        SPDLOG_ERROR("数据库打开失败: {}", m_db.lastError().text());
        return fail();
    }

    bool foreignKeysOn = false;
    QString foreignKeyError;
    {
        QSqlQuery query(m_db);
        foreignKeysOn = query.exec(QStringLiteral("PRAGMA foreign_keys=ON"));
        foreignKeyError = query.lastError().text();
    }
    if (!foreignKeysOn) {
        SPDLOG_ERROR("启用SQLite外键约束失败: {}", foreignKeyError);
        return fail();
    }

    QString writeError;
    if (isReadOnlyDatabase(&writeError)) {
        SPDLOG_ERROR("数据库打开失败: {}", writeError);
        return fail();
    }

    if (!createTables()) {
        return fail();
    }

    execStatement(m_db, QStringLiteral("PRAGMA journal_mode=WAL"));
    execStatement(m_db, QStringLiteral("PRAGMA synchronous=NORMAL"));
    return true;
}

namespace {

// SQLite's primary result code of a failed statement; extended codes keep it in the low byte.
int sqliteResultCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xFF) : -1;
}

constexpr int kSqliteReadOnly = 8;

} // namespace

bool DatabaseManager::isReadOnlyDatabase(QString* error)
{
    // SQLite opens a file it may not write read-only without a word, and even "BEGIN IMMEDIATE"
    // succeeds on it; only a real write tells. Writing user_version back unchanged inside a
    // transaction that is rolled back leaves the file as it was. Only SQLite's read-only error counts:
    // a database another program is writing to (a backup tool, the sqlite3 shell) is busy, not
    // read-only, and opens; the check does not wait for it.
    QSqlQuery query(m_db);
    int busyTimeout = -1;
    if (query.exec(QStringLiteral("PRAGMA busy_timeout")) && query.next()) {
        busyTimeout = query.value(0).toInt();
    }
    query.finish();
    query.exec(QStringLiteral("PRAGMA busy_timeout=0"));

    QSqlError failure;
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        failure = query.lastError();
    } else {
        bool written = false;
        if (query.exec(QStringLiteral("PRAGMA user_version")) && query.next()) {
            const int version = query.value(0).toInt();
            query.finish();
            written = query.exec(QStringLiteral("PRAGMA user_version=%1").arg(version));
        }
        if (!written) {
            failure = query.lastError();
        }
        query.finish();
        query.exec(QStringLiteral("ROLLBACK"));
    }
    if (busyTimeout >= 0) {
        query.exec(QStringLiteral("PRAGMA busy_timeout=%1").arg(busyTimeout));
    }
    if (sqliteResultCode(failure) != kSqliteReadOnly) {
        if (failure.isValid()) {
            SPDLOG_WARN("数据库正被其他程序使用: {}", failure.text());
        }
        return false;
    }
    *error = failure.text();

    // A file that is not a database at all cannot be read either; that is for the table creation
    // to report.
    QSqlQuery schema(m_db);
    return schema.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) && schema.next();
}

bool DatabaseManager::createTables()
{
    if (!m_db.isOpen()) {
        return false;
    }

    {
        QSqlQuery query(m_db);
        if (!query.exec(
                QStringLiteral("CREATE TABLE IF NOT EXISTS groups (  id TEXT PRIMARY KEY,  name TEXT NOT "
                               "NULL,  sort_order INTEGER DEFAULT 0,  created_at TEXT DEFAULT "
                               "(datetime('now')))"))) {
            SPDLOG_ERROR("创建groups表失败: {}", query.lastError().text());
            return false;
        }
    }

    {
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral(
                "CREATE TABLE IF NOT EXISTS remotes (  id TEXT PRIMARY KEY,  name TEXT NOT NULL,  host TEXT "
                "NOT NULL,  port INTEGER DEFAULT 3389,  username TEXT,  password TEXT,  remark TEXT,  "
                "group_id TEXT NOT NULL,  mac_address TEXT,  created_at TEXT DEFAULT (datetime('now')),  "
                "updated_at TEXT DEFAULT (datetime('now')),  legacy_rdp_security INTEGER DEFAULT 0,  "
                "protocol TEXT NOT NULL DEFAULT 'rdp',  agent_device_id TEXT,  rdp_certificate_fingerprint "
                "TEXT,  access_scope TEXT NOT NULL DEFAULT 'owner',  source_type TEXT NOT NULL DEFAULT "
                "'manual',  FOREIGN KEY (group_id) REFERENCES groups(id))"))) {
            SPDLOG_ERROR("创建remotes表失败: {}", query.lastError().text());
            return false;
        }
    }

    // Files of earlier versions lack these columns; on a current file each statement fails
    // harmlessly because the column exists.
    const QStringList migrations = {
        QStringLiteral("ALTER TABLE remotes ADD COLUMN legacy_rdp_security INTEGER DEFAULT 0"),
        QStringLiteral("ALTER TABLE remotes ADD COLUMN protocol TEXT NOT NULL DEFAULT 'rdp'"),
        QStringLiteral("ALTER TABLE remotes ADD COLUMN agent_device_id TEXT"),
        QStringLiteral("ALTER TABLE remotes ADD COLUMN rdp_certificate_fingerprint TEXT"),
        QStringLiteral("ALTER TABLE remotes ADD COLUMN access_scope TEXT NOT NULL DEFAULT 'owner'"),
        QStringLiteral("ALTER TABLE remotes ADD COLUMN source_type TEXT NOT NULL DEFAULT 'manual'"),
    };
    for (const QString& migration : migrations) {
        execStatement(m_db, migration);
    }

    // Earlier partner-portal imports are known only by their id prefix.
    execStatement(m_db, QStringLiteral("UPDATE remotes SET source_type='vantrel' WHERE id LIKE 'vantrel-%'"));

    execStatement(m_db, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_remotes_group ON remotes(group_id)"));
    execStatement(m_db, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_remotes_host ON remotes(host)"));

    {
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sync_origins (  remote_id TEXT PRIMARY "
                                       "KEY,  account_id TEXT NOT NULL)"))) {
            SPDLOG_ERROR("创建 sync_origins 表失败: {}", query.lastError().text());
            return false;
        }
    }
    {
        QSqlQuery query(m_db);
        if (!query.exec(
                QStringLiteral("CREATE TABLE IF NOT EXISTS sync_baseline (  account_id TEXT NOT NULL,  "
                               "item_id TEXT NOT NULL,  digest TEXT NOT NULL,  PRIMARY KEY "
                               "(account_id, item_id))"))) {
            SPDLOG_ERROR("创建 sync_baseline 表失败: {}", query.lastError().text());
            return false;
        }
    }
    {
        QSqlQuery query(m_db);
        if (!query.exec(
                QStringLiteral("CREATE TABLE IF NOT EXISTS agent_credential_profiles (  profile_id TEXT "
                               "PRIMARY KEY,  username TEXT NOT NULL,  password TEXT NOT NULL,  "
                               "created_at TEXT NOT NULL)"))) {
            SPDLOG_ERROR("创建 Agent 凭据配置失败: {}", query.lastError().text());
            return false;
        }
    }
    return true;
}

std::unique_ptr<DatabaseManager> DatabaseManager::openForThisThread() const
{
    if (m_connectionName.isEmpty()) {
        return nullptr;
    }
    auto other = std::make_unique<DatabaseManager>();
    other->m_crypto = m_crypto;
    other->m_connectionName =
        QStringLiteral("nimbara-%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
    // The clone by name may be made on another thread than the one that owns the original.
    other->m_db = QSqlDatabase::cloneDatabase(m_connectionName, other->m_connectionName);
    if (!other->m_db.open() || !execStatement(other->m_db, QStringLiteral("PRAGMA foreign_keys=ON"))) {
        SPDLOG_ERROR("数据库第二连接打开失败: {}", other->m_db.lastError().text());
        return nullptr;
    }
    execStatement(other->m_db, QStringLiteral("PRAGMA synchronous=NORMAL"));
    return other;
}

bool DatabaseManager::beginTransaction(bool immediate)
{
    if (!m_db.isOpen()) {
        return false;
    }
    if (m_transactionDepth > 0) {
        ++m_transactionDepth; // joins the caller's transaction
        return true;
    }
    // IMMEDIATE takes the write lock before the first read, so what is read inside cannot change before
    // the writes that depend on it.
    const bool begun =
        execStatement(m_db, immediate ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
    if (begun) {
        m_transactionDepth = 1;
        m_transactionFailed = false;
    }
    return begun;
}

bool DatabaseManager::commitTransaction()
{
    if (m_transactionDepth > 1) {
        --m_transactionDepth;
        return !m_transactionFailed;
    }
    m_transactionDepth = 0;
    if (!m_transactionFailed && execStatement(m_db, QStringLiteral("COMMIT"))) {
        return true;
    }
    // A failed commit leaves the transaction open; never let later statements run inside it.
    execStatement(m_db, QStringLiteral("ROLLBACK"));
    return false;
}

bool DatabaseManager::rollbackTransaction()
{
    if (m_transactionDepth > 1) {
        // The outer transaction is rolled back as a whole when it ends.
        --m_transactionDepth;
        m_transactionFailed = true;
        return false;
    }
    m_transactionDepth = 0;
    execStatement(m_db, QStringLiteral("ROLLBACK"));
    return false;
}

bool DatabaseManager::inTransaction(const std::function<bool()>& work)
{
    if (!beginTransaction(true)) {
        SPDLOG_ERROR("无法开始数据库事务: {}", m_db.lastError().text());
        return false;
    }
    if (!work()) {
        return rollbackTransaction();
    }
    return commitTransaction();
}

void DatabaseManager::close()
{
    if (m_db.isOpen()) {
        m_db.close();
    }
    if (!m_connectionName.isEmpty()) {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        m_connectionName.clear();
    }
}

QList<Group> DatabaseManager::getGroups()
{
    QList<Group> groups;
    if (!m_db.isOpen()) {
        return groups;
    }
    QSqlQuery query(m_db);
    if (!query.exec(
            QStringLiteral("SELECT id, name, sort_order, created_at FROM groups ORDER BY sort_order"))) {
        return groups;
    }
    while (query.next()) {
        Group group;
        group.id = query.value(0).toString();
        group.name = query.value(1).toString();
        group.sort_order = query.value(2).toInt();
        group.created_at = decodeTime(query.value(3).toString());
        groups.append(group);
    }
    return groups;
}

bool DatabaseManager::addGroup(const Group& group)
{
    if (!m_db.isOpen()) {
        return false;
    }
    QSqlQuery query(m_db);
    query.prepare(
        QStringLiteral("INSERT INTO groups (id, name, sort_order, created_at) VALUES (?, ?, ?, ?)"));
    query.addBindValue(nonNullText(group.id));
    query.addBindValue(nonNullText(group.name));
    query.addBindValue(group.sort_order);
    query.addBindValue(encodeTime(group.created_at));
    if (!query.exec()) {
        SPDLOG_ERROR("添加分组失败: {}", query.lastError().text());
        return false;
    }
    return true;
}

bool DatabaseManager::updateGroup(const Group& group)
{
    if (!m_db.isOpen()) {
        return false;
    }
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE groups SET name=?, sort_order=? WHERE id=?"));
    query.addBindValue(nonNullText(group.name));
    query.addBindValue(group.sort_order);
    query.addBindValue(nonNullText(group.id));
    return query.exec();
}

bool DatabaseManager::deleteGroup(const QString& groupId)
{
    if (!m_db.isOpen() || !beginTransaction()) {
        return false;
    }
    // Hosts go with their group; with foreign keys on, the group could not be deleted otherwise.
    {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("DELETE FROM remotes WHERE group_id=?"));
        query.addBindValue(nonNullText(groupId));
        if (!query.exec()) {
            return rollbackTransaction();
        }
    }
    {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("DELETE FROM groups WHERE id=?"));
        query.addBindValue(nonNullText(groupId));
        if (!query.exec()) {
            return rollbackTransaction();
        }
    }
    return commitTransaction();
}

bool DatabaseManager::addRemote(const Remote& remote)
{
    if (!m_db.isOpen()) {
        return false;
    }
    bool sealed = false;
    const QString password = sealPassword(remote.password, &sealed);
    if (!sealed) {
        SPDLOG_ERROR("添加远程失败: {}", QStringLiteral("密码无法加密"));
        return false;
    }

    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "INSERT INTO remotes (id, name, host, port, username, password, remark, group_id, mac_address, "
        "created_at, updated_at, legacy_rdp_security, protocol, agent_device_id, "
        "rdp_certificate_fingerprint, "
        "access_scope, source_type) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
    query.addBindValue(nonNullText(remote.id));
    bindHostColumns(query, remote, password);
    query.addBindValue(encodeTime(remote.created_at));
    query.addBindValue(encodeTime(remote.updated_at));
    bindFlagColumns(query, remote);
    if (!query.exec()) {
        SPDLOG_ERROR("添加远程失败: {}", query.lastError().text());
        return false;
    }
    return true;
}

bool DatabaseManager::addRemotes(const QList<Remote>& remotes)
{
    return addGroupsAndRemotes({}, remotes);
}

bool DatabaseManager::addGroupsAndRemotes(const QList<Group>& groups, const QList<Remote>& remotes)
{
    if (groups.isEmpty() && remotes.isEmpty()) {
        return true;
    }
    if (!m_db.isOpen() || !beginTransaction()) {
        return false;
    }
    for (const Group& group : groups) {
        if (!addGroup(group)) {
            return rollbackTransaction();
        }
    }
    for (const Remote& remote : remotes) {
        if (!addRemote(remote)) {
            return rollbackTransaction();
        }
    }
    return commitTransaction();
}

bool DatabaseManager::updateRemote(const Remote& remote, UpdatedAt updatedAt)
{
    if (!m_db.isOpen()) {
        return false;
    }
    bool sealed = false;
    QString password;
    if (remote.password.isEmpty() && m_crypto != nullptr && m_crypto->isLocked()) {
        // A record read while the program is locked carries no password: keep the sealed one
        // instead of erasing it.
        QSqlQuery stored(m_db);
        stored.prepare(QStringLiteral("SELECT password FROM remotes WHERE id=?"));
        stored.addBindValue(nonNullText(remote.id));
        sealed = stored.exec();
        password = sealed && stored.next() ? stored.value(0).toString() : QStringLiteral("");
    } else {
        password = sealPassword(remote.password, &sealed);
    }
    if (!sealed) {
        return false;
    }

    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "UPDATE remotes SET name=?, host=?, port=?, username=?, password=?, remark=?, group_id=?, "
        "mac_address=?, updated_at=?, legacy_rdp_security=?, protocol=?, agent_device_id=?, "
        "rdp_certificate_fingerprint=?, access_scope=?, source_type=? WHERE id=?"));
    bindHostColumns(query, remote, password);
    query.addBindValue(updatedAt == UpdatedAt::Keep ? encodeTime(remote.updated_at)
                                                    : QDateTime::currentDateTime().toString(Qt::ISODate));
    bindFlagColumns(query, remote);
    query.addBindValue(nonNullText(remote.id));
    return query.exec();
}

bool DatabaseManager::clearPasswords()
{
    if (!m_db.isOpen()) {
        return false;
    }
    QSqlQuery query(m_db);
    return query.exec(QStringLiteral("UPDATE remotes SET password='' WHERE password<>''"));
}

bool DatabaseManager::deleteRemotes(const QStringList& ids)
{
    if (ids.isEmpty()) {
        return true;
    }
    if (!m_db.isOpen() || !beginTransaction()) {
        return false;
    }
    if (!deleteRemoteRows(m_db, ids)) {
        return rollbackTransaction();
    }
    return commitTransaction();
}

QHash<QString, QString> DatabaseManager::syncOrigins()
{
    QHash<QString, QString> origins;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (m_db.isOpen() && query.exec(QStringLiteral("SELECT remote_id, account_id FROM sync_origins"))) {
        while (query.next()) {
            origins.insert(query.value(0).toString(), query.value(1).toString());
        }
    }
    return origins;
}

bool DatabaseManager::setSyncOrigin(const QStringList& ids, const QString& origin)
{
    if (ids.isEmpty()) {
        return true;
    }
    if (!m_db.isOpen() || !beginTransaction()) {
        return false;
    }
    QSqlQuery query(m_db);
    query.prepare(
        origin.isEmpty()
            ? QStringLiteral("DELETE FROM sync_origins WHERE remote_id=?")
            : QStringLiteral("INSERT OR REPLACE INTO sync_origins (remote_id, account_id) VALUES (?, ?)"));
    for (const QString& id : ids) {
        query.bindValue(0, nonNullText(id));
        if (!origin.isEmpty()) {
            query.bindValue(1, origin);
        }
        if (!query.exec()) {
            return rollbackTransaction();
        }
    }
    return commitTransaction();
}

std::optional<QHash<QString, QString>> DatabaseManager::syncBaseline(const QString& account)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!m_db.isOpen() ||
        !query.prepare(QStringLiteral("SELECT item_id, digest FROM sync_baseline WHERE account_id=?"))) {
        return std::nullopt;
    }
    query.addBindValue(nonNullText(account));
    if (!query.exec()) {
        return std::nullopt;
    }
    QHash<QString, QString> baseline;
    bool recorded = false;
    while (query.next()) {
        const QString item = query.value(0).toString();
        if (item == QLatin1String(kBaselineMarker)) {
            recorded = true;
        } else {
            baseline.insert(item, query.value(1).toString());
        }
    }
    if (!recorded) {
        return std::nullopt;
    }
    return baseline;
}

bool DatabaseManager::setSyncBaseline(const QString& account, const QHash<QString, QString>& baseline)
{
    if (!m_db.isOpen() || !beginTransaction()) {
        return false;
    }
    QSqlQuery clear(m_db);
    QSqlQuery insert(m_db);
    if (!clear.prepare(QStringLiteral("DELETE FROM sync_baseline WHERE account_id=?")) ||
        !insert.prepare(
            QStringLiteral("INSERT INTO sync_baseline (account_id, item_id, digest) VALUES (?, ?, ?)"))) {
        return rollbackTransaction();
    }
    clear.addBindValue(nonNullText(account));
    if (!clear.exec()) {
        return rollbackTransaction();
    }
    // The marker tells "agreed on nothing" apart from "never synced here".
    const auto write = [&](const QString& item, const QString& digest) {
        insert.bindValue(0, nonNullText(account));
        insert.bindValue(1, item);
        insert.bindValue(2, nonNullText(digest));
        return insert.exec();
    };
    if (!write(QString::fromLatin1(kBaselineMarker), QString())) {
        return rollbackTransaction();
    }
    for (auto it = baseline.constBegin(); it != baseline.constEnd(); ++it) {
        if (!write(it.key(), it.value())) {
            return rollbackTransaction();
        }
    }
    return commitTransaction();
}

std::optional<Remote> DatabaseManager::getRemote(const QString& id)
{
    if (!m_db.isOpen()) {
        return std::nullopt;
    }
    QSqlQuery query(m_db);
    query.prepare(kRemoteColumns + QStringLiteral("FROM remotes WHERE id=?"));
    query.addBindValue(nonNullText(id));
    if (!query.exec() || !query.next()) {
        return std::nullopt;
    }
    return readRemote(QueryRow{query}, Passwords::Open, Times::Read);
}

QList<Remote> DatabaseManager::getAllRemotes(Passwords passwords, Times times)
{
    return listRemotes(QString(), QString(), passwords, times);
}

QList<Remote> DatabaseManager::getRemotesByGroup(const QString& groupId, Passwords passwords, Times times)
{
    return listRemotes(QStringLiteral("WHERE group_id=? "), nonNullText(groupId), passwords, times);
}

QList<Remote> DatabaseManager::listRemotes(const QString& condition, const QString& bound,
                                           Passwords passwords, Times times)
{
    QList<Remote> remotes;
    sqlite3* handle = sqliteHandle();
    if (handle == nullptr) {
        return remotes;
    }
    // Without passwords the sealed column is not even read: it is the widest one.
    QString columns = kRemoteColumns;
    if (passwords == Passwords::Skip) {
        columns.replace(QStringLiteral("username, password,"), QStringLiteral("username, NULL,"));
    }
    if (times == Times::Skip) {
        columns.replace(QStringLiteral("created_at, updated_at,"), QStringLiteral("NULL, NULL,"));
    }
    const QByteArray sql =
        (columns + QStringLiteral("FROM remotes ") + condition + QStringLiteral("ORDER BY name")).toUtf8();
    const QByteArray boundText = bound.toUtf8();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.constData(), static_cast<int>(sql.size()), &statement, nullptr) !=
            SQLITE_OK ||
        (!condition.isEmpty() &&
         sqlite3_bind_text(statement, 1, boundText.constData(), static_cast<int>(boundText.size()),
                           SQLITE_STATIC) != SQLITE_OK)) {
        sqlite3_finalize(statement);
        return remotes;
    }
    // Room for every row at once: a growing list moves all its records at each step.
    QSqlQuery count(m_db);
    count.prepare(QStringLiteral("SELECT COUNT(*) FROM remotes ") + condition);
    if (!condition.isEmpty()) {
        count.addBindValue(bound);
    }
    if (count.exec() && count.next()) {
        remotes.reserve(count.value(0).toInt());
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        remotes.append(readRemote(StatementRow{statement}, passwords, times));
    }
    sqlite3_finalize(statement);
    // A listing cut short is no listing.
    return step == SQLITE_DONE ? remotes : QList<Remote>();
}

bool DatabaseManager::remoteExists(const QString& host, int port)
{
    if (!m_db.isOpen()) {
        return false;
    }
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT 1 FROM remotes WHERE host=? AND port=? LIMIT 1"));
    query.addBindValue(nonNullText(host));
    query.addBindValue(port);
    return query.exec() && query.next();
}

int DatabaseManager::countManualRemotes()
{
    return countRemotes(QStringLiteral("SELECT COUNT(*) FROM remotes WHERE source_type!='vantrel'"));
}

int DatabaseManager::countVantrelRemotes()
{
    return countRemotes(QStringLiteral("SELECT COUNT(*) FROM remotes WHERE source_type='vantrel'"));
}

bool DatabaseManager::replaceVantrelRemotes(const QList<Remote>& remotes)
{
    if (!m_db.isOpen() || !beginTransaction()) {
        return false;
    }

    QSet<QString> incomingIds;
    for (const Remote& incoming : remotes) {
        Remote remote = incoming;
        remote.source_type = QStringLiteral("vantrel");
        incomingIds.insert(nonNullText(remote.id));

        bool exists = false;
        {
            QSqlQuery query(m_db);
            query.prepare(QStringLiteral(
                "SELECT source_type, host, port, rdp_certificate_fingerprint FROM remotes WHERE id=?"));
            query.addBindValue(nonNullText(remote.id));
            if (!query.exec()) {
                return rollbackTransaction();
            }
            exists = query.next();
            if (exists && query.value(0).toString() != QLatin1String("vantrel")) {
                // A portal sync never changes a host the user owns, whatever its id.
                SPDLOG_WARN("门户服务器 {} 与本机手动主机编号相同，已跳过", remote.id);
                incomingIds.remove(nonNullText(remote.id));
                continue;
            }
            // The certificate pinned at the first connection stays while the address does.
            if (exists && query.value(1).toString() == remote.host && query.value(2).toInt() == remote.port &&
                remote.rdp_certificate_fingerprint.isEmpty()) {
                remote.rdp_certificate_fingerprint = query.value(3).toString();
            }
        }
        if (!(exists ? updateRemote(remote) : addRemote(remote))) {
            return rollbackTransaction();
        }
    }

    QStringList staleIds;
    {
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("SELECT id FROM remotes WHERE source_type='vantrel'"))) {
            return rollbackTransaction();
        }
        while (query.next()) {
            const QString id = query.value(0).toString();
            if (!incomingIds.contains(id)) {
                staleIds.append(id);
            }
        }
    }

    if (!deleteRemoteRows(m_db, staleIds)) {
        return rollbackTransaction();
    }
    return commitTransaction();
}

template <typename Row>
Remote DatabaseManager::readRemote(const Row& row, Passwords passwords, Times times) const
{
    Remote remote;
    remote.id = row.text(0);
    remote.name = row.text(1);
    remote.host = row.text(2);
    remote.port = row.integer(3);
    remote.username = row.text(4);
    if (passwords == Passwords::Open) {
        remote.password = openPassword(row.text(5));
    }
    remote.remark = row.text(6);
    remote.group_id = row.text(7);
    remote.mac_address = row.text(8);
    if (times == Times::Read) {
        remote.created_at = decodeTime(row.text(9));
        remote.updated_at = decodeTime(row.text(10));
    }
    remote.legacy_rdp_security = row.integer(11) != 0;
    remote.protocol = normalizedProtocol(row.text(12));
    remote.agent_device_id = row.text(13);
    remote.rdp_certificate_fingerprint = row.text(14);
    remote.access_scope = normalizedAccessScope(row.text(15));
    remote.source_type = normalizedSourceType(row.text(16));
    return remote;
}

sqlite3* DatabaseManager::sqliteHandle() const
{
    if (!m_db.isOpen()) {
        return nullptr;
    }
    const QVariant handle = m_db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        return nullptr;
    }
    return *static_cast<sqlite3* const*>(handle.constData());
}

QString DatabaseManager::sealPassword(const QString& password, bool* ok) const
{
    *ok = true;
    if (password.isEmpty()) {
        return QStringLiteral("");
    }
    if (m_crypto == nullptr) {
        return password;
    }
    // An empty result would silently erase the stored password; refuse the write instead.
    const QString sealed = m_crypto->sealEncrypt(password);
    *ok = !sealed.isEmpty();
    return sealed;
}

QString DatabaseManager::openPassword(const QString& stored) const
{
    if (stored.isEmpty() || m_crypto == nullptr) {
        return stored;
    }
    // A value that no longer opens (another device key) becomes an empty password.
    return m_crypto->sealDecrypt(stored);
}

int DatabaseManager::countRemotes(const QString& statement)
{
    if (!m_db.isOpen()) {
        return 0;
    }
    QSqlQuery query(m_db);
    if (!query.exec(statement) || !query.next()) {
        return 0;
    }
    return query.value(0).toInt();
}
