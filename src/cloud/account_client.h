#pragma once

#include "cloud/member_account.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class CryptoManager;
class QNetworkAccessManager;
struct TeamUpload;
class QTimer;
struct AppConfig;

// An account's keys as the service keeps them: public keys and the wrapped private part.
struct SyncKeysRecord
{
    bool exists = false;
    QByteArray boxPublic;
    QByteArray signPublic;
    QString privateKeys;
};

// The other side of a team: the owner (for a member) or one member (for the owner).
struct SyncPeer
{
    QString id;
    QString email;
    QString name;
    QByteArray boxPublic; // empty while the account has no keys
    QByteArray signPublic;
};

struct SyncRoster
{
    bool member = false; // the caller is a team member; `owner` is set, else `members`
    SyncPeer owner;
    QList<SyncPeer> members;
};

// The cloud copy as the caller may read it: the owner's full container for the owner, the team
// container and the caller's own sealed team key for a member.
struct SyncDownload
{
    bool exists = false;
    int format = 1;
    QString accountId; // the account the snapshot belongs to
    qint64 revision = 0;
    QDateTime updatedAt;
    QString payload;
    QString teamPayload;
    QString sealedKey;
    QStringList sealedFor; // the owner's read: the members the team key is sealed to
};

// The member account of this program and its requests to the account service: sign-in, registration,
// the session kept across restarts (sealed in the per-user settings), the profile with its team role,
// the heartbeat and the transport of the encrypted host sync. Results arrive as signals.
class AccountClient : public QObject
{
    Q_OBJECT
public:
    explicit AccountClient(CryptoManager* crypto, QObject* parent = nullptr);

    // Used unless the configuration names another address.
    static constexpr const char* kDefaultServiceUrl = "https://account.nimbara.net";
    static constexpr int kHeartbeatIntervalMs = 180000;
    // The per-user settings key of the sealed session token.
    static constexpr const char* kSessionTokenKey = "account/session_token";
    // The most of an answer that is read: the host snapshot carries up to 64 MiB of JSON (the
    // service's limit), every other answer is small.
    static constexpr qint64 kMaxReplyBytes = 1024 * 1024;
    static constexpr qint64 kMaxSnapshotReplyBytes = 64LL * 1024 * 1024 + 64 * 1024;

    MemberAccount account() const { return m_account; }
    bool isSignedIn() const { return m_account.signedIn; }
    bool isPartnerMode() const { return m_partnerMode; }

    // Sends every later request to `baseUrl` (https; http only for a loopback host) and trusts
    // `extraCaCertificates` in addition to the system's roots for these requests only. An unusable
    // address keeps the current endpoint, logs a warning and returns false.
    bool setServiceEndpoint(const QUrl& baseUrl, const QList<QSslCertificate>& extraCaCertificates = {});
    QString serviceUrl() const { return m_serviceUrl; }
    QList<QSslCertificate> extraCaCertificates() const { return m_extraCaCertificates; }

    // A service that accepts the connection and then stays silent is given up after this long.
    static constexpr int kTransferTimeoutMs = 60000;
    void setTransferTimeout(int milliseconds);

    // The address without a trailing slash, or nothing when it may not be used.
    static std::optional<QString> normalizedServiceUrl(const QUrl& url);

