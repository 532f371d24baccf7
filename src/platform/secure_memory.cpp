#include "platform/secure_memory.h"

#include <sodium.h>

void SecureMemory::wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty()) {
        sodium_memzero(bytes.data(), static_cast<size_t>(bytes.size()));
    }
    bytes.clear();
}

void SecureMemory::wipe(QString& text)
{
    // data() would detach a shared string and wipe only the fresh copy: a shared one is released.
    if (!text.isEmpty() && !text.isDetached()) {
        text.clear();
        return;
    }
    if (!text.isEmpty()) {
        sodium_memzero(text.data(), static_cast<size_t>(text.size()) * sizeof(QChar));
    }
    text.clear();
}
