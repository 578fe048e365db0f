// Runs the log collection's outside tools, each with a deadline.
#include "processrunner.h"

#include "fileio.h"
#include "rawids.h"
#include "runningtools.h"
#include "toolcontainer.h"

#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// The tools killed at their deadline that did not go: they stay our
// children (so their pids are not reused) until reaped here. A collection
// that leaves one stops, and none starts for its user while one is held, so
// there is at most one per user.
struct HeldTool
{
    pid_t pid;
    uid_t uid;
};
QBasicMutex heldMutex;
std::vector<HeldTool> &heldTools()
{
    // Never destroyed: a worker may still use it while the process ends.
    static auto *const tools = new std::vector<HeldTool>;
    return *tools;
}

// Between fork and exec, in the child: only system calls, since the parent
// has threads and this copy of it has just one.
// It first waits for the parent's word on gate: 'c' to go on as it is
// (its unit caps its tasks), 'l' to cap them itself with processLimit,
// anything else (or none) to end. A failure before the exec is told on
// report, which the exec closes.
[[noreturn]] void execTool(const ToolRun &run, char *const argv[], int nullDevice, int gate, int report,
                           rlim_t processLimit)
{
    sigset_t none;
    ::sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &standard, nullptr);
    // Nothing of the user's runs before the parent has put us where we are
    // held, and the cap on our tasks is set.
    char word = 0;
    while (::read(gate, &word, 1) < 0 && errno == EINTR) { }
    if (word != 'c' && word != 'l')
        ::_exit(126);
    if (word == 'l' && processLimit > 0) {
        const struct rlimit limit = {processLimit, processLimit};
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0) {
            const char failed = 'l';
            (void)!::write(report, &failed, 1);
            ::_exit(126);
        }
    }
    if (::dup2(nullDevice, STDIN_FILENO) < 0 || ::dup2(nullDevice, STDOUT_FILENO) < 0
        || ::dup2(nullDevice, STDERR_FILENO) < 0)
        ::_exit(126);
#ifdef SYS_close_range
    // Whatever another thread opened without close-on-exec stays with us.
    ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
    if (run.keepFd >= 0 && ::fcntl(run.keepFd, F_SETFD, 0) != 0)
        ::_exit(126);
    if (run.switchUser) {
        // A daemon that is not root (the unit tests) can only be itself.
        if (::geteuid() != 0) {
            if (::geteuid() != run.uid)
                ::_exit(126);
        } else if (setThreadGroups(run.groups) != 0
                   || ::syscall(setresgidCall, run.gid, run.gid, run.gid) != 0
                   || ::syscall(setresuidCall, run.uid, run.uid, run.uid) != 0
                   || (run.uid != 0 && ::syscall(setresuidCall, 0, 0, 0) == 0)) {
            ::_exit(126);
        }
    }
    ::execv(argv[0], argv);
    ::_exit(127);
}

// Waits for the child pid until deadline; true with *status once reaped.
// A pidfd wakes us when it ends; where there is none, or where a tracer
// holds the exit (the pidfd says "ended", but waitpid has nothing yet), we
// look every 20 ms.
bool waitUntil(pid_t pid, int pidFd, const QDeadlineTimer &deadline, int *status)
{
    bool polling = pidFd < 0;
    for (;;) {
        const pid_t reaped = ::waitpid(pid, status, WNOHANG);
        if (reaped == pid)
            return true;
        if (reaped < 0 && errno != EINTR) {
            *status = -1; // not ours any more: nothing to wait for
            return true;
        }
        if (deadline.hasExpired())
            return false;
        const qint64 left = deadline.isForever() ? 60000
                                                 : qBound(qint64(0), deadline.remainingTime(), qint64(60000));
        if (!polling) {
            struct pollfd ended = {pidFd, POLLIN, 0};
            if (::poll(&ended, 1, int(left)) > 0)
                polling = true;
        } else {
            const struct timespec pause = {0, long(qMin<qint64>(left, 20)) * 1000000L};
            ::nanosleep(&pause, nullptr);
        }
    }
}

