#pragma once

#include <QString>
#include <QStringList>

// Runs program with args (no shell), forwarding its output to ours, and waits
// for it without a time-out. True for a normal exit with code 0; false also
// when the program could not be started at all.
bool runProcess(const QString &program, const QStringList &args);

// Where the collection reads from and which tools it runs. The defaults are
// the system's fixed paths; tests point them at temporary directories.
struct LogCollectionSetup
{
    QString containerDataPattern = QStringLiteral("/var/lib/vexa/vexa-%1-%2/data");
    QString runtimeLogPath = QStringLiteral("/var/log/vexa.log");
    QString cpPath = QStringLiteral("/bin/cp");
    QString chmodPath = QStringLiteral("/bin/chmod");
    QString zipPath = QStringLiteral("/bin/zip");
    QString zipFallbackPath = QStringLiteral("/usr/bin/zip");
    QString chownPath = QStringLiteral("/bin/chown");
};

// Copies the container's and the runtime's logs into logPath, zips it to
// logPath + ".zip" and gives the archive to username. The tools run as root
// on a directory the caller names, so logPath is first resolved to its
// canonical path, which must be an existing directory strictly inside a
// directory named "VexaLog"; every tool gets the canonical path. username
// must be a login name and userid a decimal number. Returns -1 when anything
// is refused (nothing is run then), else 0 whatever the tools achieved.
int collectLogs(const LogCollectionSetup &setup, const QString &username, const QString &userid,
                const QString &logPath);
