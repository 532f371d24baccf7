#include "platform/memory_release.h"

#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int kSettleMs = 1000;

} // namespace

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
