#include "account_api.h"

#include "account_text.h"
#include "host_sync_body.h"
#include "password_hasher.h"
#include "platform/secure_memory.h"
#include "session_token.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

#include <spdlog/spdlog.h>

#include <sodium.h>

#include <memory>

namespace {

const QString kApi = QStringLiteral("/api/v1");

// The texts clients match on.
const QString kInvalidCredentials = QStringLiteral("invalid email or password");
const QString kEmailExists = QStringLiteral("email already exists");
const QString kInvalidRegistration = QStringLiteral("valid email, name and password");
const QString kUnauthorized = QStringLiteral("unauthorized");
const QString kBindingRemoved = QStringLiteral("binding was removed");
const QString kSnapshotChanged = QStringLiteral("cloud snapshot changed");
const QString kSyncKeysChanged = QStringLiteral("sync keys changed");
const QString kClientOutdated = QStringLiteral("client update required");
const QString kOwnerUploadsOnly = QStringLiteral("only the team owner can upload host data");
const QString kOwnerDisabled = QStringLiteral("the team owner's account is disabled");

constexpr int kMinPasswordLength = 12;
constexpr int kMaxPasswordBytes = 1024;
constexpr qint64 kDayMs = 24LL * 60 * 60 * 1000;
constexpr qint64 kAnswerCacheBytes = 160LL * 1024 * 1024;
constexpr qint64 kMinuteMs = 60 * 1000;

const QString kServerBusy = QStringLiteral("server busy, try again later");
const QString kWrongCurrentPassword = QStringLiteral("current password is wrong");

// A secret kept for a callback that runs later; wiped however the callback ends.
std::shared_ptr<QByteArray> heldSecret(const QByteArray& bytes)
{
    return std::shared_ptr<QByteArray>(new QByteArray(bytes), [](QByteArray* secret) {
        SecureMemory::wipe(*secret);
        delete secret;
    });
}

bool hasControlCharacters(const QString& text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            return true;
        }
    }
    return false;
}

int codePoints(const QString& text)
{
    return static_cast<int>(text.toUcs4().size());
}

// The rule for every new password: at least 12 characters, at most 1024 bytes.
bool isUsablePassword(const QString& password, const QByteArray& bytes)
{
    return codePoints(password) >= kMinPasswordLength && bytes.size() <= kMaxPasswordBytes;
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject person(const UserRecord& user)
{
    return {{QStringLiteral("id"), user.id},
            {QStringLiteral("name"), user.name},
            {QStringLiteral("email"), user.email}};
}

// A public key as the clients send it: 32 bytes in strict Base64 URL-safe text without padding.
bool isPublicKey(const QString& text)
{
    const QByteArray ascii = text.toLatin1();
    unsigned char key[32];
    size_t length = 0;
    return text.size() == 43 &&
           sodium_base642bin(key, sizeof key, ascii.constData(), static_cast<size_t>(ascii.size()), nullptr,
                             &length, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING) == 0 &&
           length == sizeof key;
}

QString minutesText(qint64 ms)
{
    const qint64 minutes = qMax<qint64>(1, (ms + 59999) / 60000);
    return minutes == 1 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(minutes);
}

} // namespace

AccountApi::AccountApi(const ServerConfig& config, AccountStore* store, PasswordHasher* hasher,
                       QObject* parent)
    : QObject(parent), m_config(config), m_store(store), m_hasher(hasher)
{
    m_codecPool.setMaxThreadCount(2);
}

AccountApi::~AccountApi()
{
    m_codecPool.waitForDone(); // its jobs call back into this object
}

HttpResponse AccountApi::storageError() const
{
    // The store's text is one line without secrets (no connection string, no values).
    spdlog::warn("storage unavailable: {}", m_store->lastError().toStdString());
    return HttpResponse::error(503, QStringLiteral("storage unavailable, try again later"));
}

std::optional<HttpResponse> AccountApi::admit(const HttpRequest& head, qint64 contentLength)
{
    if ((head.path == kApi + QStringLiteral("/account/host-sync") ||
         head.path == kApi + QStringLiteral("/account/sync")) &&
        head.method == "PUT") {
        // Only a caller with a session may send the large body, and it is refused before it is read.
        HttpResponse refusal;
        const std::optional<Caller> caller = authenticate(head, &refusal);
        if (!caller) {
            return refusal;
        }
        if (contentLength > kMaxSnapshotBody) {
            return HttpResponse::error(413, QStringLiteral("host data larger than 64 MiB"));
        }
        // A body that cannot hold a payload within the quota, even with every character escaped
        // (\u0000 is six bytes), is refused unread; the payload itself is measured once parsed.
        if (contentLength > 6 * snapshotQuotaBytes() + kMaxBody) {
            const std::optional<bool> quota = hasQuota(caller->userId);
            if (!quota) {
                return storageError();
            }
            if (*quota) {
                return quotaExceeded();
            }
        }
        return std::nullopt;
    }
    if (contentLength > kMaxBody) {
        return HttpResponse::error(413, QStringLiteral("request body too large"));
    }
    return std::nullopt;
}

