#include "account_store.h"

#include "database_watchdog.h"
#include "platform/atomic_file_writer.h"
#include "platform/secure_memory.h"
#include "server_config.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sodium.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// How long a statement waits for another connection's lock (the command line's, say).
constexpr int kSqliteBusyTimeoutMs = 5000;

// The administration commands may run as root (sudo). A database file they create belongs to the
// owner of its directory (the service), and so do the journal files SQLite makes beside it later (it
// gives them the database file's owner when it runs as root): a root-owned file would lock the
// service out of its own data.
bool createDatabaseFile(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    const int descriptor =
        ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        if (errno == EEXIST) {
            return true; // made meanwhile: it has an owner already
        }
        *error =
            QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat directory = {};
    bool ok = true;
    if (::geteuid() == 0 &&
        ::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &directory) == 0 &&
        directory.st_uid != 0 && ::fchown(descriptor, directory.st_uid, directory.st_gid) != 0) {
        *error = QStringLiteral("cannot give %1 to the owner of its directory: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ok = false;
    }
    ::close(descriptor);
    if (!ok) {
        ::unlink(native.constData());
    }
    return ok;
}

QAtomicInteger<int> g_connectionCounter;

// Pauses between attempts to reach a lost database: short at first, never long.
constexpr int kFirstBackoffMs = 250;
constexpr int kMaxBackoffMs = 4000;
// Past the server's own statement_timeout, so a slow statement is cancelled by the server (the
// connection stays) before the socket is cut.
constexpr int kWatchdogGraceMs = 2000;
constexpr qint64 kAvailabilityCacheMs = 3000;

// The libpq connection behind a QPSQL connection; null for other drivers or a closed one.
PGconn* libpqHandle(const QSqlDatabase& db)
{
    if (!db.isOpen() || !db.driver()) {
        return nullptr;
    }
    const QVariant handle = db.driver()->handle();
    // Qt names the type after the struct behind libpq's typedef.
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0)) {
        return nullptr;
    }
    return *static_cast<PGconn* const*>(handle.constData());
}

// Whether an idle connection is still there. A server that ends a session (administrator, shut-down,
// idle time-out) says so and closes the socket; reading that marks the libpq connection bad.
bool idleConnectionAlive(PGconn* connection)
{
    if (!connection || PQstatus(connection) != CONNECTION_OK) {
        return false;
    }
    // Nothing arrives on an idle connection in normal operation (no LISTEN, no notices below
    // WARNING). Once something did, it is most likely the goodbye, with the end of the stream right
    // behind it: wait a moment for that.
    for (int i = 0; i < 8; ++i) {
        pollfd descriptor{PQsocket(connection), POLLIN, 0};
        if (::poll(&descriptor, 1, i == 0 ? 0 : 100) <= 0 || PQconsumeInput(connection) == 0) {
            break;
        }
    }
    return PQstatus(connection) == CONNECTION_OK;
}

// The drivers' texts run over several lines (libpq adds DETAIL and HINT lines, Qt its own); the
// first line says what happened.
QString firstLine(const QString& text)
{
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString simplified = line.simplified();
        if (!simplified.isEmpty()) {
            return simplified;
        }
    }
    return {};
}

QString errorLine(const QSqlError& error)
{
    const QString database = firstLine(error.databaseText());
    return database.isEmpty() ? firstLine(error.driverText()) : database;
}

// Every schema version, in order: the statements that bring version N-1 to N. The blob type is the
// only word the two databases spell differently.
QStringList migrationStatements(int version, const QString& blob)
{
    switch (version) {
    case 1:
        return {
            QStringLiteral(
                "CREATE TABLE users (id TEXT PRIMARY KEY, email TEXT NOT NULL, email_key TEXT NOT NULL "
                "UNIQUE, name TEXT NOT NULL, password_hash TEXT NOT NULL, disabled INTEGER NOT NULL "
                "DEFAULT 0, created_ms BIGINT NOT NULL)"),
            QStringLiteral(
                "CREATE TABLE devices (user_id TEXT NOT NULL REFERENCES users(id), client_id TEXT NOT "
                "NULL, client_name TEXT NOT NULL, client_type TEXT NOT NULL, first_seen_ms BIGINT NOT "
                "NULL, last_seen_ms BIGINT NOT NULL, removed INTEGER NOT NULL DEFAULT 0, PRIMARY KEY "
                "(user_id, client_id))"),
            // ended: 0 in force, 1 signed out / replaced / disabled, 2 its device was removed.
            QStringLiteral(
                "CREATE TABLE sessions (token_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES "
                "users(id), client_id TEXT NOT NULL, created_ms BIGINT NOT NULL, last_seen_ms BIGINT "
                "NOT NULL, ended INTEGER NOT NULL DEFAULT 0)"),
            QStringLiteral("CREATE INDEX sessions_device ON sessions (user_id, client_id)"),
            QStringLiteral(
                "CREATE TABLE team_members (member_id TEXT PRIMARY KEY REFERENCES users(id), owner_id "
                "TEXT NOT NULL REFERENCES users(id), added_ms BIGINT NOT NULL)"),
            QStringLiteral("CREATE INDEX team_members_owner ON team_members (owner_id)"),
            QStringLiteral(
                "CREATE TABLE host_snapshots (owner_id TEXT PRIMARY KEY REFERENCES users(id), payload "
                "%1 NOT NULL, device_count INTEGER NOT NULL, revision BIGINT NOT NULL, updated_ms "
                "BIGINT NOT NULL, updated_by TEXT NOT NULL)")
                .arg(blob),
            QStringLiteral(
                "CREATE TABLE client_updates (platform TEXT PRIMARY KEY, version TEXT NOT NULL, "
                "minimum_version TEXT NOT NULL, file_name TEXT NOT NULL, sha256 TEXT NOT NULL, notes "
                "TEXT NOT NULL)"),
            QStringLiteral(
                "CREATE TABLE sign_in_failures (subject TEXT PRIMARY KEY, failures INTEGER NOT NULL, "
                "window_start_ms BIGINT NOT NULL)"),
        };
    case 2:
        // Accounts from before this version count as made by an administrator.
        return {
            QStringLiteral("ALTER TABLE users ADD COLUMN self_registered INTEGER NOT NULL DEFAULT 0"),
            QStringLiteral(
                "CREATE TABLE sign_in_addresses (user_id TEXT NOT NULL REFERENCES users(id), address TEXT "
                "NOT NULL, last_ms BIGINT NOT NULL, PRIMARY KEY (user_id, address))"),
        };
    case 3:
        // Snapshots from before this version are in format 1.
        return {
            QStringLiteral("ALTER TABLE host_snapshots ADD COLUMN format INTEGER NOT NULL DEFAULT 1"),
            QStringLiteral("ALTER TABLE host_snapshots ADD COLUMN team_payload %1").arg(blob),
            QStringLiteral(
                "CREATE TABLE sync_keys (user_id TEXT PRIMARY KEY REFERENCES users(id), box_public TEXT NOT "
                "NULL, sign_public TEXT NOT NULL, private_keys TEXT NOT NULL, updated_ms BIGINT NOT NULL)"),
            QStringLiteral(
                "CREATE TABLE team_keys (owner_id TEXT NOT NULL REFERENCES users(id), member_id TEXT NOT "
                "NULL REFERENCES users(id), revision BIGINT NOT NULL, sealed TEXT NOT NULL, PRIMARY KEY "
                "(owner_id, member_id))"),
        };
    default:
        return {};
    }
}

} // namespace

