// Reads a calling process's start-up environment and executable from /proc.
#include "callerprocess.h"

#include "constants.h"
#include "fileio.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#include <sys/stat.h>

bool environmentHasLoaderOverride(const QByteArray &environment)
{
    // One pass without copies, as this runs on every call: an entry ends at a
    // NUL or a line feed, a CR is skipped as a text-mode read drops it, and
    // only the name before an entry's first '=' counts.
    static const QByteArray forbidden[] = {
        QByteArrayLiteral("LD_PRELOAD"), QByteArrayLiteral("LD_LIBRARY_PATH"), QByteArrayLiteral("LD_AUDIT")};
    char name[16]; // room for the longest forbidden name and one more byte
    int length = 0;
    bool inName = true;
    for (const char c : environment) {
        if (c == '\0' || c == '\n') {
            length = 0;
            inName = true;
            continue;
        }
        if (!inName || c == '\r')
            continue;
        if (c != '=') {
            if (length < int(sizeof name))
                name[length++] = c;
            continue;
        }
        inName = false;
        for (const QByteArray &forbiddenName : forbidden) {
            if (length == forbiddenName.size()
                && std::memcmp(name, forbiddenName.constData(), size_t(length)) == 0)
                return true;
        }
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