void AccountApi::handle(const HttpRequest& request, HttpResponder respond)
{
    const QString& path = request.path;
    const QByteArray& method = request.method;
    auto only = [&](const QByteArray& allowed) {
        if (method == allowed) {
            return true;
        }
        HttpResponse response = HttpResponse::error(405, QStringLiteral("method not allowed"));
        response.headers.append({"Allow", allowed});
        respond(response);
        return false;
    };
    // A snapshot path: GET reads, PUT writes, both answered later (off the event loop).
    auto readOrWrite =
        [&](void (AccountApi::*read)(const Caller&, const HttpResponder&),
            void (AccountApi::*write)(const Caller&, const HttpRequest&, const HttpResponder&)) {
            if (method != "GET" && method != "PUT") {
                HttpResponse response = HttpResponse::error(405, QStringLiteral("method not allowed"));
                response.headers.append({QByteArray("Allow"), QByteArray("GET, PUT")});
                respond(response);
                return;
            }
            HttpResponse refusal;
            const std::optional<Caller> caller = authenticate(request, &refusal);
            if (!caller) {
                respond(refusal);
            } else if (method == "GET") {
                (this->*read)(*caller, respond);
            } else {
                (this->*write)(*caller, request, respond);
            }
        };
    auto authenticated = [&](const std::function<HttpResponse(const Caller&)>& action) {
        HttpResponse refusal;
        const std::optional<Caller> caller = authenticate(request, &refusal);
        respond(caller ? action(*caller) : refusal);
    };

    if (path == kApi + QStringLiteral("/auth/register")) {
        if (only("POST")) {
            registerAccount(request, respond);
        }
    } else if (path == kApi + QStringLiteral("/auth/login")) {
        if (only("POST")) {
            login(request, respond);
        }
    } else if (path == kApi + QStringLiteral("/auth/logout")) {
        if (only("POST")) {
            respond(logout(request));
        }
    } else if (path == kApi + QStringLiteral("/account/password")) {
        if (only("POST")) {
            changePassword(request, respond);
        }
    } else if (path == kApi + QStringLiteral("/account/me")) {
        if (only("GET")) {
            authenticated([this](const Caller& caller) { return me(caller); });
        }
    } else if (path == kApi + QStringLiteral("/account/team")) {
        if (only("GET")) {
            authenticated([this](const Caller& caller) { return team(caller); });
        }
    } else if (path == kApi + QStringLiteral("/account/session/heartbeat")) {
        if (only("POST")) {
            authenticated([](const Caller&) {
                HttpResponse response; // the most frequent answer, made without a JSON document
                response.body = QByteArrayLiteral("{\"ok\":true}");
                return response;
            });
        }
    } else if (path == kApi + QStringLiteral("/account/host-sync")) {
        readOrWrite(&AccountApi::hostSync, &AccountApi::storeHostSync);
    } else if (path == kApi + QStringLiteral("/account/sync")) {
        readOrWrite(&AccountApi::teamSync, &AccountApi::storeTeamSync);
    } else if (path == kApi + QStringLiteral("/account/sync-keys")) {
        if (method == "GET") {
            authenticated([this](const Caller& caller) { return syncKeys(caller); });
        } else if (method == "PUT") {
            authenticated([this, &request](const Caller& caller) { return storeSyncKeys(caller, request); });
        } else {
            HttpResponse response = HttpResponse::error(405, QStringLiteral("method not allowed"));
            response.headers.append({QByteArray("Allow"), QByteArray("GET, PUT")});
            respond(response);
        }
    } else if (path == kApi + QStringLiteral("/account/team/sync-keys")) {
        if (only("GET")) {
            authenticated([this](const Caller& caller) { return teamSyncKeys(caller); });
        }
    } else if (path.startsWith(kApi + QStringLiteral("/client/update/"))) {
        if (only("GET")) {
            respond(clientUpdate(path.mid(kApi.size() + 15)));
        }
    } else if (path.startsWith(QStringLiteral("/downloads/"))) {
        if (only("GET")) {
            respond(download(path.mid(11)));
        }
    } else if (path == kApi + QStringLiteral("/health")) {
        if (only("GET")) {
            // Cheap for frequent probes: a successful check of the database is trusted for a while.
            if (m_store->isAvailable()) {
                respond(HttpResponse::json(200, {{QStringLiteral("status"), QStringLiteral("ok")}}));
            } else {
                storageError(); // for its log line: the cause
                respond(HttpResponse::json(
                    503, {{QStringLiteral("status"), QStringLiteral("unavailable")},
                          {QStringLiteral("error"), QStringLiteral("storage unavailable")}}));
            }
        }
    } else {
        respond(HttpResponse::error(404, QStringLiteral("not found")));
    }
}

std::optional<QJsonObject> AccountApi::parseBody(const HttpRequest& request, HttpResponse* refusal) const
{
    if (request.body.isEmpty()) {
        return QJsonObject();
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *refusal = HttpResponse::error(400, QStringLiteral("request body is not a JSON object"));
        return std::nullopt;
    }
    return document.object();
}

QString AccountApi::clientAddress(const HttpRequest& request) const
{
    if (m_config.trustForwardedFor && request.peer.isLoopback()) {
        // The proxy appends the address it saw, as an entry or as a line of its own after the
        // client's; every earlier entry comes from the client and proves nothing. So the last entry
        // of the last line counts (the lines together are one comma-separated list).
        QByteArray lastLine;
        for (const auto& [name, value] : request.headers) {
            if (name == "x-forwarded-for") {
                lastLine = value;
            }
        }
        const QHostAddress last(QString::fromLatin1(lastLine.mid(lastLine.lastIndexOf(',') + 1).trimmed()));
        if (!last.isNull()) {
            return HttpRequest::clientKey(last);
        }
    }
    return HttpRequest::clientKey(request.peer);
}

