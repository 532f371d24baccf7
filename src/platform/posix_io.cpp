#include "platform/posix_io.h"

#include <cerrno>
#include <unistd.h>

bool PosixIo::writeAll(int fd, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, next, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        next += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
