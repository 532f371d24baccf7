#pragma once

#include "account_store.h"
#include "http_connection.h"
#include "server_config.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QThreadPool>

class PasswordHasher;

// The account service's HTTP interface: sign-up and sign-in, the session, the team, the encrypted
// host snapshot and the client update announcements with their files. Every error is
// {"error": "<English text>"}; the texts clients match on are fixed.
class AccountApi : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kMaxSnapshotBody = 64LL * 1024 * 1024;
    static constexpr qint64 kMaxBody = 64 * 1024;

    AccountApi(const ServerConfig& config, AccountStore* store, PasswordHasher* hasher,
               QObject* parent = nullptr);
    ~AccountApi() override;

    // The public base address (download links are built on it).
    void setPublicBase(const QString& base) { m_publicBase = base; }

    void handle(const HttpRequest& request, HttpResponder respond);
    std::optional<HttpResponse> admit(const HttpRequest& head, qint64 contentLength);

    // Ends what can no longer be used: expired sessions, old sign-in failure counts.
    void purge();

private:
    struct Caller
    {
        QString userId;
        QString clientId;
        QByteArray tokenDigest; // the session's key in the store
    };

    // The throttle subjects one sign-in attempt was counted under.
    struct SignInAttempt
    {
        QString address;
        QString emailSubject;
        QString addressSubject;
    };

    void registerAccount(const HttpRequest& request, const HttpResponder& respond);
    void login(const HttpRequest& request, const HttpResponder& respond);
    void changePassword(const HttpRequest& request, const HttpResponder& respond);
    // Counts a password check before it is made; false with `refusal` set (429, 503) when it may not
    // be made. The owner signing in from an address that worked before has a count of their own, so
    // failures from elsewhere cannot lock them out.
    bool reserveSignIn(const std::optional<UserRecord>& user, const QString& email,
                       const HttpRequest& request, SignInAttempt* attempt, HttpResponse* refusal);
    void releaseSignIn(const SignInAttempt& attempt);
    void signInSucceeded(const SignInAttempt& attempt, const QString& userId);
    HttpResponse tooManyAttempts(qint64 until, const QString& what) const;
    qint64 snapshotQuotaBytes() const { return static_cast<qint64>(m_config.snapshotQuotaMiB) * 1024 * 1024; }
    HttpResponse quotaExceeded() const;
    HttpResponse logout(const HttpRequest& request);
    HttpResponse me(const Caller& caller);
    HttpResponse team(const Caller& caller);
    // The account whose snapshot the caller reads: its own, or its team owner's while that account
    // is in use. Null with `refusal` set.
    std::optional<QString> readableOwner(const Caller& caller, HttpResponse* refusal);
    void hostSync(const Caller& caller, const HttpResponder& respond);
    // Whether `userId` is held to the snapshot quota; null when the database cannot be read.
    std::optional<bool> hasQuota(const QString& userId);
    // The refusal (413, or 503 when the database cannot be read) of a stored payload of
    // `payloadBytes` by `userId`; none when it may be kept.
    std::optional<HttpResponse> quotaRefusal(const QString& userId, qint64 payloadBytes);
    void storeHostSync(const Caller& caller, const HttpRequest& request, const HttpResponder& respond);
    // The second form of host sync: key pairs per account, the owner's snapshot with a team snapshot
    // beside it, and the team snapshot's key sealed to each member.
    HttpResponse syncKeys(const Caller& caller);
    HttpResponse storeSyncKeys(const Caller& caller, const HttpRequest& request);
    HttpResponse teamSyncKeys(const Caller& caller);
    void teamSync(const Caller& caller, const HttpResponder& respond);
    void storeTeamSync(const Caller& caller, const HttpRequest& request, const HttpResponder& respond);
    // Answers a read of `ownerId`'s snapshot built off the event loop, kept under `cacheKey`. `encode`
    // may take the read's buffers.
    void answerSnapshot(const QString& cacheKey, const HostSnapshot& head,
                        const std::function<std::optional<HostSnapshot>()>& read,
                        const std::function<QByteArray(HostSnapshot&)>& encode, const HttpResponder& respond);
    HttpResponse clientUpdate(const QString& platform);
    HttpResponse download(const QString& name);

    // Null with `refusal` set when the request carries no session in force.
    std::optional<Caller> authenticate(const HttpRequest& request, HttpResponse* refusal);
    // The sign-in's client fields; false with `refusal` set when they are unusable.
    struct ClientFields
    {
        QString id;
        QString name;
        QString type;
    };
    static bool readClientFields(const QJsonObject& body, ClientFields* fields, HttpResponse* refusal);
    std::optional<QJsonObject> parseBody(const HttpRequest& request, HttpResponse* refusal) const;
    // The client's address for counting: IPv4, or the /64 network of an IPv6 address (one host
    // usually has a whole /64).
    QString clientAddress(const HttpRequest& request) const;
    HttpResponse issueSession(const QString& userId, const ClientFields& client, int status);
    // A 503 "storage unavailable"; its cause goes to the log.
    HttpResponse storageError() const;

    ServerConfig m_config;
    AccountStore* m_store;
    PasswordHasher* m_hasher;
    QString m_publicBase;

    // Host data bodies are encoded and decoded here, off the event loop.
    QThreadPool m_codecPool;
    // The last answers to host data reads by owner: every connection reading the same revision
    // shares one body instead of holding a copy each. Bounded in bytes.
    struct CachedAnswer
    {
        qint64 revision = 0;
        qint64 updatedMs = 0;
        QByteArray body;
    };
    QHash<QString, CachedAnswer> m_answerCache;
    qint64 m_answerCacheBytes = 0;
    void cacheAnswer(const QString& ownerId, const CachedAnswer& answer);
    void dropCachedAnswer(const QString& ownerId);
};
