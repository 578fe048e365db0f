#include "atomicfile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static bool fail(const QString &path, const QString &reason)
{
    qWarning() << "Failed to write" << path << reason;
    return false;
}

static QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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

// QSaveFile copies only the rwx bits; keep the whole mode and the ownership,
// since other programs read these files with their own rights. This comes
// after the write and the owner before the mode: both a write without root
// rights and a change of owner clear the set-id bits.
static bool keepOwnerAndMode(int fd, const struct stat &old, QString *reason)
{
    if (::fchown(fd, old.st_uid, old.st_gid) == 0 && ::fchmod(fd, old.st_mode & 07777) == 0)
        return true;
    *reason = errnoText();
    return false;
}

static bool syncFile(int fd, QString *reason)
{
    if (::fsync(fd) == 0)
        return true;
    *reason = errnoText();
    return false;
}

// The rename is only durable once the directory entry itself is on disk.
static void syncDirectoryOf(const QString &path)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

bool writeFileAtomically(const QString &path, const QByteArray &content)
{
    struct stat old;
    // stat() follows a symbolic link, as QSaveFile does when it picks the file to replace.
    const bool existed = ::stat(QFile::encodeName(path).constData(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode))
        return fail(path, QStringLiteral("is not a regular file"));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(path, file.errorString());

    // The bytes go straight to the descriptor and the sync is checked here:
    // commit() renames even when buffered bytes could not be flushed and
    // ignores a failed sync, so a full disk would replace the old file with a
    // torn one. A short write also leaves no error text in QSaveFile; errno has it.
    QString reason;
    if (!writeAll(file.handle(), content, &reason)
        || (existed && !keepOwnerAndMode(file.handle(), old, &reason))
        || !syncFile(file.handle(), &reason)) {
        file.cancelWriting();
        return fail(path, reason);
    }
    if (!file.commit())
        return fail(path, file.errorString());

    syncDirectoryOf(path);
    return true;
}
