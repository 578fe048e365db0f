// Runs the log collection's outside tools, each with a deadline.
#pragma once

#include "collectionsetup.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <sys/types.h>

class ToolContainer;

// Running outside programs: with no shell between, their input, output and
// errors /dev/null (what a user's process writes must not reach the
// daemon's journal stream).

// One run of a program. With switchUser set it runs with exactly uid, gid
// and groups; keepFd stays open in it (a tool reaches a folder through
// /proc/self/fd/N). When deadline passes it is killed.
struct ToolRun
{
    QString program;
    QStringList args;
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    QVector<gid_t> groups;
    int keepFd = -1;
    QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    // How long it may take to go once killed.
    int killGraceMs = toolKillGraceMs;
    // Where it runs, with everything it starts: see ToolContainer.
    ToolContainer *container = nullptr;
};

enum class ToolEnd {
    Succeeded, // a normal exit with code 0
    Failed, // any other end, or it could not be started
    Killed, // killed at its deadline, and gone
    Held, // killed at its deadline but not gone: left to be reaped later
    Uncontained, // not started: its container could not hold it
};

// Runs the tool and waits for it until its deadline, then kills it and waits
// killGraceMs more at most. Never waits longer.
ToolEnd runTool(const ToolRun &run);

// Reaps the tools left held that have gone by now; true when one that ran as
// uid is still there.
bool toolStillHeld(uid_t uid);
