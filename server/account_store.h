#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <optional>

class DatabaseWatchdog;
class QSqlError;
struct sqlite3;
struct sqlite3_stmt;
struct ServerConfig;

struct UserRecord
{
    QString id;
    QString email;
    QString name;
    QString passwordHash; // Argon2id string as crypto_pwhash_str writes it
    bool disabled = false;
    qint64 createdMs = 0;
    // Made by registration rather than `user add`: its snapshot is held to the quota. Written by
    // addUser(); the readers of users leave it false (isSelfRegistered() reads it).
    bool selfRegistered = false;
};

struct DeviceRecord
{
    QString clientId;
    QString clientName;
    QString clientType;
    qint64 firstSeenMs = 0;
    qint64 lastSeenMs = 0;
    bool removed = false;
};

// What a bearer token stands for right now.
struct SessionInfo
{
    enum class State {
        Valid,
        Unknown,       // no such token (or never issued)
        Ended,         // signed out, replaced by a newer sign-in of the device, expired, user disabled
        DeviceRemoved, // the owner removed the device this session was bound to
        Failed,        // the database could not be read
    };
    State state = State::Unknown;
    QString userId;
    QString clientId;
};

struct HostSnapshot
{
    bool exists = false;
    // 1: one payload for the owner and its members alike; 2: the owner's payload, plus a team
    // payload whose key is sealed to each member.
    int format = 1;
    QByteArray payload;
    QByteArray teamPayload;
    int deviceCount = 0;
    qint64 revision = 0;
    qint64 updatedMs = 0;
    // What one member reads of a format 2 snapshot: its own sealed key and the revision it was
    // stored with (empty and 0 when the owner sealed none to it).
    QString sealedKey;
    qint64 keyRevision = 0;
    // The owner's read of a format 2 snapshot: the members a team key is sealed to, so that its
    // computers can tell a team that changed since (ids only).
    QStringList sealedFor;
};

// An account's key pairs for the team snapshot: the public halves (Base64 URL-safe text) and the
// private halves encrypted by the client, opaque to the server.
struct SyncKeys
{
    QString userId;
    QString boxPublic;
    QString signPublic;
    QString privateKeys; // empty where only the public halves were read
    qint64 updatedMs = 0;
};

// One member's copy of the team snapshot's key, sealed to its public key.
struct SealedKey
{
    QString memberId;
    QString sealed;
};

struct UpdateRecord
{
    QString platform;
    QString version;
    QString minimumVersion;
    QString fileName;
    QString sha256;
    QString notes;
};

// Everything the account server keeps, in SQLite (one file, WAL) or PostgreSQL, with the same SQL
// wherever the two agree. The schema carries its version and is brought up to date when opened;
// several server processes may share one PostgreSQL database. Every change that must hold together
// is one transaction, so a killed process leaves the previous state.
//
// A PostgreSQL connection that is lost (backend ended, server restarted, fail-over, a call past its
// deadline) is opened again: at once when the server itself closed it, otherwise once a background
// attempt reaches the database, with growing pauses. Until then every call fails at once, so the
// caller can answer "try again later" without waiting.
class AccountStore
{
public:
    // Milliseconds since the epoch; the real clock unless a test gives another.
    using Clock = std::function<qint64()>;

    explicit AccountStore(Clock clock = {});
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    static constexpr int kSchemaVersion = 3;

    bool open(const ServerConfig& config, QString* error);
    bool isPostgres() const { return m_postgres; }
    qint64 now() const { return m_clock(); }
    // One line, without secrets: what the last failed call ran into.
    QString lastError() const { return m_lastError; }
    // Whether the database answers; a successful check is trusted for a few seconds.
    bool isAvailable();

    // Users. The e-mail is matched without regard to letter case.
    enum class Insert { Done, Exists, Failed };
    std::optional<UserRecord> userByEmail(const QString& email, bool* failed = nullptr);
    std::optional<UserRecord> userById(const QString& id, bool* failed = nullptr);
    Insert addUser(const UserRecord& user);
    // Disabling also ends every session of the user.
    bool setUserDisabled(const QString& userId, bool disabled);
    std::optional<QList<UserRecord>> users();
    // Whether the account was made by registration; null when the database cannot be read.
    std::optional<bool> isSelfRegistered(const QString& userId);
    // A new password hash, and every session of the user but `keepTokenHash` ends (one transaction).
    bool changePassword(const QString& userId, const QString& passwordHash, const QByteArray& keepTokenHash);
    // Ends every session of the user; how many were in force, -1 on failure.
    int endUserSessions(const QString& userId);

