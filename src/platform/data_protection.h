#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Protects small secrets so that only the same user on the same machine can open them again.
// The program's counterpart of the per-user data protection service of desktop systems.
class IDataProtection
{
public:
    virtual ~IDataProtection() = default;

    // Returns the protected blob, or an empty array on failure. `description` travels inside the blob.
    virtual QByteArray protect(const QByteArray& plaintext, const QString& description) = 0;

    // Opens a blob made by protect(). Returns false (and leaves `plaintext` empty) when the blob is
    // damaged, foreign or the user's secret is unavailable. The caller wipes `plaintext` after use.
    virtual bool unprotect(const QByteArray& blob, QByteArray* plaintext, QString* description = nullptr) = 0;
};

// The protection of the current user on this machine.
std::unique_ptr<IDataProtection> createDataProtection();
