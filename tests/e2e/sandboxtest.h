#pragma once

// Helpers for end-to-end tests that run inside tests/e2e/sandbox.sh: the
// daemon and the callers are the real programs at their installed paths.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace SandboxTest {

// The daemon's fixed files and their folders, as the sandbox has them.
inline const QString listDir = QStringLiteral("/usr/share/vexa");
inline const QString gamesPath = QStringLiteral("/usr/share/vexa/games.json");
inline const QString warningPath = QStringLiteral("/usr/share/vexa/warning.json");
inline const QString dockerDir = QStringLiteral("/etc/docker");
inline const QString dockerPath = QStringLiteral("/etc/docker/daemon.json");
inline const QString autoStartDir = QStringLiteral("/etc/xdg/autostart");
inline const QString autoStartPath = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
// Without it the bus would start a daemon of its own between a kill and the
// test's restart.
inline const QString activationFile =
    QStringLiteral("/usr/share/dbus-1/system-services/cn.selvane.Vexa.Pref.service");

// The seven identity keys, in the order missing ones are appended.
inline const char *const phoneKeys[] = {"ro.custom.manufacturer=", "ro.custom.brand=", "ro.custom.product=",
                                        "ro.custom.model=", "ro.custom.device=", "ro.serialno=",
                                        "ro.custom.imei="};

// The autostart entry, byte for byte, as the daemon must write it.
inline const QByteArray autoStartBytes = "[Desktop Entry]\n"
                                         "Name=bootlane\n"
                                         "Comment=Start Vexa\n"
                                         "Exec=/usr/bin/bootlane start_vexa_silently\n"
                                         "Terminal=false\n"
                                         "Type=Application\n"
                                         "StartupNotify=false\n"
                                         "X-GNOME-Autostart-Phase=Applications\n"
                                         "X-GNOME-Autostart-Notify=true\n"
                                         "X-GNOME-Autostart-Delay=8\n"
                                         "NoDisplay=true\n"
                                         "Categories=\n"
                                         "\n";

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
    QString value;      // the reply's first value ("true", "false", "0", ...)
    QString errorName;  // D-Bus error name, empty on success
    QString errorText;
    QString output;     // everything the caller printed

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
    bool waitForExit(int msecs = 10000);
    qint64 pid() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    bool isRunning() const;

private:
    QProcess *m_process = nullptr;
};

// Runs the daemon program once more while another owns the name; returns its
// exit code (-2 on time-out).
int runSecondDaemon(int msecs = 10000);

// Waits until the daemon's bus name has an owner (or none when owned is false).
bool waitForName(bool owned = true, int msecs = 10000);

// The daemon's log file, whole; empty when it does not exist.
QByteArray readDaemonLog();
// Removes the daemon's log file so that a test sees only its own lines.
void clearDaemonLog();

} // namespace SandboxTest