bool AccountApi::readClientFields(const QJsonObject& body, ClientFields* fields, HttpResponse* refusal)
{
    fields->id = body.value(QStringLiteral("client_id")).toString().trimmed();
    // Absent is empty, not NULL: the device's name column takes no NULL.
    fields->name = body.value(QStringLiteral("client_name")).toString(QStringLiteral("")).trimmed();
    if (fields->name.isNull()) {
        fields->name = QStringLiteral("");
    }
    fields->type = body.value(QStringLiteral("client_type")).toString().trimmed();
    if (fields->id.isEmpty() || fields->id.size() > 128 || hasControlCharacters(fields->id) ||
        fields->name.size() > 255 || hasControlCharacters(fields->name) || fields->type.size() > 32 ||
        hasControlCharacters(fields->type)) {
        *refusal =
            HttpResponse::error(400, QStringLiteral("client_id, client_name or client_type is not usable"));
        return false;
    }
    if (fields->type.isEmpty()) {
        fields->type = QStringLiteral("desktop");
    }
    return true;
}

HttpResponse AccountApi::issueSession(const QString& userId, const ClientFields& client, int status)
{
    QByteArray token = SessionToken::generate();
    if (!m_store->createSession(SessionToken::digest(token), userId, client.id, client.name, client.type)) {
        SecureMemory::wipe(token);
        return storageError();
    }
    HttpResponse response =
        HttpResponse::json(status, {{QStringLiteral("access_token"), QString::fromLatin1(token)},
                                    {QStringLiteral("token_type"), QStringLiteral("Bearer")}});
    SecureMemory::wipe(token);
    return response;
}

void AccountApi::registerAccount(const HttpRequest& request, const HttpResponder& respond)
{
    if (!m_config.allowRegistration) {
        respond(HttpResponse::error(403, QStringLiteral("registration is disabled on this server")));
        return;
    }
    HttpResponse refusal;
    const std::optional<QJsonObject> body = parseBody(request, &refusal);
    if (!body) {
        respond(refusal);
        return;
    }
    const std::optional<QString> name = AccountText::name(body->value(QStringLiteral("name")).toString());
    const std::optional<QString> email = AccountText::email(body->value(QStringLiteral("email")).toString());
    const QString password = body->value(QStringLiteral("password")).toString();
    const bool accepted = body->value(QStringLiteral("accept_terms")).toBool(false);
    QByteArray passwordBytes = password.toUtf8();
    if (!name || !email || !isUsablePassword(password, passwordBytes) || !accepted) {
        SecureMemory::wipe(passwordBytes);
        respond(HttpResponse::error(400, kInvalidRegistration));
        return;
    }
    ClientFields client;
    if (!readClientFields(*body, &client, &refusal)) {
        SecureMemory::wipe(passwordBytes);
        respond(refusal);
        return;
    }
    // Counted before any work, taken or not: a new address and a known one cost the same.
    const QString subject = QStringLiteral("register:") + clientAddress(request);
    const qint64 until = m_store->reserveAttempt(subject, m_config.registrationsPerAddress,
                                                 m_config.registrationWindowMinutes * kMinuteMs);
    if (until != 0) {
        SecureMemory::wipe(passwordBytes);
        respond(until < 0 ? storageError() : tooManyAttempts(until, QStringLiteral("registrations")));
        return;
    }
    // An address that exists is hashed too and refused only after the insert finds it, so the
    // answer time does not tell which addresses have accounts.
    const bool queued = m_hasher->hash(
        passwordBytes, this, [this, respond, name = *name, email = *email, client](const QString& hash) {
            if (hash.isEmpty()) {
                respond(HttpResponse::error(503, kServerBusy));
                return;
            }
            UserRecord user;
            user.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            user.email = email;
            user.name = name;
            user.passwordHash = hash;
            user.createdMs = m_store->now();
            user.selfRegistered = true;
            switch (m_store->addUser(user)) {
            case AccountStore::Insert::Exists:
                respond(HttpResponse::error(409, kEmailExists));
                return;
            case AccountStore::Insert::Failed:
                respond(storageError());
                return;
            case AccountStore::Insert::Done:
                respond(issueSession(user.id, client, 201));
                return;
            }
        });
    SecureMemory::wipe(passwordBytes);
    if (!queued) {
        m_store->releaseAttempt(subject);
        respond(HttpResponse::error(503, kServerBusy));
    }
}

