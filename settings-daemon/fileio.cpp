#include "fileio.h"

#include "heaptrim.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A fresh name beside the file, created exclusively so that nothing already
// there (a link planted in the directory, say) is opened.
static int createTemporary(int dirFd, const QByteArray &name, mode_t mode, QByteArray *temporary,
                           QString *reason)
{
    // Room for the suffix within the longest name a directory holds.
    const QByteArray stem = name.left(255 - 8);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = stem + '.' + QByteArray::number(QRandomGenerator::global()->bounded(0x1000000), 36);
        const int fd = ::openat(dirFd, temporary->constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0)
                *reason = errnoText();
            return fd;
        }
    }
    *reason = errnoText(EEXIST);
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

    QString reason;
    QByteArray temporary;
    // A copy of an existing file stays private until it has the file's own
    // owner and mode: the old content may be secret.
    const int fd = createTemporary(dirFd, native, existed ? 0600 : 0666, &temporary, &reason);
    if (fd < 0)
        return fail(displayPath, reason);

    // The bytes go straight to the descriptor and every step is checked, so
    // that a full disk never replaces the old file with a torn one.
    bool written = writeAll(fd, content, &reason) && (!existed || keepOwnerAndMode(fd, old, &reason));
    if (written && ::fsync(fd) != 0) {
        reason = errnoText();
        written = false;
    }
    ::close(fd);
    if (written && ::renameat(dirFd, temporary.constData(), dirFd, native.constData()) != 0) {
        reason = errnoText();
        written = false;
    }
    if (!written) {
        ::unlinkat(dirFd, temporary.constData(), 0);
        return fail(displayPath, reason);
    }
    // The rename is only durable once the directory entry itself is on disk.
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
