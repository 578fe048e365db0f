// Gives the heap that a large call freed back to the system.
#pragma once

#include <QtGlobal>

// glibc keeps what a call freed for later allocations; the daemon is idle
// most of its life and would keep the peak of its largest call.

// A read (or an argument) of this many bytes makes its call a large one:
// parsing and rewriting a list takes several times the file's size in many
// small blocks, which stay in the heap once freed. Below it, what a call
// leaves is too little to be worth a trim.
constexpr qint64 largeCallBytes = 256 * 1024;

// Called once at start: a fixed trim threshold, so that free() itself shrinks
// the top of every arena past 128 KiB. malloc_trim below leaves the top of
// every arena but the main one as it is, and glibc otherwise raises the
// threshold with every large block freed.
void limitHeapTop();

// Notes that the running call handled bytes at once (a file read whole, an
// argument); from largeCallBytes on, the heap is released after the call.
void noteCallMemory(qint64 bytes);

// When a large call was noted since the last release: gives the free heap of
// every malloc arena (the worker threads' too) back to the system and
// answers true; otherwise does nothing and answers false.
bool releaseHeapAfterLargeCall();

// Gives the free heap of every arena back at once: after a log collection,
// which always handles many files.
void releaseHeap();

// Declared first in each of the daemon's slots: when the call was a large
// one, its heap is released on the next turn of the event loop, once the
// reply has been sent and the call's message freed.
class HeapReleaseAfterCall
{
public:
    HeapReleaseAfterCall() = default;
    ~HeapReleaseAfterCall();
    Q_DISABLE_COPY(HeapReleaseAfterCall)
};
