// Holds every process that a collection's tools start, so all can be ended.
#pragma once

#include "fileio.h"

#include <QString>

#include <sys/resource.h>
#include <sys/types.h>

// The tasks (processes and threads) a collection's tools may hold together:
// cp, chmod, zip and chown need one each, one at a time.
constexpr int maxToolTasks = 32;

// Run once, before the first tool is started: where the service manager
// delegated a cgroup to the daemon (Delegate= in its unit), the daemon moves
// into a leaf of its own and each collection gets a child cgroup whose
// process count is capped and which is ended as a whole. Elsewhere (no
// systemd, old kernels, the tests' sandbox) the daemon becomes the reaper of
// every orphan its tools leave, and ends them by walking its children.
void setUpToolContainment();

// Whether setUpToolContainment found a delegated cgroup.
bool toolsRunInCgroups();

// Where the tools of one collection, all run as uid, are kept. Everything
// they started is ended by endAll(), and at the latest with the object.
class ToolContainer
{
public:
    explicit ToolContainer(uid_t uid);
    ~ToolContainer();
    ToolContainer(const ToolContainer &) = delete;
    ToolContainer &operator=(const ToolContainer &) = delete;

    // The open cgroup.procs a tool writes itself into before it runs, or -1
    // without cgroups.
    int joinFd() const { return m_procs.get(); }
    uid_t uid() const { return m_uid; }
    // Without a cgroup that caps processes, the cap on the user's processes
    // that lets her tools start maxToolTasks more than she runs now
    // (RLIMIT_NPROC counts all of hers); 0 for none.
    rlim_t processLimit() const;

    // Kills every process the tools started that is still there and waits
    // a little for them to go. Run after each tool.
    void endAll();

private:
    uid_t m_uid;
    QString m_cgroup;
    Fd m_procs;
};
