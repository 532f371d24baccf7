#include "cloud/host_snapshot_codec.h"

#include "platform/secure_memory.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

#include <sodium.h>

#include <array>

namespace {

constexpr int kSchema = 1;
constexpr char kPrefix[] = "NIMBARA-SYNC-1.";
constexpr qsizetype kMinPassphraseLength = 12;
constexpr qsizetype kSaltBytes = 16;
constexpr qsizetype kNonceBytes = crypto_secretbox_NONCEBYTES;
constexpr qsizetype kMacBytes = crypto_secretbox_MACBYTES;
constexpr size_t kKeyBytes = crypto_secretbox_KEYBYTES;
// Written out rather than taken from libsodium's "interactive" constants: the container format
// depends on these values, not on whatever a future libsodium considers interactive.
constexpr unsigned long long kOpsLimit = 2;
constexpr size_t kMemLimit = 67108864;

static_assert(kSaltBytes == crypto_pwhash_SALTBYTES);
static_assert(kNonceBytes == 24 && kMacBytes == 16 && kKeyBytes == 32);

const auto kBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

using Key = std::array<unsigned char, kKeyBytes>;

bool fail(QString* error, const char* text)
{
    if (error) {
        *error = QString::fromUtf8(text);
    }
    return false;
}

unsigned char* bytes(QByteArray& buffer)
{
    return reinterpret_cast<unsigned char*>(buffer.data());
}

const unsigned char* bytes(const QByteArray& buffer)
{
    return reinterpret_cast<const unsigned char*>(buffer.constData());
}

bool deriveKey(const QString& passphrase, const QByteArray& salt, Key& key)
{
    QByteArray secret = passphrase.toUtf8();
    const int rc = crypto_pwhash(key.data(), key.size(), secret.constData(),
                                 static_cast<unsigned long long>(secret.size()), bytes(salt), kOpsLimit,
                                 kMemLimit, crypto_pwhash_ALG_ARGON2ID13);
    SecureMemory::wipe(secret);
    if (rc != 0) {
        sodium_memzero(key.data(), key.size());
    }
    return rc == 0;
}

// Strict URL-safe Base64 with or without padding; a character outside the alphabet is an error.
bool decodePart(const QString& part, QByteArray* out)
{
    auto result = QByteArray::fromBase64Encoding(part.toUtf8(), QByteArray::Base64UrlEncoding |
                                                                    QByteArray::AbortOnBase64DecodingErrors);
    if (!result) {
        return false;
    }
    *out = std::move(*result);
    return true;
}

// An unset time gives the empty text, which JSON carries as "".
QString timeText(const QDateTime& time)
{
    return time.toString(Qt::ISODateWithMs);
}

QDateTime parseTime(const QJsonValue& value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODate);
}

// Only "team" shares a host; every other value keeps it private.
QString accessScope(const QString& value)
{
    return value == QLatin1String("team") ? QStringLiteral("team") : QStringLiteral("owner");
}

QJsonObject groupObject(const Group& group)
{
    return QJsonObject{
        {QStringLiteral("id"), group.id},
        {QStringLiteral("name"), group.name},
        {QStringLiteral("sort_order"), group.sort_order},
        {QStringLiteral("created_at"), timeText(group.created_at)},
    };
}

QJsonObject remoteObject(const Remote& remote)
{
    return QJsonObject{
        {QStringLiteral("id"), remote.id},
        {QStringLiteral("name"), remote.name},
        {QStringLiteral("host"), remote.host},
        {QStringLiteral("port"), remote.port},
        {QStringLiteral("username"), remote.username},
        {QStringLiteral("password"), remote.password},
        {QStringLiteral("remark"), remote.remark},
        {QStringLiteral("group_id"), remote.group_id},
        {QStringLiteral("mac"), remote.mac_address},
        {QStringLiteral("legacy"), remote.legacy_rdp_security},
        {QStringLiteral("protocol"), remote.protocol},
        {QStringLiteral("agent_device_id"), remote.agent_device_id},
        {QStringLiteral("rdp_certificate_fingerprint"), remote.rdp_certificate_fingerprint},
        {QStringLiteral("access_scope"), accessScope(remote.access_scope)},
        {QStringLiteral("created_at"), timeText(remote.created_at)},
        {QStringLiteral("updated_at"), timeText(remote.updated_at)},
    };
}

Group readGroup(const QJsonObject& object)
{
    Group group;
    group.id = object.value(QStringLiteral("id")).toString();
    group.name = object.value(QStringLiteral("name")).toString();
    group.sort_order = object.value(QStringLiteral("sort_order")).toInt(0);
    group.created_at = parseTime(object.value(QStringLiteral("created_at")));
    return group;
}

Remote readRemote(const QJsonObject& object)
{
    Remote remote; // source_type stays "manual": it does not travel with the host
    remote.id = object.value(QStringLiteral("id")).toString();
    remote.name = object.value(QStringLiteral("name")).toString();
    remote.host = object.value(QStringLiteral("host")).toString();
    remote.port = object.value(QStringLiteral("port")).toInt(0);
    remote.username = object.value(QStringLiteral("username")).toString();
    remote.password = object.value(QStringLiteral("password")).toString();
    remote.remark = object.value(QStringLiteral("remark")).toString();
    remote.group_id = object.value(QStringLiteral("group_id")).toString();
    remote.mac_address = object.value(QStringLiteral("mac")).toString();
    remote.legacy_rdp_security = object.value(QStringLiteral("legacy")).toBool(false);
    remote.protocol = object.value(QStringLiteral("protocol")).toString(QStringLiteral("rdp"));
    remote.agent_device_id = object.value(QStringLiteral("agent_device_id")).toString();
    remote.rdp_certificate_fingerprint =
        object.value(QStringLiteral("rdp_certificate_fingerprint")).toString();
    remote.access_scope =
        accessScope(object.value(QStringLiteral("access_scope")).toString(QStringLiteral("owner")));
    remote.created_at = parseTime(object.value(QStringLiteral("created_at")));
    remote.updated_at = parseTime(object.value(QStringLiteral("updated_at")));
    return remote;
}

} // namespace

