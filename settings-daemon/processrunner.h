#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <sys/types.h>

// Running outside programs: with no shell between, their output forwarded to
// ours, nothing written to them (a program that reads its input gets
// end-of-file).

// One run of a program. With switchUser set it runs with exactly uid, gid
// and groups; keepFd stays open in it (a tool reaches a folder through
// /proc/self/fd/N). Past timeoutMs (when above 0) it is killed.
struct ToolRun
{
    QString program;
    QStringList args;
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    QVector<gid_t> groups;
    int keepFd = -1;
    int timeoutMs = 0;
};

// True for a normal exit with code 0 within the time limit; false also when
// the program could not be started at all.
bool runTool(const ToolRun &run);

// Runs program with args as the daemon itself and waits for it without a
// time-out. True for a normal exit with code 0; false also when the program
// could not be started at all.
bool runProcess(const QString &program, const QStringList &args);
