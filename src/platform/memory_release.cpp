#include "platform/memory_release.h"

#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int kSettleMs = 1000;
constexpr int kLargeBufferBytes = 1024 * 1024;

} // namespace

void MemoryRelease::tuneAllocator()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kLargeBufferBytes);
    mallopt(M_TRIM_THRESHOLD, kLargeBufferBytes);
#endif
}

void MemoryRelease::releaseFreedSoon()
{
#if defined(__GLIBC__)
    thread_local QTimer* timer = [] {
        auto* made = new QTimer;
        made->setSingleShot(true);
        made->setInterval(kSettleMs);
        // Every arena, the worker threads' included; free pages inside the heaps are handed back too.
        QObject::connect(made, &QTimer::timeout, [] { malloc_trim(0); });
        return made;
    }();
    timer->start();
#endif
}
