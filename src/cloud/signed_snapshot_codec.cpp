#include "cloud/signed_snapshot_codec.h"

#include "cloud/host_snapshot_codec.h"
#include "cloud/sync_identity.h"
#include "platform/secure_memory.h"

#include <QSet>
#include <QStringList>

#include <sodium.h>

namespace {

constexpr char kFullPrefix[] = "NIMBARA-SYNC-2.";
constexpr char kTeamPrefix[] = "NIMBARA-TEAM-2.";
constexpr qsizetype kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr qsizetype kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr qsizetype kKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr qsizetype kSignatureBytes = crypto_sign_BYTES;
constexpr qsizetype kSealedKeyBytes = crypto_box_SEALBYTES + kKeyBytes;

const auto kBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

enum class Kind { Full, Team };

bool fail(QString* error, const char* text)
{
    if (error) {
        *error = QString::fromUtf8(text);
    }
    return false;
}

const unsigned char* bytes(const QByteArray& buffer)
{
    return reinterpret_cast<const unsigned char*>(buffer.constData());
}

unsigned char* bytes(QByteArray& buffer)
{
    return reinterpret_cast<unsigned char*>(buffer.data());
}

QByteArray associatedData(Kind kind, const QString& accountId, qint64 revision)
{
    return QByteArrayLiteral("NIMBARA-SYNC-2\n") + (kind == Kind::Full ? "full" : "team") + '\n' +
           accountId.toUtf8() + '\n' + QByteArray::number(revision);
}

bool decodePart(QStringView part, QByteArray* out)
{
    auto result = QByteArray::fromBase64Encoding(
        part.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result) {
        return false;
    }
    *out = std::move(*result);
    return true;
}

QString seal(Kind kind, const HostSnapshot& snapshot, const unsigned char* key, const SyncIdentity& owner,
             const QString& accountId, qint64 revision, QString* error)
{
    if (sodium_init() < 0) {
        fail(error, "加密组件初始化失败");
        return {};
    }
    QByteArray plaintext = serializeHostSnapshot(snapshot);
    QByteArray nonce(kNonceBytes, '\0');
    randombytes_buf(nonce.data(), static_cast<size_t>(nonce.size()));
    const QByteArray ad = associatedData(kind, accountId, revision);
    QByteArray signedPart = ad + nonce;
    const qsizetype boxOffset = signedPart.size();
    signedPart.resize(boxOffset + plaintext.size() + kTagBytes);
    crypto_aead_xchacha20poly1305_ietf_encrypt(bytes(signedPart) + boxOffset, nullptr, bytes(plaintext),
                                               static_cast<unsigned long long>(plaintext.size()), bytes(ad),
                                               static_cast<unsigned long long>(ad.size()), nullptr,
                                               bytes(nonce), key);
    SecureMemory::wipe(plaintext);
    QByteArray signature(kSignatureBytes, '\0');
    if (crypto_sign_detached(bytes(signature), nullptr, bytes(signedPart),
                             static_cast<unsigned long long>(signedPart.size()), owner.signSecret()) != 0) {
        fail(error, "主机数据签名失败");
        return {};
    }
    const QByteArray box =
        QByteArray::fromRawData(signedPart.constData() + boxOffset, signedPart.size() - boxOffset);
    return QString::fromLatin1(QByteArray(kind == Kind::Full ? kFullPrefix : kTeamPrefix) +
                               nonce.toBase64(kBase64) + '.' + box.toBase64(kBase64) + '.' +
                               signature.toBase64(kBase64));
}

// Checks the signature first (nothing unsigned is ever decrypted or parsed), then opens the box.
bool open(Kind kind, const QString& container, const unsigned char* key, const unsigned char* signPublic,
          const QString& accountId, qint64 revision, HostSnapshot* snapshot, QString* error)
{
    if (sodium_init() < 0) {
        return fail(error, "加密组件初始化失败");
    }
    const QLatin1String prefix(kind == Kind::Full ? kFullPrefix : kTeamPrefix);
    if (!container.startsWith(prefix)) {
        return fail(error, "云端主机数据格式不正确");
    }
    const QList<QStringView> parts = QStringView(container).sliced(prefix.size()).split(u'.');
    QByteArray nonce;
    QByteArray box;
    QByteArray signature;
    if (parts.size() != 3 || !decodePart(parts[0], &nonce) || !decodePart(parts[1], &box) ||
        !decodePart(parts[2], &signature) || nonce.size() != kNonceBytes || box.size() <= kTagBytes ||
        signature.size() != kSignatureBytes) {
        return fail(error, "云端加密数据已损坏");
    }
    const QByteArray ad = associatedData(kind, accountId, revision);
    const QByteArray signedPart = ad + nonce + box;
    if (crypto_sign_verify_detached(bytes(signature), bytes(signedPart),
                                    static_cast<unsigned long long>(signedPart.size()), signPublic) != 0) {
        return fail(error, "云端主机数据的签名无效：它不是由主账号上传的，或已被修改、移用，已拒绝合并");
    }
    QByteArray plaintext(box.size() - kTagBytes, '\0');
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            bytes(plaintext), nullptr, nullptr, bytes(box), static_cast<unsigned long long>(box.size()),
            bytes(ad), static_cast<unsigned long long>(ad.size()), bytes(nonce), key) != 0) {
        SecureMemory::wipe(plaintext);
        return fail(error, kind == Kind::Full ? "无法解密云端主机：同步密码可能已在另一台电脑上更改"
                                              : "团队主机数据无法解密，请主账号再同步一次");
    }
    const bool parsed = parseHostSnapshot(plaintext, snapshot, error);
    SecureMemory::wipe(plaintext);
    return parsed;
}

} // namespace

