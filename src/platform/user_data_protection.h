#pragma once

#include "platform/data_protection.h"

#include <QStringList>

// Data protection bound to one user on one machine: libsodium secretbox under a key derived from
// a random per-user secret (kept outside the data directory), the machine id and the uid.
// Blob layout: "NMDP" | version | nonce | secretbox(description length | description | data).
// Needs only Qt Core and libsodium, and writes nothing to standard output or the log: the askpass
// helper links it, and its standard output is the password channel.
class UserDataProtection : public IDataProtection
{
public:
    struct Identity
    {
        QString secretDirectory;    // holds the per-user secret; created 0700
        QStringList machineIdFiles; // the first readable, non-empty one is used
        quint32 uid = 0;
    };

    // The current user: $XDG_CONFIG_HOME/NIMBARA (else ~/.config/NIMBARA), /etc/machine-id, getuid().
    UserDataProtection();
    explicit UserDataProtection(Identity identity);

    static Identity currentUser();

    QByteArray protect(const QByteArray& plaintext, const QString& description) override;
    bool unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description = nullptr) override;

    QString secretFilePath() const;
    // False when no machine id can be read; protection then fails.
    bool hasMachineId() const;

    static constexpr const char* kSecretFileName = "data-protection.secret";

private:
    // Fills `key` (32 bytes). `createSecret` allows making the per-user secret when it is missing.
    bool deriveKey(unsigned char* key, bool createSecret) const;
    bool readSecret(unsigned char* secret) const;
    bool createSecretFile() const;
    QByteArray machineId() const;

    Identity m_identity;
};
