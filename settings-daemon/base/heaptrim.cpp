// Releases the heap after large calls (see heaptrim.h).
#include "heaptrim.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <malloc.h>

// Set from any thread (a collection's worker reads files too).
static std::atomic<bool> largeCallNoted {false};

void limitHeapTop()
{
    // glibc's default, made fixed: this also keeps blocks of 128 KiB and
    // more in mappings of their own, given back as soon as they are freed.
    ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}

void noteCallMemory(qint64 bytes)
{
    if (bytes >= largeCallBytes)
        largeCallNoted.store(true, std::memory_order_relaxed);
}

bool releaseHeapAfterLargeCall()
{
    if (!largeCallNoted.exchange(false, std::memory_order_relaxed))
        return false;
    releaseHeap();
    return true;
}

void releaseHeap()
{
    // The trim threshold only ever shortens an arena's top; malloc_trim also
    // hands back the free pages inside every arena, where the freed blocks
    // of a parsed list lie below blocks still in use.
    ::malloc_trim(0);
}

HeapReleaseAfterCall::~HeapReleaseAfterCall()
{
    if (!largeCallNoted.load(std::memory_order_relaxed))
        return;
    QCoreApplication *const app = QCoreApplication::instance();
    if (!app) {
        releaseHeapAfterLargeCall();
        return;
    }
    const auto release = [] { releaseHeapAfterLargeCall(); };
    QMetaObject::invokeMethod(app, release, Qt::QueuedConnection);
}