    // The team sync. Each answer goes to `done` while `context` lives; a failure is reported by
    // requestFailed as for every other request.
    void fetchSyncKeys(QObject* context, std::function<void(const SyncKeysRecord&)> done);
    // Compare-and-set: `expectedSignPublic` empty means no keys may be stored yet.
    void storeSyncKeys(const SyncKeysRecord& keys, const QByteArray& expectedSignPublic, QObject* context,
                       std::function<void()> done);
    void fetchSyncRoster(QObject* context, std::function<void(const SyncRoster&)> done);
    // The answer comes as it arrived (up to 64 MiB of JSON), for parseSyncDownload on a worker.
    void downloadSync(QObject* context, std::function<void(const QByteArray& answer)> done);
    static SyncDownload parseSyncDownload(const QByteArray& answer);
    // The upload's request body: megabytes of JSON at thousands of hosts, so it is made on a worker
    // (a pure function) and handed to uploadSync as it is.
    static QByteArray syncUploadBody(const QString& payload, const TeamUpload& team, int deviceCount,
                                     qint64 expectedRevision);
    void uploadSync(QByteArray body, QObject* context,
                    std::function<void(qint64 revision, const QDateTime& updatedAt)> done);

public slots:
    void login(const QString& email, const QString& password);
    void registerAccount(const QString& name, const QString& email, const QString& password);
    void logout();
    void refreshAccount();
    void downloadHostSync();
    void uploadHostSync(const QString& payload, int deviceCount, qint64 expectedRevision);
    // Signs in again with the token kept from the last run, if it still opens.
    void restoreSession();
    // Publishes an account signed in through the partner portal; no session with the service.
    void activatePartnerAccount(const QString& id, const QString& name, const QString& email);

signals:
    void busyChanged(bool busy);
    // The user signed out on this computer (not a session that ended by itself).
    void signedOut();
    void accountChanged(const MemberAccount& account);
    void loginFailed(const QString& message);
    void registrationFailed(const QString& message);
    void registered(const QString& name);
    void requestFailed(const QString& message);
    // A host sync request failed; `httpStatus` is 0 when no answer came (unreachable, timed out). The
    // sync decides what the user sees.
    void syncRequestFailed(const QString& message, int httpStatus);
    void hostSyncDownloaded(bool exists, const QString& encryptedPayload, int deviceCount, qint64 revision,
                            const QDateTime& updatedAt);
    void hostSyncUploaded(qint64 revision, const QDateTime& updatedAt);

protected:
    using SuccessHandler = std::function<void(const QJsonObject&)>;
    using RawSuccessHandler = std::function<void(const QByteArray&)>;
    using FailureHandler = std::function<void(const QString&)>;

    void heartbeat();
    void sendRequest(const QByteArray& method, const QString& path, const QJsonObject& body, bool authorized,
                     SuccessHandler onSuccess, FailureHandler onFailure = {},
                     qint64 maxReplyBytes = kMaxReplyBytes);
    // The same with a body already in JSON (empty: none), and the answer's bytes to `onSuccess`.
    void sendRequest(const QByteArray& method, const QString& path, QByteArray jsonBody, bool authorized,
                     RawSuccessHandler onSuccess, FailureHandler onFailure, qint64 maxReplyBytes);
    void clearSession();
    // Routes a failed sync request to syncRequestFailed instead of a message box.
    std::function<void(const QString&)> syncFailure();
    void setAccount(const MemberAccount& account);
    void storeSessionToken();
    QString clientId();
    // The Chinese message for an error text of the service, with the wait of a "too many" answer
    // (seconds, -1: not known); empty for a text the service is not known to send.
    static QString mapServerError(const QString& rawText, qint64 waitSeconds = -1);

private:
    void loadTeamRole(MemberAccount account);
    // Takes the token of a sign-in or registration answer; false when there is none.
    bool acceptSessionToken(const QJsonObject& response);

    CryptoManager* m_crypto = nullptr;
    QNetworkAccessManager* m_network = nullptr;
    QString m_sessionToken;
    MemberAccount m_account;
    QTimer* m_heartbeatTimer = nullptr;
    quint32 m_pendingRequests = 0;
    bool m_partnerMode = false;
    int m_transferTimeoutMs = kTransferTimeoutMs;

    QString m_serviceUrl = QString::fromLatin1(kDefaultServiceUrl);
    QList<QSslCertificate> m_extraCaCertificates;
    // Set only when extra roots are configured; otherwise Qt's default applies.
    std::optional<QSslConfiguration> m_tls;
    int m_lastFailureStatus = 0; // HTTP status of the request that failed last
};

// Points `client` at the account service given by [account] service_url and ca_certificates of the
// configuration. An empty URL keeps the default address; an unusable URL or a CA file that does not
// read keeps the current endpoint and logs a warning (returns false).
bool applyAccountServiceConfig(AccountClient& client, const AppConfig& config);
