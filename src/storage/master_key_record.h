#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The device key pair sealed a second time under a master password. The public key stays readable,
// so secrets can still be sealed while the program is locked; the secret key opens only with the
// master password (Argon2id, then an XSalsa20-Poly1305 secretbox).
//
// Layout (inside the user-bound protection of the key file):
//   "NMMK" | version 1 | opslimit (u64 LE) | memlimit (u64 LE) | salt (16) | public key (32)
//   | nonce (24) | secretbox(secret key) (48)
class MasterKeyRecord
{
public:
    struct KdfLimits
    {
        quint64 opsLimit = 0;
        quint64 memLimit = 0;
    };

    // libsodium's moderate limits: the least a new record is sealed with.
    static KdfLimits moderateLimits();
    // What new records use. Tests lower it (never below libsodium's minimum) to keep runs short.
    static KdfLimits sealingLimits();
    static void setSealingLimits(KdfLimits limits);

    // Whether `plain` (the opened key file) is a record of this kind rather than the bare pair.
    static bool isRecord(const QByteArray& plain);

    // Seals `secretKey` under `password`; empty on failure (out of memory for the derivation).
    static QByteArray seal(const QByteArray& publicKey, const QByteArray& secretKey, const QString& password);

    // The public key of a well-formed record; nullopt when the record is malformed or its limits
    // lie outside what this program accepts (a damaged file must not make it allocate gigabytes).
    static std::optional<QByteArray> publicKey(const QByteArray& record);

    // The secret key, or nullopt when the password is wrong or the record malformed. Slow by design
    // (one Argon2id derivation) and thread-safe: it touches nothing but its arguments.
    static std::optional<QByteArray> open(const QByteArray& record, const QString& password);

private:
    static bool deriveKey(unsigned char* key, const QString& password, const unsigned char* salt,
                          KdfLimits limits);
};