AccountStore::AccountStore(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); })),
      m_connectionName(QStringLiteral("account-store-%1").arg(g_connectionCounter.fetchAndAddRelaxed(1)))
{
}

AccountStore::~AccountStore()
{
    m_watchdog.reset();
    endLookupBatch();
    sqlite3_finalize(m_sessionLookup); // before its connection closes
    sqlite3_finalize(m_snapshotRow);
    sqlite3_close(m_lookupDb);
    qDeleteAll(m_statements);
    m_statements.clear();
    if (m_db.isValid()) {
        m_db.close();
    }
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool AccountStore::open(const ServerConfig& config, QString* error)
{
    m_postgres = !config.postgresql.isEmpty();
    m_timeoutMs = config.databaseTimeoutSeconds * 1000;
    if (m_postgres) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connectionName);
        // The whole libpq key=value string goes through; a connect_timeout of its own wins over ours.
        const QString conninfo =
            QStringLiteral("connect_timeout=%1 ").arg(qMax(2, config.databaseTimeoutSeconds)) +
            config.postgresql;
        m_db.setConnectOptions(conninfo);
        QByteArray bytes = conninfo.toUtf8();
        m_watchdog = std::make_unique<DatabaseWatchdog>(bytes);
        SecureMemory::wipe(bytes);
    } else {
        const QString directory = QFileInfo(config.sqlitePath).absolutePath();
        QString reason;
        if (!QFileInfo::exists(directory) && !AtomicFileWriter::makePrivateDirectory(directory, &reason)) {
            *error = QStringLiteral("cannot create %1").arg(directory);
            return false;
        }
        if (!QFileInfo::exists(config.sqlitePath) && !createDatabaseFile(config.sqlitePath, error)) {
            return false;
        }
        m_sqlitePath = config.sqlitePath;
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        m_db.setDatabaseName(config.sqlitePath);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kSqliteBusyTimeoutMs));
    }
    if (!m_db.isValid()) {
        *error = QStringLiteral("the Qt SQL driver for %1 is not installed")
                     .arg(m_postgres ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite"));
        return false;
    }
    if (!connectSession(error)) {
        return false;
    }
    if (!m_postgres) {
        // WAL: readers never wait for the writer; FULL: a committed snapshot survives a power cut.
        for (const char* pragma :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
            QSqlQuery query(m_db);
            if (!query.exec(QString::fromLatin1(pragma))) {
                *error = QStringLiteral("cannot set up the database: %1").arg(query.lastError().text());
                return false;
            }
        }
    }
    return migrate(error);
}

bool AccountStore::connectSession(QString* error)
{
    if (!m_db.open()) {
        *error = QStringLiteral("cannot open the database: %1").arg(errorLine(m_db.lastError()));
        return false;
    }
    if (m_postgres) {
        // libpq prints notices ("already exists, skipping") on standard error; the commands' output
        // is one line. The server ends a statement at the deadline itself where it can.
        for (const QString& setting : {QStringLiteral("SET client_min_messages TO WARNING"),
                                       QStringLiteral("SET statement_timeout = %1").arg(m_timeoutMs)}) {
            QSqlQuery query(m_db);
            if (!watched([&] { return query.exec(setting); })) {
                *error = QStringLiteral("cannot set up the database session: %1")
                             .arg(errorLine(query.lastError()));
                m_db.close();
                return false;
            }
        }
    }
    return true;
}

bool AccountStore::isAvailable()
{
    if (!m_lost && m_lastCheck.isValid() && m_lastCheck.elapsed() < kAvailabilityCacheMs) {
        return true;
    }
    if (!exec(QStringLiteral("SELECT 1"))) {
        m_lastCheck.invalidate();
        return false;
    }
    m_lastCheck.start();
    return true;
}

void AccountStore::markLost(const QString& reason)
{
    if (!m_lost) {
        spdlog::warn("database connection lost: {}", reason.toStdString());
    }
    m_lost = true;
    m_lostReason = reason;
    m_lastCheck.invalidate();
}

bool AccountStore::ensureConnection()
{
    if (!m_postgres) {
        return true;
    }
    if (!m_lost) {
        if (m_inTransaction || idleConnectionAlive(libpqHandle(m_db))) {
            return true;
        }
        // The server closed it, so it answers: try again right away.
        markLost(QStringLiteral("the server closed the connection"));
        m_reopenNow = true;
    }
    if (!m_inTransaction) {
        if (m_reopenNow) {
            m_reopenNow = false;
            if (reopen()) {
                return true;
            }
        } else if (const DatabaseWatchdog::Probe probe = m_watchdog->takeProbe();
                   probe == DatabaseWatchdog::Probe::Reachable) {
            if (reopen()) {
                return true;
            }
        } else if (probe != DatabaseWatchdog::Probe::Running && m_nextAttempt.hasExpired()) {
            m_watchdog->startProbe();
            m_nextAttempt.setRemainingTime(m_backoffMs);
            m_backoffMs = qMin(kMaxBackoffMs, qMax(kFirstBackoffMs, m_backoffMs * 2));
        }
    }
    m_lastError = QStringLiteral("database unavailable: %1").arg(m_lostReason);
    return false;
}

bool AccountStore::reopen()
{
    // Prepared statements live in the connection: they go with it.
    qDeleteAll(m_statements);
    m_statements.clear();
    m_db.close();
    QString error;
    if (!connectSession(&error)) {
        m_lostReason = error;
        m_nextAttempt.setRemainingTime(m_backoffMs);
        m_backoffMs = qMin(kMaxBackoffMs, qMax(kFirstBackoffMs, m_backoffMs * 2));
        return false;
    }
    m_lost = false;
    m_backoffMs = 0;
    m_nextAttempt = QDeadlineTimer();
    spdlog::info("database connection re-opened");
    return true;
}

