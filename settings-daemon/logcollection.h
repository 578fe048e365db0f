#pragma once

#include "constants.h"

#include <QString>
#include <QStringList>
#include <QVector>

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
    // a symbolic link; containerDataPattern lies beneath it.
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
    // Per tool: a tool stuck on a FIFO or a slow disk is killed past it.
    int toolTimeoutMs = 5 * 60 * 1000;
};

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
// else 0 whatever the tools achieved.
int collectLogs(const LogCollectionSetup &setup, uint callerUid, const QString &username,
                const QString &userid, const QString &logPath);
