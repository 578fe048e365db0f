#pragma once

#include "constants.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

#include <functional>

#include <sys/types.h>

// An account as the user database has it, with every group it belongs to.
struct LogCollectionUser
{
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
    QVector<gid_t> groups;
};

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
    // Entries (folders, files, links) the staging looks at: folders and links
    // count against no byte limit, and 10,000 is far more than a container's
    // log folders hold.
    int maxStagedEntries = 10000;
};

// Collections side by side at most: each holds a thread and, while it
// stages, up to maxStagedEntries inodes of /run.
constexpr int maxCollectionsAtOnce = 4;

// The account a caller may collect for, or false. A caller other than root
// (callerUid as the bus reports it) may only name itself: userid must be its
// uid and username that uid's login name. Root may name any account whose
// name and uid agree in the user database.
bool resolveCollectionUser(uint callerUid, const QString &username, const QString &userid,
                           LogCollectionUser *user);

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
// logPath + ".zip" and gives the archive to username.
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
// else 0 whatever the tools achieved. Collections for one user must not run
// side by side (the staging folder is the user's); CollectionQueue sees to
// that.
int collectLogs(const LogCollectionSetup &setup, uint callerUid, const QString &username,
                const QString &userid, const QString &logPath);

// Removes whatever an earlier process left in the staging root (when it is
// private, as collectLogs requires). Run at start, before any collection.
void removeStaleStaging(const QString &stagingRoot);

// Runs collections on worker threads, fairly: at most maxRunning side by
// side, one at a time per user (the user a collection is for: only that user
// can hold its tools), and at most one more waiting per user, so one user's
// collections can delay only that user's. Used from one thread, which must
// run an event loop: a job's end is handled there.
class CollectionQueue
{
public:
    explicit CollectionQueue(int maxRunning);
    // False when the user already has a collection waiting: the call is to
    // be answered at once.
    bool submit(uid_t user, const std::function<void()> &job);

private:
    void startWaiting();

    struct Waiting
    {
        uid_t user;
        std::function<void()> job;
    };
    QObject m_context;
    QThreadPool m_pool;
    QSet<uid_t> m_running;
    QList<Waiting> m_waiting;
    int m_maxRunning;
};
