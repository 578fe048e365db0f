// One log collection from start to end: checks, staging, the user's tools.
#pragma once

#include "collectionsetup.h"
#include "collectionuser.h"
#include "toolcontainer.h"

#include <QString>

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
