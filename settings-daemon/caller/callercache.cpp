// Keeps each caller's process (its pid and a pidfd) per bus connection for the caller check.
#include "callercache.h"

#include <utility>

#include <sys/syscall.h>
#include <unistd.h>

CallerPidCache::CallerPidCache(int capacity)
    : m_capacity(qMax(1, capacity))
{ }

CallerPidCache::~CallerPidCache()
{
    for (const Entry &entry : std::as_const(m_entries)) {
        if (entry.pidfd >= 0)
            ::close(entry.pidfd);
    }
}

int CallerPidCache::pid(const QString &sender) const
{
    const auto it = m_entries.constFind(sender);
    return it == m_entries.constEnd() ? 0 : it->pid;
}

int CallerPidCache::pidfd(const QString &sender) const
{
    const auto it = m_entries.constFind(sender);
    return it == m_entries.constEnd() ? -1 : it->pidfd;
}

KeptEnvironment *CallerPidCache::keptEnvironment(const QString &sender)
{
    const auto it = m_entries.find(sender);
    return it == m_entries.end() ? nullptr : &it->environment;
}

bool CallerPidCache::insert(const QString &sender, int pid, int pidfd)
{
    if (pid <= 0) {
        if (pidfd >= 0)
            ::close(pidfd);
        return false;
    }
    remove(sender);
    // Close-on-exec by itself, so the tools the daemon runs never see it.
    if (pidfd < 0)
        pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (m_entries.size() >= m_capacity)
        remove(m_order.first());
    m_entries.insert(sender, Entry {pid, pidfd, KeptEnvironment()});
    m_order.append(sender);
    return pidfd >= 0;
}

void CallerPidCache::remove(const QString &sender)
{
    const auto it = m_entries.find(sender);
    if (it == m_entries.end())
        return;
    if (it->pidfd >= 0)
        ::close(it->pidfd);
    m_entries.erase(it);
    m_order.removeOne(sender);
}
