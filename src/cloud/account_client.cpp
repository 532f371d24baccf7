#include "cloud/account_client.h"

#include "cloud/service_endpoint.h"
#include "cloud/signed_snapshot_codec.h"
#include "logger.h"
#include "storage/app_config.h"
#include "storage/crypto_manager.h"

#include <QBuffer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTimer>
#include <QUuid>

#include <sodium.h>

#include <array>
#include <utility>

namespace {

const QString kClientIdKey = QStringLiteral("account/client_id");
const QString kIdentityVersionKey = QStringLiteral("account/client_identity_version");

// Marks a reply cut off for its size.
constexpr const char* kTooLarge = "nimbaraTooLarge";

// Ends a request body that may hold a password: the bytes are cleared in place once the reply is
// done, also those Qt shares with this buffer.
class WipedBuffer : public QBuffer
{
public:
    explicit WipedBuffer(QByteArray bytes)
    {
        buffer() = std::move(bytes);
        open(QIODevice::ReadOnly);
    }
    ~WipedBuffer() override { wipe(); }

    void wipe()
    {
        const QByteArray& bytes = buffer();
        if (!bytes.isEmpty())
            sodium_memzero(const_cast<char*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    }
};

struct ErrorText
{
    const char* key;
    // May hold %1: the wait of a "too many" answer, else the first number in the service's text.
    const char* message;
};

// Every error text the account service sends, in the order they are matched (the first key found in
// the text wins, so the longer of two similar texts comes first).
const std::array<ErrorText, 36> kErrorTexts{{
    {"sync keys changed", "本账号的同步密钥刚被另一台电脑更新，请重新同步"},
    {"only the team owner can upload", "团队成员不能上传主机数据"},
    {"team owner's account is disabled", "团队所有者的账号已被停用，暂时无法同步团队主机数据"},
    {"account is disabled", "该账号已被停用，请联系会员服务管理员"},
    {"invalid email or password", "邮箱或密码错误"},
    {"email already exists", "该邮箱已注册，请直接登录"},
    {"valid email, name and password", "请输入有效邮箱、显示名称和至少 12 位密码"},
    {"unauthorized", "登录已过期，请重新登录"},
    {"client update required", "客户端版本过旧，请下载并登录最新版本后继续使用"},
    {"binding was removed", "此电脑已从用户后台移除，请重新登录以绑定设备"},
    {"cloud snapshot changed", "云端主机数据已发生变化，请先从云端恢复后再上传"},
    {"registration is disabled", "此会员服务已关闭注册，请联系管理员开通账号"},
    {"too many failed sign-ins", "登录失败次数过多，请在 %1 后重试"},
    {"too many registrations", "注册次数过多，请在 %1 后重试"},
    {"server busy", "会员服务繁忙，请稍后重试"},
    {"storage unavailable", "会员服务的数据存储暂时不可用，请稍后重试"},
    {"current password is wrong", "当前密码错误"},
    {"new_password must have", "新密码至少需要 12 个字符"},
    {"quota of", "主机数据超过本账号 %1 MiB 的云端配额，无法上传"},
    {"host data larger than", "主机数据超过 %1 MiB，无法上传"},
    {"request body too large", "请求数据过大，会员服务拒绝接收"},
    {"request timed out", "请求发送过慢，会员服务已断开连接，请检查网络后重试"},
    {"unknown platform", "会员服务不提供本平台的客户端更新"},
    // Requests this client never sends as such: the address leads to another service or version.
    {"not a JSON object", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"client_type", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"sign_public", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"private_keys must", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"sealed key", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"payload", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"method not allowed", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"not found", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"malformed", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"Content-Length", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"header field", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"request head too large", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
    {"HTTP version not supported", "会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致"},
}};

// "45 秒" or "15 分钟" (rounded up); "一段时间" when the wait is not known.
QString waitText(qint64 seconds)
{
    if (seconds <= 0)
        return QStringLiteral("一段时间");
    if (seconds < 60)
        return QStringLiteral("%1 秒").arg(seconds);
    return QStringLiteral("%1 分钟").arg((seconds + 59) / 60);
}

// The wait of a "too many" answer: its Retry-After seconds, else the minutes of its text; -1 when
// neither says.
qint64 retryWaitSeconds(const QByteArray& retryAfter, const QString& text)
{
    bool ok = false;
    const qint64 seconds = retryAfter.trimmed().toLongLong(&ok);
    if (ok && seconds > 0)
        return seconds;
    static const QRegularExpression minutes(QStringLiteral("in (\\d{1,6}) minute"));
    const QRegularExpressionMatch match = minutes.match(text);
    return match.hasMatch() ? match.captured(1).toLongLong() * 60 : -1;
}

// Why no answer came: the service unreachable, silent, or not trusted.
QString networkFailureText(QNetworkReply::NetworkError error, const QString& serviceUrl, int timeoutMs)
{
    switch (error) {
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return QStringLiteral(
                   "会员服务 %1 无响应（%2 秒内没有回答），已放弃本次请求。请确认会员服务正在运行，"
                   "或稍后重试。")
            .arg(serviceUrl)
            .arg(qMax(1, timeoutMs / 1000));
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral(
                   "无法与会员服务 %1 建立安全连接（证书不受信任或无效）。请检查设置中的会员服务地址和"
                   "CA 证书。")
            .arg(serviceUrl);
    default:
        return QStringLiteral("无法连接会员服务 %1。请检查设置中的会员服务地址、本机网络连接，以及防火墙是否"
                              "放行该地址。")
            .arg(serviceUrl);
    }
}
} // namespace

AccountClient::AccountClient(CryptoManager* crypto, QObject* parent)
    : QObject(parent), m_crypto(crypto), m_network(new QNetworkAccessManager(this)),
      m_heartbeatTimer(new QTimer(this))
{
    MemberAccount::registerMetaType();
    m_network->setTransferTimeout(m_transferTimeoutMs);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &AccountClient::heartbeat);
    m_heartbeatTimer->setInterval(kHeartbeatIntervalMs);
}

std::optional<QString> AccountClient::normalizedServiceUrl(const QUrl& url)
{
    if (!url.isValid() || url.isRelative() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        url.hasQuery() || url.hasFragment()) {
        return std::nullopt;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http")) {
        // Plain HTTP only where nothing leaves the machine (tests, a local reverse proxy).
        const QString host = url.host();
        const QHostAddress address(host);
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
            (address.isNull() || !address.isLoopback())) {
            return std::nullopt;
        }
    } else if (scheme != QLatin1String("https")) {
        return std::nullopt;
    }
    QString text = url.toString(QUrl::FullyEncoded);
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return text;
}

