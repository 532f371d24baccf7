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

    void registerAccount(const HttpRequest& request, const HttpResponder& respond);
    void login(const HttpRequest& request, const HttpResponder& respond);
    HttpResponse logout(const HttpRequest& request);
    HttpResponse me(const Caller& caller);
    HttpResponse team(const Caller& caller);
    void hostSync(const Caller& caller, const HttpResponder& respond);
    void storeHostSync(const Caller& caller, const HttpRequest& request, const HttpResponder& respond);
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
