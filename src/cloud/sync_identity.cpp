#include "cloud/sync_identity.h"

#include "platform/secure_memory.h"

#include <QStringList>

#include <sodium.h>

namespace {

constexpr char kPrefix[] = "NIMBARA-KEYS-2.";
constexpr qsizetype kMinPassphraseLength = 12;
constexpr qsizetype kSaltBytes = crypto_pwhash_SALTBYTES;
constexpr qsizetype kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr qsizetype kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr qsizetype kSecretBytes = 32 + 64 + SyncIdentity::kVaultKeyBytes;
// The same cost as the inventory's passphrase key, written out so that the format does not follow
// whatever a future libsodium calls interactive.
constexpr unsigned long long kOpsLimit = 2;
constexpr size_t kMemLimit = 67108864;

static_assert(crypto_box_PUBLICKEYBYTES == 32 && crypto_box_SECRETKEYBYTES == 32);
static_assert(crypto_sign_PUBLICKEYBYTES == 32 && crypto_sign_SECRETKEYBYTES == 64);
static_assert(kSaltBytes == 16 && kNonceBytes == 24 && kTagBytes == 16);

const auto kBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

void setError(QString* error, const char* text)
{
    if (error) {
        *error = QString::fromUtf8(text);
    }
}

const unsigned char* bytes(const QByteArray& buffer)
{
    return reinterpret_cast<const unsigned char*>(buffer.constData());
}

unsigned char* bytes(QByteArray& buffer)
{
    return reinterpret_cast<unsigned char*>(buffer.data());
}

QByteArray associatedData(const QString& accountId, const QByteArray& boxPublic, const QByteArray& signPublic)
{
    return QByteArrayLiteral("NIMBARA-KEYS-2\n") + accountId.toUtf8() + '\n' + boxPublic + signPublic;
}

bool deriveKey(const QString& passphrase, const QByteArray& salt, unsigned char* key)
{
    QByteArray secret = passphrase.toUtf8();
    const int rc = crypto_pwhash(key, 32, secret.constData(), static_cast<unsigned long long>(secret.size()),
                                 bytes(salt), kOpsLimit, kMemLimit, crypto_pwhash_ALG_ARGON2ID13);
    SecureMemory::wipe(secret);
    if (rc != 0) {
        sodium_memzero(key, 32);
    }
    return rc == 0;
}

bool decodePart(const QString& part, QByteArray* out)
{
    auto result = QByteArray::fromBase64Encoding(
        part.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result) {
        return false;
    }
    *out = std::move(*result);
    return true;
}

} // namespace

SyncIdentity::~SyncIdentity()
{
    sodium_memzero(m_boxSecret.data(), m_boxSecret.size());
    sodium_memzero(m_signSecret.data(), m_signSecret.size());
    sodium_memzero(m_vault.data(), m_vault.size());
}

std::optional<SyncIdentity> SyncIdentity::generate(QString* error)
{
    if (sodium_init() < 0) {
        setError(error, "加密组件初始化失败");
        return std::nullopt;
    }
    SyncIdentity identity;
    crypto_box_keypair(identity.m_boxPublic.data(), identity.m_boxSecret.data());
    crypto_sign_keypair(identity.m_signPublic.data(), identity.m_signSecret.data());
    randombytes_buf(identity.m_vault.data(), identity.m_vault.size());
    return identity;
}

QByteArray SyncIdentity::boxPublic() const
{
    return QByteArray(reinterpret_cast<const char*>(m_boxPublic.data()), kPublicKeyBytes);
}

QByteArray SyncIdentity::signPublic() const
{
    return QByteArray(reinterpret_cast<const char*>(m_signPublic.data()), kPublicKeyBytes);
}

QString SyncIdentity::fingerprint(const QByteArray& boxPublic, const QByteArray& signPublic)
{
    if (sodium_init() < 0) {
        return {};
    }
    const QByteArray keys = QByteArrayLiteral("NIMBARA-FINGERPRINT-2\n") + boxPublic + signPublic;
    unsigned char hash[16];
    crypto_generichash(hash, sizeof hash, bytes(keys), static_cast<unsigned long long>(keys.size()), nullptr,
                       0);
    const QString hex =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(hash), sizeof hash).toHex().toUpper());
    QStringList groups;
    for (int i = 0; i < hex.size(); i += 4) {
        groups.append(hex.mid(i, 4));
    }
    return groups.join(QLatin1Char(' '));
}