bool AccountClient::setServiceEndpoint(const QUrl& baseUrl, const QList<QSslCertificate>& extraCaCertificates)
{
    const std::optional<QString> normalized = normalizedServiceUrl(baseUrl);
    if (!normalized) {
        SPDLOG_WARN("会员服务地址不可用，继续使用 {}: {}", m_serviceUrl,
                    baseUrl.toString(QUrl::RemoveUserInfo));
        return false;
    }
    m_serviceUrl = *normalized;
    m_extraCaCertificates = extraCaCertificates;
    m_tls.reset();
    if (!extraCaCertificates.isEmpty())
        m_tls = tlsConfigurationTrusting(extraCaCertificates);
    return true;
}

void AccountClient::login(const QString& email, const QString& password)
{
    m_partnerMode = false;
    const QJsonObject body{
        {QStringLiteral("email"), email.trimmed()},
        {QStringLiteral("password"), password},
        {QStringLiteral("client_type"), QStringLiteral("desktop")},
        {QStringLiteral("client_id"), clientId()},
        {QStringLiteral("client_name"), QSysInfo::machineHostName()},
    };
    sendRequest(
        "POST", QStringLiteral("/api/v1/auth/login"), body, false,
        [this](const QJsonObject& response) {
            if (!acceptSessionToken(response)) {
                emit loginFailed(QStringLiteral("服务器未返回登录凭据"));
                return;
            }
            refreshAccount();
        },
        [this](const QString& message) { emit loginFailed(message); });
}

