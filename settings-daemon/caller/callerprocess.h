// Reads a calling process's start-up environment and executable from /proc.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The two tests of the caller check on the calling process, as plain
// functions so that they run without a bus. Each logs why it refuses.

// True when the environment (entries separated by NUL bytes, as
// /proc/PID/environ holds it) sets LD_PRELOAD, LD_LIBRARY_PATH or LD_AUDIT,
// even to an empty value. It is taken as a text-mode read gives it (no CR),
// and a line feed inside a value also starts an entry, which errs on the
// side of refusing.
bool environmentHasLoaderOverride(const QByteArray &environment);

// The calling process's /proc folder, held open while the caller check reads
// it. Given a pidfd of that process (the bus's own, or one opened from the
// pid), the folder is kept only if the very process still runs after it was
// opened, so a process that reused the pid never stands in for the caller;
// without a pidfd (-1), it is whatever process has the pid now.
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

private:
    int m_pid;
    int m_folder = -1;
};

// The pid that pidfd refers to in this pid namespace, from
// /proc/self/fdinfo; 0 when its process has ended or the pid is not known.
int pidOfPidfd(int pidfd);

// True when the caller's start-up environment can be read whole and sets no
// loader override. Logs "open env file failed: " with /proc/PID/environ, or
// "access limited!".
bool callerEnvironmentIsClean(const CallerProcess &caller);

// True when the caller's executable is one of permittedCallers: its
// canonical path is in the list and it is the very file at that path, by
// device and inode, so that a program mounted over a permitted path in
// another mount namespace does not pass. Logs "invalid pid:" with the pid,
// or "checkWhiteList failed: " with the canonical path.
bool callerExecutableIsPermitted(const CallerProcess &caller, const QStringList &permittedCallers);
