#include "logcollection.h"

#include "fileio.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

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

// Looks up an account by name (byName) or by uid, with the reentrant calls:
// collections run on a worker thread.
bool lookUpAccount(bool byName, const QByteArray &name, uid_t uid, struct passwd *entry,
                   std::vector<char> *buffer)
{
    for (size_t size = 16384; size <= 1 << 20; size *= 2) {
        buffer->resize(size);
        struct passwd *found = nullptr;
        const int error = byName ? ::getpwnam_r(name.constData(), entry, buffer->data(), size, &found)
                                 : ::getpwuid_r(uid, entry, buffer->data(), size, &found);
        if (error != ERANGE)
            return error == 0 && found;
    }
    return false;
}

// Takes on the user's file system identity (fsuid, fsgid, groups) on this
// thread only, with the raw system calls: glibc's setgroups would change
// every thread of the daemon. The kernel then judges every path lookup of
// this thread as the user's own.
class ThreadFsIdentity
{
public:
    explicit ThreadFsIdentity(const LogCollectionUser &user)
    {
        if (::geteuid() != 0) {
            m_ok = user.uid == ::geteuid();
            return;
        }
        const int count = ::getgroups(0, nullptr);
        if (count < 0)
            return;
        m_oldGroups.resize(count);
        if (::getgroups(count, m_oldGroups.data()) != count)
            return;
        if (::syscall(SYS_setgroups, size_t(user.groups.size()), user.groups.constData()) != 0)
            return;
        m_switched = true;
        ::setfsgid(user.gid);
        ::setfsuid(user.uid);
        // Both calls answer the identity in force, here after the change.
        m_ok = uid_t(::setfsuid(uid_t(-1))) == user.uid && gid_t(::setfsgid(gid_t(-1))) == user.gid;
    }
    ~ThreadFsIdentity()
    {
        if (!m_switched)
            return;
        ::setfsuid(::geteuid());
        ::setfsgid(::getegid());
        ::syscall(SYS_setgroups, size_t(m_oldGroups.size()), m_oldGroups.constData());
    }
    ThreadFsIdentity(const ThreadFsIdentity &) = delete;
    ThreadFsIdentity &operator=(const ThreadFsIdentity &) = delete;

    bool ok() const { return m_ok; }

private:
    QVector<gid_t> m_oldGroups;
    bool m_switched = false;
    bool m_ok = false;
};

// The collection directory the tools are given, or a null string when
// logPath is refused. Only the canonical path is trusted: dot segments and
// symbolic links could otherwise lead the tools anywhere. It must lie
// strictly inside a "VexaLog" directory, so that the archive beside it lies
// there too. Run with the user's identity.
QString collectionDirectory(const QString &logPath)
{
    // A relative path would be taken against the daemon's directory, not the
    // caller's.
    if (!logPath.startsWith(QLatin1Char('/')) || logPath.contains(QChar(0)))
        return QString();
    const QString canonical = QFileInfo(logPath).canonicalFilePath();
    if (canonical.isEmpty() || !canonical.contains(collectionPathMarker))
        return QString();
    if (!QFileInfo(canonical).isDir())
        return QString();
    return canonical;
}

