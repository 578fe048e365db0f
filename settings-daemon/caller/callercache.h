// Keeps each caller's process (its pid and a pidfd) per bus connection for the caller check.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// The process ids of the daemon's callers by their unique bus names, so that
// only a sender's first call asks the bus. The bus fixes a connection's pid
// when it connects and never hands a unique name out twice, so the pid it gave
// once holds for the sender's later calls. Each entry holds a pidfd of that
// process: once the process has ended the entry is dropped, and a pid that the
// kernel may have handed to another process is never used. Entries leave with
// their senders (remove), and the oldest goes when the cache is full.
class CallerPidCache
{
public:
    // 128: far more connections than the runtime's programs ever hold, and
    // few descriptors beside the usual limit of 1024 a process.
    explicit CallerPidCache(int capacity = 128);
    ~CallerPidCache();
    CallerPidCache(const CallerPidCache &) = delete;
    CallerPidCache &operator=(const CallerPidCache &) = delete;

    // The pid kept for sender while its process runs; 0 when none is kept.
    int pid(const QString &sender);
    // The pidfd kept with it (the cache's own); -1 when none is kept.
    int pidfd(const QString &sender) const;
    // Keeps pid for sender, with pidfd when the bus handed one out (the cache
    // takes it over, and closes it also when it keeps nothing), else with one
    // of its own; false, keeping nothing, when the process cannot be held (it
    // has ended, or no descriptor is left).
    bool insert(const QString &sender, int pid, int pidfd = -1);
    void remove(const QString &sender);
    int size() const { return m_entries.size(); }

private:
    struct Entry
    {
        int pid;
        int pidfd;
    };
    QHash<QString, Entry> m_entries;
    QStringList m_order; // oldest first
    int m_capacity;
};
