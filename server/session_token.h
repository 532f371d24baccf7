#pragma once

#include <QByteArray>

// Session tokens: 256 random bits, given to the client once as unpadded URL-safe Base64 (43
// characters); the server keeps only their SHA-256.
class SessionToken
{
public:
    static QByteArray generate();
    // Lower-case hexadecimal SHA-256 of the token text.
    static QByteArray digest(const QByteArray& token);
    // Whether `token` has the form generate() gives (checked before any database look-up).
    static bool isWellFormed(const QByteArray& token);
    // Constant-time equality of two digests.
    static bool sameDigest(const QByteArray& a, const QByteArray& b);
};