    // Sessions: only the SHA-256 of a token is stored. A new session of a device ends the device's
    // earlier ones and binds the device to the user again (also after a removal).
    bool createSession(const QByteArray& tokenHash, const QString& userId, const QString& clientId,
                       const QString& clientName, const QString& clientType);
    SessionInfo authenticate(const QByteArray& tokenHash, qint64 idleMs, qint64 maxMs);
    // Lookups of requests that arrived together share one read of the database (SQLite: one read
    // transaction, whose locks cost two system calls, instead of one per request). Requests of one
    // batch are concurrent: whichever order they are seen in is one the clients could have caused,
    // and a client's next request, sent once it has its answer, comes in a later batch.
    void beginLookupBatch() { m_lookupBatch = true; }
    void endLookupBatch();
    bool endSession(const QByteArray& tokenHash);
    bool purgeSessions(qint64 idleMs, qint64 maxMs);

    std::optional<QList<DeviceRecord>> devices(const QString& userId);
    enum class Removal { Done, NotFound, Failed };
    Removal removeDevice(const QString& userId, const QString& clientId);

    // Teams: an owner has members; a member belongs to one owner and owns no team itself.
    enum class TeamChange {
        Done,
        SameUser,
        AlreadyMember,
        MemberOfAnother,
        OwnerIsMember,
        MemberIsOwner,
        NotMember,
        Failed
    };
    TeamChange addTeamMember(const QString& ownerId, const QString& memberId);
    // The member's sealed team key goes with it.
    TeamChange removeTeamMember(const QString& ownerId, const QString& memberId);
    // The owner of `memberId`'s team; empty when the user is in no team as a member.
    std::optional<QString> ownerOf(const QString& memberId);
    std::optional<QList<UserRecord>> teamMembers(const QString& ownerId);

    // Host sync: the payload is kept byte for byte. A store succeeds only when `expectedRevision`
    // is the stored revision (0: no snapshot yet), in one statement, so of two writers with the
    // same expectation exactly one wins.
    std::optional<HostSnapshot> snapshot(const QString& ownerId);
    // The same with the payload appended to `out` instead of put in the result, so that an answer can
    // be built around it: SQLite copies a format 1 payload from its pages straight into `out`.
    std::optional<HostSnapshot> snapshotInto(const QString& ownerId, QByteArray* out);
    // The same without the payload (to tell whether a copy at hand is current).
    std::optional<HostSnapshot> snapshotHead(const QString& ownerId);
    // The format 2 snapshot as `memberId` may read it: no owner's payload, the team payload and the
    // member's own sealed key, read together.
    std::optional<HostSnapshot> teamSnapshot(const QString& ownerId, const QString& memberId);
    enum class Store { Stored, Conflict, Failed };
    // A format 1 store; a snapshot in format 2 is never replaced by one (Conflict).
    Store storeSnapshot(const QString& ownerId, const QByteArray& payload, int deviceCount,
                        qint64 expectedRevision, const QString& byUserId, HostSnapshot* stored);
    // A format 2 store, under the same compare-and-set, with every sealed key of the owner replaced
    // by `sealedKeys` (one transaction). A key for a user who is no member of the team is left out.
    Store storeTeamSnapshot(const QString& ownerId, const QByteArray& payload, const QByteArray& teamPayload,
                            const QList<SealedKey>& sealedKeys, int deviceCount, qint64 expectedRevision,
                            HostSnapshot* stored);

    // Sync keys. A store succeeds only when the stored signing key is `expectedSignPublic` (empty:
    // none stored yet), in one statement.
    std::optional<SyncKeys> syncKeys(const QString& userId, bool* failed = nullptr);
    Store storeSyncKeys(const SyncKeys& keys, const QString& expectedSignPublic, qint64* updatedMs);
    // The public keys of the owner and of every member of its team (those that have some), by user.
    std::optional<QHash<QString, SyncKeys>> teamPublicKeys(const QString& ownerId);