// Waits for the tool at pid until its deadline, then kills it and waits
// run.killGraceMs more at most.
ToolEnd waitForTool(const ToolRun &run, pid_t pid)
{
#ifdef SYS_pidfd_open
    const Fd pidFd(int(::syscall(SYS_pidfd_open, pid, 0)));
#else
    const Fd pidFd;
#endif
    int status = 0;
    if (waitUntil(pid, pidFd.get(), run.deadline, &status))
        return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ToolEnd::Succeeded
                                                                            : ToolEnd::Failed;
    qWarning() << "tool killed at its time limit:" << run.program;
    ::kill(pid, SIGKILL);
    if (waitUntil(pid, pidFd.get(), QDeadlineTimer(run.killGraceMs), &status))
        return ToolEnd::Killed;
    qWarning() << "killed tool still there, left to be reaped later:" << run.program << pid;
    const QMutexLocker lock(&heldMutex);
    heldTools().push_back({pid, run.uid});
    return ToolEnd::Held;
}

} // namespace

// Our own fork and exec rather than QProcess: QProcess owns its child and
// waits for it when it goes (a tracer-held child would hold us), and
// posix_spawn cannot take on another user's groups and ids (nor may a vfork
// child do anything but exec).
ToolEnd runTool(const ToolRun &run)
{
    // Everything the child needs is made before the fork.
    std::vector<QByteArray> args = {QFile::encodeName(run.program)};
    for (const QString &arg : run.args)
        args.push_back(QFile::encodeName(arg));
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const Fd nullDevice(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (nullDevice.get() < 0)
        return ToolEnd::Failed;
    const rlim_t processLimit = run.container ? run.container->processLimit() : 0;
    int gate[2];
    int report[2];
    if (::pipe2(gate, O_CLOEXEC) != 0)
        return ToolEnd::Failed;
    const Fd gateRead(gate[0]);
    Fd gateWrite(gate[1]);
    if (::pipe2(report, O_CLOEXEC) != 0)
        return ToolEnd::Failed;
    Fd reportRead(report[0]);
    Fd reportWrite(report[1]);

    pid_t pid;
    {
        RunningToolsLock running;
        pid = ::fork();
        if (pid == 0)
            execTool(run, argv.data(), nullDevice.get(), gateRead.get(), reportWrite.get(), processLimit);
        if (pid < 0)
            return ToolEnd::Failed;
        running.add(pid);
    }
    reportWrite = Fd();
    bool needsLimit = true;
    bool contained = !run.container || run.container->contain(pid, &needsLimit);
    const char word = !contained ? 'x' : needsLimit ? 'l' : 'c';
    contained = contained && ::write(gateWrite.get(), &word, 1) == 1;
    gateWrite = Fd();
    // Until the exec (or the end) closes it, but no longer than the tool's
    // deadline: past the switch to the user, she could stop it.
    char failure = 0;
    ssize_t got = 0;
    while (contained) {
        const qint64 left = run.deadline.isForever()
            ? 60000
            : qBound(qint64(0), run.deadline.remainingTime(), qint64(60000));
        struct pollfd done = {reportRead.get(), POLLIN, 0};
        const int ready = ::poll(&done, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        got = ready > 0 ? ::read(reportRead.get(), &failure, 1) : 0;
        if (ready > 0 || run.deadline.hasExpired())
            break;
    }
    if (got > 0) {
        qWarning() << "tool refused: its task cap could not be set:" << run.program;
        contained = false;
    }
    if (!contained) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        RunningToolsLock().remove(pid);
        return ToolEnd::Uncontained;
    }
    const ToolEnd end = waitForTool(run, pid);
    RunningToolsLock().remove(pid);
    return end;
}

bool toolStillHeld(uid_t uid)
{
    const QMutexLocker lock(&heldMutex);
    std::vector<HeldTool> &tools = heldTools();
    bool held = false;
    for (auto it = tools.begin(); it != tools.end();) {
        const pid_t reaped = ::waitpid(it->pid, nullptr, WNOHANG);
        if (reaped == it->pid || (reaped < 0 && errno == ECHILD)) {
            it = tools.erase(it);
        } else {
            held = held || it->uid == uid;
            ++it;
        }
    }
    return held;
}
