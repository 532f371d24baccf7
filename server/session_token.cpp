#include "session_token.h"

#include <sodium.h>

namespace {
constexpr int kTokenBytes = 32;
constexpr int kTokenTextLength = 43;
} // namespace

QByteArray SessionToken::generate()
{
    unsigned char random[kTokenBytes];
    randombytes_buf(random, sizeof random);
    const QByteArray token = QByteArray(reinterpret_cast<const char*>(random), kTokenBytes)
                                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    sodium_memzero(random, sizeof random);
    return token;
}

QByteArray SessionToken::digest(const QByteArray& token)
{
    unsigned char hash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(hash, reinterpret_cast<const unsigned char*>(token.constData()),
                       static_cast<unsigned long long>(token.size()));
    return QByteArray(reinterpret_cast<const char*>(hash), sizeof hash).toHex();
}

bool SessionToken::isWellFormed(const QByteArray& token)
{
    if (token.size() != kTokenTextLength) {
        return false;
    }
    for (const char c : token) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool SessionToken::sameDigest(const QByteArray& a, const QByteArray& b)
{
    return a.size() == b.size() &&
           sodium_memcmp(a.constData(), b.constData(), static_cast<size_t>(a.size())) == 0;
}
