// Whole-file reads with caps, atomic replacement, lookups beneath a folder.
#include "fileio.h"

#include "heaptrim.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include <vector>

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

static bool readFailed(QByteArray *content, QString *reason, const QString &text, ReadFailure *failure,
                       ReadFailure kind)
{
    content->clear();
    *reason = text;
    if (failure)
        *failure = kind;
    return false;
}

static QString tooLarge(qint64 maxSize)
{
    return QStringLiteral("larger than its cap of %1 bytes").arg(maxSize);
}

bool readWholeFile(int fd, QByteArray *content, QString *reason, qint64 maxSize, ReadFailure *failure)
{
    content->clear();
    if (failure)
        *failure = ReadFailure::None;
    // Never more than a QByteArray can hold, less its header.
    maxSize = qBound(qint64(0), maxSize, qint64(0x7fffffff) - 65);
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return readFailed(content, reason, errnoText(), failure, ReadFailure::Other);
    const bool regular = S_ISREG(info.st_mode);
    // The size on record decides before any memory is taken: a sparse file
    // costs nothing on disk and would cost its whole size here.
    if (regular && info.st_size > maxSize)
        return readFailed(content, reason, tooLarge(maxSize), failure, ReadFailure::TooLarge);
    // The size only sizes the buffer, with a byte to spare for the read that
    // finds the end: the loop goes on to the end of the file, which may have
    // grown, and /proc reports 0. The buffer never passes the cap by more
    // than the byte that shows the file is past it.
    const qint64 limit = maxSize + 1;
    content->resize(int(qMin(limit, regular && info.st_size > 0 ? info.st_size + 1 : qint64(64 * 1024))));
    noteCallMemory(content->size());
    qint64 total = 0;
    for (;;) {
        if (total == content->size()) {
            if (total >= limit)
                return readFailed(content, reason, tooLarge(maxSize), failure, ReadFailure::TooLarge);
            content->resize(int(qMin(2 * total, limit)));
            noteCallMemory(content->size());
        }
        const ssize_t got = ::read(fd, content->data() + total, size_t(content->size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return readFailed(content, reason, errnoText(), failure, ReadFailure::Other);
        if (got == 0)
            break;
        total += got;
    }
    content->resize(int(total));
    return true;
}

bool readWholeFile(const QString &path, QByteArray *content, QString *reason, qint64 maxSize,
                   ReadFailure *failure)
{
    content->clear();
    const Fd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        return readFailed(content, reason, errnoText(error), failure,
                          error == ENOENT ? ReadFailure::Missing : ReadFailure::Other);
    }
    return readWholeFile(file.get(), content, reason, maxSize, failure);
}

bool editFitsCap(const QString &path, const QByteArray &content, qint64 maxSize)
{
    if (content.size() <= maxSize)
        return true;
    qWarning() << "Refused an edit of" << path << "that would make it" << content.size()
               << "bytes, over its cap of" << maxSize;
    return false;
}

QByteArray withoutCarriageReturns(QByteArray bytes)
{
    return bytes.replace('\r', QByteArray());
}

static bool fail(const QString &path, const QString &reason)
{
    qWarning() << "Failed to write" << path << reason;
    return false;
}

static bool writeAll(int fd, const QByteArray &content, QString *reason)
{
    const char *data = content.constData();
    size_t left = size_t(content.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *reason = written < 0 ? errnoText() : QStringLiteral("nothing written");
            return false;
        }
        data += written;
        left -= size_t(written);
    }
    return true;
}

// Keep the whole mode and the ownership, since other programs read these
// files with their own rights. This comes after the write and the owner
// before the mode: both a write without root rights and a change of owner
// clear the set-id bits.
static bool keepOwnerAndMode(int fd, const struct stat &old, QString *reason)
{
    if (::fchown(fd, old.st_uid, old.st_gid) == 0 && ::fchmod(fd, old.st_mode & 07777) == 0)
        return true;
    *reason = errnoText();
    return false;
}

// A name beside the file that nothing holds yet (tried anew when one does),
// for the link or the creation that op makes at it: 0, or -1 with errno.
template<typename Op> static int atFreshName(const QByteArray &name, QByteArray *temporary, Op op)
{
    // Room for the suffix within the longest name a directory holds.
    const QByteArray stem = name.left(255 - 8);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = stem + '.' + QByteArray::number(QRandomGenerator::global()->bounded(0x1000000), 36);
        const int result = op(temporary->constData());
        if (result >= 0 || errno != EEXIST)
            return result;
    }
    errno = EEXIST;
    return -1;
}

