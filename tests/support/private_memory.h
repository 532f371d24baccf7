#pragma once

#include <QtGlobal>

// Memory only this process uses (heap and other anonymous pages), for tests that check a peer cannot
// make it grow without bound.
class PrivateMemory
{
public:
    // Anonymous pages of /proc/self/smaps_rollup in bytes; -1 where that file is missing. Not
    // Private_Clean: library pages turn private when another process that mapped them exits, which,
    // with tests running side by side, looked like 16 MiB of growth.
    static qint64 bytes();
    // The same of another process (a server under test).
    static qint64 bytes(qint64 processId);
};