bool AccountStore::watched(const std::function<bool()>& call)
{
    PGconn* connection = libpqHandle(m_db);
    if (!connection) {
        return call(); // SQLite waits for its locks with its busy timeout
    }
    m_watchdog->arm(PQsocket(connection), m_timeoutMs + kWatchdogGraceMs);
    const bool ok = call();
    const bool cutOff = m_watchdog->disarm();
    if (!ok && (cutOff || PQstatus(connection) != CONNECTION_OK)) {
        markLost(cutOff ? QStringLiteral("the database did not answer within %1 s")
                              .arg((m_timeoutMs + kWatchdogGraceMs) / 1000)
                        : QStringLiteral("the connection broke"));
    }
    return ok;
}

bool AccountStore::migrate(QString* error)
{
    auto failWith = [&](const QString& what) {
        *error = QStringLiteral("cannot update the database schema: %1").arg(what);
        rollback();
        return false;
    };
    if (!begin()) {
        *error = QStringLiteral("cannot update the database schema: %1").arg(m_lastError);
        return false;
    }
    if (m_postgres && !run(QStringLiteral("SELECT pg_advisory_xact_lock(727274)"), {})) {
        return failWith(m_lastError); // several servers starting at once migrate one after the other
    }
    if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"))) {
        return failWith(m_lastError);
    }
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT MAX(version) FROM schema_version"), {}, &query)) {
        return failWith(m_lastError);
    }
    const int current = query->next() ? query->value(0).toInt() : 0;
    query->finish();
    if (current > kSchemaVersion) {
        return failWith(QStringLiteral("the database has version %1, this server knows up to %2")
                            .arg(current)
                            .arg(kSchemaVersion));
    }
    const QString blob = m_postgres ? QStringLiteral("BYTEA") : QStringLiteral("BLOB");
    for (int version = current + 1; version <= kSchemaVersion; ++version) {
        for (const QString& statement : migrationStatements(version, blob)) {
            if (!exec(statement)) {
                return failWith(m_lastError);
            }
        }
        if (!run(QStringLiteral("DELETE FROM schema_version"), {}) ||
            !run(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), {version})) {
            return failWith(m_lastError);
        }
    }
    if (!commit()) {
        return failWith(m_lastError);
    }
    return true;
}

QSqlQuery* AccountStore::prepared(const QString& sql)
{
    // Prepared once per statement: with PostgreSQL every prepare is a round trip to the server.
    if (QSqlQuery* query = m_statements.value(sql)) {
        return query;
    }
    auto* query = new QSqlQuery(m_db);
    query->setForwardOnly(true); // every result is read once, front to back: no row cache
    if (!watched([&] { return query->prepare(sql); })) {
        fail(query);
        delete query;
        return nullptr;
    }
    m_statements.insert(sql, query);
    return query;
}

bool AccountStore::run(const QString& sql, const QVariantList& values, QSqlQuery** result)
{
    if (!ensureConnection()) {
        return false;
    }
    QSqlQuery* query = prepared(sql);
    if (!query) {
        return false;
    }
    for (qsizetype i = 0; i < values.size(); ++i) {
        query->bindValue(static_cast<int>(i), values.at(i));
    }
    if (!watched([&] { return query->exec(); })) {
        fail(query);
        query->finish();
        return false;
    }
    if (result) {
        *result = query;
    } else {
        query->finish(); // no open read lingering in SQLite
    }
    return true;
}

bool AccountStore::fail(const QSqlQuery* query)
{
    return fail(query->lastError());
}

bool AccountStore::fail(const QSqlError& error)
{
    m_lastError = m_lost ? QStringLiteral("database unavailable: %1").arg(m_lostReason) : errorLine(error);
    return false;
}

bool AccountStore::exec(const QString& sql)
{
    if (!ensureConnection()) {
        return false;
    }
    // Not prepared: PostgreSQL prepares only queries, not transaction control or schema changes.
    QSqlQuery query(m_db);
    if (!watched([&] { return query.exec(sql); })) {
        return fail(&query);
    }
    return true;
}

bool AccountStore::begin()
{
    // IMMEDIATE: take the write lock up front, so two SQLite writers never deadlock on upgrading.
    if (!exec(m_postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) {
        return false;
    }
    m_inTransaction = true;
    return true;
}

bool AccountStore::commit()
{
    // Still in the transaction while COMMIT runs: a connection lost now must not be replaced by a
    // fresh one that would "commit" nothing. A failed commit is rolled back by the caller.
    if (!exec(QStringLiteral("COMMIT"))) {
        return false;
    }
    m_inTransaction = false;
    return true;
}

void AccountStore::rollback()
{
    const bool open = m_inTransaction;
    m_inTransaction = false;
    if (open && !m_lost) {
        QSqlQuery query(m_db);
        watched([&] { return query.exec(QStringLiteral("ROLLBACK")); });
    }
}

UserRecord AccountStore::readUser(const QSqlQuery& query) const
{
    UserRecord user;
    user.id = query.value(0).toString();
    user.email = query.value(1).toString();
    user.name = query.value(2).toString();
    user.passwordHash = query.value(3).toString();
    user.disabled = query.value(4).toInt() != 0;
    user.createdMs = query.value(5).toLongLong();
    return user;
}

std::optional<UserRecord> AccountStore::userByEmail(const QString& email, bool* failed)
{
    return userWhere(QStringLiteral("email_key"), email.trimmed().toLower(), failed);
}

std::optional<UserRecord> AccountStore::userById(const QString& id, bool* failed)
{
    return userWhere(QStringLiteral("id"), id, failed);
}

std::optional<UserRecord> AccountStore::userWhere(const QString& column, const QString& value, bool* failed)
{
    QSqlQuery* query = nullptr;
    const bool ok =
        run(QStringLiteral("SELECT id, email, name, password_hash, disabled, created_ms FROM users "
                           "WHERE %1 = ?")
                .arg(column),
            {value}, &query);
    if (failed) {
        *failed = !ok;
    }
    if (!ok) {
        return std::nullopt;
    }
    std::optional<UserRecord> user;
    if (query->next()) {
        user = readUser(*query);
    }
    query->finish();
    return user;
}

AccountStore::Insert AccountStore::addUser(const UserRecord& user)
{
    QSqlQuery* query = nullptr;
    // ON CONFLICT: two registrations of one address at once give one account and one "exists".
    if (!run(QStringLiteral(
                 "INSERT INTO users (id, email, email_key, name, password_hash, disabled, created_ms, "
                 "self_registered) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (email_key) DO NOTHING"),
             {user.id, user.email, user.email.trimmed().toLower(), user.name, user.passwordHash,
              user.disabled ? 1 : 0, user.createdMs, user.selfRegistered ? 1 : 0},
             &query)) {
        return Insert::Failed;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    return affected == 1 ? Insert::Done : Insert::Exists;
}

bool AccountStore::setUserDisabled(const QString& userId, bool disabled)
{
    if (!begin()) {
        return false;
    }
    if (!run(QStringLiteral("UPDATE users SET disabled = ? WHERE id = ?"), {disabled ? 1 : 0, userId}) ||
        (disabled &&
         !run(QStringLiteral("UPDATE sessions SET ended = 1 WHERE user_id = ? AND ended = 0"), {userId})) ||
        !commit()) {
        rollback();
        return false;
    }
    return true;
}

std::optional<QList<UserRecord>> AccountStore::users()
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT id, email, name, password_hash, disabled, created_ms FROM users ORDER BY "
                            "email_key"),
             {}, &query)) {
        return std::nullopt;
    }
    QList<UserRecord> list;
    while (query->next()) {
        list.append(readUser(*query));
    }
    query->finish();
    return list;
}

