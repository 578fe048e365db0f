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

    if (existed) {
        // QSaveFile copies only the rwx bits; keep the whole mode and the
        // ownership, since other programs read these files with their own rights.
        if (::fchmod(file.handle(), old.st_mode & 07777) != 0
            || ::fchown(file.handle(), old.st_uid, old.st_gid) != 0) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            file.cancelWriting();
            return fail(path, reason);
        }
    }

    if (file.write(content) != content.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(path, reason);
    }
    if (!file.commit())
        return fail(path, file.errorString());

    syncDirectoryOf(path);
    return true;
}
