// Reads a calling process's start-up environment and executable from /proc.
#include "callerprocess.h"

#include "constants.h"
#include "fileio.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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

CallerProcess::CallerProcess(int pid, int pidfd)
    : m_pid(pid)
{
    if (pid <= 0)
        return;
    m_folder = ::open(QByteArray("/proc/" + QByteArray::number(pid)).constData(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Checked after the open: while the process runs (or waits to be reaped),
    // its pid is nobody else's, so the folder just opened is its own.
    if (m_folder >= 0 && pidfd >= 0 && ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0) {
        ::close(m_folder);
        m_folder = -1;
    }
}

CallerProcess::~CallerProcess()
{
    if (m_folder >= 0)
        ::close(m_folder);
}

int pidOfPidfd(int pidfd)
{
    QFile info(QStringLiteral("/proc/self/fdinfo/%1").arg(pidfd));
    if (!info.open(QIODevice::ReadOnly))
        return 0;
    // A few short lines; "Pid:\t-1" once the process has ended.
    const QByteArray text = info.read(4096);
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("Pid:")) {
            bool ok = false;
            const int pid = line.mid(4).trimmed().toInt(&ok);
            return ok && pid > 0 ? pid : 0;
        }
    }
    return 0;
}

bool callerEnvironmentIsClean(const CallerProcess &caller)
{
    const QString path = processEnvironmentPattern.arg(caller.pid());
    QByteArray environment;
    QString reason;
    const int fd = caller.folder() >= 0 ? ::openat(caller.folder(), "environ", O_RDONLY | O_CLOEXEC) : -1;
    const bool read = fd >= 0 && readWholeFile(fd, &environment, &reason, maxProcessEnvironmentSize);
    if (fd >= 0)
        ::close(fd);
    if (!read) {
        qWarning() << "open env file failed: " << path;
        return false;
    }
    if (environmentHasLoaderOverride(environment)) {
        qWarning() << "access limited!";
        return false;
    }
    return true;
}

bool callerExecutableIsPermitted(const CallerProcess &caller, const QStringList &permittedCallers)
{
    // The kernel's link to the running executable reaches its inode even
    // where the path it shows means something else here.
    struct stat running;
    if (caller.folder() < 0 || ::fstatat(caller.folder(), "exe", &running, 0) != 0) {
        qWarning() << "invalid pid:" << caller.pid();
        return false;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(caller.folder(), "exe", target, sizeof target);
    // A deleted or replaced executable has no canonical path and is refused.
    const QString canonical = length > 0 && length < ssize_t(sizeof target)
        ? QFileInfo(QFile::decodeName(QByteArray(target, int(length)))).canonicalFilePath()
        : QString();
    struct stat permitted;
    if (!canonical.isEmpty() && permittedCallers.contains(canonical)
        && ::stat(QFile::encodeName(canonical).constData(), &permitted) == 0
        && permitted.st_dev == running.st_dev && permitted.st_ino == running.st_ino)
        return true;
    qWarning() << "checkWhiteList failed: " << canonical;
    return false;
}
