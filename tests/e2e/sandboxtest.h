#pragma once

// Helpers for end-to-end tests that run inside tests/e2e/sandbox.sh: the
// daemon and the callers are the real programs at their installed paths.

#include "testutil.h"

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace SandboxTest {

// The fixed paths, file helpers and process runner shared with the unit
// tests are TestUtil's; tests that use SandboxTest see them too.
using namespace TestUtil;

// Permitted callers (the test caller installed at the runtime's paths) and
// the same caller at a path the daemon does not permit.
extern const QString settingsCaller;
extern const QString windowCaller;
extern const QString managerCaller;
extern const QString unpermittedCaller;

extern const QString daemonProgram;
extern const QString daemonLog;

// True inside the sandbox; tests QSKIP otherwise.
bool insideSandbox();
// A scratch folder outside the overlays, removed with the sandbox.
QString stateDir();

// What a caller printed for one call.
struct Reply
{
    int exitCode = -1;
    QString value; // the reply's first value ("true", "false", "0", ...)
    QString errorName; // D-Bus error name, empty on success
    QString errorText;
    QString output; // everything the caller printed

    bool isError() const { return !errorName.isEmpty(); }
};

// Runs program (a caller path) with the method and string arguments. wrapper
// is put in front of the program, e.g. {"setpriv", "--reuid=nobody", ...}.
Reply call(const QString &program, const QString &method, const QStringList &args = {},
           const QStringList &wrapper = {},
           const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// Runs the command as the unprivileged user nobody.
QStringList asNobody();
// Runs the command as the named user, with its primary group and groups.
QStringList asUser(const QString &name);

// The pid of a process named name (as /proc/PID/status has it) that runs
// as uid, or an empty string.
QString userProcess(const QString &name, uid_t uid);

// Starts caller's copyLogFiles into dir (a folder the user owns) as the
// user, and holds it: a FIFO stands at dir/vexa.log, so the user's cp waits
// there until somebody reads it. The pid of that cp, or an empty string.
QString startHeldCollection(const QString &caller, const QString &user, const QString &dir,
                            QProcess *collection);

// The user takes over her own cp at pid, as a tracer of hers may, and has it
// start a detached "sleep 6543" after writing mark to the tool's standard
// error. What the debugger printed.
QByteArray leaveDetachedProcess(const QString &user, const QString &pid, const QByteArray &mark);

// The daemon, started by the test at its installed path.
class Daemon
{
public:
    ~Daemon();
    // Starts the daemon and waits until it owns its bus name.
    bool start();
    // Ends it with SIGTERM (no-op when it is not running).
    void stop();
    // Waits for the daemon to end by itself; false on time-out.
    bool waitForExit(int msecs = waitLimitMs);
    qint64 pid() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    bool isRunning() const;

private:
    QProcess *m_process = nullptr;
};

// Runs the daemon program once more while another owns the name; returns its
// exit code (-2 on time-out).
int runSecondDaemon(int msecs = waitLimitMs);

// Waits until the daemon's bus name has an owner (or none when owned is false).
bool waitForName(bool owned = true, int msecs = waitLimitMs);

// The daemon's log file, whole; empty when it does not exist.
QByteArray readDaemonLog();
// Removes the daemon's log file so that a test sees only its own lines.
void clearDaemonLog();

} // namespace SandboxTest