void AccountClient::registerAccount(const QString& name, const QString& email, const QString& password)
{
    const QString trimmedName = name.trimmed();
    const QJsonObject body{
        {QStringLiteral("name"), trimmedName},
        {QStringLiteral("email"), email.trimmed()},
        {QStringLiteral("password"), password},
        {QStringLiteral("accept_terms"), true},
        {QStringLiteral("client_type"), QStringLiteral("desktop")},
        {QStringLiteral("client_id"), clientId()},
        {QStringLiteral("client_name"), QSysInfo::machineHostName()},
    };
    sendRequest(
        "POST", QStringLiteral("/api/v1/auth/register"), body, false,
        [this, trimmedName](const QJsonObject& response) {
            if (!acceptSessionToken(response)) {
                emit registrationFailed(QStringLiteral("服务器未返回登录凭据"));
                return;
            }
            emit registered(trimmedName);
            refreshAccount();
        },
        [this](const QString& message) { emit registrationFailed(message); });
}

bool AccountClient::acceptSessionToken(const QJsonObject& response)
{
    m_sessionToken = response.value(QStringLiteral("access_token")).toString();
    if (m_sessionToken.isEmpty())
        return false;
    storeSessionToken();
    return true;
}

void AccountClient::logout()
{
    if (m_partnerMode || m_sessionToken.isEmpty()) {
        clearSession();
        return;
    }
    // The request carries the token already, so this computer signs out at once; the service's
    // answer changes nothing here.
    sendRequest(
        "POST", QStringLiteral("/api/v1/auth/logout"), QJsonObject(), true, [](const QJsonObject&) {},
        [](const QString&) {});
    clearSession();
    emit signedOut();
}

void AccountClient::refreshAccount()
{
    if (m_sessionToken.isEmpty())
        return;
    const QString token = m_sessionToken;
    sendRequest(
        "GET", QStringLiteral("/api/v1/account/me"), QJsonObject(), true,
        [this, token](const QJsonObject& response) {
            // A sign-out while the profile was on its way wins.
            if (m_sessionToken != token)
                return;
            MemberAccount account;
            account.signedIn = true;
            account.id = response.value(QStringLiteral("id")).toString();
            account.name = response.value(QStringLiteral("name")).toString();
            account.email = response.value(QStringLiteral("email")).toString();
            loadTeamRole(account);
        },
        [this](const QString& message) {
            clearSession();
            emit requestFailed(message);
        });
}

void AccountClient::loadTeamRole(MemberAccount account)
{
    const QString token = m_sessionToken;
    sendRequest(
        "GET", QStringLiteral("/api/v1/account/team"), QJsonObject(), true,
        [this, account, token](const QJsonObject& response) mutable {
            if (m_sessionToken != token)
                return;
            account.role = response.value(QStringLiteral("role")).toString(QStringLiteral("owner"));
            setAccount(account);
        },
        [this, account, token](const QString&) mutable {
            // Without a team answer the member counts as a main account; a session that ended
            // meanwhile (401) has already signed out and stays so.
            if (m_sessionToken.isEmpty() || m_sessionToken != token)
                return;
            account.role = QStringLiteral("owner");
            setAccount(account);
        });
}

void AccountClient::heartbeat()
{
    if (m_sessionToken.isEmpty())
        return;
    // An ended session signs out in the reply handling; every other failure waits for the next beat.
    sendRequest(
        "POST", QStringLiteral("/api/v1/account/session/heartbeat"), QJsonObject(), true,
        [](const QJsonObject&) {}, [](const QString&) {});
}

