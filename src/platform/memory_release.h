#pragma once

// Gives memory that the C library keeps for reuse after it was freed back to the system.
class MemoryRelease
{
public:
    // Cheap to call often: it does the work at most once a second and only where the C library can.
    static void releaseFreed();
};
