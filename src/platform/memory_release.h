#pragma once

// Gives memory that the C library keeps for reuse after it was freed back to the system.
class MemoryRelease
{
public:
    // Asks for a release once things have settled: one second after the last request, on the calling
    // thread's event loop, so that many sessions coming to rest together cause one release.
    static void releaseFreedSoon();
};
