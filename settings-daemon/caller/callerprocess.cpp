// Reads a calling process's start-up environment and executable from /proc.
#include "callerprocess.h"

#include "constants.h"
#include "fileio.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

void LoaderOverrideScanner::scan(const char *piece, qint64 size)
{
    // Without copies, as this runs on every new caller: an entry ends at a
    // NUL or a line feed, a CR is skipped as a text-mode read drops it, and
    // only the name before an entry's first '=' counts, so the rest of an
    // entry is passed over with memchr. The state carries over to the next
    // piece.
    static const QByteArray forbidden[] = {
        QByteArrayLiteral("LD_PRELOAD"), QByteArrayLiteral("LD_LIBRARY_PATH"), QByteArrayLiteral("LD_AUDIT")};
    const char *at = piece;
    const char *const end = piece + size;
    while (at < end && !m_found) {
        if (!m_inName) {
            const char *stop = static_cast<const char *>(std::memchr(at, '\0', size_t(end - at)));
            if (!stop)
                stop = end;
            if (const void *lineFeed = std::memchr(at, '\n', size_t(stop - at)))
                stop = static_cast<const char *>(lineFeed);
            if (stop == end)
                return;
            at = stop + 1;
            m_inName = true;
            m_length = 0;
            continue;
        }
        const char c = *at++;
        if (c == '\0' || c == '\n') {
            m_length = 0;
            continue;
        }
        if (c == '\r')
            continue;
        if (c != '=') {
            m_name[m_length++] = c;
            // Longer than every forbidden name: the entry cannot be one.
            if (m_length == int(sizeof m_name))
                m_inName = false;
            continue;
        }
        m_inName = false;
        for (const QByteArray &forbiddenName : forbidden) {
            if (m_length == forbiddenName.size()
                && std::memcmp(m_name, forbiddenName.constData(), size_t(m_length)) == 0)
                m_found = true;
        }
    }
}

bool environmentHasLoaderOverride(const QByteArray &environment)
{
    LoaderOverrideScanner scanner;
    scanner.scan(environment.constData(), environment.size());
    return scanner.found();
}

EnvironmentVerdict scanEnvironment(int fd, qint64 maxSize)
{
    // On the stack, never the heap: nothing of a caller's environment is
    // left for the heap's release after the call.
    char piece[environmentPieceSize];
    LoaderOverrideScanner scanner;
    qint64 total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return EnvironmentVerdict::Unreadable;
        if (got == 0)
            break;
        total += got;
        // Read on past a forbidden name: a file past the cap is refused as
        // unreadable, wherever the name stands.
        if (total > maxSize)
            return EnvironmentVerdict::Unreadable;
        scanner.scan(piece, got);
    }
    return scanner.found() ? EnvironmentVerdict::Overridden : EnvironmentVerdict::Clean;
}

CallerProcess::CallerProcess(int pid, int pidfd)
    : m_pid(pid)
{
    if (pid <= 0 || pidfd < 0)
        return;
    m_folder = ::open(QByteArray("/proc/" + QByteArray::number(pid)).constData(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Checked after the open: while the process runs (or waits to be reaped),
    // its pid is nobody else's, so the folder just opened is its own.
    if (m_folder >= 0 && ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0) {
        ::close(m_folder);
        m_folder = -1;
    }
    // The kernel's link to the running executable reaches its inode even
    // where the path it shows means something else here.
    m_hasExecutable = m_folder >= 0 && ::fstatat(m_folder, "exe", &m_executable, 0) == 0;
}

CallerProcess::~CallerProcess()
{
    if (m_folder >= 0)
        ::close(m_folder);
}

int pidOfPidfd(int pidfd)
{
    // A few short lines; "Pid:\t-1" once the process has ended.
    QByteArray text;
    QString reason;
    if (!readWholeFile(QStringLiteral("/proc/self/fdinfo/%1").arg(pidfd), &text, &reason, 4096))
        return 0;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("Pid:")) {
            bool ok = false;
            const int pid = line.mid(4).trimmed().toInt(&ok);
            return ok && pid > 0 ? pid : 0;
        }
    }
    return 0;
}

static bool isExecutableOf(const KeptEnvironment &kept, const struct stat &executable)
{
    return kept.device == executable.st_dev && kept.inode == executable.st_ino
        && kept.changed.tv_sec == executable.st_ctim.tv_sec
        && kept.changed.tv_nsec == executable.st_ctim.tv_nsec;
}

bool callerEnvironmentIsClean(const CallerProcess &caller, KeptEnvironment *kept)
{
    const struct stat *executable = caller.executable();
    EnvironmentVerdict verdict = EnvironmentVerdict::Unreadable;
    if (caller.folder() >= 0 && kept && kept->kept && executable && isExecutableOf(*kept, *executable)) {
        verdict = kept->overridden ? EnvironmentVerdict::Overridden : EnvironmentVerdict::Clean;
    } else if (caller.folder() >= 0) {
        // The executable was looked at before this read: should the process
        // execute another file meanwhile, the verdict is kept for the one
        // before, and the next call scans again.
        const Fd environment(::openat(caller.folder(), "environ", O_RDONLY | O_CLOEXEC));
        if (environment.get() >= 0)
            verdict = scanEnvironment(environment.get(), maxProcessEnvironmentSize);
        if (kept) {
            kept->kept = executable && verdict != EnvironmentVerdict::Unreadable;
            if (kept->kept) {
                kept->overridden = verdict == EnvironmentVerdict::Overridden;
                kept->device = executable->st_dev;
                kept->inode = executable->st_ino;
                kept->changed = executable->st_ctim;
            }
        }
    }
    if (verdict == EnvironmentVerdict::Unreadable) {
        qWarning() << "open env file failed: " << processEnvironmentPattern.arg(caller.pid());
        return false;
    }
    if (verdict == EnvironmentVerdict::Overridden) {
        qWarning() << "access limited!";
        return false;
    }
    return true;
}

bool callerExecutableIsPermitted(const CallerProcess &caller, const QStringList &permittedCallers)
{
    const struct stat *running = caller.executable();
    if (!running) {
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
        && permitted.st_dev == running->st_dev && permitted.st_ino == running->st_ino)
        return true;
    qWarning() << "checkWhiteList failed: " << canonical;
    return false;
}
