// The settings of a log collection that its units share: paths, deadlines, bounds.
#pragma once

#include "constants.h"

#include <QDeadlineTimer>
#include <QString>

// A killed tool that has not gone within this long is left to be reaped
// later: a tracer of the user's can hold its exit as long as it likes.
constexpr int toolKillGraceMs = 5000;

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
