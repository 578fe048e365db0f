// Holds every process that a collection's tools start, so all can be ended.
#pragma once

#include <QSet>
#include <QString>

#include <sys/resource.h>
#include <sys/types.h>

// The tasks (processes and threads) a collection's tools may hold together:
// cp, chmod, zip and chown need one each, one at a time.
constexpr int maxToolTasks = 32;

// Where a tool runs once a ToolScopeMaker has put it there.
struct ToolScope
{
    QString unit; // the transient unit's name
    QString cgroup; // its cgroup, as /proc/PID/cgroup shows it
    bool capped = false; // whether the cgroup itself caps its tasks
};

// Puts pid, a tool's process that has not run anything of the user's yet,
// into a unit of its own; true once it is there. The unit's cgroup is not
// the service's: a process there that cannot be killed (its exit held by a
// tracer, or asleep on a stuck mount) holds up nothing of the service.
using ToolScopeMaker = bool (*)(pid_t pid, uid_t uid, ToolScope *scope);

// Run once, before the first tool is started: the daemon becomes the reaper
// of every orphan its tools leave, in every setup, so that the walk after
// each tool finds them. Without units (no systemd, the tests' sandbox) that
// walk and the tools' own cap on tasks are all there is.
void setUpToolContainment();

// Where the tools of one collection, all run as uid, are kept. Everything
// they started is ended by endAll(), and at the latest with the object.
class ToolContainer
{
public:
    ToolContainer(uid_t uid, ToolScopeMaker scopes);
    ~ToolContainer();
    ToolContainer(const ToolContainer &) = delete;
    ToolContainer &operator=(const ToolContainer &) = delete;

    uid_t uid() const { return m_uid; }

    // Called for each tool between fork and its start: puts it into a unit
    // of its own where there are units. False when that failed: the tool
    // must not run, and the collection is refused. *needsLimit tells
    // whether the tool must cap its tasks itself (processLimit()).
    bool contain(pid_t pid, bool *needsLimit);
    // The cap on the user's processes that lets her tools start
    // maxToolTasks more than she runs now (RLIMIT_NPROC counts all of
    // hers); 0 for root, whom the kernel does not cap anyway.
    rlim_t processLimit() const;

    // Kills every process the tools started that is still there and waits
    // a little for them to go; what stays is logged with its pid. Run after
    // each tool.
    void endAll();

private:
    uid_t m_uid;
    ToolScopeMaker m_scopes;
    ToolScope m_scope;
    // Processes that did not go when killed: logged once, not waited for
    // again.
    QSet<pid_t> m_leftBehind;
};
