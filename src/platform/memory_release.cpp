#include "platform/memory_release.h"

#include "platform/clock.h"

#include <atomic>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr qint64 kMinIntervalMs = 1000;

} // namespace

void MemoryRelease::releaseFreed()
{
#if defined(__GLIBC__)
    // Many sessions come to rest together after a busy period; one trim serves them all.
    static std::atomic<qint64> last{0};
    const qint64 now = steadyClock().nowMs();
    qint64 previous = last.load();
    if ((previous != 0 && now - previous < kMinIntervalMs) || !last.compare_exchange_strong(previous, now)) {
        return;
    }
    // Every arena, the worker threads' included; free pages inside the heaps are handed back too.
    malloc_trim(0);
#endif
}
