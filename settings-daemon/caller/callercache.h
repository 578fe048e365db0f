// Keeps each caller's process (its pid and a pidfd) per bus connection for the caller check.
#pragma once

#include "callerprocess.h"

#include <QHash>
#include <QString>
#include <QStringList>

// The process ids of the daemon's callers by their unique bus names, so that
// only a sender's first call asks the bus. The bus fixes a connection's pid
// when it connects and never hands a unique name out twice, so the pid it gave
// once holds for the sender's later calls. Each entry holds a pidfd of that
// very process, taken at the sender's first call, and is never taken again
// for the same sender: once the process has ended, its sender is refused as
// a caller whose process is gone, however its pid is used later. Entries
// leave with their senders (remove), and the oldest goes when the cache is
// full; an evicted sender's next call is taken as its first. Each entry also
// keeps the verdict of the sender's environment.
class CallerPidCache
{
public:
    // 128: far more connections than the runtime's programs ever hold, and
    // few descriptors beside the usual limit of 1024 a process.
    explicit CallerPidCache(int capacity = 128);
    ~CallerPidCache();
    CallerPidCache(const CallerPidCache &) = delete;
    CallerPidCache &operator=(const CallerPidCache &) = delete;

    // The pid kept for sender, also once its process has ended; 0 when none
    // is kept.
    int pid(const QString &sender) const;
    // The pidfd kept with it (the cache's own); -1 when none is kept, or the
    // process could not be held.
    int pidfd(const QString &sender) const;
    // The verdict of sender's environment, for the caller check to read and
    // replace; nullptr when nothing is kept for sender. Valid until the
    // cache next changes.
    KeptEnvironment *keptEnvironment(const QString &sender);
    // Keeps pid for sender, with pidfd when the bus handed one out (the cache
    // takes it over), else with one of its own; true when the process is
    // held. When it cannot be (it has ended, or no descriptor is left), the
    // pid is kept without a process, and its sender is refused from then
    // on. A pid of 0 or less keeps nothing.
    bool insert(const QString &sender, int pid, int pidfd = -1);
    void remove(const QString &sender);

private:
    struct Entry
    {
        int pid;
        int pidfd;
        KeptEnvironment environment;
    };
    QHash<QString, Entry> m_entries;
    QStringList m_order; // oldest first
    int m_capacity;
};