void AccountApi::login(const HttpRequest& request, const HttpResponder& respond)
{
    HttpResponse refusal;
    const std::optional<QJsonObject> body = parseBody(request, &refusal);
    if (!body) {
        respond(refusal);
        return;
    }
    const QString email = AccountText::normalized(body->value(QStringLiteral("email")).toString());
    QByteArray password = body->value(QStringLiteral("password")).toString().toUtf8();
    if (email.isEmpty() || password.isEmpty() || password.size() > kMaxPasswordBytes) {
        SecureMemory::wipe(password);
        respond(HttpResponse::error(401, kInvalidCredentials));
        return;
    }
    ClientFields client;
    if (!readClientFields(*body, &client, &refusal)) {
        SecureMemory::wipe(password);
        respond(refusal);
        return;
    }

    bool failed = false;
    const std::optional<UserRecord> user = m_store->userByEmail(email, &failed);
    if (failed) {
        SecureMemory::wipe(password);
        respond(storageError());
        return;
    }
    SignInAttempt attempt;
    if (!reserveSignIn(user, email, request, &attempt, &refusal)) {
        SecureMemory::wipe(password);
        respond(refusal);
        return;
    }
    // Unknown addresses are checked against a decoy hash: the same work, the same answer.
    const QString hash = user ? user->passwordHash : m_hasher->decoyHash();
    const bool queued =
        m_hasher->verify(hash, password, this, [this, respond, user, client, attempt](bool match) {
            if (!match || !user) {
                respond(HttpResponse::error(401, kInvalidCredentials)); // the attempt stays counted
                return;
            }
            signInSucceeded(attempt, user->id);
            if (user->disabled) {
                respond(HttpResponse::error(403, QStringLiteral("this account is disabled")));
                return;
            }
            respond(issueSession(user->id, client, 200));
        });
    SecureMemory::wipe(password);
    if (!queued) {
        releaseSignIn(attempt);
        respond(HttpResponse::error(503, kServerBusy));
    }
}

bool AccountApi::reserveSignIn(const std::optional<UserRecord>& user, const QString& email,
                               const HttpRequest& request, SignInAttempt* attempt, HttpResponse* refusal)
{
    const qint64 windowMs = m_config.signInWindowMinutes * kMinuteMs;
    attempt->address = clientAddress(request);
    attempt->addressSubject = QStringLiteral("address:") + attempt->address;
    attempt->emailSubject = QStringLiteral("email:") + email.toLower();
    if (user) {
        const std::optional<bool> known = m_store->isKnownSignInAddress(user->id, attempt->address);
        if (!known) {
            *refusal = storageError();
            return false;
        }
        if (*known) {
            attempt->emailSubject += QLatin1Char('|') + attempt->address;
        }
    }
    qint64 until = m_store->reserveAttempt(attempt->emailSubject, m_config.signInFailuresPerEmail, windowMs);
    if (until == 0) {
        until = m_store->reserveAttempt(attempt->addressSubject, m_config.signInFailuresPerAddress, windowMs);
        if (until != 0) {
            m_store->releaseAttempt(attempt->emailSubject);
        }
    }
    if (until != 0) {
        *refusal = until < 0 ? storageError() : tooManyAttempts(until, QStringLiteral("failed sign-ins"));
        return false;
    }
    return true;
}

void AccountApi::releaseSignIn(const SignInAttempt& attempt)
{
    m_store->releaseAttempt(attempt.emailSubject);
    m_store->releaseAttempt(attempt.addressSubject);
}

void AccountApi::signInSucceeded(const SignInAttempt& attempt, const QString& userId)
{
    // The address's count keeps its failures (one account of its own must not wipe them).
    m_store->clearSignInFailures(attempt.emailSubject);
    m_store->releaseAttempt(attempt.addressSubject);
    m_store->rememberSignInAddress(userId, attempt.address);
}

HttpResponse AccountApi::tooManyAttempts(qint64 until, const QString& what) const
{
    const qint64 wait = qMax<qint64>(1, until - m_store->now());
    HttpResponse response =
        HttpResponse::error(429, QStringLiteral("too many %1, try again in %2").arg(what, minutesText(wait)));
    response.headers.append({"Retry-After", QByteArray::number(qMax<qint64>(1, (wait + 999) / 1000))});
    return response;
}

void AccountApi::changePassword(const HttpRequest& request, const HttpResponder& respond)
{
    HttpResponse refusal;
    const std::optional<Caller> caller = authenticate(request, &refusal);
    const std::optional<QJsonObject> body = caller ? parseBody(request, &refusal) : std::nullopt;
    if (!body) {
        respond(refusal);
        return;
    }
    const QString next = body->value(QStringLiteral("new_password")).toString();
    const auto current = heldSecret(body->value(QStringLiteral("current_password")).toString().toUtf8());
    const auto nextBytes = heldSecret(next.toUtf8());
    if (!isUsablePassword(next, *nextBytes)) {
        respond(HttpResponse::error(
            400, QStringLiteral("new_password must have at least 12 characters (at most 1024 bytes)")));
        return;
    }
    if (current->isEmpty() || current->size() > kMaxPasswordBytes) {
        respond(HttpResponse::error(403, kWrongCurrentPassword)); // no stored password is like it
        return;
    }
    bool failed = false;
    const std::optional<UserRecord> user = m_store->userById(caller->userId, &failed);
    if (!user) {
        respond(failed ? storageError() : HttpResponse::error(401, kUnauthorized));
        return;
    }
    SignInAttempt attempt;
    if (!reserveSignIn(user, user->email, request, &attempt, &refusal)) {
        respond(refusal);
        return;
    }
    const bool queued = m_hasher->verify(
        user->passwordHash, *current, this,
        [this, respond, caller = *caller, attempt, nextBytes](bool match) {
            if (!match) {
                respond(HttpResponse::error(403, kWrongCurrentPassword)); // the attempt stays counted
                return;
            }
            signInSucceeded(attempt, caller.userId);
            const bool hashing =
                m_hasher->hash(*nextBytes, this, [this, respond, caller](const QString& hash) {
                    if (hash.isEmpty()) {
                        respond(HttpResponse::error(503, kServerBusy));
                    } else if (!m_store->changePassword(caller.userId, hash, caller.tokenDigest)) {
                        respond(storageError());
                    } else {
                        respond(HttpResponse::json(200, {{QStringLiteral("ok"), true}}));
                    }
                });
            if (!hashing) {
                respond(HttpResponse::error(503, kServerBusy));
            }
        });
    if (!queued) {
        releaseSignIn(attempt);
        respond(HttpResponse::error(503, kServerBusy));
    }
}