bool AccountStore::createSession(const QByteArray& tokenHash, const QString& userId, const QString& clientId,
                                 const QString& clientName, const QString& clientType)
{
    const qint64 now = m_clock();
    if (!begin()) {
        return false;
    }
    const bool ok =
        run(QStringLiteral(
                "INSERT INTO devices (user_id, client_id, client_name, client_type, first_seen_ms, "
                "last_seen_ms, removed) VALUES (?, ?, ?, ?, ?, ?, 0) ON CONFLICT (user_id, client_id) DO "
                "UPDATE SET client_name = excluded.client_name, client_type = excluded.client_type, "
                "last_seen_ms = excluded.last_seen_ms, removed = 0"),
            {userId, clientId, clientName, clientType, now, now}) &&
        run(QStringLiteral("UPDATE sessions SET ended = 1 WHERE user_id = ? AND client_id = ? AND ended = 0"),
            {userId, clientId}) &&
        run(QStringLiteral(
                "INSERT INTO sessions (token_hash, user_id, client_id, created_ms, last_seen_ms, ended) "
                "VALUES (?, ?, ?, ?, ?, 0)"),
            {QString::fromLatin1(tokenHash), userId, clientId, now, now}) &&
        commit();
    if (!ok) {
        rollback();
    }
    return ok;
}

namespace {

// One statement for both databases; SQLite runs it through its own interface.
constexpr char kSessionLookupSql[] =
    "SELECT s.user_id, s.client_id, s.created_ms, s.last_seen_ms, s.ended, u.disabled, s.token_hash "
    "FROM sessions s JOIN users u ON u.id = s.user_id WHERE s.token_hash = ?";

QString columnText(sqlite3_stmt* statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

} // namespace

bool AccountStore::readSessionSqlite(const QByteArray& tokenHash, std::optional<SessionRow>* row)
{
    if (!m_sessionLookup) {
        if (!openLookupConnection()) {
            return false;
        }
        if (sqlite3_prepare_v3(m_lookupDb, kSessionLookupSql, -1, SQLITE_PREPARE_PERSISTENT, &m_sessionLookup,
                               nullptr) != SQLITE_OK) {
            m_lastError = QString::fromUtf8(sqlite3_errmsg(m_lookupDb));
            sqlite3_finalize(m_sessionLookup);
            m_sessionLookup = nullptr;
            return false;
        }
    }
    if (m_lookupBatch && !m_lookupSnapshot &&
        sqlite3_exec(m_lookupDb, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {
        m_lookupSnapshot = true; // the read itself starts with the first lookup
    }
    sqlite3_stmt* statement = m_sessionLookup;
    // Not copied: the digest outlives the statement's use, which ends with the reset below.
    sqlite3_bind_text(statement, 1, tokenHash.constData(), static_cast<int>(tokenHash.size()), SQLITE_STATIC);
    const int step = sqlite3_step(statement);
    if (step == SQLITE_ROW) {
        SessionRow found;
        found.userId = columnText(statement, 0);
        found.clientId = columnText(statement, 1);
        found.createdMs = sqlite3_column_int64(statement, 2);
        found.lastSeenMs = sqlite3_column_int64(statement, 3);
        found.ended = sqlite3_column_int(statement, 4);
        found.disabled = sqlite3_column_int(statement, 5) != 0;
        found.storedDigest = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(statement, 6)),
                                        sqlite3_column_bytes(statement, 6));
        *row = std::move(found);
    } else if (step == SQLITE_DONE) {
        row->reset();
    } else {
        m_lastError = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(statement)));
    }
    // Reset at once: a statement left open would hold SQLite's read lock (and its snapshot).
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return step == SQLITE_ROW || step == SQLITE_DONE;
}

