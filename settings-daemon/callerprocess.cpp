#include "callerprocess.h"

#include "constants.h"
#include "fileio.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

bool environmentHasLoaderOverride(const QByteArray &environment)
{
    static const QList<QByteArray> forbidden = {
        QByteArrayLiteral("LD_PRELOAD"), QByteArrayLiteral("LD_LIBRARY_PATH"), QByteArrayLiteral("LD_AUDIT")};
    QByteArray text = withoutCarriageReturns(environment);
    text.replace('\0', '\n');
    for (const QByteArray &part : text.split('\n')) {
        const int equals = part.indexOf('=');
        if (equals >= 0 && forbidden.contains(part.left(equals)))
            return true;
    }
    return false;
}

bool callerEnvironmentIsClean(int pid)
{
    const QString path = processEnvironmentPattern.arg(pid);
    QByteArray environment;
    QString reason;
    if (!readWholeFile(path, &environment, &reason, maxProcessEnvironmentSize)) {
        qWarning() << "open env file failed: " << path;
        return false;
    }
    if (environmentHasLoaderOverride(environment)) {
        qWarning() << "access limited!";
        return false;
    }
    return true;
}

// Both names lead to one file: the kernel's link to the running executable
// reaches its inode even where the path it shows means something else here.
static bool isSameFile(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
        && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

bool callerExecutableIsPermitted(int pid, const QStringList &permittedCallers)
{
    const QString link = processExecutablePattern.arg(pid);
    const QFileInfo executable(link);
    if (!executable.exists()) {
        qWarning() << "invalid pid:" << pid;
        return false;
    }
    // A deleted or replaced executable has no canonical path and is refused.
    const QString canonical = executable.canonicalFilePath();
    if (!canonical.isEmpty() && permittedCallers.contains(canonical) && isSameFile(link, canonical))
        return true;
    qWarning() << "checkWhiteList failed: " << canonical;
    return false;
}
