#pragma once

#include "storage/group.h"
#include "storage/remote.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class CryptoManager;
struct sqlite3;

// The host inventory in the SQLite file "data.db". Host passwords are sealed with the device key
// on every write and opened on every read, so they never reach the file in plain text.
//
// Every operation runs on the manager's own named connection, which belongs to the thread that
// called initialize(). Failures are reported as false, an empty list, an empty optional or 0.
class DatabaseManager : public QObject
{
    Q_OBJECT

public:
    explicit DatabaseManager(QObject* parent = nullptr);
    ~DatabaseManager() override;

    // Opens (or creates) the database at `path` and brings its schema up to date. `crypto` is not
    // owned and must outlive the manager.
    bool initialize(const QString& path, CryptoManager* crypto);
    bool createTables();
    void close();

    // Another connection to the same file, for the calling thread (a worker): the same device key, and
    // WAL lets the owner's connection read meanwhile. Destroy it on that thread. Null on failure.
    std::unique_ptr<DatabaseManager> openForThisThread() const;
    // Runs `work` in one all-or-nothing transaction that holds the write lock from its start: what the
    // work reads stays true until it commits, and writes from other connections wait (busy timeout)
    // until then. The manager's own calls inside join it. False when `work` or the commit failed.
    bool inTransaction(const std::function<bool()>& work);

    QList<Group> getGroups();
    bool addGroup(const Group& group);
    bool updateGroup(const Group& group);
    // Removes the group together with all of its hosts, in one transaction.
    bool deleteGroup(const QString& groupId);

    bool addRemote(const Remote& remote);
    // All or nothing: the first failing record rolls the whole list back.
    bool addRemotes(const QList<Remote>& remotes);
    // The groups first, then the hosts (which may belong to them), in one all-or-nothing transaction.
    bool addGroupsAndRemotes(const QList<Group>& groups, const QList<Remote>& remotes);
    // Stamps updated_at with the current local time; created_at is never changed. Keep stores the
    // record's own updated_at: a host taken over from another computer keeps the time it was changed
    // there, so both computers hold the same record (and the same sync digest) afterwards.
    enum class UpdatedAt { Now, Keep };
    bool updateRemote(const Remote& remote, UpdatedAt updatedAt = UpdatedAt::Now);
    bool deleteRemotes(const QStringList& ids);
    std::optional<Remote> getRemote(const QString& id);
    // Empties every stored host password (all or nothing): after the device key is replaced they
    // could never be opened again.
    bool clearPasswords();
    // Listing thousands of hosts need not open every sealed password: with SkipPasswords the
    // records carry an empty password (re-read a host by id when its password is needed).
    enum class Passwords { Open, Skip };
    // A zone-less stored time is local time, and turning it into a QDateTime asks the time zone
    // database for every value: a listing that shows no times can leave them null.
    enum class Times { Read, Skip };
    QList<Remote> getAllRemotes(Passwords passwords = Passwords::Open, Times times = Times::Read);
    QList<Remote> getRemotesByGroup(const QString& groupId, Passwords passwords = Passwords::Open,
                                    Times times = Times::Read);
    // Exact, case-sensitive match of the stored host text and port.
    bool remoteExists(const QString& host, int port);

    // Which account's cloud a host belongs to: the account whose cloud brought it or took it up, "local"
    // for hosts the user chose to keep on this computer only; hosts never synced have none. The sync
    // asks before an account uploads hosts that belong to another, and keeps "local" ones here.
    static constexpr const char* kLocalOnlyOrigin = "local";
    static constexpr const char* kBaselineMarker = "#";
    QHash<QString, QString> syncOrigins();
    // One transaction; an empty `origin` forgets it.
    bool setSyncOrigin(const QStringList& ids, const QString& origin);
    // What this computer and `account`'s cloud copy agreed on at the last sync, item by item; nullopt
    // when this computer never synced with that account. Written whole, in one transaction.
    std::optional<QHash<QString, QString>> syncBaseline(const QString& account);
    bool setSyncBaseline(const QString& account, const QHash<QString, QString>& baseline);
    int countManualRemotes();
    int countVantrelRemotes();
    // Makes the partner-portal hosts exactly `remotes` (updating, inserting and deleting by id);
    // manual hosts are never touched. All or nothing.
    bool replaceVantrelRemotes(const QList<Remote>& remotes);

private:
    // True when the file reads as a database but refuses writes; `error` tells why.
    bool isReadOnlyDatabase(QString* error);
    // `row` reads column i of the remote column list as text or integer.
    template <typename Row> Remote readRemote(const Row& row, Passwords passwords, Times times) const;
    // The connection's SQLite handle, for the listings; null when closed.
    sqlite3* sqliteHandle() const;
    QList<Remote> listRemotes(const QString& condition, const QString& bound, Passwords passwords,
                              Times times);
    QString sealPassword(const QString& password, bool* ok) const;
    QString openPassword(const QString& stored) const;
    int countRemotes(const QString& statement);
    // Nested calls join the outermost transaction; a failure inside rolls all of it back at its end.
    bool beginTransaction(bool immediate = false);
    bool commitTransaction();
    bool rollbackTransaction(); // always false

    QSqlDatabase m_db;
    QString m_connectionName;
    CryptoManager* m_crypto = nullptr;
    int m_transactionDepth = 0;
    bool m_transactionFailed = false;
};