bool AccountStore::openLookupConnection()
{
    if (m_lookupDb) {
        return true;
    }
    // Opened after the schema is in place (the main connection made it), read-only: it only looks.
    if (sqlite3_open_v2(QFile::encodeName(m_sqlitePath).constData(), &m_lookupDb,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        m_lastError = QStringLiteral("cannot open the database to read sessions: %1")
                          .arg(QString::fromUtf8(sqlite3_errmsg(m_lookupDb)));
        sqlite3_close(m_lookupDb);
        m_lookupDb = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_lookupDb, kSqliteBusyTimeoutMs);
    return true;
}

bool AccountStore::readSnapshotSqlite(const QString& ownerId, QByteArray* out, HostSnapshot* snapshot)
{
    if (!openLookupConnection() ||
        (!m_snapshotRow &&
         sqlite3_prepare_v3(m_lookupDb,
                            "SELECT rowid, device_count, revision, updated_ms, format FROM "
                            "host_snapshots WHERE owner_id = ?",
                            -1, SQLITE_PREPARE_PERSISTENT, &m_snapshotRow, nullptr) != SQLITE_OK)) {
        return false;
    }
    // The row and its payload from one read: inside the batch's, or in one of its own.
    const bool ownRead = !m_lookupSnapshot;
    if (ownRead && sqlite3_exec(m_lookupDb, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    const QByteArray owner = ownerId.toUtf8();
    sqlite3_bind_text(m_snapshotRow, 1, owner.constData(), static_cast<int>(owner.size()), SQLITE_STATIC);
    const int step = sqlite3_step(m_snapshotRow);
    bool ok = step == SQLITE_DONE;
    if (step == SQLITE_ROW && sqlite3_column_int(m_snapshotRow, 4) == 1) {
        snapshot->exists = true;
        snapshot->deviceCount = sqlite3_column_int(m_snapshotRow, 1);
        snapshot->revision = sqlite3_column_int64(m_snapshotRow, 2);
        snapshot->updatedMs = sqlite3_column_int64(m_snapshotRow, 3);
        sqlite3_blob* blob = nullptr;
        if (sqlite3_blob_open(m_lookupDb, "main", "host_snapshots", "payload",
                              sqlite3_column_int64(m_snapshotRow, 0), 0, &blob) == SQLITE_OK) {
            const int size = sqlite3_blob_bytes(blob);
            const qsizetype start = out->size();
            out->reserve(start + size + 256); // and room for what a caller appends after it
            out->resize(start + size);
            ok = sqlite3_blob_read(blob, out->data() + start, size, 0) == SQLITE_OK;
            if (!ok) {
                out->truncate(start);
            }
        }
        sqlite3_blob_close(blob);
    }
    sqlite3_reset(m_snapshotRow); // a statement left open would hold the read lock
    sqlite3_clear_bindings(m_snapshotRow);
    if (ownRead) {
        if (m_lookupBatch && sqlite3_get_autocommit(m_lookupDb) == 0) {
            m_lookupSnapshot = true; // the batch's later lookups read the same
        } else {
            sqlite3_exec(m_lookupDb, "COMMIT", nullptr, nullptr, nullptr);
        }
    }
    return ok;
}

void AccountStore::endLookupBatch()
{
    m_lookupBatch = false;
    if (m_lookupSnapshot) {
        m_lookupSnapshot = false;
        if (sqlite3_exec(m_lookupDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(m_lookupDb, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
}

bool AccountStore::readSession(const QByteArray& tokenHash, std::optional<SessionRow>* row)
{
    if (!m_postgres) {
        return readSessionSqlite(tokenHash, row);
    }
    QSqlQuery* query = nullptr;
    if (!run(QString::fromLatin1(kSessionLookupSql), {QString::fromLatin1(tokenHash)}, &query)) {
        return false;
    }
    if (!query->next()) {
        query->finish();
        row->reset();
        return true;
    }
    SessionRow found;
    found.userId = query->value(0).toString();
    found.clientId = query->value(1).toString();
    found.createdMs = query->value(2).toLongLong();
    found.lastSeenMs = query->value(3).toLongLong();
    found.ended = query->value(4).toInt();
    found.disabled = query->value(5).toInt() != 0;
    found.storedDigest = query->value(6).toString().toLatin1();
    query->finish();
    *row = std::move(found);
    return true;
}

SessionInfo AccountStore::authenticate(const QByteArray& tokenHash, qint64 idleMs, qint64 maxMs)
{
    SessionInfo info;
    std::optional<SessionRow> row;
    if (!readSession(tokenHash, &row)) {
        info.state = SessionInfo::State::Failed;
        return info;
    }
    if (!row) {
        return info;
    }
    info.userId = row->userId;
    info.clientId = row->clientId;
    const qint64 created = row->createdMs;
    const qint64 lastSeen = row->lastSeenMs;
    const int ended = row->ended;
    const bool disabled = row->disabled;
    const QByteArray& stored = row->storedDigest;
    // The row was found by the digest; the digest itself is compared in constant time, so the
    // answer time tells nothing even should a database match loosely (collation, prefix index).
    if (stored.size() != tokenHash.size() ||
        sodium_memcmp(stored.constData(), tokenHash.constData(), static_cast<size_t>(stored.size())) != 0) {
        info = SessionInfo();
        return info;
    }

    const qint64 now = m_clock();
    if (ended == 2) {
        info.state = SessionInfo::State::DeviceRemoved;
    } else if (ended != 0 || disabled || now - lastSeen > idleMs || now - created > maxMs) {
        info.state = SessionInfo::State::Ended;
    } else {
        info.state = SessionInfo::State::Valid;
        // A minute's precision is plenty for an idle limit counted in days, and keeps most
        // authenticated requests free of writes.
        if (now - lastSeen >= 60 * 1000) {
            run(QStringLiteral("UPDATE sessions SET last_seen_ms = ? WHERE token_hash = ?"),
                {now, QString::fromLatin1(tokenHash)});
            run(QStringLiteral("UPDATE devices SET last_seen_ms = ? WHERE user_id = ? AND client_id = ?"),
                {now, info.userId, info.clientId});
        }
    }
    return info;
}

bool AccountStore::endSession(const QByteArray& tokenHash)
{
    return run(QStringLiteral("UPDATE sessions SET ended = 1 WHERE token_hash = ? AND ended = 0"),
               {QString::fromLatin1(tokenHash)});
}

bool AccountStore::purgeSessions(qint64 idleMs, qint64 maxMs)
{
    const qint64 now = m_clock();
    return run(QStringLiteral("DELETE FROM sessions WHERE last_seen_ms < ? OR created_ms < ?"),
               {now - idleMs, now - maxMs});
}

std::optional<QList<DeviceRecord>> AccountStore::devices(const QString& userId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral(
                 "SELECT client_id, client_name, client_type, first_seen_ms, last_seen_ms, removed FROM "
                 "devices WHERE user_id = ? ORDER BY last_seen_ms DESC"),
             {userId}, &query)) {
        return std::nullopt;
    }
    QList<DeviceRecord> list;
    while (query->next()) {
        DeviceRecord device;
        device.clientId = query->value(0).toString();
        device.clientName = query->value(1).toString();
        device.clientType = query->value(2).toString();
        device.firstSeenMs = query->value(3).toLongLong();
        device.lastSeenMs = query->value(4).toLongLong();
        device.removed = query->value(5).toInt() != 0;
        list.append(device);
    }
    query->finish();
    return list;
}

AccountStore::Removal AccountStore::removeDevice(const QString& userId, const QString& clientId)
{
    if (!begin()) {
        return Removal::Failed;
    }
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("UPDATE devices SET removed = 1 WHERE user_id = ? AND client_id = ?"),
             {userId, clientId}, &query)) {
        rollback();
        return Removal::Failed;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    if (affected == 0) {
        rollback();
        return Removal::NotFound;
    }
    if (!run(
            QStringLiteral("UPDATE sessions SET ended = 2 WHERE user_id = ? AND client_id = ? AND ended = 0"),
            {userId, clientId}) ||
        !commit()) {
        rollback();
        return Removal::Failed;
    }
    return Removal::Done;
}

AccountStore::TeamChange AccountStore::addTeamMember(const QString& ownerId, const QString& memberId)
{
    if (ownerId == memberId) {
        return TeamChange::SameUser;
    }
    if (!begin()) {
        return TeamChange::Failed;
    }
    auto finish = [&](TeamChange result) {
        rollback();
        return result;
    };
    // Every team rule reads both users' rows in team_members; locking both users (in one order, so
    // two changes never wait for each other) serialises every change that involves either of them:
    // A adding B while B adds A, or while C adds A. SQLite's BEGIN IMMEDIATE already serialises.
    if (m_postgres) {
        QSqlQuery* locked = nullptr;
        if (!run(QStringLiteral("SELECT id FROM users WHERE id IN (?, ?) ORDER BY id FOR UPDATE"),
                 {ownerId, memberId}, &locked)) {
            return finish(TeamChange::Failed);
        }
        locked->finish();
    }
    const std::optional<QString> ownersOwner = ownerOf(ownerId);
    const std::optional<QString> membersOwner = ownerOf(memberId);
    const std::optional<QList<UserRecord>> membersTeam = teamMembers(memberId);
    if (!ownersOwner || !membersOwner || !membersTeam) {
        return finish(TeamChange::Failed);
    }
    if (!ownersOwner->isEmpty()) {
        return finish(TeamChange::OwnerIsMember);
    }
    if (*membersOwner == ownerId) {
        return finish(TeamChange::AlreadyMember);
    }
    if (!membersOwner->isEmpty()) {
        return finish(TeamChange::MemberOfAnother);
    }
    if (!membersTeam->isEmpty()) {
        return finish(TeamChange::MemberIsOwner);
    }
    if (!run(QStringLiteral("INSERT INTO team_members (member_id, owner_id, added_ms) VALUES (?, ?, ?)"),
             {memberId, ownerId, m_clock()}) ||
        !commit()) {
        return finish(TeamChange::Failed);
    }
    return TeamChange::Done;
}

AccountStore::TeamChange AccountStore::removeTeamMember(const QString& ownerId, const QString& memberId)
{
    if (!begin()) {
        return TeamChange::Failed;
    }
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("DELETE FROM team_members WHERE owner_id = ? AND member_id = ?"),
             {ownerId, memberId}, &query)) {
        rollback();
        return TeamChange::Failed;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    if (affected != 1) {
        rollback();
        return TeamChange::NotMember;
    }
    if (!run(QStringLiteral("DELETE FROM team_keys WHERE owner_id = ? AND member_id = ?"),
             {ownerId, memberId}) ||
        !commit()) {
        rollback();
        return TeamChange::Failed;
    }
    return TeamChange::Done;
}

std::optional<QString> AccountStore::ownerOf(const QString& memberId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT owner_id FROM team_members WHERE member_id = ?"), {memberId}, &query)) {
        return std::nullopt;
    }
    const QString owner = query->next() ? query->value(0).toString() : QString();
    query->finish();
    return owner;
}

std::optional<QList<UserRecord>> AccountStore::teamMembers(const QString& ownerId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT u.id, u.email, u.name, u.password_hash, u.disabled, u.created_ms FROM "
                            "team_members t JOIN users u ON u.id = t.member_id WHERE t.owner_id = ? ORDER BY "
                            "u.email_key"),
             {ownerId}, &query)) {
        return std::nullopt;
    }
    QList<UserRecord> list;
    while (query->next()) {
        list.append(readUser(*query));
    }
    query->finish();
    return list;
}