// An unnamed file in the folder, so that a write killed midway leaves
// nothing behind: it only gets a name once it is complete. -1 with errno,
// EOPNOTSUPP (or EISDIR, EINVAL from older kernels) where the file system
// has no such files.
static int createUnnamed(int dirFd, mode_t mode)
{
    return ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

// Gives the complete unnamed file at fd the name at dirFd. The link through
// /proc/self/fd needs no capability (AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH
// before Linux 6.10, which the unit does not grant); the latter stands in
// without /proc. own is "/proc/self/fd/FD", made beforehand: this also runs
// in a vfork child, which must not allocate.
static int linkUnnamed(int fd, const char *own, int dirFd, const char *name)
{
    if (::linkat(AT_FDCWD, own, dirFd, name, AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    return ::linkat(fd, "", dirFd, name, AT_EMPTY_PATH);
}

// Replaces name with the complete unnamed file at fd: a link at fresh, then
// a rename over name. Both steps run in a child that shares the daemon's
// memory (vfork) and only makes system calls, so that a kill or a crash of
// the daemon between them cannot leave the file at fresh behind. 0, or -1
// with errno (EEXIST: fresh is taken, nothing was done).
static int replaceWithUnnamed(int fd, const char *own, int dirFd, const char *fresh, const char *name)
{
    // Signals wait for the parent: a handler must not run in the child.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::vfork();
    if (child == 0) {
        int error = 0;
        if (linkUnnamed(fd, own, dirFd, fresh) != 0) {
            error = errno;
        } else if (::renameat(dirFd, fresh, dirFd, name) != 0) {
            error = errno;
            ::unlinkat(dirFd, fresh, 0);
        }
        ::_exit(error);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (child < 0) {
        errno = forkError;
        return -1;
    }
    int status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) { }
    if (reaped == child && WIFEXITED(status)) {
        errno = WEXITSTATUS(status);
        return errno == 0 ? 0 : -1;
    }
    // The child was killed (a collection's sweep of the daemon's children):
    // what it did not do is done here.
    struct stat file;
    struct stat named;
    if (::fstat(fd, &file) != 0)
        return -1;
    if (::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == file.st_dev
        && named.st_ino == file.st_ino)
        return 0;
    if (::fstatat(dirFd, fresh, &named, AT_SYMLINK_NOFOLLOW) == 0) {
        if (named.st_dev != file.st_dev || named.st_ino != file.st_ino) {
            errno = EEXIST;
            return -1;
        }
    } else if (linkUnnamed(fd, own, dirFd, fresh) != 0) {
        return -1;
    }
    if (::renameat(dirFd, fresh, dirFd, name) == 0)
        return 0;
    const int error = errno;
    ::unlinkat(dirFd, fresh, 0);
    errno = error;
    return -1;
}

bool writeFileAtomicallyAt(int dirFd, const QString &name, const QByteArray &content,
                           const QString &displayPath, const FileIdentity *expected)
{
    const QByteArray native = QFile::encodeName(name);
    if (native.isEmpty() || native == "." || native == ".." || native.contains('/'))
        return fail(displayPath, QStringLiteral("is not a file name"));

    struct stat old;
    const bool existed = ::fstatat(dirFd, native.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!existed && errno != ENOENT)
        return fail(displayPath, errnoText());
    if (existed && !S_ISREG(old.st_mode))
        return fail(displayPath, QStringLiteral("is not a regular file"));
    if (expected
        && (existed != expected->exists
            || (existed && (old.st_dev != expected->device || old.st_ino != expected->inode))))
        return fail(displayPath, QStringLiteral("was replaced while it was read"));

    if (!UnprivilegedWrites::roomFor(dirFd, content.size()))
        return fail(displayPath, QStringLiteral("not enough room left for users other than root"));

    // A copy of an existing file stays private until it has the file's own
    // owner and mode: the old content may be secret.
    const mode_t mode = existed ? 0600 : 0666;
    QByteArray temporary;
    int fd = createUnnamed(dirFd, mode);
    const bool unnamed = fd >= 0;
    // Where the file system has no unnamed files, a fresh name, created
    // exclusively so that nothing already there (a link planted in the
    // directory, say) is opened.
    if (!unnamed && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        fd = atFreshName(native, &temporary, [&](const char *fresh) {
            return ::openat(dirFd, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        });
    if (fd < 0)
        return fail(displayPath, errnoText());

    // The bytes go straight to the descriptor and every step is checked, so
    // that a full disk never replaces the old file with a torn one.
    QString reason;
    bool written = writeAll(fd, content, &reason) && (!existed || keepOwnerAndMode(fd, old, &reason));
    if (written && ::fsync(fd) != 0) {
        reason = errnoText();
        written = false;
    }
    // A new file takes its name at once (a file that came there meanwhile is
    // not replaced); an existing one is linked at a fresh name and renamed
    // over it.
    if (written && unnamed) {
        const QByteArray own = "/proc/self/fd/" + QByteArray::number(fd);
        const int replaced = existed ? atFreshName(native, &temporary,
                                                   [&](const char *fresh) {
                                                       return replaceWithUnnamed(fd, own.constData(), dirFd,
                                                                                 fresh, native.constData());
                                                   })
                                     : linkUnnamed(fd, own.constData(), dirFd, native.constData());
        if (replaced != 0) {
            reason = errnoText();
            written = false;
        }
        // Nothing is left at the fresh name either way.
        temporary.clear();
    }
    if (written && !temporary.isEmpty()
        && ::renameat(dirFd, temporary.constData(), dirFd, native.constData()) != 0) {
        reason = errnoText();
        written = false;
    }
    ::close(fd);
    if (!written) {
        if (!temporary.isEmpty())
            ::unlinkat(dirFd, temporary.constData(), 0);
        return fail(displayPath, reason);
    }
    // The new name is only durable once the directory entry itself is on disk.
    ::fsync(dirFd);
    return true;
}

bool writeFileAtomically(const QString &path, const QByteArray &content)
{
    // The file a symbolic link names is replaced, not the link.
    QFileInfo target(path);
    for (int depth = 0; depth < 128 && target.isSymLink(); ++depth)
        target.setFile(target.symLinkTarget());

    const Fd dir(
        ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return fail(path, errnoText());
    return writeFileAtomicallyAt(dir.get(), target.fileName(), content, path);
}

static thread_local bool writesAreUnprivileged = false;

UnprivilegedWrites::UnprivilegedWrites(bool unprivileged)
    : m_previous(writesAreUnprivileged)
{
    writesAreUnprivileged = unprivileged;
}

UnprivilegedWrites::~UnprivilegedWrites()
{
    writesAreUnprivileged = m_previous;
}

bool UnprivilegedWrites::roomFor(int fd, qint64 bytes)
{
    if (!writesAreUnprivileged)
        return true;
    struct statvfs space;
    if (::fstatvfs(fd, &space) != 0 || space.f_frsize == 0)
        return false;
    // The file's blocks and one more for the file system's own records; a
    // file system without an inode count (f_files 0) has none to run out of.
    const qint64 blocks = (bytes + qint64(space.f_frsize) - 1) / qint64(space.f_frsize) + 1;
    return qint64(space.f_bavail) >= blocks && (space.f_files == 0 || space.f_favail >= 1);
}

// One component of a walk, never following a link. openat answers ENOTDIR
// for a link opened with O_DIRECTORY; openat2 calls that ELOOP.
static int openComponent(int at, const QByteArray &part, int flags)
{
    const int fd = ::openat(at, part.constData(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOTDIR) {
        struct stat info;
        errno = ::fstatat(at, part.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)
            ? ELOOP
            : ENOTDIR;
    }
    return fd;
}

static int walkBeneath(int dirFd, const QByteArray &path, int flags)
{
    if (path.isEmpty() || path.startsWith('/')) {
        errno = path.isEmpty() ? ENOENT : EXDEV;
        return -1;
    }
    QList<QByteArray> parts = path.split('/');
    parts.removeAll(QByteArray());
    std::vector<Fd> entered; // the folders walked into, the innermost last
    for (int i = 0; i < parts.size(); ++i) {
        const int at = entered.empty() ? dirFd : entered.back().get();
        const QByteArray &part = parts.at(i);
        if (part == "..") {
            if (entered.empty()) {
                errno = EXDEV;
                return -1;
            }
            entered.pop_back();
        } else if (part == ".") {
            continue;
        } else if (i == parts.size() - 1) {
            return openComponent(at, part, flags);
        } else {
            entered.emplace_back(openComponent(at, part, O_RDONLY | O_DIRECTORY));
            if (entered.back().get() < 0)
                return -1;
        }
    }
    // The path ended in "." or "..": the folder reached, opened with flags.
    return ::openat(entered.empty() ? dirFd : entered.back().get(), ".", flags | O_CLOEXEC);
}

int openBeneath(int dirFd, const QByteArray &path, int flags, BeneathLookup lookup)
{
    if (lookup == BeneathLookup::Walk)
        return walkBeneath(dirFd, path, flags);
    struct open_how how = {};
    how.flags = quint64(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    // With "..", the kernel answers EAGAIN when any rename or mount anywhere
    // in the system raced the lookup; it asks the caller to try again.
    int attempts = 0;
    do {
        fd = ::syscall(SYS_openat2, dirFd, path.constData(), &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++attempts < 100)));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        return walkBeneath(dirFd, path, flags);
    return int(fd);
}
