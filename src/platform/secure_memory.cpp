#include "platform/secure_memory.h"

#include <sodium.h>

void SecureMemory::wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty()) {
        sodium_memzero(bytes.data(), static_cast<size_t>(bytes.size()));
    }
    bytes.clear();
}
