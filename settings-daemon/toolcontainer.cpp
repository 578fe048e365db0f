// Holds every process that a collection's tools start, so all can be ended.
#include "toolcontainer.h"

#include "processrunner.h"

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
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

namespace {

// The daemon's delegated cgroup, when it has one, and whether the process
// cap works there; set once at start.
QString cgroupBase;
bool cgroupsCapTasks = false;

bool writeText(const QString &path, const QByteArray &text)
{
    const Fd fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC));
    return fd.get() >= 0 && ::write(fd.get(), text.constData(), size_t(text.size())) == text.size();
}

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

// The cgroup the service manager delegated to us: our own, marked so by
// systemd. Anything else belongs to somebody else (a user's session, the
// tests' shell) and is never changed.
QString delegatedCgroup()
{
    for (const QByteArray &line : readSmall(QStringLiteral("/proc/self/cgroup")).split('\n')) {
        if (!line.startsWith("0::/") || line.size() <= 4)
            continue;
        const QString path = QStringLiteral("/sys/fs/cgroup") + QFile::decodeName(line.mid(3));
        for (const char *mark : {"user.delegate", "trusted.delegate"}) {
            char value[8] = {};
            if (::getxattr(QFile::encodeName(path).constData(), mark, value, sizeof value - 1) > 0
                && value[0] == '1')
                return path;
        }
    }
    return QString();
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
void killChildrenOf(uid_t uid)
{
    const pid_t self = ::getpid();
    const QDeadlineTimer deadline(toolKillGraceMs);
    QSet<pid_t> killed;
    for (;;) {
        bool fresh = false;
        QSet<pid_t> found;
        {
            const RunningTools running;
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
                    fresh = true;
                }
            }
        }
        for (const pid_t pid : std::as_const(found))
            ::waitpid(pid, nullptr, WNOHANG);
        if (found.isEmpty() || (!fresh && deadline.hasExpired()))
            return;
        pause(10);
    }
}

} // namespace

void setUpToolContainment()
{
    const QString base = delegatedCgroup();
    // No process may stay in a cgroup whose children have controllers on:
    // the daemon moves to a leaf of its own first.
    if (!base.isEmpty()
        && (::mkdir(QFile::encodeName(base + QStringLiteral("/daemon")).constData(), 0755) == 0
            || errno == EEXIST)
        && writeText(base + QStringLiteral("/daemon/cgroup.procs"), QByteArray::number(::getpid()))) {
        // Where the controller is not offered at all (a container without
        // it), the tools' limit of processes stands in.
        cgroupsCapTasks = writeText(base + QStringLiteral("/cgroup.subtree_control"), "+pids");
        if (!cgroupsCapTasks && readSmall(base + QStringLiteral("/cgroup.controllers")).contains("pids"))
            qWarning() << "tool cgroups without a process cap:" << base << errnoText();
        cgroupBase = base;
        return;
    }
    if (!base.isEmpty())
        qWarning() << "delegated cgroup not usable, tools are ended by their parent:" << base << errnoText();
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool toolsRunInCgroups()
{
    return !cgroupBase.isEmpty();
}

ToolContainer::ToolContainer(uid_t uid)
    : m_uid(uid)
{
    if (cgroupBase.isEmpty())
        return;
    m_cgroup = cgroupBase + QStringLiteral("/collection-%1").arg(uid);
    // One left by an earlier collection for the user is emptied and reused.
    if (::mkdir(QFile::encodeName(m_cgroup).constData(), 0755) != 0 && errno != EEXIST) {
        qWarning() << "tool cgroup not made:" << m_cgroup << errnoText();
        return;
    }
    writeText(m_cgroup + QStringLiteral("/pids.max"), QByteArray::number(maxToolTasks));
    m_procs = Fd(::open(QFile::encodeName(m_cgroup + QStringLiteral("/cgroup.procs")).constData(),
                        O_WRONLY | O_CLOEXEC));
    endAll();
}

rlim_t ToolContainer::processLimit() const
{
    // Root's processes are not capped by the kernel anyway.
    if ((m_procs.get() >= 0 && cgroupsCapTasks) || m_uid == 0)
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

ToolContainer::~ToolContainer()
{
    endAll();
    if (m_procs.get() >= 0)
        ::rmdir(QFile::encodeName(m_cgroup).constData());
}

void ToolContainer::endAll()
{
    if (m_procs.get() < 0) {
        killChildrenOf(m_uid);
        return;
    }
    // cgroup.kill (Linux 5.14) ends the whole cgroup at once, forks racing it
    // included; before it, every member is killed until none is left.
    const bool killedAll = writeText(m_cgroup + QStringLiteral("/cgroup.kill"), "1");
    const QDeadlineTimer deadline(toolKillGraceMs);
    while (readSmall(m_cgroup + QStringLiteral("/cgroup.events")).contains("populated 1")
           && !deadline.hasExpired()) {
        if (!killedAll) {
            for (const QByteArray &pid : readSmall(m_cgroup + QStringLiteral("/cgroup.procs")).split('\n')) {
                if (!pid.isEmpty())
                    ::kill(pid_t(pid.toInt()), SIGKILL);
            }
        }
        pause(10);
    }
}
