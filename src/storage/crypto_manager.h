#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

#include "platform/data_protection.h"

// Holds the device key pair and seals secrets to it. The key pair lives in "credential.key",
// protected for the current user on this machine, and optionally sealed a second time under a master
// password: then the secret key is in memory only between an unlock and the next lock, and every
// sealed secret stays closed meanwhile (sealing new ones still works with the public key).
//
// sealEncrypt(), sealDecrypt(), isLocked() and lockCount() may be called from any thread (the host
// sync reads and writes passwords on a worker); everything else belongs to the owning thread.
class CryptoManager
{
public:
    // Without a protection service the current user's protection is used.
    explicit CryptoManager(std::unique_ptr<IDataProtection> protection = {});
    ~CryptoManager();

    CryptoManager(const CryptoManager&) = delete;
    CryptoManager& operator=(const CryptoManager&) = delete;

    // Loads the key pair from `keyFilePath`, or creates and saves one when the file does not exist.
    // An existing file that does not open is never replaced.
    bool initialize(const QString& keyFilePath);

    // Standard Base64 of a sealed box over the UTF-8 text, or empty on failure.
    QString sealEncrypt(const QString& plaintext) const;
    // The text sealed in `sealed`, or empty when it does not open.
    QString sealDecrypt(const QString& sealed) const;

    bool isInitialized() const { return !m_publicKey.isEmpty() && !m_secretKey.isEmpty(); }

    // Whether the key file is sealed under a master password.
    bool hasMasterPassword() const { return !m_masterRecord.isEmpty(); }
    // Loaded, but the secret key is not in memory: nothing sealed can be opened.
    bool isLocked() const;
    // How many times lock() wiped the key: a worker that opened passwords compares it before and
    // after, so a lock in between (even one already undone) never passes for a good read.
    quint64 lockCount() const { return m_lockCount.load(); }

    // Opens the secret key with the master password (one Argon2id derivation). False when the
    // password is wrong. Without a master password there is nothing to unlock and it returns true.
    bool unlock(const QString& masterPassword);
    // The slow half of unlock(), safe on any thread: it reads only the sealed record, which changes
    // only through the calls below (on the owning thread). Hand the result to acceptSecretKey().
    std::optional<QByteArray> deriveSecretKey(const QString& masterPassword) const;
    // Takes a key from deriveSecretKey(); false (and the key wiped) when it does not belong to the pair.
    bool acceptSecretKey(QByteArray secretKey);
    // Wipes the secret key from memory. Does nothing without a master password (it could not come back).
    void lock();
    // The sealed record (no secret in it) for a derivation on another thread; empty without one.
    QByteArray masterRecord() const { return m_masterRecord; }
    // Whether `masterPassword` is the master password (slow); false when none is set.
    bool verifyMasterPassword(const QString& masterPassword) const;

    // Seals the key file under `newPassword`, replacing it atomically: a crash leaves the old file or
    // the new one. With a master password already set, `currentPassword` must be it; the manager must
    // be unlocked. On failure the file and the manager are unchanged and `error` says why.
    bool setMasterPassword(const QString& currentPassword, const QString& newPassword, QString* error);
    // Writes the key file back without the master password (after checking `currentPassword`).
    bool removeMasterPassword(const QString& currentPassword, QString* error);
    // For a forgotten master password: a new key pair without a master password replaces the file.
    // Everything sealed to the old pair can never be opened again: the caller clears it first.
    bool replaceWithNewKeys(QString* error);

    static constexpr const char* kKeyDescription = "NIMBARA credential key";

private:
    void wipeKeys();
    // Writes the pair (bare, or as `masterRecord` when not empty) under the user-bound protection.
    bool writeKeyFile(const QByteArray& publicKey, const QByteArray& secretKey,
                      const QByteArray& masterRecord, QString* error) const;

    // Guards the keys against a lock (on the owning thread) while a worker seals or opens.
    mutable QMutex m_keyMutex;
    std::atomic<quint64> m_lockCount{0};
    QByteArray m_publicKey;
    QByteArray m_secretKey;
    // The sealed record when a master password is set; empty otherwise.
    QByteArray m_masterRecord;
    QString m_keyFilePath;
    std::unique_ptr<IDataProtection> m_protection;
};
