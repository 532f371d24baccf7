#pragma once

#include "platform/data_protection.h"

// Reversible stand-in for the user's data protection. Each instance has its own tag, so a blob
// made by one instance does not open in another (another user or machine).
class FakeDataProtection : public IDataProtection
{
public:
    explicit FakeDataProtection(QByteArray tag = "fake-user");

    QByteArray protect(const QByteArray& plaintext, const QString& description) override;
    bool unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description = nullptr) override;

    bool failProtect = false;
    int protectCalls = 0;
    int unprotectCalls = 0;

private:
    QByteArray m_tag;
};