void AccountClient::downloadHostSync()
{
    if (m_sessionToken.isEmpty())
        return;
    sendRequest(
        "GET", QStringLiteral("/api/v1/account/host-sync"), QJsonObject(), true,
        [this](const QJsonObject& response) {
            emit hostSyncDownloaded(
                response.value(QStringLiteral("exists")).toBool(),
                response.value(QStringLiteral("payload")).toString(),
                response.value(QStringLiteral("device_count")).toInt(),
                response.value(QStringLiteral("revision")).toInteger(),
                QDateTime::fromString(response.value(QStringLiteral("updated_at")).toString(),
                                      Qt::ISODateWithMs));
        },
        {}, kMaxSnapshotReplyBytes);
}

void AccountClient::uploadHostSync(const QString& payload, int deviceCount, qint64 expectedRevision)
{
    if (m_sessionToken.isEmpty())
        return;
    const QJsonObject body{
        {QStringLiteral("payload"), payload},
        {QStringLiteral("device_count"), deviceCount},
        {QStringLiteral("expected_revision"), expectedRevision},
    };
    sendRequest("PUT", QStringLiteral("/api/v1/account/host-sync"), body, true,
                [this](const QJsonObject& response) {
                    emit hostSyncUploaded(
                        response.value(QStringLiteral("revision")).toInteger(),
                        QDateTime::fromString(response.value(QStringLiteral("updated_at")).toString(),
                                              Qt::ISODateWithMs));
                });
}