// zip updates an existing archive through a symbolic link or a hard link, and
// chown -h would then change only the link: the archive would not be the
// user's own file. So an existing archive must be a plain file of its own.
bool archivePathIsUsable(const QString &archive)
{
    struct stat info;
    if (::lstat(QFile::encodeName(archive).constData(), &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// Opens the folder at relative (slash-separated) beneath root without
// following a symbolic link at any step.
Fd openFolderBeneath(const QString &root, const QString &relative)
{
    Fd current(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (current.get() < 0)
            break;
        current = Fd(::openat(current.get(), QFile::encodeName(part).constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return current;
}

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

// Removes path, a folder inside the private staging root, links not followed.
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

// Copies the daemon's share of a collection into the staging folder. The
// sources lie in folders that others may write (the container's users, the
// user himself), so every step goes from an open folder to one entry in it,
// never following a symbolic link: a folder swapped for a link during the
// copy ends the copy of that entry instead of leading elsewhere. Links are
// copied as links, folders and plain files as such; FIFOs, devices and
// sockets are left out, and so are files with more than one name (a hard
// link to a file of root's), and so is a file that would nearly fill the
// staging folder's file system. The copies belong to root and can only be
// read: folders 0755, files without any write bit for group or others, so
// that the user, who reaches them only through a descriptor, cannot change
// anything that root later removes. Past the deadline nothing more is
// copied.
class StagingCopy
{
public:
    explicit StagingCopy(int timeoutMs)
        : m_deadline(timeoutMs > 0 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever))
    { }

    // The open folder from into a new folder name in the open folder to.
    void copyFolder(int from, int to, const QByteArray &name, int depth = 0)
    {
        struct stat info;
        if (depth > 64 || m_deadline.hasExpired() || ::fstat(from, &info) != 0
            || ::mkdirat(to, name.constData(), 0700) != 0)
            return;
        const Fd copy(::openat(to, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // Close-on-exec like every other descriptor here: tools are forked meanwhile.
        const int listed = ::fcntl(from, F_DUPFD_CLOEXEC, 0);
        DIR *const folder = listed >= 0 ? ::fdopendir(listed) : nullptr;
        if (copy.get() < 0 || !folder) {
            if (listed >= 0)
                ::close(listed);
            return;
        }
        // Rewound: the descriptor's position is shared with from.
        ::rewinddir(folder);
        while (const struct dirent *entry = ::readdir(folder)) {
            const QByteArray entryName(entry->d_name);
            if (entryName == "." || entryName == "..")
                continue;
            struct stat entryInfo;
            if (::fstatat(from, entry->d_name, &entryInfo, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(entryInfo.st_mode)) {
                const Fd sub(::openat(from, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (sub.get() >= 0)
                    copyFolder(sub.get(), copy.get(), entryName, depth + 1);
            } else if (S_ISREG(entryInfo.st_mode)) {
                const Fd file(::openat(from, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
                if (file.get() >= 0)
                    copyFile(file.get(), copy.get(), entryName);
            } else if (S_ISLNK(entryInfo.st_mode)) {
                QByteArray target(int(qBound<off_t>(1, entryInfo.st_size + 1, 65536)), '\0');
                const ssize_t length = ::readlinkat(from, entry->d_name, target.data(),
                                                    size_t(target.size()));
                if (length > 0 && length < target.size()) {
                    target.truncate(int(length));
                    ::symlinkat(target.constData(), copy.get(), entry->d_name);
                }
            }
        }
        ::closedir(folder);
        ::fchmod(copy.get(), 0755);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(copy.get(), times);
    }

    // The open file from into a new file name in the open folder to.
    void copyFile(int from, int to, const QByteArray &name)
    {
        struct stat info;
        if (m_deadline.hasExpired() || ::fstat(from, &info) != 0 || !S_ISREG(info.st_mode)
            || info.st_nlink != 1)
            return;
        // The staging folder lies in /run, memory shared with the whole
        // system: a file that would leave less than a quarter of it free is
        // left out, and no file grows past its size when we looked.
        struct statvfs space;
        if (::fstatvfs(to, &space) != 0
            || qint64(space.f_bavail) * qint64(space.f_frsize) - qint64(info.st_size)
                < qint64(space.f_blocks) * qint64(space.f_frsize) / 4)
            return;
        const Fd copy(
            ::openat(to, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (copy.get() < 0)
            return;
        // In pieces, so that the deadline can end a huge or slow file.
        qint64 left = info.st_size;
        while (left > 0 && !m_deadline.hasExpired()) {
            const ssize_t sent = ::sendfile(copy.get(), from, nullptr, size_t(qMin<qint64>(left, 1 << 20)));
            if (sent <= 0)
                break;
            left -= sent;
        }
        ::fchmod(copy.get(), (info.st_mode & 0755) | 0444);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(copy.get(), times);
    }

private:
    QDeadlineTimer m_deadline;
};

} // namespace

bool resolveCollectionUser(uint callerUid, const QString &username, const QString &userid,
                           LogCollectionUser *user)
{
    if (!isLoginName(username) || !isUserId(userid))
        return false;
    struct passwd entry;
    std::vector<char> buffer;
    const QByteArray name = username.toLatin1();
    if (callerUid != 0) {
        if (userid != QString::number(callerUid)
            || !lookUpAccount(false, QByteArray(), callerUid, &entry, &buffer) || name != entry.pw_name)
            return false;
    } else if (!lookUpAccount(true, name, 0, &entry, &buffer) || userid != QString::number(entry.pw_uid)) {
        return false;
    }
    int count = 32;
    QVector<gid_t> groups(count);
    while (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        if (count <= groups.size())
            return false;
        groups.resize(count);
    }
    groups.resize(count);
    user->name = username;
    user->uid = entry.pw_uid;
    user->gid = entry.pw_gid;
    user->groups = groups;
    return true;
}

bool isCollectionPath(const QString &logPath)
{
    return !logPath.isEmpty() && logPath.contains(collectionPathMarker);
}

bool collectionRequestIsAcceptable(uint callerUid, const QString &username, const QString &userid,
                                   const QString &logPath, LogCollectionUser *user)
{
    return isCollectionPath(logPath) && resolveCollectionUser(callerUid, username, userid, user);
}

int collectLogs(const LogCollectionSetup &setup, uint callerUid, const QString &username,
                const QString &userid, const QString &logPath)
{
    LogCollectionUser user;
    if (!collectionRequestIsAcceptable(callerUid, username, userid, logPath, &user))
        return -1;
    QString dir;
    QString archive;
    {
        const ThreadFsIdentity asUser(user);
        if (!asUser.ok())
            return -1;
        dir = collectionDirectory(logPath);
        if (dir.isNull())
            return -1;
        archive = dir + QStringLiteral(".zip");
        if (!archivePathIsUsable(archive))
            return -1;
    }

    // Best effort from here on: every step runs whatever the earlier ones did.
    ToolRun asTheUser;
    asTheUser.timeoutMs = setup.toolTimeoutMs;
    asTheUser.switchUser = true;
    asTheUser.uid = user.uid;
    asTheUser.gid = user.gid;
    asTheUser.groups = user.groups;

    // The daemon's part: the sources into a folder that only it can enter.
    // Whatever the collection leaves there is stale by the next one.
    const QString staging = setup.stagingRoot + QLatin1Char('/') + logStagingFolderName;
    Fd stagingFd;
    QStringList staged;
    bool stagingMade = false;
    if (stagingRootIsPrivate(setup.stagingRoot)) {
        for (const QString &stale :
             QDir(setup.stagingRoot)
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
            removeStaged(setup.stagingRoot + QLatin1Char('/') + stale);
        stagingMade = ::mkdir(QFile::encodeName(staging).constData(), 0700) == 0;
        if (stagingMade) {
            const QString data = setup.containerDataPattern.arg(userid, username);
            const QStringList &sources = containerLogFolders;
            std::vector<Fd> opened;
            for (const QString &source : sources)
                opened.push_back(openFolderBeneath(setup.containerRoot, data + QLatin1Char('/') + source));
            Fd runtimeLog(::open(QFile::encodeName(setup.runtimeLogPath).constData(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat info;
            const bool haveRuntimeLog = runtimeLog.get() >= 0 && ::fstat(runtimeLog.get(), &info) == 0
                && S_ISREG(info.st_mode);
            const QString runtimeLogName = QFileInfo(setup.runtimeLogPath).fileName();

            const Fd stagingCopy(::open(QFile::encodeName(staging).constData(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            StagingCopy copier(setup.toolTimeoutMs);
            for (int i = 0; i < sources.size(); ++i) {
                const QString name = QFileInfo(sources.at(i)).fileName();
                staged << name;
                if (opened[size_t(i)].get() >= 0 && stagingCopy.get() >= 0)
                    copier.copyFolder(opened[size_t(i)].get(), stagingCopy.get(), QFile::encodeName(name));
            }
            if (haveRuntimeLog && stagingCopy.get() >= 0) {
                staged << runtimeLogName;
                copier.copyFile(runtimeLog.get(), stagingCopy.get(), QFile::encodeName(runtimeLogName));
            }
            ::fchmod(stagingCopy.get(), 0755);
            stagingFd = Fd(::open(QFile::encodeName(staging).constData(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
    } else {
        qWarning() << "log staging folder refused:" << setup.stagingRoot;
    }

    // The user's part, with the user's rights only.
    if (stagingFd.get() >= 0) {
        asTheUser.program = setup.cpPath;
        asTheUser.keepFd = stagingFd.get();
        for (const QString &name : qAsConst(staged)) {
            asTheUser.args = QStringList {QStringLiteral("-a"),
                                          inheritedFolderPattern.arg(stagingFd.get()).arg(name), dir};
            runTool(asTheUser);
        }
        asTheUser.keepFd = -1;
    }
    asTheUser.program = setup.chmodPath;
    asTheUser.args = QStringList {QStringLiteral("777"), QStringLiteral("-R"), dir};
    runTool(asTheUser);
    // -y stores symbolic links as links, as the collection always did.
    asTheUser.program = QFile::exists(setup.zipPath) ? setup.zipPath : setup.zipFallbackPath;
    asTheUser.args = QStringList {
        QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-j"), QStringLiteral("-y"), archive, dir};
    runTool(asTheUser);
    // To the group named like the user, where the user belongs to it.
    asTheUser.program = setup.chownPath;
    asTheUser.args = QStringList {QStringLiteral("-hR"), username + QLatin1Char(':') + username, archive};
    runTool(asTheUser);

    stagingFd = Fd();
    if (stagingMade)
        removeStaged(staging);
    return 0;
}
