// Holds every process that a collection's tools start, so all can be ended.
#include "toolcontainer.h"

#include "collectionsetup.h"
#include "fileio.h"
#include "runningtools.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

QByteArray readSmall(const QString &path)
{
    QByteArray content;
    QString reason;
    readWholeFile(path, &content, &reason, 64 * 1024);
    return content;
}

// The first number of a field ("Uid", "Threads") of a /proc/PID/status
// text, or -1 where there is none.
qint64 statusNumber(const QByteArray &status, const QByteArray &field)
{
    const QByteArray label = '\n' + field + ":\t";
    const int at = status.indexOf(label);
    if (at < 0)
        return -1;
    const int start = at + label.size();
    int end = start;
    while (end < status.size() && status.at(end) >= '0' && status.at(end) <= '9')
        ++end;
    bool number = false;
    const qint64 value = status.mid(start, end - start).toLongLong(&number);
    return number ? value : -1;
}

void pause(int ms)
{
    const struct timespec time = {0, long(ms) * 1000000L};
    ::nanosleep(&time, nullptr);
}

// A process's parent and real uid from /proc, or false once it is gone.
bool parentAndOwner(pid_t pid, pid_t *parent, uid_t *uid)
{
    const QString dir = QStringLiteral("/proc/%1/").arg(pid);
    const QByteArray stat = readSmall(dir + QStringLiteral("stat"));
    // The name in parentheses may hold anything, ")" too: the fields follow
    // the last one.
    const int close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    const qint64 owner = statusNumber(readSmall(dir + QStringLiteral("status")), "Uid");
    if (close < 0 || fields.size() < 2 || owner < 0)
        return false;
    *parent = pid_t(fields.at(1).toInt());
    *uid = uid_t(owner);
    return true;
}

// Without a cgroup: every child of ours that runs as uid and is no tool
// running now, killed and reaped. As the reaper of our orphans we get each
// one's children once it is gone, and go on until none is left.
// Those in *leftBehind were given up on before: killed again and reaped if
// gone, but not waited for; those given up on now join them.
void killChildrenOf(uid_t uid, int graceMs, QSet<pid_t> *leftBehind)
{
    const pid_t self = ::getpid();
    const QDeadlineTimer deadline(graceMs);
    QSet<pid_t> killed;
    for (;;) {
        bool fresh = false;
        QSet<pid_t> found;
        {
            const RunningToolsLock running;
            for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                bool number = false;
                const pid_t pid = pid_t(name.toInt(&number));
                pid_t parent = 0;
                uid_t owner = 0;
                if (!number || !parentAndOwner(pid, &parent, &owner) || parent != self || owner != uid
                    || running.contains(pid))
                    continue;
                found.insert(pid);
                if (!killed.contains(pid)) {
                    ::kill(pid, SIGKILL);
                    killed.insert(pid);
                    fresh = fresh || !leftBehind->contains(pid);
                }
            }
        }
        QSet<pid_t> waiting;
        for (const pid_t pid : std::as_const(found)) {
            if (::waitpid(pid, nullptr, WNOHANG) != pid && !leftBehind->contains(pid))
                waiting.insert(pid);
        }
        if (waiting.isEmpty() || (!fresh && deadline.hasExpired())) {
            // Held at its exit: logged, and reaped by a later walk.
            for (const pid_t pid : std::as_const(waiting)) {
                qWarning() << "tool process not ended, left to be reaped later: pid" << pid;
                leftBehind->insert(pid);
            }
            return;
        }
        pause(10);
    }
}

// The processes in a cgroup, by its path as /proc/PID/cgroup shows it.
QList<pid_t> cgroupMembers(const QString &cgroup)
{
    QList<pid_t> pids;
    for (const QByteArray &pid :
         readSmall(QStringLiteral("/sys/fs/cgroup") + cgroup + QStringLiteral("/cgroup.procs")).split('\n')) {
        if (pid.toInt() > 0)
            pids << pid_t(pid.toInt());
    }
    return pids;
}

// Kills pid only while it is in cgroup: a member that ended and was reaped
// since the members were read may have left its pid to anybody's process,
// and the pidfd taken before the check keeps that one from being hit.
void killMember(pid_t pid, const QString &cgroup)
{
    const Fd process(int(::syscall(SYS_pidfd_open, pid, 0)));
    if (process.get() < 0)
        return;
    const QByteArray member = "0::" + QFile::encodeName(cgroup);
    for (const QByteArray &line : readSmall(QStringLiteral("/proc/%1/cgroup").arg(pid)).split('\n')) {
        if (line == member) {
            ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0);
            return;
        }
    }
}

} // namespace

void setUpToolContainment()
{
    // Orphans of the tools come to us wherever they run, so that the walk
    // after each tool finds them, with or without units.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        qWarning() << "cannot become the reaper of the tools' orphans:" << errnoText();
}

ToolContainer::ToolContainer(uid_t uid, ToolScopeMaker scopes)
    : m_uid(uid)
    , m_scopes(scopes)
{
    setUpToolContainment();
}

ToolContainer::~ToolContainer()
{
    endAll();
}

bool ToolContainer::contain(pid_t pid, bool *needsLimit)
{
    *needsLimit = true;
    int reaper = 0;
    if (::prctl(PR_GET_CHILD_SUBREAPER, &reaper, 0, 0, 0) != 0 || reaper == 0) {
        qWarning() << "tool refused: the daemon is not the reaper of its orphans";
        return false;
    }
    if (!m_scopes)
        return true;
    ToolScope scope;
    if (!m_scopes(pid, m_uid, &scope)) {
        qWarning() << "tool refused: no unit of its own could be made for it, uid" << m_uid;
        return false;
    }
    m_scope = scope;
    *needsLimit = !scope.capped;
    return true;
}

rlim_t ToolContainer::processLimit() const
{
    if (m_uid == 0)
        return 0;
    // The kernel counts every thread of the real uid, and refuses the
    // tool's exec after the switch to the user when the count is past it.
    rlim_t count = 0;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        name.toInt(&number);
        const QByteArray status = number ? readSmall(QStringLiteral("/proc/%1/status").arg(name))
                                         : QByteArray();
        const qint64 threads = statusNumber(status, "Threads");
        if (statusNumber(status, "Uid") == qint64(m_uid) && threads > 0)
            count += rlim_t(threads);
    }
    return count + maxToolTasks;
}

void ToolContainer::endAll()
{
    if (!m_scope.unit.isEmpty()) {
        // Every member of the tool's unit, again until none is left: a fork
        // racing the kill is found in the next round, and the unit's cap
        // bounds the rounds.
        const QDeadlineTimer deadline(toolKillGraceMs);
        QList<pid_t> left = cgroupMembers(m_scope.cgroup);
        while (!left.isEmpty() && !deadline.hasExpired()) {
            // Those that are our children (orphans come to us) are reaped
            // at once; for the others we wait.
            for (const pid_t pid : std::as_const(left)) {
                killMember(pid, m_scope.cgroup);
                ::waitpid(pid, nullptr, WNOHANG);
            }
            pause(10);
            left = cgroupMembers(m_scope.cgroup);
        }
        // Its exit held by a tracer, or asleep on a mount that no longer
        // answers: it stays in its own unit, which holds up nothing of ours.
        for (const pid_t pid : std::as_const(left)) {
            qWarning() << "tool process not ended, left in its own unit:" << m_scope.unit << "pid" << pid;
            m_leftBehind.insert(pid);
        }
        m_scope = ToolScope();
    }
    killChildrenOf(m_uid, toolKillGraceMs, &m_leftBehind);
}
