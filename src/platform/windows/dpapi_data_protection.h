#pragma once

#include "platform/data_protection.h"

// Windows data protection (DPAPI, CryptProtectData) in the current user's scope: only the same
// Windows user on the same machine opens a blob again. The blob is exactly what DPAPI returns, with
// the description inside it. Writes nothing anywhere: the askpass helper links it.
class DpapiDataProtection : public IDataProtection
{
public:
    QByteArray protect(const QByteArray& plaintext, const QString& description) override;
    bool unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description = nullptr) override;

    // The Windows error of the last failed call on this thread (GetLastError), for messages.
    static unsigned long lastError();
};