    std::optional<UpdateRecord> update(const QString& platform, bool* failed = nullptr);
    bool setUpdate(const UpdateRecord& record);
    bool clearUpdate(const QString& platform);

    // Attempt counting (sign-ins, registrations), shared by every process on the database: attempts
    // per subject ("email:…", "address:…", "register:…") within a window that starts with the first.
    // An attempt is counted before its work is done, in one statement, so parallel requests cannot
    // all pass one check. Returns 0 when counted, else the time (ms) until which the subject is
    // refused; -1 on failure.
    qint64 reserveAttempt(const QString& subject, int limit, qint64 windowMs);
    // Takes one counted attempt back (a sign-in that succeeded, work that was never queued).
    bool releaseAttempt(const QString& subject);
    bool clearSignInFailures(const QString& subject);
    bool purgeSignInFailures(qint64 windowMs);

    // Client addresses (IPv4, or an IPv6 /64) a user signed in from with the right password.
    bool rememberSignInAddress(const QString& userId, const QString& address);
    std::optional<bool> isKnownSignInAddress(const QString& userId, const QString& address);
    bool purgeSignInAddresses(qint64 maxAgeMs);

private:
    bool connectSession(QString* error);
    // False (with m_lastError set) while the connection is lost and cannot be opened again yet.
    bool ensureConnection();
    bool reopen();
    void markLost(const QString& reason);
    // Runs one database call under the watchdog's deadline; a lost connection is noted.
    bool watched(const std::function<bool()>& call);
    QSqlQuery* prepared(const QString& sql);
    bool run(const QString& sql, const QVariantList& values, QSqlQuery** result = nullptr);
    bool exec(const QString& sql);
    bool begin();
    bool commit();
    void rollback();
    bool migrate(QString* error);
    bool fail(const QSqlQuery* query);
    bool fail(const QSqlError& error);
    UserRecord readUser(const QSqlQuery& query) const;
    // One session's row as authenticate() reads it; false when the database cannot be read.
    struct SessionRow
    {
        QString userId;
        QString clientId;
        qint64 createdMs = 0;
        qint64 lastSeenMs = 0;
        int ended = 0;
        bool disabled = false;
        QByteArray storedDigest;
    };
    bool readSession(const QByteArray& tokenHash, std::optional<SessionRow>* row);
    bool openLookupConnection();
    // snapshotInto() for a format 1 snapshot in SQLite; false (nothing appended) when it cannot.
    bool readSnapshotSqlite(const QString& ownerId, QByteArray* out, HostSnapshot* snapshot);
    bool readSessionSqlite(const QByteArray& tokenHash, std::optional<SessionRow>* row);
    // `column` is one of the code's own column names, never input.
    std::optional<UserRecord> userWhere(const QString& column, const QString& value, bool* failed);

    Clock m_clock;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_postgres = false;
    QHash<QString, QSqlQuery*> m_statements;
    // SQLite: the session lookup made on every authenticated request (and the snapshot read into its
    // answer), on a read-only connection of its own and through SQLite's own interface (the Qt layer rebuilds
    // the columns' descriptions on every execution, which costs more than the lookup itself).
    QString m_sqlitePath;
    sqlite3* m_lookupDb = nullptr;
    sqlite3_stmt* m_sessionLookup = nullptr;
    sqlite3_stmt* m_snapshotRow = nullptr;
    bool m_lookupBatch = false;    // between beginLookupBatch() and endLookupBatch()
    bool m_lookupSnapshot = false; // the batch's read transaction is open
    QString m_lastError;

    int m_timeoutMs = 5000;
    std::unique_ptr<DatabaseWatchdog> m_watchdog;
    bool m_inTransaction = false;
    bool m_lost = false;
    bool m_reopenNow = false;
    QString m_lostReason;
    QDeadlineTimer m_nextAttempt;
    int m_backoffMs = 0;
    QElapsedTimer m_lastCheck; // the last successful availability check
};
