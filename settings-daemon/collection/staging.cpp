// Stages a collection's sources, as root, in the daemon's private folder.
#include "staging.h"

#include "collectionsetup.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The staging root, made if missing: a real directory of the daemon's own
// user that nobody else may enter. Anything else is not used.
bool stagingRootIsPrivate(const QString &stagingRoot)
{
    const QByteArray path = QFile::encodeName(stagingRoot);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & 077) == 0;
}

// What the collections side by side have reserved and not yet written.
StagingRoom &stagingRoom()
{
    // Never destroyed: a worker may still use it while the process ends.
    static auto *const room = new StagingRoom;
    return *room;
}

// Copies the daemon's share of a collection into the staging folder. The
// sources lie in folders that others may write (the container's users, the
// user himself), so every step goes from an open folder to one entry in it,
// never following a symbolic link: a folder swapped for a link during the
// copy ends the copy of that entry instead of leading elsewhere. Links are
// copied as links, folders and plain files as such; FIFOs, devices and
// sockets are left out, and so are files with more than one name (a hard
// link to a file of root's), and so is an entry past the collection's share
// of the staging room or one that would leave less than a quarter of the
// staging file system's space or inodes free. The copies belong to root and
// can only be read: folders 0755, files without any write bit for group or
// others, so that the user, who reaches them only through a descriptor,
// cannot change anything that root later removes. Past the deadline or
// maxEntries entries nothing more is copied, and one line covers all that
// is left; every other entry left out is logged with its source path (the
// log's own rate limit aside).
class StagingCopy
{
public:
    StagingCopy(const QDeadlineTimer &deadline, int maxEntries, int stagingFolder)
        : m_deadline(deadline)
        , m_maxEntries(maxEntries)
        , m_share(stagingRoom(), stagingFolder, ::fstatvfs)
    { }