std::optional<AccountApi::Caller> AccountApi::authenticate(const HttpRequest& request, HttpResponse* refusal)
{
    const QByteArray header = request.header("authorization");
    QByteArray token;
    if (header.size() > 7 && header.left(7).compare("Bearer ", Qt::CaseInsensitive) == 0) {
        token = header.mid(7).trimmed();
    }
    if (!SessionToken::isWellFormed(token)) {
        *refusal = HttpResponse::error(401, kUnauthorized);
        return std::nullopt;
    }
    const QByteArray digest = SessionToken::digest(token);
    const SessionInfo session =
        m_store->authenticate(digest, m_config.idleDays * kDayMs, m_config.maxDays * kDayMs);
    switch (session.state) {
    case SessionInfo::State::Valid:
        return Caller{session.userId, session.clientId, digest};
    case SessionInfo::State::DeviceRemoved:
        *refusal = HttpResponse::error(401, kBindingRemoved);
        return std::nullopt;
    case SessionInfo::State::Failed:
        *refusal = storageError();
        return std::nullopt;
    case SessionInfo::State::Unknown:
    case SessionInfo::State::Ended:
        break;
    }
    *refusal = HttpResponse::error(401, kUnauthorized);
    return std::nullopt;
}

HttpResponse AccountApi::logout(const HttpRequest& request)
{
    HttpResponse refusal;
    const std::optional<Caller> caller = authenticate(request, &refusal);
    if (!caller) {
        return refusal;
    }
    if (!m_store->endSession(caller->tokenDigest)) {
        return storageError();
    }
    return HttpResponse::json(200, {{QStringLiteral("ok"), true}});
}

HttpResponse AccountApi::me(const Caller& caller)
{
    bool failed = false;
    const std::optional<UserRecord> user = m_store->userById(caller.userId, &failed);
    if (!user) {
        return failed ? storageError() : HttpResponse::error(401, kUnauthorized);
    }
    QJsonObject object = person(*user);
    object.insert(QStringLiteral("created_at"), isoTime(user->createdMs));
    return HttpResponse::json(200, object);
}

HttpResponse AccountApi::team(const Caller& caller)
{
    const std::optional<QString> owner = m_store->ownerOf(caller.userId);
    if (!owner) {
        return storageError();
    }
    if (!owner->isEmpty()) {
        bool failed = false;
        const std::optional<UserRecord> ownerRecord = m_store->userById(*owner, &failed);
        if (failed) {
            return storageError();
        }
        QJsonObject object{{QStringLiteral("role"), QStringLiteral("member")}};
        if (ownerRecord) {
            object.insert(QStringLiteral("owner"), person(*ownerRecord));
        }
        return HttpResponse::json(200, object);
    }
    const std::optional<QList<UserRecord>> members = m_store->teamMembers(caller.userId);
    if (!members) {
        return storageError();
    }
    QJsonArray list;
    for (const UserRecord& member : *members) {
        list.append(person(member));
    }
    return HttpResponse::json(
        200, {{QStringLiteral("role"), QStringLiteral("owner")}, {QStringLiteral("members"), list}});
}

std::optional<QString> AccountApi::readableOwner(const Caller& caller, HttpResponse* refusal)
{
    // A team member reads the owner's data, while the owner's account is in use.
    const std::optional<QString> owner = m_store->ownerOf(caller.userId);
    if (!owner) {
        *refusal = storageError();
        return std::nullopt;
    }
    if (owner->isEmpty()) {
        return caller.userId;
    }
    bool failed = false;
    const std::optional<UserRecord> ownerRecord = m_store->userById(*owner, &failed);
    if (failed) {
        *refusal = storageError();
        return std::nullopt;
    }
    if (!ownerRecord || ownerRecord->disabled) {
        *refusal = HttpResponse::error(403, kOwnerDisabled);
        return std::nullopt;
    }
    return owner;
}

void AccountApi::hostSync(const Caller& caller, const HttpResponder& respond)
{
    HttpResponse refusal;
    const std::optional<QString> ownerId = readableOwner(caller, &refusal);
    if (!ownerId) {
        respond(refusal);
        return;
    }
    const std::optional<HostSnapshot> head = m_store->snapshotHead(*ownerId);
    if (!head) {
        respond(storageError());
        return;
    }
    if (head->exists && head->format == 2) {
        respond(HttpResponse::error(426, kClientOutdated));
        return;
    }
    // The answer is built around the stored bytes: the read leaves the answer's beginning and the
    // payload in `payload`, which the encoding completes (off the event loop).
    answerSnapshot(
        *ownerId, *head,
        [this, ownerId = *ownerId]() -> std::optional<HostSnapshot> {
            QByteArray begun(HostSyncBody::kAnswerPrefix);
            std::optional<HostSnapshot> read = m_store->snapshotInto(ownerId, &begun);
            if (read) {
                read->payload = std::move(begun);
            }
            return read;
        },
        [](HostSnapshot& read) {
            QByteArray body = std::move(read.payload);
            read.payload.clear();
            HostSyncBody::finishAnswer(read, &body);
            return body;
        },
        respond);
}