bool SyncIdentity::isConsistent() const
{
    unsigned char boxPublic[32];
    unsigned char signPublic[32];
    if (crypto_scalarmult_base(boxPublic, m_boxSecret.data()) != 0 ||
        crypto_sign_ed25519_sk_to_pk(signPublic, m_signSecret.data()) != 0) {
        return false;
    }
    return sodium_memcmp(boxPublic, m_boxPublic.data(), 32) == 0 &&
           sodium_memcmp(signPublic, m_signPublic.data(), 32) == 0;
}

QString SyncIdentity::wrap(const QString& accountId, const QString& passphrase, QString* error) const
{
    if (passphrase.size() < kMinPassphraseLength) {
        setError(error, "同步密码至少需要 12 个字符");
        return {};
    }
    if (sodium_init() < 0) {
        setError(error, "加密组件初始化失败");
        return {};
    }
    QByteArray salt(kSaltBytes, '\0');
    QByteArray nonce(kNonceBytes, '\0');
    randombytes_buf(salt.data(), static_cast<size_t>(salt.size()));
    randombytes_buf(nonce.data(), static_cast<size_t>(nonce.size()));
    unsigned char key[32];
    if (!deriveKey(passphrase, salt, key)) {
        setError(error, "无法生成云同步加密密钥");
        return {};
    }
    QByteArray secrets(kSecretBytes, '\0');
    memcpy(secrets.data(), m_boxSecret.data(), 32);
    memcpy(secrets.data() + 32, m_signSecret.data(), 64);
    memcpy(secrets.data() + 96, m_vault.data(), kVaultKeyBytes);
    const QByteArray ad = associatedData(accountId, boxPublic(), signPublic());
    QByteArray box(kSecretBytes + kTagBytes, '\0');
    crypto_aead_xchacha20poly1305_ietf_encrypt(bytes(box), nullptr, bytes(secrets), kSecretBytes, bytes(ad),
                                               static_cast<unsigned long long>(ad.size()), nullptr,
                                               bytes(nonce), key);
    sodium_memzero(key, sizeof key);
    SecureMemory::wipe(secrets);
    return QString::fromLatin1(QByteArray(kPrefix) + salt.toBase64(kBase64) + '.' + nonce.toBase64(kBase64) +
                               '.' + box.toBase64(kBase64));
}

std::optional<SyncIdentity> SyncIdentity::unwrap(const QString& wrapped, const QString& accountId,
                                                 const QByteArray& boxPublic, const QByteArray& signPublic,
                                                 const QString& passphrase, QString* error)
{
    if (sodium_init() < 0) {
        setError(error, "加密组件初始化失败");
        return std::nullopt;
    }
    const QLatin1String prefix(kPrefix);
    const QStringList parts =
        wrapped.startsWith(prefix) ? wrapped.sliced(prefix.size()).split(u'.') : QStringList();
    QByteArray salt;
    QByteArray nonce;
    QByteArray box;
    if (parts.size() != 3 || !decodePart(parts[0], &salt) || !decodePart(parts[1], &nonce) ||
        !decodePart(parts[2], &box) || salt.size() != kSaltBytes || nonce.size() != kNonceBytes ||
        box.size() != kSecretBytes + kTagBytes || boxPublic.size() != kPublicKeyBytes ||
        signPublic.size() != kPublicKeyBytes) {
        setError(error, "云端同步密钥已损坏");
        return std::nullopt;
    }
    if (passphrase.size() < kMinPassphraseLength) {
        setError(error, "同步密码错误，或云端数据已被修改");
        return std::nullopt;
    }
    unsigned char key[32];
    if (!deriveKey(passphrase, salt, key)) {
        setError(error, "无法生成云同步解密密钥");
        return std::nullopt;
    }
    const QByteArray ad = associatedData(accountId, boxPublic, signPublic);
    QByteArray secrets(kSecretBytes, '\0');
    const int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
        bytes(secrets), nullptr, nullptr, bytes(box), static_cast<unsigned long long>(box.size()), bytes(ad),
        static_cast<unsigned long long>(ad.size()), bytes(nonce), key);
    sodium_memzero(key, sizeof key);
    if (rc != 0) {
        SecureMemory::wipe(secrets);
        setError(error, "同步密码错误，或云端数据已被修改");
        return std::nullopt;
    }
    SyncIdentity identity;
    memcpy(identity.m_boxPublic.data(), boxPublic.constData(), 32);
    memcpy(identity.m_signPublic.data(), signPublic.constData(), 32);
    memcpy(identity.m_boxSecret.data(), secrets.constData(), 32);
    memcpy(identity.m_signSecret.data(), secrets.constData() + 32, 64);
    memcpy(identity.m_vault.data(), secrets.constData() + 96, kVaultKeyBytes);
    SecureMemory::wipe(secrets);
    if (!identity.isConsistent()) {
        setError(error, "云端同步密钥已损坏");
        return std::nullopt;
    }
    return identity;
}
