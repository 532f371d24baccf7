#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// An account's keys for the team sync: an X25519 pair that receives sealed team keys, an Ed25519 pair
// that signs the snapshots the account uploads, and a random vault key that encrypts its full
// inventory. The server keeps the public keys and the private part wrapped under the account's sync
// passphrase (Argon2id), so the account's other computers fetch them and nobody else can open them.
//
// Wrapped form: "NIMBARA-KEYS-2." salt "." nonce "." box, each in URL-safe Base64 without padding;
// box = XChaCha20-Poly1305 of box secret (32) | sign secret (64) | vault key (32), with the account id
// and both public keys as associated data, so a wrapped key set cannot be moved to another account or
// paired with other public keys. Errors are ready-to-show Chinese texts.
class SyncIdentity
{
public:
    static constexpr int kPublicKeyBytes = 32;
    static constexpr int kVaultKeyBytes = 32;

    // New random keys; empty only when libsodium cannot start.
    static std::optional<SyncIdentity> generate(QString* error);
    // Opens a wrapped key set; empty with `error` set for a wrong passphrase or altered data.
    static std::optional<SyncIdentity> unwrap(const QString& wrapped, const QString& accountId,
                                              const QByteArray& boxPublic, const QByteArray& signPublic,
                                              const QString& passphrase, QString* error);

    ~SyncIdentity();
    SyncIdentity(const SyncIdentity&) = default;
    SyncIdentity& operator=(const SyncIdentity&) = default;

    // The private part under `passphrase` (at least 12 characters), bound to `accountId`.
    QString wrap(const QString& accountId, const QString& passphrase, QString* error) const;

    QByteArray boxPublic() const;
    QByteArray signPublic() const;
    QString fingerprint() const { return fingerprint(boxPublic(), signPublic()); }
    // What two people compare: 32 hexadecimal digits in groups of four, of a BLAKE2b hash of both keys.
    static QString fingerprint(const QByteArray& boxPublic, const QByteArray& signPublic);

    const unsigned char* boxSecret() const { return m_boxSecret.data(); }
    const unsigned char* boxPublicKey() const { return m_boxPublic.data(); }
    const unsigned char* signSecret() const { return m_signSecret.data(); }
    const unsigned char* signPublicKey() const { return m_signPublic.data(); }
    const unsigned char* vaultKey() const { return m_vault.data(); }

private:
    SyncIdentity() = default;
    // Whether the secret keys belong to the public ones.
    bool isConsistent() const;

    std::array<unsigned char, 32> m_boxPublic{};
    std::array<unsigned char, 32> m_boxSecret{};
    std::array<unsigned char, 32> m_signPublic{};
    std::array<unsigned char, 64> m_signSecret{};
    std::array<unsigned char, kVaultKeyBytes> m_vault{};
};