void AccountApi::answerSnapshot(const QString& cacheKey, const HostSnapshot& head,
                                const std::function<std::optional<HostSnapshot>()>& read,
                                const std::function<QByteArray(HostSnapshot&)>& encode,
                                const HttpResponder& respond)
{
    HttpResponse response;
    if (!head.exists) {
        HostSnapshot none = head;
        response.body = encode(none);
        respond(response);
        return;
    }
    const auto cached = cacheKey.isEmpty() ? m_answerCache.constEnd() : m_answerCache.constFind(cacheKey);
    if (cached != m_answerCache.constEnd() && cached->revision == head.revision &&
        cached->updatedMs == head.updatedMs) {
        response.body = cached->body;
        respond(response);
        return;
    }
    std::optional<HostSnapshot> snapshot = read();
    if (!snapshot) {
        respond(storageError());
        return;
    }
    m_codecPool.start([this, cacheKey, snapshot = std::move(*snapshot), encode, respond]() mutable {
        CachedAnswer answer{snapshot.revision, snapshot.updatedMs, encode(snapshot)};
        QMetaObject::invokeMethod(this, [this, cacheKey, answer, respond] {
            if (!cacheKey.isEmpty()) {
                cacheAnswer(cacheKey, answer);
            }
            HttpResponse encoded;
            encoded.body = answer.body;
            respond(encoded);
        });
    });
}

void AccountApi::cacheAnswer(const QString& ownerId, const CachedAnswer& answer)
{
    dropCachedAnswer(ownerId);
    if (answer.body.size() > kAnswerCacheBytes) {
        return;
    }
    while (m_answerCacheBytes + answer.body.size() > kAnswerCacheBytes && !m_answerCache.isEmpty()) {
        dropCachedAnswer(m_answerCache.constBegin().key());
    }
    m_answerCache.insert(ownerId, answer);
    m_answerCacheBytes += answer.body.size();
}

void AccountApi::dropCachedAnswer(const QString& ownerId)
{
    const auto it = m_answerCache.find(ownerId);
    if (it != m_answerCache.end()) {
        m_answerCacheBytes -= it->body.size();
        m_answerCache.erase(it);
    }
}

void AccountApi::storeHostSync(const Caller& caller, const HttpRequest& request, const HttpResponder& respond)
{
    const std::optional<QString> owner = m_store->ownerOf(caller.userId);
    if (!owner) {
        respond(storageError());
        return;
    }
    // A client that knows only this path must not replace what newer clients made.
    const std::optional<HostSnapshot> head = m_store->snapshotHead(owner->isEmpty() ? caller.userId : *owner);
    if (!head) {
        respond(storageError());
        return;
    }
    if (head->exists && head->format == 2) {
        respond(HttpResponse::error(426, kClientOutdated));
        return;
    }
    if (!owner->isEmpty()) {
        respond(HttpResponse::error(403, kOwnerUploadsOnly));
        return;
    }
    m_codecPool.start([this, caller, body = request.body, respond] {
        QString error;
        std::optional<HostSyncBody::Upload> upload = HostSyncBody::readUpload(body, &error);
        QMetaObject::invokeMethod(this, [this, caller, upload = std::move(upload), error, respond] {
            if (!upload) {
                respond(HttpResponse::error(400, error));
                return;
            }
            if (const std::optional<HttpResponse> refusal =
                    quotaRefusal(caller.userId, upload->payload.size())) {
                respond(*refusal);
                return;
            }
            HostSnapshot stored;
            switch (m_store->storeSnapshot(caller.userId, upload->payload,
                                           static_cast<int>(upload->deviceCount), upload->expectedRevision,
                                           caller.userId, &stored)) {
            case AccountStore::Store::Conflict: {
                // Moved to the second form meanwhile: this client cannot take part any more.
                const std::optional<HostSnapshot> now = m_store->snapshotHead(caller.userId);
                respond(now && now->format == 2 ? HttpResponse::error(426, kClientOutdated)
                                                : HttpResponse::error(409, kSnapshotChanged));
                return;
            }
            case AccountStore::Store::Failed:
                respond(storageError());
                return;
            case AccountStore::Store::Stored:
                break;
            }
            dropCachedAnswer(caller.userId);
            dropCachedAnswer(QStringLiteral("sync/") + caller.userId);
            respond(HttpResponse::json(200, {{QStringLiteral("revision"), stored.revision},
                                             {QStringLiteral("updated_at"), isoTime(stored.updatedMs)}}));
        });
    });
}

