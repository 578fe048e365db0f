// Reads a calling process's start-up environment and executable from /proc.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

// The two tests of the caller check on the calling process, as plain
// functions so that they run without a bus. Each logs why it refuses.

// Finds LD_PRELOAD, LD_LIBRARY_PATH or LD_AUDIT in an environment (entries
// separated by NUL bytes, as /proc/PID/environ holds it) handed over in
// pieces of any size, so that no environment is ever held whole. A name
// counts even with an empty value. It is taken as a text-mode read gives it
// (no CR), and a line feed inside a value also starts an entry, which errs
// on the side of refusing.
class LoaderOverrideScanner
{
public:
    void scan(const char *piece, qint64 size);
    bool found() const { return m_found; }

private:
    char m_name[16]; // room for the longest forbidden name and one more byte
    int m_length = 0;
    bool m_inName = true;
    bool m_found = false;
};

// The same for an environment held whole.
bool environmentHasLoaderOverride(const QByteArray &environment);

// What a scan of a caller's environment found.
enum class EnvironmentVerdict { Unreadable, Clean, Overridden };

// The piece read at a time: a caller's environment costs this much memory
// whatever its size.
constexpr int environmentPieceSize = 64 * 1024;

// Reads the environment open at fd to its end, a piece at a time, and scans
// it. Unreadable on a read error or past maxSize bytes: a caller's
// /proc/PID/environ is refused beyond 8 MiB (the kernel allows 6 MiB of
// arguments and environment together).
EnvironmentVerdict scanEnvironment(int fd, qint64 maxSize);

// The verdict of one scan of a caller's environment, kept per sender for
// the executable it ran then (device, inode and change time of
// /proc/PID/exe, where a new file given the same inode has another change
// time). The environment of a process changes only when it executes a
// program, so while it runs that very file the verdict stands.
struct KeptEnvironment
{
    bool kept = false;
    bool overridden = false;
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed {};
};

// The calling process's /proc folder, held open while the caller check reads
// it. Given a pidfd of that process (the bus's own, or one opened from the
// pid), the folder is kept only if the very process still runs after it was
// opened, so a process that reused the pid never stands in for the caller;
// without a pidfd (-1) nothing is opened, as for a process that has ended.
// The running executable is looked at once, for both tests.
class CallerProcess
{
public:
    CallerProcess(int pid, int pidfd);
    ~CallerProcess();
    CallerProcess(const CallerProcess &) = delete;
    CallerProcess &operator=(const CallerProcess &) = delete;

    int pid() const { return m_pid; }
    // A descriptor of the folder; -1 when the process is gone.
    int folder() const { return m_folder; }
    // What /proc/PID/exe reached when the folder was opened; nullptr when
    // it reached nothing (the process gone or a zombie).
    const struct stat *executable() const { return m_hasExecutable ? &m_executable : nullptr; }

private:
    int m_pid;
    int m_folder = -1;
    bool m_hasExecutable = false;
    struct stat m_executable
    { };
};

// The pid that pidfd refers to in this pid namespace, from
// /proc/self/fdinfo; 0 when its process has ended or the pid is not known.
int pidOfPidfd(int pidfd);

// True when the caller's start-up environment can be read and sets no loader
// override. Logs "open env file failed: " with /proc/PID/environ, or
// "access limited!". With kept (the sender's), a verdict kept for the
// executable the caller runs now is taken instead of a scan, and a new scan
// is kept in its place (a read failure never is).
bool callerEnvironmentIsClean(const CallerProcess &caller, KeptEnvironment *kept = nullptr);

// True when the caller's executable is one of permittedCallers: its
// canonical path is in the list and it is the very file at that path, by
// device and inode, so that a program mounted over a permitted path in
// another mount namespace does not pass. Logs "invalid pid:" with the pid,
// or "checkWhiteList failed: " with the canonical path.
bool callerExecutableIsPermitted(const CallerProcess &caller, const QStringList &permittedCallers);
