#pragma once

#include <cstddef>

// Plain POSIX file descriptor I/O shared by the program and its helpers.
class PosixIo
{
public:
    // Writes all `size` bytes to `fd`, going on after interrupted and short writes. False with errno
    // set when a write fails; a write that makes no progress counts as a full device (ENOSPC).
    static bool writeAll(int fd, const void* data, size_t size);
};