HttpResponse AccountApi::syncKeys(const Caller& caller)
{
    bool failed = false;
    const std::optional<SyncKeys> keys = m_store->syncKeys(caller.userId, &failed);
    if (failed) {
        return storageError();
    }
    if (!keys) {
        return HttpResponse::json(200, {{QStringLiteral("exists"), false}});
    }
    return HttpResponse::json(200, {{QStringLiteral("exists"), true},
                                    {QStringLiteral("box_public"), keys->boxPublic},
                                    {QStringLiteral("sign_public"), keys->signPublic},
                                    {QStringLiteral("private_keys"), keys->privateKeys},
                                    {QStringLiteral("updated_at"), isoTime(keys->updatedMs)}});
}

HttpResponse AccountApi::storeSyncKeys(const Caller& caller, const HttpRequest& request)
{
    HttpResponse refusal;
    const std::optional<QJsonObject> body = parseBody(request, &refusal);
    if (!body) {
        return refusal;
    }
    SyncKeys keys;
    keys.userId = caller.userId;
    keys.boxPublic = body->value(QStringLiteral("box_public")).toString();
    keys.signPublic = body->value(QStringLiteral("sign_public")).toString();
    keys.privateKeys = body->value(QStringLiteral("private_keys")).toString();
    const QJsonValue expected = body->value(QStringLiteral("expected_sign_public"));
    if (!isPublicKey(keys.boxPublic) || !isPublicKey(keys.signPublic)) {
        return HttpResponse::error(
            400, QStringLiteral("box_public and sign_public must be 32 bytes in Base64 URL-safe text"));
    }
    if (!HostSyncBody::isPrintableAscii(keys.privateKeys, 4096) ||
        !keys.privateKeys.startsWith(QLatin1String("NIMBARA-KEYS-2."))) {
        return HttpResponse::error(400, QStringLiteral("private_keys must be printable ASCII of at most 4096 "
                                                       "characters beginning with NIMBARA-KEYS-2."));
    }
    if (!expected.isString()) {
        return HttpResponse::error(400, QStringLiteral("expected_sign_public (text) is required"));
    }
    qint64 updatedMs = 0;
    switch (m_store->storeSyncKeys(keys, expected.toString(), &updatedMs)) {
    case AccountStore::Store::Conflict:
        return HttpResponse::error(409, kSyncKeysChanged);
    case AccountStore::Store::Failed:
        return storageError();
    case AccountStore::Store::Stored:
        break;
    }
    return HttpResponse::json(200, {{QStringLiteral("updated_at"), isoTime(updatedMs)}});
}

HttpResponse AccountApi::teamSyncKeys(const Caller& caller)
{
    HttpResponse refusal;
    const std::optional<QString> ownerId = readableOwner(caller, &refusal);
    if (!ownerId) {
        return refusal;
    }
    const std::optional<QHash<QString, SyncKeys>> keys = m_store->teamPublicKeys(*ownerId);
    if (!keys) {
        return storageError();
    }
    const auto withKeys = [&keys](const UserRecord& user) {
        QJsonObject object = person(user);
        const auto found = keys->constFind(user.id);
        if (found != keys->constEnd()) {
            object.insert(QStringLiteral("box_public"), found->boxPublic);
            object.insert(QStringLiteral("sign_public"), found->signPublic);
        }
        return object;
    };
    if (*ownerId != caller.userId) {
        bool failed = false;
        const std::optional<UserRecord> owner = m_store->userById(*ownerId, &failed);
        if (!owner) {
            return failed ? storageError() : HttpResponse::error(403, kOwnerDisabled);
        }
        return HttpResponse::json(200, {{QStringLiteral("role"), QStringLiteral("member")},
                                        {QStringLiteral("owner"), withKeys(*owner)}});
    }
    const std::optional<QList<UserRecord>> members = m_store->teamMembers(caller.userId);
    if (!members) {
        return storageError();
    }
    QJsonArray list;
    for (const UserRecord& member : *members) {
        list.append(withKeys(member));
    }
    return HttpResponse::json(
        200, {{QStringLiteral("role"), QStringLiteral("owner")}, {QStringLiteral("members"), list}});
}

void AccountApi::teamSync(const Caller& caller, const HttpResponder& respond)
{
    HttpResponse refusal;
    const std::optional<QString> ownerId = readableOwner(caller, &refusal);
    if (!ownerId) {
        respond(refusal);
        return;
    }
    const std::optional<HostSnapshot> head = m_store->snapshotHead(*ownerId);
    if (!head) {
        respond(storageError());
        return;
    }
    if (*ownerId == caller.userId) {
        answerSnapshot(
            QStringLiteral("sync/") + *ownerId, *head,
            [this, ownerId = *ownerId] { return m_store->snapshot(ownerId); },
            [ownerId = *ownerId](const HostSnapshot& snapshot) {
                return HostSyncBody::ownerAnswer(snapshot, ownerId);
            },
            respond);
        return;
    }
    // Each member's answer holds its own sealed key: never shared.
    answerSnapshot(
        {}, *head,
        [this, ownerId = *ownerId, memberId = caller.userId] {
            return m_store->teamSnapshot(ownerId, memberId);
        },
        [ownerId = *ownerId](const HostSnapshot& snapshot) {
            return HostSyncBody::memberAnswer(snapshot, ownerId);
        },
        respond);
}