namespace {

const auto kKeyBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray publicKey(const QJsonObject& object, const QString& name)
{
    auto decoded = QByteArray::fromBase64Encoding(object.value(name).toString().toLatin1(),
                                                  QByteArray::Base64UrlEncoding |
                                                      QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == 32 ? decoded.decoded : QByteArray();
}

SyncPeer readPeer(const QJsonObject& object)
{
    SyncPeer peer{
        object.value(QStringLiteral("id")).toString(), object.value(QStringLiteral("email")).toString(),
        object.value(QStringLiteral("name")).toString(), publicKey(object, QStringLiteral("box_public")),
        publicKey(object, QStringLiteral("sign_public"))};
    if (peer.boxPublic.isEmpty() || peer.signPublic.isEmpty()) {
        peer.boxPublic.clear(); // half a key set is no key set
        peer.signPublic.clear();
    }
    return peer;
}

// An answer's bytes read as the JSON object `done` takes.
std::function<void(const QByteArray&)> parsed(std::function<void(const QJsonObject&)> done)
{
    if (!done) {
        return {};
    }
    return [done = std::move(done)](const QByteArray& answer) {
        done(QJsonDocument::fromJson(answer).object());
    };
}

// `done` runs only while `context` lives.
template <typename Done> auto guarded(QObject* context, Done done)
{
    return [context = QPointer<QObject>(context), done = std::move(done)](const QJsonObject& response) {
        if (context) {
            done(response);
        }
    };
}

} // namespace

void AccountClient::fetchSyncKeys(QObject* context, std::function<void(const SyncKeysRecord&)> done)
{
    if (m_sessionToken.isEmpty())
        return;
    sendRequest("GET", QStringLiteral("/api/v1/account/sync-keys"), QJsonObject(), true,
                guarded(context,
                        [done](const QJsonObject& response) {
                            SyncKeysRecord keys;
                            keys.boxPublic = publicKey(response, QStringLiteral("box_public"));
                            keys.signPublic = publicKey(response, QStringLiteral("sign_public"));
                            keys.privateKeys = response.value(QStringLiteral("private_keys")).toString();
                            keys.exists = response.value(QStringLiteral("exists")).toBool();
                            done(keys);
                        }),
                syncFailure());
}

void AccountClient::storeSyncKeys(const SyncKeysRecord& keys, const QByteArray& expectedSignPublic,
                                  QObject* context, std::function<void()> done)
{
    if (m_sessionToken.isEmpty())
        return;
    const QJsonObject body{
        {QStringLiteral("box_public"), QString::fromLatin1(keys.boxPublic.toBase64(kKeyBase64))},
        {QStringLiteral("sign_public"), QString::fromLatin1(keys.signPublic.toBase64(kKeyBase64))},
        {QStringLiteral("private_keys"), keys.privateKeys},
        {QStringLiteral("expected_sign_public"),
         QString::fromLatin1(expectedSignPublic.toBase64(kKeyBase64))},
    };
    sendRequest("PUT", QStringLiteral("/api/v1/account/sync-keys"), body, true,
                guarded(context, [done](const QJsonObject&) { done(); }), syncFailure());
}

void AccountClient::fetchSyncRoster(QObject* context, std::function<void(const SyncRoster&)> done)
{
    if (m_sessionToken.isEmpty())
        return;
    sendRequest("GET", QStringLiteral("/api/v1/account/team/sync-keys"), QJsonObject(), true,
                guarded(context,
                        [done](const QJsonObject& response) {
                            SyncRoster roster;
                            roster.member =
                                response.value(QStringLiteral("role")).toString() == QLatin1String("member");
                            if (roster.member) {
                                roster.owner = readPeer(response.value(QStringLiteral("owner")).toObject());
                            }
                            for (const QJsonValue& value :
                                 response.value(QStringLiteral("members")).toArray()) {
                                roster.members.append(readPeer(value.toObject()));
                            }
                            done(roster);
                        }),
                syncFailure());
}

void AccountClient::downloadSync(QObject* context, std::function<void(const QByteArray&)> done)
{
    if (m_sessionToken.isEmpty())
        return;
    sendRequest(
        "GET", QStringLiteral("/api/v1/account/sync"), QByteArray(), true,
        [context = QPointer<QObject>(context), done = std::move(done)](const QByteArray& answer) {
            if (context) {
                done(answer);
            }
        },
        syncFailure(), kMaxSnapshotReplyBytes);
}

SyncDownload AccountClient::parseSyncDownload(const QByteArray& answer)
{
    const QJsonObject response = QJsonDocument::fromJson(answer).object();
    SyncDownload download;
    download.exists = response.value(QStringLiteral("exists")).toBool();
    download.format = response.value(QStringLiteral("format")).toInt(1);
    download.accountId = response.value(QStringLiteral("account_id")).toString();
    download.revision = response.value(QStringLiteral("revision")).toInteger();
    download.updatedAt =
        QDateTime::fromString(response.value(QStringLiteral("updated_at")).toString(), Qt::ISODateWithMs);
    download.payload = response.value(QStringLiteral("payload")).toString();
    download.teamPayload = response.value(QStringLiteral("team_payload")).toString();
    download.sealedKey = response.value(QStringLiteral("sealed_key")).toString();
    for (const QJsonValue& id : response.value(QStringLiteral("sealed_for")).toArray()) {
        download.sealedFor.append(id.toString());
    }
    return download;
}

QByteArray AccountClient::syncUploadBody(const QString& payload, const TeamUpload& team, int deviceCount,
                                         qint64 expectedRevision)
{
    QJsonArray keys;
    for (const SealedTeamKey& key : team.keys) {
        keys.append(
            QJsonObject{{QStringLiteral("member_id"), key.memberId}, {QStringLiteral("sealed"), key.sealed}});
    }
    const QJsonObject body{
        {QStringLiteral("payload"), payload},
        {QStringLiteral("team_payload"), team.container},
        {QStringLiteral("sealed_keys"), keys},
        {QStringLiteral("device_count"), deviceCount},
        {QStringLiteral("expected_revision"), expectedRevision},
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

void AccountClient::uploadSync(QByteArray body, QObject* context,
                               std::function<void(qint64, const QDateTime&)> done)
{
    if (m_sessionToken.isEmpty())
        return;
    sendRequest(
        "PUT", QStringLiteral("/api/v1/account/sync"), std::move(body), true,
        parsed(guarded(context,
                       [done](const QJsonObject& response) {
                           done(response.value(QStringLiteral("revision")).toInteger(),
                                QDateTime::fromString(response.value(QStringLiteral("updated_at")).toString(),
                                                      Qt::ISODateWithMs));
                       })),
        syncFailure(), kMaxReplyBytes);
}

void AccountClient::restoreSession()
{
    if (!m_crypto)
        return;
    QSettings settings;
    const QString stored = settings.value(kSessionTokenKey).toString();
    if (stored.isEmpty())
        return;
    if (!settings.value(kIdentityVersionKey).toBool()) {
        // Stored before this installation had a client id; the service could not bind it.
        settings.remove(kSessionTokenKey);
        return;
    }
    m_sessionToken = m_crypto->sealDecrypt(stored);
    if (m_sessionToken.isEmpty()) {
        SPDLOG_WARN("保存的会员登录凭据无法解密，已退出登录");
        clearSession();
        return;
    }
    refreshAccount();
}

void AccountClient::activatePartnerAccount(const QString& id, const QString& name, const QString& email)
{
    m_heartbeatTimer->stop();
    m_sessionToken.clear();
    QSettings().remove(kSessionTokenKey);

    MemberAccount account;
    account.signedIn = true;
    account.id = id;
    account.name = name.isEmpty() ? email : name;
    account.email = email;
    account.role = QStringLiteral("owner");
    m_partnerMode = true;
    m_account = account;
    emit accountChanged(m_account);
}

void AccountClient::sendRequest(const QByteArray& method, const QString& path, const QJsonObject& body,
                                bool authorized, SuccessHandler onSuccess, FailureHandler onFailure,
                                qint64 maxReplyBytes)
{
    sendRequest(method, path,
                body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact),
                authorized, parsed(std::move(onSuccess)), std::move(onFailure), maxReplyBytes);
}

void AccountClient::sendRequest(const QByteArray& method, const QString& path, QByteArray jsonBody,
                                bool authorized, RawSuccessHandler onSuccess, FailureHandler onFailure,
                                qint64 maxReplyBytes)
{
    QNetworkRequest request(QUrl(m_serviceUrl + path));
    // Qt carries the body and the Authorization header along a redirect, so the password or the
    // token would reach whatever host the answer names: only the service's own origin (same scheme,
    // host and port; never from https to http) is followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    if (authorized && !m_sessionToken.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_sessionToken.toUtf8());
    if (m_tls)
        request.setSslConfiguration(*m_tls);

    QNetworkReply* reply = nullptr;
    if (method == "GET") {
        reply = m_network->sendCustomRequest(request, method);
    } else {
        auto* buffer = new WipedBuffer(std::move(jsonBody));
        reply = m_network->sendCustomRequest(request, method, buffer);
        buffer->setParent(reply);
        connect(reply, &QNetworkReply::finished, buffer, [buffer] { buffer->wipe(); });
    }

    if (++m_pendingRequests == 1)
        emit busyChanged(true);

    // Cut off as soon as the announced or received size passes the cap, before it is all in memory.
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [reply, maxReplyBytes](qint64 received, qint64 total) {
                if ((received > maxReplyBytes || total > maxReplyBytes) &&
                    !reply->property(kTooLarge).toBool()) {
                    reply->setProperty(kTooLarge, true);
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, method, path, maxReplyBytes, onSuccess = std::move(onSuccess),
             onFailure = std::move(onFailure)] {
                const QByteArray bytes = reply->read(maxReplyBytes + 1);
                const bool tooLarge = reply->property(kTooLarge).toBool() || bytes.size() > maxReplyBytes;
                const QNetworkReply::NetworkError error = reply->error();
                const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                const QString errorString = reply->errorString();
                const QByteArray retryAfter = reply->rawHeader("Retry-After");
                reply->deleteLater();

                if (m_pendingRequests > 0 && --m_pendingRequests == 0)
                    emit busyChanged(false);

                if (error != QNetworkReply::NoError || tooLarge) {
                    const QJsonObject object =
                        tooLarge ? QJsonObject() : QJsonDocument::fromJson(bytes).object();
                    const QString serviceText = object.value(QStringLiteral("error")).toString();
                    QString message;
                    if (tooLarge) {
                        message = QStringLiteral("会员服务返回的数据过大（超过 %1 MiB），已停止接收")
                                      .arg(maxReplyBytes / (1024 * 1024));
                    } else if (error == QNetworkReply::InsecureRedirectError) {
                        message = QStringLiteral("会员服务要求跳转到其他地址，已拒绝");
                    } else if (status > 0) {
                        message = mapServerError(serviceText, retryWaitSeconds(retryAfter, serviceText));
                        if (message.isEmpty()) {
                            SPDLOG_WARN("会员服务返回未知错误 (HTTP {}): {}", status, serviceText);
                            message = QStringLiteral("会员服务返回错误（HTTP %1）").arg(status);
                        }
                    } else {
                        message = networkFailureText(error, m_serviceUrl, m_transferTimeoutMs);
                    }
                    SPDLOG_WARN("会员服务请求失败: {} {} (HTTP {}): {}", QString::fromLatin1(method), path,
                                status, serviceText.isEmpty() ? errorString : serviceText);
                    if (status == 401 && !m_sessionToken.isEmpty())
                        clearSession();
                    m_lastFailureStatus = tooLarge ? 0 : status;
                    if (onFailure)
                        onFailure(message);
                    else
                        emit requestFailed(message);
                    return;
                }
                if (onSuccess)
                    onSuccess(bytes);
            });
}

std::function<void(const QString&)> AccountClient::syncFailure()
{
    return [this](const QString& message) {
        emit syncRequestFailed(message, m_lastFailureStatus);
    };
}

void AccountClient::clearSession()
{
    m_heartbeatTimer->stop();
    m_sessionToken.clear();
    m_partnerMode = false;
    QSettings().remove(kSessionTokenKey);
    m_account = MemberAccount();
    emit accountChanged(m_account);
}

void AccountClient::setAccount(const MemberAccount& account)
{
    m_account = account;
    emit accountChanged(m_account);
    if (!m_heartbeatTimer->isActive())
        m_heartbeatTimer->start();
}

void AccountClient::storeSessionToken()
{
    if (!m_crypto || m_sessionToken.isEmpty())
        return;
    const QString sealed = m_crypto->sealEncrypt(m_sessionToken);
    QSettings settings;
    if (sealed.isEmpty()) {
        // Never the plain token: this run stays signed in, the next one starts signed out.
        SPDLOG_WARN("会员登录凭据无法加密保存，下次启动需重新登录");
        settings.remove(kSessionTokenKey);
        return;
    }
    settings.setValue(kSessionTokenKey, sealed);
}

QString AccountClient::clientId()
{
    QSettings settings;
    QString id = settings.value(kClientIdKey).toString();
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        settings.setValue(kClientIdKey, id);
    }
    settings.setValue(kIdentityVersionKey, true);
    return id;
}

QString AccountClient::mapServerError(const QString& rawText, qint64 waitSeconds)
{
    if (rawText.isEmpty())
        return {};
    for (const ErrorText& entry : kErrorTexts) {
        if (!rawText.contains(QLatin1String(entry.key), Qt::CaseInsensitive))
            continue;
        QString message = QString::fromUtf8(entry.message);
        if (!message.contains(QLatin1String("%1")))
            return message;
        if (QLatin1String(entry.key).startsWith(QLatin1String("too many")))
            return message.arg(waitText(waitSeconds));
        static const QRegularExpression number(QStringLiteral("\\d+"));
        return message.arg(number.match(rawText).captured());
    }
    return {};
}

void AccountClient::setTransferTimeout(int milliseconds)
{
    m_transferTimeoutMs = milliseconds;
    m_network->setTransferTimeout(milliseconds);
}

bool applyAccountServiceConfig(AccountClient& client, const AppConfig& config)
{
    const ServiceEndpoint endpoint = accountServiceEndpoint(config);
    return client.setServiceEndpoint(QUrl(endpoint.baseUrl), endpoint.extraCaCertificates) &&
           endpoint.fromConfiguration;
}
