#pragma once

// Gives memory that the C library keeps for reuse after it was freed back to the system.
class MemoryRelease
{
public:
    // At the program's start: large buffers (frames, network reads) stay with the C library instead of
    // being mapped and unmapped, and the heap's top is given back only when it holds more than that;
    // otherwise the library keeps moving its limits as buffers come and go, and a long transfer or a
    // wall full of changing sessions pays a system call and page faults for every few reads.
    static void tuneAllocator();
    // Asks for a release once things have settled: one second after the last request, on the calling
    // thread's event loop, so that many sessions coming to rest together cause one release.
    static void releaseFreedSoon();
};