void AccountApi::storeTeamSync(const Caller& caller, const HttpRequest& request, const HttpResponder& respond)
{
    const std::optional<QString> owner = m_store->ownerOf(caller.userId);
    if (!owner) {
        respond(storageError());
        return;
    }
    if (!owner->isEmpty()) {
        respond(HttpResponse::error(403, kOwnerUploadsOnly));
        return;
    }
    m_codecPool.start([this, caller, body = request.body, respond] {
        QString error;
        std::optional<HostSyncBody::TeamUpload> upload = HostSyncBody::readTeamUpload(body, &error);
        QMetaObject::invokeMethod(this, [this, caller, upload = std::move(upload), error, respond] {
            if (!upload) {
                respond(HttpResponse::error(400, error));
                return;
            }
            const std::optional<QList<UserRecord>> members = m_store->teamMembers(caller.userId);
            if (!members) {
                respond(storageError());
                return;
            }
            QSet<QString> memberIds;
            for (const UserRecord& member : *members) {
                memberIds.insert(member.id);
            }
            for (const SealedKey& key : upload->sealedKeys) {
                if (!memberIds.contains(key.memberId)) {
                    respond(HttpResponse::error(400, QStringLiteral("a sealed key is for a user who is not a "
                                                                    "member of this team")));
                    return;
                }
            }
            if (const std::optional<HttpResponse> refusal =
                    quotaRefusal(caller.userId, upload->payload.size() + upload->teamPayload.size())) {
                respond(*refusal);
                return;
            }
            HostSnapshot stored;
            switch (m_store->storeTeamSnapshot(caller.userId, upload->payload, upload->teamPayload,
                                               upload->sealedKeys, static_cast<int>(upload->deviceCount),
                                               upload->expectedRevision, &stored)) {
            case AccountStore::Store::Conflict:
                respond(HttpResponse::error(409, kSnapshotChanged));
                return;
            case AccountStore::Store::Failed:
                respond(storageError());
                return;
            case AccountStore::Store::Stored:
                break;
            }
            dropCachedAnswer(caller.userId);
            dropCachedAnswer(QStringLiteral("sync/") + caller.userId);
            respond(HttpResponse::json(200, {{QStringLiteral("revision"), stored.revision},
                                             {QStringLiteral("updated_at"), isoTime(stored.updatedMs)}}));
        });
    });
}

std::optional<HttpResponse> AccountApi::quotaRefusal(const QString& userId, qint64 payloadBytes)
{
    if (payloadBytes <= snapshotQuotaBytes()) {
        return std::nullopt;
    }
    const std::optional<bool> quota = hasQuota(userId);
    if (!quota) {
        return storageError();
    }
    if (*quota) {
        return quotaExceeded();
    }
    return std::nullopt;
}

std::optional<bool> AccountApi::hasQuota(const QString& userId)
{
    return m_store->isSelfRegistered(userId);
}

HttpResponse AccountApi::quotaExceeded() const
{
    return HttpResponse::error(413, QStringLiteral("host data larger than this account's quota of %1 MiB")
                                        .arg(m_config.snapshotQuotaMiB));
}

HttpResponse AccountApi::clientUpdate(const QString& platform)
{
    if (platform != QLatin1String("windows") && platform != QLatin1String("linux")) {
        return HttpResponse::error(404, QStringLiteral("unknown platform"));
    }
    bool failed = false;
    const std::optional<UpdateRecord> record = m_store->update(platform, &failed);
    if (failed) {
        return storageError();
    }
    if (!record) {
        return HttpResponse::json(200, {{QStringLiteral("enabled"), false}});
    }
    return HttpResponse::json(200, {
                                       {QStringLiteral("enabled"), true},
                                       {QStringLiteral("latest_version"), record->version},
                                       {QStringLiteral("minimum_version"), record->minimumVersion},
                                       {QStringLiteral("download_url"),
                                        m_publicBase + QStringLiteral("/downloads/") + record->fileName},
                                       {QStringLiteral("sha256"), record->sha256},
                                       {QStringLiteral("release_notes"), record->notes},
                                   });
}

HttpResponse AccountApi::download(const QString& name)
{
    // \A and \z: `$` would also match before a final line break, which would reach the header.
    static const QRegularExpression safeName(QStringLiteral("\\A[A-Za-z0-9_+-][A-Za-z0-9._+-]{0,200}\\z"));
    if (m_config.updateDirectory.isEmpty() || !safeName.match(name).hasMatch()) {
        return HttpResponse::error(404, QStringLiteral("not found"));
    }
    // Only regular files that are in the directory themselves: a symbolic link may lead anywhere.
    const QDir directory(m_config.updateDirectory);
    const QFileInfo file(directory.filePath(name));
    if (file.isSymLink() || !file.isFile() ||
        QFileInfo(file.canonicalFilePath()).absolutePath() != directory.canonicalPath()) {
        return HttpResponse::error(404, QStringLiteral("not found"));
    }
    HttpResponse response;
    response.contentType = "application/octet-stream";
    response.filePath = file.absoluteFilePath();
    response.headers.append({"Content-Disposition", "attachment; filename=\"" + name.toLatin1() + '"'});
    return response;
}

void AccountApi::purge()
{
    m_store->purgeSessions(m_config.idleDays * kDayMs, m_config.maxDays * kDayMs);
    m_store->purgeSignInFailures(qMax(m_config.signInWindowMinutes, m_config.registrationWindowMinutes) *
                                 kMinuteMs);
    m_store->purgeSignInAddresses(m_config.maxDays * kDayMs);
}
