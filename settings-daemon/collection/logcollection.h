// One log collection from start to end: checks, staging, the user's tools.
#pragma once

#include "collectionuser.h"
#include "constants.h"
#include "processrunner.h"
#include "toolcontainer.h"

#include <QDeadlineTimer>
#include <QString>

// Where the collection reads from, where it stages, which tools it runs and
// for how long. The defaults are the system's fixed paths; tests point them
// at temporary directories.
struct LogCollectionSetup
{
    // The container folders are reached from containerRoot without following
    // a symbolic link; containerDataPattern lies beneath it. containerRoot
    // itself is fixed at build time and followed: an administrator may have
    // moved it to a bigger disk and left a link.
    QString containerRoot = runtimeDataDir;
    QString containerDataPattern = ::containerDataPattern;
    QString runtimeLogPath = ::runtimeLogPath;
    // Made if missing; must be a directory of the daemon's own user with no
    // rights for anybody else, never a link.
    QString stagingRoot = logStagingPath;
    QString cpPath = cpProgramPath;
    QString chmodPath = chmodProgramPath;
    QString zipPath = zipProgramPath;
    QString zipFallbackPath = zipFallbackProgramPath;
    QString chownPath = chownProgramPath;
    // The whole collection, staging and tools: a user can hold her own tools
    // (a FIFO, SIGSTOP, a tracer), and this is how long she can hold her own
    // collection. Past it the running tool is killed and the call answers.
    int collectionTimeoutMs = 10 * 60 * 1000;
    // Copying the sources as root; what is not copied by then is left out.
    int stagingTimeoutMs = 5 * 60 * 1000;
    // Each tool: one stuck on a FIFO or a slow disk is killed past it, and
    // the steps after it still run.
    int toolTimeoutMs = 5 * 60 * 1000;
    // How long a killed tool may take to go before it is left held.
    int toolKillGraceMs = ::toolKillGraceMs;
    // Entries (folders, files, links) the staging looks at: folders and links
    // count against no byte limit, and 10,000 is far more than a container's
    // log folders hold.
    int maxStagedEntries = 10000;
};

// A deadline ms from now; none for 0 or less.
inline QDeadlineTimer deadlineIn(int ms)
{
    return ms > 0 ? QDeadlineTimer(ms) : QDeadlineTimer(QDeadlineTimer::Forever);
}

inline QDeadlineTimer earlier(const QDeadlineTimer &a, const QDeadlineTimer &b)
{
    return b < a ? b : a;
}

// Collections side by side at most: each holds a thread and, while it
// stages, its share of /run (see stageSources).
constexpr int maxCollectionsAtOnce = 4;

// The first check of collectLogs, on the text alone: logPath is not empty
// and names a "VexaLog" folder.
bool isCollectionPath(const QString &logPath);

// The checks of collectLogs that need no file: logPath is not empty and
// names a "VexaLog" folder, and the caller may collect for the account. A
// request that fails them is answered at once instead of waiting for the
// collections before it.
bool collectionRequestIsAcceptable(uint callerUid, const QString &username, const QString &userid,
                                   const QString &logPath, LogCollectionUser *user);

// Copies the container's and the runtime's logs into logPath, zips it to
// logPath + ".zip" and gives the archive to user, whom
// collectionRequestIsAcceptable resolved.
//
// Nothing runs as root inside a folder that another user can write: as the
// daemon it only copies the sources (opened without following links) into a
// fresh folder under setup.stagingRoot and makes the copies readable; every
// step on logPath and the archive (checking them, copying the staged files
// in, chmod 777 -R, zip, chown) runs with the user's own rights, so a link,
// a FIFO or a swapped folder can only do what the user could do anyway.
//
// logPath must be absolute and, seen by the user, resolve to an existing
// directory strictly inside a "VexaLog" directory; every tool gets that
// canonical path. Returns -1 when anything is refused (nothing is run then),
// also while a tool of an earlier collection for the user is still held,
// else 0 whatever the tools achieved. Each tool runs in a unit of its own
// made by scopes (where there is one) and under a cap on its tasks; where
// either cannot be had, the tool is not run and the answer is -1. Every
// process a tool starts is killed when the tool ends (see ToolContainer),
// and what it writes goes nowhere.
// Collections for one user must not run side by side (the staging folder is
// the user's); CollectionQueue sees to that.
int collectLogs(const LogCollectionSetup &setup, const LogCollectionUser &user, const QString &logPath,
                ToolScopeMaker scopes);