std::optional<HostSnapshot> AccountStore::snapshot(const QString& ownerId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT payload, device_count, revision, updated_ms, format, team_payload FROM "
                            "host_snapshots WHERE owner_id = ?"),
             {ownerId}, &query)) {
        return std::nullopt;
    }
    HostSnapshot snapshot;
    if (query->next()) {
        snapshot.exists = true;
        snapshot.payload = query->value(0).toByteArray();
        snapshot.deviceCount = query->value(1).toInt();
        snapshot.revision = query->value(2).toLongLong();
        snapshot.updatedMs = query->value(3).toLongLong();
        snapshot.format = query->value(4).toInt();
        snapshot.teamPayload = query->value(5).toByteArray();
    }
    query->finish();
    if (snapshot.format == 2) {
        // Read apart from the row: an upload in between costs the owner at most one more upload.
        if (!run(QStringLiteral("SELECT member_id FROM team_keys WHERE owner_id = ? ORDER BY member_id"),
                 {ownerId}, &query)) {
            return std::nullopt;
        }
        while (query->next()) {
            snapshot.sealedFor.append(query->value(0).toString());
        }
        query->finish();
    }
    return snapshot;
}

std::optional<HostSnapshot> AccountStore::snapshotInto(const QString& ownerId, QByteArray* out)
{
    HostSnapshot read;
    if (!m_postgres && readSnapshotSqlite(ownerId, out, &read)) {
        return read;
    }
    // PostgreSQL, a format 2 snapshot or a failed read: the general path (which reports outages).
    std::optional<HostSnapshot> general = snapshot(ownerId);
    if (general) {
        out->append(general->payload);
        general->payload.clear();
    }
    return general;
}

std::optional<HostSnapshot> AccountStore::snapshotHead(const QString& ownerId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral(
                 "SELECT device_count, revision, updated_ms, format FROM host_snapshots WHERE owner_id = ?"),
             {ownerId}, &query)) {
        return std::nullopt;
    }
    HostSnapshot snapshot;
    if (query->next()) {
        snapshot.exists = true;
        snapshot.deviceCount = query->value(0).toInt();
        snapshot.revision = query->value(1).toLongLong();
        snapshot.updatedMs = query->value(2).toLongLong();
        snapshot.format = query->value(3).toInt();
    }
    query->finish();
    return snapshot;
}

std::optional<HostSnapshot> AccountStore::teamSnapshot(const QString& ownerId, const QString& memberId)
{
    QSqlQuery* query = nullptr;
    // One statement: the team payload and the sealed key are of one moment.
    if (!run(QStringLiteral("SELECT s.device_count, s.revision, s.updated_ms, s.format, s.team_payload, "
                            "k.sealed, k.revision FROM host_snapshots s LEFT JOIN team_keys k ON k.owner_id "
                            "= s.owner_id AND k.member_id = ? WHERE s.owner_id = ?"),
             {memberId, ownerId}, &query)) {
        return std::nullopt;
    }
    HostSnapshot snapshot;
    if (query->next()) {
        snapshot.exists = true;
        snapshot.deviceCount = query->value(0).toInt();
        snapshot.revision = query->value(1).toLongLong();
        snapshot.updatedMs = query->value(2).toLongLong();
        snapshot.format = query->value(3).toInt();
        snapshot.teamPayload = query->value(4).toByteArray();
        snapshot.sealedKey = query->value(5).toString();
        snapshot.keyRevision = query->value(6).toLongLong();
    }
    query->finish();
    return snapshot;
}

