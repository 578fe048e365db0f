// One log collection from start to end: checks, staging, the user's tools.
#include "logcollection.h"

#include "fileio.h"
#include "fsidentity.h"
#include "processrunner.h"
#include "staging.h"
#include "toolcontainer.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {

// The collection directory the tools are given, or a null string when
// logPath is refused. Only the canonical path is trusted: dot segments and
// symbolic links could otherwise lead the tools anywhere. It must lie
// strictly inside a "VexaLog" directory, so that the archive beside it lies
// there too. Run with the user's identity.
QString collectionDirectory(const QString &logPath)
{
    // A relative path would be taken against the daemon's directory, not the
    // caller's.
    if (!logPath.startsWith(QLatin1Char('/')) || logPath.contains(QChar(0)))
        return QString();
    const QString canonical = QFileInfo(logPath).canonicalFilePath();
    if (canonical.isEmpty() || !canonical.contains(collectionPathMarker))
        return QString();
    if (!QFileInfo(canonical).isDir())
        return QString();
    return canonical;
}

// zip updates an existing archive through a symbolic link or a hard link, and
// chown -h would then change only the link: the archive would not be the
// user's own file. So an existing archive must be a plain file of its own.
bool archivePathIsUsable(const QString &archive)
{
    struct stat info;
    if (::lstat(QFile::encodeName(archive).constData(), &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// The user's part, with the user's rights only: copy the staged names in
// (through the staging folder's descriptor, stagingFd, when there is one),
// chmod, zip and chown. Each step runs whatever the earlier ones did, until
// the collection's deadline, or until a tool cannot be got rid of. False
// when a tool could not be contained: nothing more runs then.
bool runUserSteps(const LogCollectionSetup &setup, const LogCollectionUser &user, const QString &dir,
                  int stagingFd, const QStringList &staged, const QDeadlineTimer &deadline,
                  ToolScopeMaker scopes)
{
    struct Step
    {
        QString program;
        QStringList args;
        int keepFd;
    };
    const QString archive = dir + QStringLiteral(".zip");
    QVector<Step> steps;
    if (stagingFd >= 0) {
        for (const QString &name : staged)
            steps.append({setup.cpPath,
                          {QStringLiteral("-a"), inheritedFolderPattern.arg(stagingFd).arg(name), dir},
                          stagingFd});
    }
    steps.append({setup.chmodPath, {QStringLiteral("777"), QStringLiteral("-R"), dir}, -1});
    // -y stores symbolic links as links, as the collection always did.
    steps.append({QFile::exists(setup.zipPath) ? setup.zipPath : setup.zipFallbackPath,
                  {QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-j"), QStringLiteral("-y"),
                   archive, dir},
                  -1});
    // To the group named like the user, where the user belongs to it.
    steps.append(
        {setup.chownPath, {QStringLiteral("-hR"), user.name + QLatin1Char(':') + user.name, archive}, -1});

    // Whatever a tool starts, however it detaches, ends with the tool.
    ToolContainer container(user.uid, scopes);
    ToolRun tool;
    tool.container = &container;
    tool.killGraceMs = setup.toolKillGraceMs;
    tool.switchUser = true;
    tool.uid = user.uid;
    tool.gid = user.gid;
    tool.groups = user.groups;
    for (int i = 0; i < steps.size(); ++i) {
        if (deadline.hasExpired()) {
            qWarning() << "log collection deadline passed for uid" << user.uid
                       << "- steps left out:" << steps.size() - i;
            return true;
        }
        tool.program = steps.at(i).program;
        tool.args = steps.at(i).args;
        tool.keepFd = steps.at(i).keepFd;
        tool.deadline = earlier(deadlineIn(setup.toolTimeoutMs), deadline);
        const ToolEnd end = runTool(tool);
        container.endAll();
        if (end == ToolEnd::Uncontained) {
            qWarning() << "log collection refused: its tools cannot be contained, uid" << user.uid;
            return false;
        }
        if (end == ToolEnd::Held) {
            qWarning() << "log collection for uid" << user.uid << "stopped: a killed tool is held";
            return true;
        }
    }
    return true;
}

} // namespace

bool isCollectionPath(const QString &logPath)
{
    return !logPath.isEmpty() && logPath.contains(collectionPathMarker);
}

bool collectionRequestIsAcceptable(uint callerUid, const QString &username, const QString &userid,
                                   const QString &logPath, LogCollectionUser *user)
{
    return isCollectionPath(logPath) && resolveCollectionUser(callerUid, username, userid, user);
}

int collectLogs(const LogCollectionSetup &setup, const LogCollectionUser &user, const QString &logPath,
                ToolScopeMaker scopes)
{
    if (!isCollectionPath(logPath))
        return -1;
    if (toolStillHeld(user.uid)) {
        qWarning() << "log collection refused: a killed tool of an earlier one is still held, uid"
                   << user.uid;
        return -1;
    }
    const QDeadlineTimer deadline = deadlineIn(setup.collectionTimeoutMs);
    QString dir;
    {
        const ThreadFsIdentity asUser(user);
        if (!asUser.ok())
            return -1;
        dir = collectionDirectory(logPath);
        if (dir.isNull() || !archivePathIsUsable(dir + QStringLiteral(".zip")))
            return -1;
    }
    // Best effort from here on: every step runs whatever the earlier ones did.
    const QString staging = setup.stagingRoot + QLatin1Char('/') + logStagingFolderPattern.arg(user.uid);
    QStringList staged;
    Fd stagingFd = stageSources(setup, setup.containerDataPattern.arg(QString::number(user.uid), user.name),
                                staging, deadline, &staged);
    const bool contained = runUserSteps(setup, user, dir, stagingFd.get(), staged, deadline, scopes);
    if (stagingFd.get() >= 0) {
        stagingFd = Fd();
        removeStaged(staging);
    }
    return contained ? 0 : -1;
}
