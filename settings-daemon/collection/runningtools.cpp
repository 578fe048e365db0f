// The tools running now, and the lock under which tools are forked.
#include "runningtools.h"

#include <QMutex>
#include <QSet>

namespace {

QBasicMutex runningMutex;
QSet<pid_t> &runningPids()
{
    // Never destroyed: a worker may still use it while the process ends.
    static auto *const pids = new QSet<pid_t>;
    return *pids;
}

} // namespace

RunningToolsLock::RunningToolsLock()
{
    runningMutex.lock();
}

RunningToolsLock::~RunningToolsLock()
{
    runningMutex.unlock();
}

bool RunningToolsLock::contains(pid_t pid) const
{
    return runningPids().contains(pid);
}

void RunningToolsLock::add(pid_t pid)
{
    runningPids().insert(pid);
}

void RunningToolsLock::remove(pid_t pid)
{
    runningPids().remove(pid);
}