AccountStore::Store AccountStore::storeSnapshot(const QString& ownerId, const QByteArray& payload,
                                                int deviceCount, qint64 expectedRevision,
                                                const QString& byUserId, HostSnapshot* stored)
{
    const qint64 now = m_clock();
    const qint64 revision = expectedRevision + 1;
    QSqlQuery* query = nullptr;
    bool ok = false;
    // One statement either way: the database serialises the two writers, and the loser's condition
    // no longer holds when it runs. A snapshot in format 2 is out of this writer's reach.
    if (expectedRevision == 0) {
        ok = run(QStringLiteral(
                     "INSERT INTO host_snapshots (owner_id, payload, device_count, revision, updated_ms, "
                     "updated_by) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (owner_id) DO NOTHING"),
                 {ownerId, payload, deviceCount, revision, now, byUserId}, &query);
    } else {
        ok = run(QStringLiteral(
                     "UPDATE host_snapshots SET payload = ?, device_count = ?, revision = ?, updated_ms "
                     "= ?, updated_by = ? WHERE owner_id = ? AND revision = ? AND format = 1"),
                 {payload, deviceCount, revision, now, byUserId, ownerId, expectedRevision}, &query);
    }
    if (!ok) {
        return Store::Failed;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    if (affected != 1) {
        return Store::Conflict;
    }
    if (stored) {
        stored->exists = true;
        stored->deviceCount = deviceCount;
        stored->revision = revision;
        stored->updatedMs = now;
    }
    return Store::Stored;
}

AccountStore::Store AccountStore::storeTeamSnapshot(const QString& ownerId, const QByteArray& payload,
                                                    const QByteArray& teamPayload,
                                                    const QList<SealedKey>& sealedKeys, int deviceCount,
                                                    qint64 expectedRevision, HostSnapshot* stored)
{
    const qint64 now = m_clock();
    const qint64 revision = expectedRevision + 1;
    if (!begin()) {
        return Store::Failed;
    }
    QSqlQuery* query = nullptr;
    bool ok = false;
    if (expectedRevision == 0) {
        ok = run(QStringLiteral(
                     "INSERT INTO host_snapshots (owner_id, payload, team_payload, format, device_count, "
                     "revision, updated_ms, updated_by) VALUES (?, ?, ?, 2, ?, ?, ?, ?) ON CONFLICT "
                     "(owner_id) DO NOTHING"),
                 {ownerId, payload, teamPayload, deviceCount, revision, now, ownerId}, &query);
    } else {
        ok = run(QStringLiteral("UPDATE host_snapshots SET format = 2, payload = ?, team_payload = ?, "
                                "device_count = ?, revision = ?, updated_ms = ?, updated_by = ? WHERE "
                                "owner_id = ? AND revision = ?"),
                 {payload, teamPayload, deviceCount, revision, now, ownerId, ownerId, expectedRevision},
                 &query);
    }
    if (!ok) {
        rollback();
        return Store::Failed;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    if (affected != 1) {
        rollback();
        return Store::Conflict;
    }
    if (!run(QStringLiteral("DELETE FROM team_keys WHERE owner_id = ?"), {ownerId})) {
        rollback();
        return Store::Failed;
    }
    for (const SealedKey& key : sealedKeys) {
        // Only to a member still in the team when this runs.
        if (!run(QStringLiteral(
                     "INSERT INTO team_keys (owner_id, member_id, revision, sealed) SELECT ?, ?, ?, ? "
                     "WHERE EXISTS (SELECT 1 FROM team_members WHERE owner_id = ? AND member_id = ?)"),
                 {ownerId, key.memberId, revision, key.sealed, ownerId, key.memberId})) {
            rollback();
            return Store::Failed;
        }
    }
    if (!commit()) {
        rollback();
        return Store::Failed;
    }
    if (stored) {
        stored->exists = true;
        stored->format = 2;
        stored->deviceCount = deviceCount;
        stored->revision = revision;
        stored->updatedMs = now;
    }
    return Store::Stored;
}

std::optional<SyncKeys> AccountStore::syncKeys(const QString& userId, bool* failed)
{
    QSqlQuery* query = nullptr;
    const bool ok =
        run(QStringLiteral("SELECT box_public, sign_public, private_keys, updated_ms FROM sync_keys "
                           "WHERE user_id = ?"),
            {userId}, &query);
    if (failed) {
        *failed = !ok;
    }
    if (!ok) {
        return std::nullopt;
    }
    std::optional<SyncKeys> keys;
    if (query->next()) {
        keys = SyncKeys{userId, query->value(0).toString(), query->value(1).toString(),
                        query->value(2).toString(), query->value(3).toLongLong()};
    }
    query->finish();
    return keys;
}

AccountStore::Store AccountStore::storeSyncKeys(const SyncKeys& keys, const QString& expectedSignPublic,
                                                qint64* updatedMs)
{
    const qint64 now = m_clock();
    QSqlQuery* query = nullptr;
    bool ok = false;
    if (expectedSignPublic.isEmpty()) {
        ok = run(QStringLiteral("INSERT INTO sync_keys (user_id, box_public, sign_public, private_keys, "
                                "updated_ms) VALUES (?, ?, ?, ?, ?) ON CONFLICT (user_id) DO NOTHING"),
                 {keys.userId, keys.boxPublic, keys.signPublic, keys.privateKeys, now}, &query);
    } else {
        ok = run(QStringLiteral("UPDATE sync_keys SET box_public = ?, sign_public = ?, private_keys = ?, "
                                "updated_ms = ? WHERE user_id = ? AND sign_public = ?"),
                 {keys.boxPublic, keys.signPublic, keys.privateKeys, now, keys.userId, expectedSignPublic},
                 &query);
    }
    if (!ok) {
        return Store::Failed;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    if (affected != 1) {
        return Store::Conflict;
    }
    if (updatedMs) {
        *updatedMs = now;
    }
    return Store::Stored;
}

std::optional<QHash<QString, SyncKeys>> AccountStore::teamPublicKeys(const QString& ownerId)
{
    QSqlQuery* query = nullptr;
    if (!run(
            QStringLiteral("SELECT user_id, box_public, sign_public, updated_ms FROM sync_keys WHERE user_id "
                           "= ? OR user_id IN (SELECT member_id FROM team_members WHERE owner_id = ?)"),
            {ownerId, ownerId}, &query)) {
        return std::nullopt;
    }
    QHash<QString, SyncKeys> keys;
    while (query->next()) {
        const QString userId = query->value(0).toString();
        keys.insert(userId, SyncKeys{userId,
                                     query->value(1).toString(),
                                     query->value(2).toString(),
                                     {},
                                     query->value(3).toLongLong()});
    }
    query->finish();
    return keys;
}

std::optional<UpdateRecord> AccountStore::update(const QString& platform, bool* failed)
{
    QSqlQuery* query = nullptr;
    const bool ok =
        run(QStringLiteral("SELECT platform, version, minimum_version, file_name, sha256, notes FROM "
                           "client_updates WHERE platform = ?"),
            {platform}, &query);
    if (failed) {
        *failed = !ok;
    }
    if (!ok) {
        return std::nullopt;
    }
    std::optional<UpdateRecord> record;
    if (query->next()) {
        record =
            UpdateRecord{query->value(0).toString(), query->value(1).toString(), query->value(2).toString(),
                         query->value(3).toString(), query->value(4).toString(), query->value(5).toString()};
    }
    query->finish();
    return record;
}

bool AccountStore::setUpdate(const UpdateRecord& record)
{
    // Optional texts the administrator left out are stored empty: a null QString binds as NULL.
    const auto text = [](const QString& value) {
        return value.isNull() ? QStringLiteral("") : value;
    };
    return run(
        QStringLiteral("INSERT INTO client_updates (platform, version, minimum_version, file_name, sha256, "
                       "notes) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (platform) DO UPDATE SET version = "
                       "excluded.version, minimum_version = excluded.minimum_version, file_name = "
                       "excluded.file_name, sha256 = excluded.sha256, notes = excluded.notes"),
        {record.platform, record.version, text(record.minimumVersion), record.fileName, record.sha256,
         text(record.notes)});
}

bool AccountStore::clearUpdate(const QString& platform)
{
    return run(QStringLiteral("DELETE FROM client_updates WHERE platform = ?"), {platform});
}

qint64 AccountStore::reserveAttempt(const QString& subject, int limit, qint64 windowMs)
{
    const qint64 now = m_clock();
    const qint64 expired = now - windowMs;
    QSqlQuery* query = nullptr;
    // A window that has run out starts again with this attempt; a full one is left alone, and then
    // no row changes.
    if (!run(QStringLiteral(
                 "INSERT INTO sign_in_failures (subject, failures, window_start_ms) VALUES (?, 1, ?) ON "
                 "CONFLICT (subject) DO UPDATE SET failures = CASE WHEN sign_in_failures.window_start_ms < "
                 "? THEN 1 ELSE sign_in_failures.failures + 1 END, window_start_ms = CASE WHEN "
                 "sign_in_failures.window_start_ms < ? THEN ? ELSE sign_in_failures.window_start_ms END "
                 "WHERE sign_in_failures.window_start_ms < ? OR sign_in_failures.failures < ?"),
             {subject, now, expired, expired, now, expired, limit}, &query)) {
        return -1;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    if (affected == 1) {
        return 0;
    }
    if (!run(QStringLiteral("SELECT window_start_ms FROM sign_in_failures WHERE subject = ?"), {subject},
             &query)) {
        return -1;
    }
    const qint64 until = query->next() ? query->value(0).toLongLong() + windowMs : now + 1000;
    query->finish();
    return qMax(until, now + 1);
}

bool AccountStore::releaseAttempt(const QString& subject)
{
    return run(QStringLiteral("UPDATE sign_in_failures SET failures = failures - 1 WHERE subject = ? AND "
                              "failures > 0"),
               {subject});
}

bool AccountStore::clearSignInFailures(const QString& subject)
{
    return run(QStringLiteral("DELETE FROM sign_in_failures WHERE subject = ?"), {subject});
}

bool AccountStore::purgeSignInFailures(qint64 windowMs)
{
    return run(QStringLiteral("DELETE FROM sign_in_failures WHERE window_start_ms < ?"),
               {m_clock() - windowMs});
}

bool AccountStore::rememberSignInAddress(const QString& userId, const QString& address)
{
    return run(QStringLiteral("INSERT INTO sign_in_addresses (user_id, address, last_ms) VALUES (?, ?, ?) ON "
                              "CONFLICT (user_id, address) DO UPDATE SET last_ms = excluded.last_ms"),
               {userId, address, m_clock()});
}

std::optional<bool> AccountStore::isKnownSignInAddress(const QString& userId, const QString& address)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT 1 FROM sign_in_addresses WHERE user_id = ? AND address = ?"),
             {userId, address}, &query)) {
        return std::nullopt;
    }
    const bool known = query->next();
    query->finish();
    return known;
}

bool AccountStore::purgeSignInAddresses(qint64 maxAgeMs)
{
    return run(QStringLiteral("DELETE FROM sign_in_addresses WHERE last_ms < ?"), {m_clock() - maxAgeMs});
}

std::optional<bool> AccountStore::isSelfRegistered(const QString& userId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("SELECT self_registered FROM users WHERE id = ?"), {userId}, &query)) {
        return std::nullopt;
    }
    const bool self = query->next() && query->value(0).toInt() != 0;
    query->finish();
    return self;
}

bool AccountStore::changePassword(const QString& userId, const QString& passwordHash,
                                  const QByteArray& keepTokenHash)
{
    if (!begin()) {
        return false;
    }
    if (!run(QStringLiteral("UPDATE users SET password_hash = ? WHERE id = ?"), {passwordHash, userId}) ||
        !run(QStringLiteral(
                 "UPDATE sessions SET ended = 1 WHERE user_id = ? AND token_hash <> ? AND ended = 0"),
             {userId, QString::fromLatin1(keepTokenHash)}) ||
        !commit()) {
        rollback();
        return false;
    }
    return true;
}

int AccountStore::endUserSessions(const QString& userId)
{
    QSqlQuery* query = nullptr;
    if (!run(QStringLiteral("UPDATE sessions SET ended = 1 WHERE user_id = ? AND ended = 0"), {userId},
             &query)) {
        return -1;
    }
    const int affected = query->numRowsAffected();
    query->finish();
    return affected;
}
