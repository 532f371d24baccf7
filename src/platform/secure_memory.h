#pragma once

#include <QByteArray>
#include <QString>

// Secrets in memory: passwords, keys and plaintext are overwritten before their buffers are freed.
class SecureMemory
{
public:
    // Overwrites the bytes (sodium_memzero, which the compiler may not drop) and empties the array.
    // Only a buffer the caller does not share is wiped in place: data() would detach a shared one.
    static void wipe(QByteArray& bytes);
    // The same for text (a password typed or opened); a shared string is only released.
    static void wipe(QString& text);
};
