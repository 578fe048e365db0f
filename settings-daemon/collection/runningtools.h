// The tools running now, and the lock under which tools are forked.
#pragma once

#include <sys/types.h>

// A lock guard: while one lives, no tool is forked, and the tools running
// now can be told from the other children of the daemon.
class RunningToolsLock
{
public:
    RunningToolsLock();
    ~RunningToolsLock();
    RunningToolsLock(const RunningToolsLock &) = delete;
    RunningToolsLock &operator=(const RunningToolsLock &) = delete;

    bool contains(pid_t pid) const;
    // The runner's own: a tool forked under this lock, and its end.
    void add(pid_t pid);
    void remove(pid_t pid);
};