HostSnapshot teamShare(const HostSnapshot& full)
{
    HostSnapshot team;
    QSet<QString> groupIds;
    for (const Remote& remote : full.remotes) {
        if (remote.access_scope == QLatin1String("team")) {
            team.remotes.append(remote);
            groupIds.insert(remote.group_id);
        }
    }
    for (const Group& group : full.groups) {
        if (groupIds.contains(group.id)) {
            team.groups.append(group);
        }
    }
    return team;
}

QString sealFullSnapshot(const HostSnapshot& snapshot, const SyncIdentity& owner, const QString& accountId,
                         qint64 revision, QString* error)
{
    return seal(Kind::Full, snapshot, owner.vaultKey(), owner, accountId, revision, error);
}

bool openFullSnapshot(const QString& container, const SyncIdentity& owner, const QString& accountId,
                      qint64 revision, HostSnapshot* snapshot, QString* error)
{
    return open(Kind::Full, container, owner.vaultKey(), owner.signPublicKey(), accountId, revision, snapshot,
                error);
}

std::optional<TeamUpload> sealTeamSnapshot(const HostSnapshot& team, const SyncIdentity& owner,
                                           const QString& accountId, qint64 revision,
                                           const QList<TeamRecipient>& recipients, QString* error)
{
    if (sodium_init() < 0) {
        fail(error, "加密组件初始化失败");
        return std::nullopt;
    }
    unsigned char key[kKeyBytes];
    crypto_aead_xchacha20poly1305_ietf_keygen(key);
    TeamUpload upload;
    upload.container = seal(Kind::Team, team, key, owner, accountId, revision, error);
    for (const TeamRecipient& recipient : recipients) {
        QByteArray sealed(kSealedKeyBytes, '\0');
        if (upload.container.isEmpty() || recipient.boxPublic.size() != crypto_box_PUBLICKEYBYTES ||
            crypto_box_seal(bytes(sealed), key, kKeyBytes, bytes(recipient.boxPublic)) != 0) {
            sodium_memzero(key, sizeof key);
            if (!upload.container.isEmpty()) {
                fail(error, "团队密钥加密失败");
            }
            return std::nullopt;
        }
        upload.keys.append({recipient.memberId, QString::fromLatin1(sealed.toBase64(kBase64))});
    }
    sodium_memzero(key, sizeof key);
    if (upload.container.isEmpty()) {
        return std::nullopt;
    }
    return upload;
}

bool openTeamSnapshot(const QString& container, const QString& sealedKey, const SyncIdentity& member,
                      const QByteArray& ownerSignPublic, const QString& accountId, qint64 revision,
                      HostSnapshot* snapshot, QString* error)
{
    if (sodium_init() < 0) {
        return fail(error, "加密组件初始化失败");
    }
    QByteArray sealed;
    if (!decodePart(sealedKey, &sealed) || sealed.size() != kSealedKeyBytes ||
        ownerSignPublic.size() != crypto_sign_PUBLICKEYBYTES) {
        return fail(error, "团队密钥已损坏");
    }
    unsigned char key[kKeyBytes];
    if (crypto_box_seal_open(key, bytes(sealed), static_cast<unsigned long long>(sealed.size()),
                             member.boxPublicKey(), member.boxSecret()) != 0) {
        return fail(error, "团队密钥无法用本账号的密钥打开，请主账号再同步一次");
    }
    const bool opened =
        open(Kind::Team, container, key, bytes(ownerSignPublic), accountId, revision, snapshot, error);
    sodium_memzero(key, sizeof key);
    return opened;
}