QByteArray serializeHostSnapshot(const HostSnapshot& snapshot)
{
    QJsonArray groups;
    for (const Group& group : snapshot.groups) {
        groups.append(groupObject(group));
    }
    QJsonArray remotes;
    for (const Remote& remote : snapshot.remotes) {
        remotes.append(remoteObject(remote));
    }
    // QJsonObject keeps its keys sorted, which makes the bytes (and so the digest) canonical.
    const QJsonObject root{{QStringLiteral("schema"), kSchema},
                           {QStringLiteral("groups"), groups},
                           {QStringLiteral("remotes"), remotes}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool parseHostSnapshot(const QByteArray& json, HostSnapshot* snapshot, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    const QJsonObject root = document.object();
    if (parseError.error != QJsonParseError::NoError ||
        root.value(QStringLiteral("schema")).toInt(0) != kSchema) {
        return fail(error, "云端主机数据格式不受支持");
    }

    HostSnapshot parsed;
    for (const QJsonValue& value : root.value(QStringLiteral("groups")).toArray()) {
        Group group = readGroup(value.toObject());
        if (!group.id.isEmpty() && !group.name.isEmpty()) {
            parsed.groups.append(std::move(group));
        }
    }
    for (const QJsonValue& value : root.value(QStringLiteral("remotes")).toArray()) {
        Remote remote = readRemote(value.toObject());
        if (!remote.id.isEmpty() && !remote.host.isEmpty() && !remote.group_id.isEmpty() &&
            remote.port >= 1 && remote.port <= 65535) {
            parsed.remotes.append(std::move(remote));
        }
    }
    if (snapshot) {
        *snapshot = std::move(parsed);
    }
    return true;
}

QString encryptHostSnapshot(const HostSnapshot& snapshot, const QString& passphrase, QString* error)
{
    if (passphrase.size() < kMinPassphraseLength) {
        fail(error, "同步密码至少需要 12 个字符");
        return {};
    }
    if (sodium_init() < 0) {
        fail(error, "加密组件初始化失败");
        return {};
    }

    QByteArray salt(kSaltBytes, '\0');
    QByteArray nonce(kNonceBytes, '\0');
    randombytes_buf(salt.data(), static_cast<size_t>(salt.size()));
    randombytes_buf(nonce.data(), static_cast<size_t>(nonce.size()));

    Key key;
    if (!deriveKey(passphrase, salt, key)) {
        fail(error, "无法生成云同步加密密钥");
        return {};
    }

    QByteArray plaintext = serializeHostSnapshot(snapshot);
    QByteArray box(plaintext.size() + kMacBytes, '\0');
    const int rc =
        crypto_secretbox_easy(bytes(box), bytes(plaintext), static_cast<unsigned long long>(plaintext.size()),
                              bytes(nonce), key.data());
    sodium_memzero(key.data(), key.size());
    SecureMemory::wipe(plaintext);
    if (rc != 0) {
        fail(error, "主机数据加密失败");
        return {};
    }

    const QByteArray container = QByteArray(kPrefix) + salt.toBase64(kBase64) + '.' +
                                 nonce.toBase64(kBase64) + '.' + box.toBase64(kBase64);
    return QString::fromLatin1(container);
}

bool decryptHostSnapshot(const QString& container, const QString& passphrase, HostSnapshot* snapshot,
                         QString* error)
{
    if (sodium_init() < 0) {
        return fail(error, "加密组件初始化失败");
    }

    const QLatin1String prefix(kPrefix);
    if (!container.startsWith(prefix, Qt::CaseSensitive)) {
        return fail(error, "同步密码或云端数据格式不正确");
    }
    const QStringList parts = container.sliced(prefix.size()).split(u'.', Qt::KeepEmptyParts);
    if (parts.size() != 3 || passphrase.size() < kMinPassphraseLength) {
        return fail(error, "同步密码或云端数据格式不正确");
    }

    QByteArray salt;
    QByteArray nonce;
    QByteArray box;
    // A box of exactly the tag would hold an empty payload, which no encryption produces.
    if (!decodePart(parts[0], &salt) || !decodePart(parts[1], &nonce) || !decodePart(parts[2], &box) ||
        salt.size() != kSaltBytes || nonce.size() != kNonceBytes || box.size() <= kMacBytes) {
        return fail(error, "云端加密数据已损坏");
    }

    Key key;
    if (!deriveKey(passphrase, salt, key)) {
        return fail(error, "无法生成云同步解密密钥");
    }

    QByteArray plaintext(box.size() - kMacBytes, '\0');
    const int rc = crypto_secretbox_open_easy(
        bytes(plaintext), bytes(box), static_cast<unsigned long long>(box.size()), bytes(nonce), key.data());
    sodium_memzero(key.data(), key.size());
    if (rc != 0) {
        SecureMemory::wipe(plaintext);
        return fail(error, "同步密码错误，或云端数据已被修改");
    }

    const bool parsed = parseHostSnapshot(plaintext, snapshot, error);
    SecureMemory::wipe(plaintext);
    return parsed;
}

QString snapshotDigest(const HostSnapshot& snapshot)
{
    QByteArray payload = serializeHostSnapshot(snapshot);
    const QByteArray digest = QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex();
    SecureMemory::wipe(payload);
    return QString::fromLatin1(digest);
}
