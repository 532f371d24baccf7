#include "storage/master_key_record.h"

#include "platform/secure_memory.h"

#include <QtEndian>

#include <sodium.h>

#include <atomic>
#include <cstring>

namespace {

constexpr char kMagic[] = {'N', 'M', 'M', 'K'};
constexpr quint8 kVersion = 1;
constexpr qsizetype kHeaderSize = 4 + 1 + 8 + 8;
constexpr qsizetype kSaltOffset = kHeaderSize;
constexpr qsizetype kPublicKeyOffset = kSaltOffset + crypto_pwhash_SALTBYTES;
constexpr qsizetype kNonceOffset = kPublicKeyOffset + crypto_box_PUBLICKEYBYTES;
constexpr qsizetype kBoxOffset = kNonceOffset + crypto_secretbox_NONCEBYTES;
constexpr qsizetype kRecordSize = kBoxOffset + crypto_secretbox_MACBYTES + crypto_box_SECRETKEYBYTES;
// Accepted when reading: far above what any record is sealed with, yet bounded, so that a damaged or
// hand-made file cannot make the program ask for gigabytes or spin for minutes.
constexpr quint64 kMaxOpsLimit = 32;
constexpr quint64 kMaxMemLimit = quint64(1) << 30;

std::atomic<quint64> g_opsLimit{0};
std::atomic<quint64> g_memLimit{0};

const unsigned char* bytes(const QByteArray& array, qsizetype offset = 0)
{
    return reinterpret_cast<const unsigned char*>(array.constData()) + offset;
}

std::optional<MasterKeyRecord::KdfLimits> limitsOf(const QByteArray& record)
{
    if (record.size() != kRecordSize || std::memcmp(record.constData(), kMagic, sizeof kMagic) != 0 ||
        static_cast<quint8>(record.at(4)) != kVersion) {
        return std::nullopt;
    }
    MasterKeyRecord::KdfLimits limits;
    limits.opsLimit = qFromLittleEndian<quint64>(record.constData() + 5);
    limits.memLimit = qFromLittleEndian<quint64>(record.constData() + 13);
    if (limits.opsLimit < crypto_pwhash_OPSLIMIT_MIN || limits.opsLimit > kMaxOpsLimit ||
        limits.memLimit < crypto_pwhash_MEMLIMIT_MIN || limits.memLimit > kMaxMemLimit) {
        return std::nullopt;
    }
    return limits;
}

} // namespace

MasterKeyRecord::KdfLimits MasterKeyRecord::moderateLimits()
{
    return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
}

MasterKeyRecord::KdfLimits MasterKeyRecord::sealingLimits()
{
    const quint64 ops = g_opsLimit.load();
    return ops == 0 ? moderateLimits() : KdfLimits{ops, g_memLimit.load()};
}

void MasterKeyRecord::setSealingLimits(KdfLimits limits)
{
    g_opsLimit = std::max<quint64>(limits.opsLimit, crypto_pwhash_OPSLIMIT_MIN);
    g_memLimit = std::max<quint64>(limits.memLimit, crypto_pwhash_MEMLIMIT_MIN);
}

bool MasterKeyRecord::isRecord(const QByteArray& plain)
{
    return plain.size() >= static_cast<qsizetype>(sizeof kMagic) &&
           std::memcmp(plain.constData(), kMagic, sizeof kMagic) == 0;
}

bool MasterKeyRecord::deriveKey(unsigned char* key, const QString& password, const unsigned char* salt,
                                KdfLimits limits)
{
    QByteArray utf8 = password.toUtf8();
    const int rc = crypto_pwhash(key, crypto_secretbox_KEYBYTES, utf8.constData(),
                                 static_cast<unsigned long long>(utf8.size()), salt, limits.opsLimit,
                                 static_cast<size_t>(limits.memLimit), crypto_pwhash_ALG_ARGON2ID13);
    SecureMemory::wipe(utf8);
    return rc == 0;
}

QByteArray MasterKeyRecord::seal(const QByteArray& publicKey, const QByteArray& secretKey,
                                 const QString& password)
{
    if (publicKey.size() != crypto_box_PUBLICKEYBYTES || secretKey.size() != crypto_box_SECRETKEYBYTES) {
        return {};
    }
    const KdfLimits limits = sealingLimits();
    QByteArray record(kRecordSize, '\0');
    char* out = record.data();
    std::memcpy(out, kMagic, sizeof kMagic);
    out[4] = static_cast<char>(kVersion);
    qToLittleEndian<quint64>(limits.opsLimit, out + 5);
    qToLittleEndian<quint64>(limits.memLimit, out + 13);
    auto* raw = reinterpret_cast<unsigned char*>(out);
    randombytes_buf(raw + kSaltOffset, crypto_pwhash_SALTBYTES);
    std::memcpy(raw + kPublicKeyOffset, publicKey.constData(), crypto_box_PUBLICKEYBYTES);
    randombytes_buf(raw + kNonceOffset, crypto_secretbox_NONCEBYTES);

    unsigned char key[crypto_secretbox_KEYBYTES];
    const bool derived = deriveKey(key, password, raw + kSaltOffset, limits);
    const bool boxed =
        derived && crypto_secretbox_easy(raw + kBoxOffset, bytes(secretKey), crypto_box_SECRETKEYBYTES,
                                         raw + kNonceOffset, key) == 0;
    sodium_memzero(key, sizeof key);
    return boxed ? record : QByteArray();
}

std::optional<QByteArray> MasterKeyRecord::publicKey(const QByteArray& record)
{
    if (!limitsOf(record)) {
        return std::nullopt;
    }
    return record.mid(kPublicKeyOffset, crypto_box_PUBLICKEYBYTES);
}

std::optional<QByteArray> MasterKeyRecord::open(const QByteArray& record, const QString& password)
{
    const std::optional<KdfLimits> limits = limitsOf(record);
    if (!limits) {
        return std::nullopt;
    }
    unsigned char key[crypto_secretbox_KEYBYTES];
    if (!deriveKey(key, password, bytes(record, kSaltOffset), *limits)) {
        sodium_memzero(key, sizeof key);
        return std::nullopt;
    }
    QByteArray secretKey(crypto_box_SECRETKEYBYTES, '\0');
    const bool opened = crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(secretKey.data()),
                                                   bytes(record, kBoxOffset),
                                                   crypto_secretbox_MACBYTES + crypto_box_SECRETKEYBYTES,
                                                   bytes(record, kNonceOffset), key) == 0;
    sodium_memzero(key, sizeof key);
    if (!opened) {
        SecureMemory::wipe(secretKey);
        return std::nullopt;
    }
    // The pair must belong together: a record whose public key was swapped would seal new secrets
    // to a key nobody holds.
    unsigned char derivedPublic[crypto_box_PUBLICKEYBYTES];
    crypto_scalarmult_base(derivedPublic, bytes(secretKey));
    const bool matches =
        sodium_memcmp(derivedPublic, bytes(record, kPublicKeyOffset), sizeof derivedPublic) == 0;
    if (!matches) {
        SecureMemory::wipe(secretKey);
        return std::nullopt;
    }
    return secretKey;
}
