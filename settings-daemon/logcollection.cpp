#include "logcollection.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <sys/stat.h>

bool runProcess(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QIODevice::ReadWrite);
    // Nothing is ever written to the tools; a tool that reads its input gets
    // end-of-file instead of holding the daemon forever.
    process.closeWriteChannel();
    // False as well when the program never started: QProcess then still
    // reports a normal exit with code 0.
    if (!process.waitForFinished(-1))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

namespace {

bool isAsciiLetterOrDigit(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
}

// The name goes into a path under /var/lib and into chown's owner argument.
bool isLoginName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('-')))
        return false;
    for (const QChar c : name) {
        if (!isAsciiLetterOrDigit(c) && c != QLatin1Char('.') && c != QLatin1Char('_')
            && c != QLatin1Char('-'))
            return false;
    }
    return true;
}

bool isUserId(const QString &id)
{
    if (id.isEmpty())
        return false;
    for (const QChar c : id) {
        if (c.unicode() < '0' || c.unicode() > '9')
            return false;
    }
    return true;
}

// The collection directory the tools are given, or a null string when
// logPath is refused. Only the canonical path is trusted: dot segments and
// symbolic links could otherwise lead the root-run tools anywhere. It must
// lie strictly inside a "VexaLog" directory, so that the archive beside it
// lies there too.
QString collectionDirectory(const QString &logPath)
{
    // A relative path would be taken against the daemon's directory, not the
    // caller's.
    if (!logPath.startsWith(QLatin1Char('/')) || logPath.contains(QChar(0)))
        return QString();
    const QString canonical = QFileInfo(logPath).canonicalFilePath();
    if (canonical.isEmpty() || !canonical.contains(QLatin1String("/VexaLog/")))
        return QString();
    if (!QFileInfo(canonical).isDir())
        return QString();
    return canonical;
}

// zip opens an existing archive through a symbolic link and updates or
// creates the file it leads to, as root; chown -h would then change only the
// link. So an existing archive must be a plain file of its own.
bool archivePathIsUsable(const QString &archive)
{
    struct stat info;
    if (::lstat(QFile::encodeName(archive).constData(), &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

} // namespace

int collectLogs(const LogCollectionSetup &setup, const QString &username, const QString &userid,
                const QString &logPath)
{
    if (logPath.isEmpty())
        return -1;
    if (!isLoginName(username) || !isUserId(userid))
        return -1;
    const QString dir = collectionDirectory(logPath);
    if (dir.isNull())
        return -1;
    const QString archive = dir + QStringLiteral(".zip");
    if (!archivePathIsUsable(archive))
        return -1;

    const QString dataDir = setup.containerDataPattern.arg(userid, username);
    const QString cp = setup.cpPath;
    const QString copyFlag = QStringLiteral("-a");
    // Best effort from here on: every step runs whatever the earlier ones did.
    runProcess(cp, {copyFlag, dataDir + QStringLiteral("/klog/"), dir});
    runProcess(cp, {copyFlag, dataDir + QStringLiteral("/anr/"), dir});
    runProcess(cp, {copyFlag, dataDir + QStringLiteral("/system/dropbox/"), dir});
    runProcess(cp, {copyFlag, dataDir + QStringLiteral("/tombstones/"), dir});
    if (QFile::exists(setup.runtimeLogPath))
        runProcess(cp, {copyFlag, setup.runtimeLogPath, dir});
    runProcess(setup.chmodPath, {QStringLiteral("777"), QStringLiteral("-R"), dir});
    const QString zip = QFile::exists(setup.zipPath) ? setup.zipPath : setup.zipFallbackPath;
    // -y stores symbolic links as links: zip runs as root, and following a
    // link the user left in the directory would put any file into the archive
    // that the user is then given.
    runProcess(zip, {QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-j"), QStringLiteral("-y"),
                     archive, dir});
    runProcess(setup.chownPath, {QStringLiteral("-hR"), username + QLatin1Char(':') + username, archive});
    return 0;
}
