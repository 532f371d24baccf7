#pragma once

#include <QtGlobal>

// Memory only this process uses (heap and other anonymous pages), for tests that check a peer cannot
// make it grow without bound.
class PrivateMemory
{
public:
    // Private_Clean + Private_Dirty of /proc/self/smaps_rollup in bytes; -1 where that file is missing.
    static qint64 bytes();
};