    // The open folder from into a new folder name in the open folder to.
    void copyFolder(int from, int to, const QByteArray &name, const QString &shown, int depth = 0)
    {
        struct stat info;
        if (!mayGoOn(shown) || ::fstat(from, &info) != 0)
            return;
        if (depth > 64) {
            leaveOut(shown, "nested too deep");
            return;
        }
        if (!reserve(to, 0, shown))
            return;
        const int made = ::mkdirat(to, name.constData(), 0700);
        m_share.release();
        if (made != 0)
            return;
        const Fd copy(::openat(to, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (copy.get() < 0)
            return;
        // Close-on-exec like every descriptor here: other collections'
        // workers fork tools meanwhile.
        const int listed = ::fcntl(from, F_DUPFD_CLOEXEC, 0);
        DIR *const folder = listed >= 0 ? ::fdopendir(listed) : nullptr;
        if (!folder) {
            if (listed >= 0)
                ::close(listed);
            return;
        }
        // Rewound: the descriptor's position is shared with from.
        ::rewinddir(folder);
        while (const struct dirent *entry = ::readdir(folder)) {
            const QByteArray entryName(entry->d_name);
            if (m_stopped)
                break;
            if (entryName == "." || entryName == "..")
                continue;
            copyEntry(from, copy.get(), entryName, shown + QLatin1Char('/') + QFile::decodeName(entryName),
                      depth);
        }
        ::closedir(folder);
        ::fchmod(copy.get(), 0755);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(copy.get(), times);
    }

    // The open file from into a new file name in the open folder to.
    void copyFile(int from, int to, const QByteArray &name, const QString &shown)
    {
        struct stat info;
        if (!mayGoOn(shown) || ::fstat(from, &info) != 0)
            return;
        if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
            leaveOut(shown, S_ISREG(info.st_mode) ? "more than one link" : "not a regular file");
            return;
        }
        // No file grows past its size when we looked.
        if (!reserve(to, info.st_size, shown))
            return;
        const Fd copy(
            ::openat(to, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (copy.get() < 0) {
            m_share.release();
            return;
        }
        // In pieces, so that the deadline can end a huge or slow file.
        qint64 left = info.st_size;
        while (left > 0 && !m_deadline.hasExpired()) {
            const ssize_t sent = ::sendfile(copy.get(), from, nullptr, size_t(qMin<qint64>(left, 1 << 20)));
            if (sent <= 0)
                break;
            left -= sent;
        }
        m_share.release();
        if (left > 0 && m_deadline.hasExpired())
            leaveOut(shown, "cut at the staging deadline");
        ::fchmod(copy.get(), (info.st_mode & 0755) | 0444);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(copy.get(), times);
    }

private:
    void copyEntry(int from, int to, const QByteArray &name, const QString &shown, int depth)
    {
        struct stat info;
        if (::fstatat(from, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return;
        if (S_ISDIR(info.st_mode)) {
            const Fd sub(::openat(from, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.get() >= 0)
                copyFolder(sub.get(), to, name, shown, depth + 1);
        } else if (S_ISREG(info.st_mode)) {
            const Fd file(::openat(from, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (file.get() >= 0)
                copyFile(file.get(), to, name, shown);
        } else if (!mayGoOn(shown)) {
            return;
        } else if (!S_ISLNK(info.st_mode)) {
            leaveOut(shown, "not a regular file");
        } else if (reserve(to, 0, shown)) {
            QByteArray target(int(qBound(off_t(1), info.st_size + 1, off_t(65536))), '\0');
            const ssize_t length = ::readlinkat(from, name.constData(), target.data(), size_t(target.size()));
            if (length > 0 && length < target.size()) {
                target.truncate(int(length));
                ::symlinkat(target.constData(), to, name.constData());
            }
            m_share.release();
        }
    }

    // Reserves an entry of size bytes in the folder to; logs it left out
    // when there is no room for it.
    bool reserve(int to, qint64 size, const QString &shown)
    {
        const char *const refused = m_share.reserve(to, size);
        if (refused)
            leaveOut(shown, refused);
        return !refused;
    }

    // Counts the entry; false, with one line for all that is left, once the
    // deadline or the entry bound is reached.
    bool mayGoOn(const QString &shown)
    {
        if (m_stopped)
            return false;
        if (m_deadline.hasExpired())
            m_stopped = "the staging deadline";
        else if (++m_entries > m_maxEntries)
            m_stopped = "the bound of entries";
        if (m_stopped)
            leaveOut(shown, QByteArray("reached ") + m_stopped + ", with everything after it");
        return !m_stopped;
    }

    static void leaveOut(const QString &shown, const QByteArray &why)
    {
        // Quoted: the names are anybody's, and QDebug escapes what a quoted
        // string holds.
        qWarning() << "log staging left out:" << shown << why.constData();
    }

    QDeadlineTimer m_deadline;
    int m_maxEntries;
    int m_entries = 0;
    const char *m_stopped = nullptr;
    StagingShare m_share;
};

} // namespace

StagingShare::StagingShare(StagingRoom &room, int folder, RoomReader read)
    : m_room(room)
    , m_read(read)
{
    struct statvfs space;
    if (m_read(folder, &space) != 0)
        return;
    m_bytes = qint64(space.f_blocks) * qint64(space.f_frsize) * 3 / 4 / maxCollectionsAtOnce;
    m_inodes = space.f_files == 0 ? -1 : qint64(space.f_files) * 3 / 4 / maxCollectionsAtOnce;
}

const char *StagingShare::reserve(int folder, qint64 size)
{
    // The reading and the reservation under one lock: a release between
    // them would be counted neither in the reading nor in what is pending.
    const QMutexLocker lock(&m_room.lock);
    struct statvfs space;
    if (m_read(folder, &space) != 0 || space.f_frsize == 0)
        return "no room";
    const qint64 block = qint64(space.f_frsize);
    const qint64 bytes = (qMax<qint64>(size, 0) + block - 1) / block * block;
    if (m_bytesUsed + bytes > m_bytes || (m_inodes >= 0 && m_inodesUsed + 1 > m_inodes))
        return "over this collection's share of the staging room";
    if (qint64(space.f_bavail) * block - m_room.pendingBytes - bytes < qint64(space.f_blocks) * block / 4
        || (space.f_files != 0
            && qint64(space.f_favail) - m_room.pendingInodes - 1 <= qint64(space.f_files) / 4))
        return size > 0 ? "too big" : "no room";
    m_room.pendingBytes += bytes;
    m_room.pendingInodes += 1;
    m_bytesUsed += bytes;
    m_inodesUsed += 1;
    m_pending = bytes;
    return nullptr;
}

void StagingShare::release()
{
    const QMutexLocker lock(&m_room.lock);
    m_room.pendingBytes -= m_pending;
    m_room.pendingInodes -= 1;
    m_pending = 0;
}

void removeStaged(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode))
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

Fd stageSources(const LogCollectionSetup &setup, const QString &containerData, const QString &staging,
                const QDeadlineTimer &deadline, QStringList *staged)
{
    if (!stagingRootIsPrivate(setup.stagingRoot)) {
        qWarning() << "log staging folder refused:" << setup.stagingRoot;
        return Fd();
    }
    // Left by a collection for the same user whose removal failed.
    removeStaged(staging);
    if (::mkdir(QFile::encodeName(staging).constData(), 0700) != 0) {
        qWarning() << "log staging folder not made:" << staging << errnoText();
        return Fd();
    }
    const Fd to(
        ::open(QFile::encodeName(staging).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (to.get() < 0) {
        removeStaged(staging);
        return Fd();
    }
    StagingCopy copier(earlier(deadlineIn(setup.stagingTimeoutMs), deadline), setup.maxStagedEntries,
                       to.get());
    // The runtime's own log first: one file, and the one most asked for. Only
    // when it exists: the runtime may not have written one yet.
    const QString runtimeLogName = QFileInfo(setup.runtimeLogPath).fileName();
    const Fd runtimeLog(::open(QFile::encodeName(setup.runtimeLogPath).constData(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    bool runtimeLogIsFile = false;
    if (runtimeLog.get() < 0 || ::fstat(runtimeLog.get(), &info) != 0) {
        qWarning() << "log source not collected:" << setup.runtimeLogPath << errnoText();
    } else if (!S_ISREG(info.st_mode)) {
        qWarning() << "log source not collected, not a regular file:" << setup.runtimeLogPath;
    } else {
        runtimeLogIsFile = true;
        copier.copyFile(runtimeLog.get(), to.get(), QFile::encodeName(runtimeLogName), setup.runtimeLogPath);
    }
    // The container root itself, fixed at build time, is followed; nothing
    // beneath it is.
    const Fd containerRoot(
        ::open(QFile::encodeName(setup.containerRoot).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const QString &source : containerLogFolders) {
        const QString name = QFileInfo(source).fileName();
        *staged << name;
        const QString relative = containerData + QLatin1Char('/') + source;
        const QString shown = setup.containerRoot + QLatin1Char('/') + relative;
        const Fd from(containerRoot.get() < 0 ? -1
                                              : openBeneath(containerRoot.get(), QFile::encodeName(relative),
                                                            O_RDONLY | O_DIRECTORY));
        if (from.get() < 0)
            qWarning() << "log source not collected:" << shown << errnoText();
        else
            copier.copyFolder(from.get(), to.get(), QFile::encodeName(name), shown);
    }
    // Listed after the folders: the user's copies keep their old order.
    if (runtimeLogIsFile)
        *staged << runtimeLogName;
    ::fchmod(to.get(), 0755);
    Fd folder(::open(QFile::encodeName(staging).constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0)
        removeStaged(staging);
    return folder;
}

void removeStaleStaging(const QString &stagingRoot)
{
    if (!stagingRootIsPrivate(stagingRoot))
        return;
    for (const QString &stale :
         QDir(stagingRoot).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        removeStaged(stagingRoot + QLatin1Char('/') + stale);
}
