#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include "platform/data_protection.h"

// Holds the device key pair and seals secrets to it. The key pair lives in "credential.key",
// protected for the current user on this machine.
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

    static constexpr const char* kKeyDescription = "NIMBARA credential key";

private:
    void wipeKeys();

    QByteArray m_publicKey;
    QByteArray m_secretKey;
    std::unique_ptr<IDataProtection> m_protection;
};
