#include "logcollection.h"

#include "fileio.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
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
#include <unistd.h>
#include <vector>

namespace {

// The name must equal the user database's entry anyway (a directory service
// may hold "alice@corp.example", non-ASCII or a trailing "$"); refused is
// only what is unsafe as a path component under /var/lib or in chown's
// owner argument.
bool isLoginName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('-')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char(':')) && !name.contains(QChar(0)) && name != QLatin1String(".")
        && name != QLatin1String("..");
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
// thread only: the groups with the raw system call (glibc's setgroups would
// change every thread of the daemon); setfsuid and setfsgid act on the
// calling thread anyway. The kernel then judges every path lookup of this
// thread as the user's own.
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
        if (setThreadGroups(user.groups) != 0)
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
        setThreadGroups(m_oldGroups);
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

// Opens the folder at relative (slash-separated) beneath root. root itself,
// fixed at build time, is followed; no step beneath it follows a symbolic
// link. -1 with errno set when it cannot be opened.
Fd openFolderBeneath(const QString &root, const QString &relative)
{
    Fd current(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (current.get() < 0)
            break;
        const int next = ::openat(current.get(), QFile::encodeName(part).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        current = Fd(next);
        errno = error;
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

// The earlier of two deadlines.
QDeadlineTimer earlier(const QDeadlineTimer &a, const QDeadlineTimer &b)
{
    return b < a ? b : a;
}

QDeadlineTimer deadlineIn(int ms)
{
    return ms > 0 ? QDeadlineTimer(ms) : QDeadlineTimer(QDeadlineTimer::Forever);
}

// Copies the daemon's share of a collection into the staging folder. The
// sources lie in folders that others may write (the container's users, the
// user himself), so every step goes from an open folder to one entry in it,
// never following a symbolic link: a folder swapped for a link during the
// copy ends the copy of that entry instead of leading elsewhere. Links are
// copied as links, folders and plain files as such; FIFOs, devices and
// sockets are left out, and so are files with more than one name (a hard
// link to a file of root's), and so is a file that would leave less than a
// quarter of the staging file system's space or inodes free. The copies
// belong to root and can only be read: folders 0755, files without any
// write bit for group or others, so that the user, who reaches them only
// through a descriptor, cannot change anything that root later removes.
// Past the deadline or maxEntries entries nothing more is copied. Each entry
// left out is logged with its source path (shown), one line each.
class StagingCopy
{
public:
    StagingCopy(const QDeadlineTimer &deadline, int maxEntries)
        : m_deadline(deadline)
        , m_maxEntries(maxEntries)
    { }

    // The open folder from into a new folder name in the open folder to.
    void copyFolder(int from, int to, const QByteArray &name, const QString &shown, int depth = 0)
    {
        struct stat info;
        if (!mayGoOn(shown) || ::fstat(from, &info) != 0)
            return;
        if (depth > 64 || !roomFor(to, 0)) {
            leaveOut(shown, depth > 64 ? "nested too deep" : "no room");
            return;
        }
        if (::mkdirat(to, name.constData(), 0700) != 0)
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
        // The staging folder lies in /run, memory shared with the whole
        // system; no file grows past its size when we looked.
        if (!roomFor(to, info.st_size)) {
            leaveOut(shown, "too big");
            return;
        }
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
        } else if (!roomFor(to, 0)) {
            leaveOut(shown, "no room");
        } else {
            QByteArray target(int(qBound<off_t>(1, info.st_size + 1, 65536)), '\0');
            const ssize_t length = ::readlinkat(from, name.constData(), target.data(), size_t(target.size()));
            if (length > 0 && length < target.size()) {
                target.truncate(int(length));
                ::symlinkat(target.constData(), to, name.constData());
            }
        }
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

    // Whether a new entry of size bytes leaves a quarter of the staging file
    // system's space and inodes free (a file system without an inode count
    // reports none).
    static bool roomFor(int folder, qint64 size)
    {
        struct statvfs space;
        if (::fstatvfs(folder, &space) != 0)
            return false;
        const qint64 block = qint64(space.f_frsize);
        return qint64(space.f_bavail) * block - size >= qint64(space.f_blocks) * block / 4
            && (space.f_files == 0 || space.f_favail > space.f_files / 4);
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
};

// The daemon's part: the sources into staging, a new folder in the private
// staging root that only the daemon can enter. *staged gets the names the
// user's copies take from it. Returns the folder as an O_PATH descriptor
// for the user's tools, or none when nothing could be staged.
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
    StagingCopy copier(earlier(deadlineIn(setup.stagingTimeoutMs), deadline), setup.maxStagedEntries);
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
    for (const QString &source : containerLogFolders) {
        const QString name = QFileInfo(source).fileName();
        *staged << name;
        const QString relative = containerData + QLatin1Char('/') + source;
        const QString shown = setup.containerRoot + QLatin1Char('/') + relative;
        const Fd from = openFolderBeneath(setup.containerRoot, relative);
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

// The user's part, with the user's rights only: copy the staged names in
// (through the staging folder's descriptor, stagingFd, when there is one),
// chmod, zip and chown. Each step runs whatever the earlier ones did, until
// the collection's deadline, or until a tool cannot be got rid of.
void runUserSteps(const LogCollectionSetup &setup, const LogCollectionUser &user, const QString &dir,
                  int stagingFd, const QStringList &staged, const QDeadlineTimer &deadline)
{
    struct Step
    {
        QString program;
        QStringList args;
        int keepFd;
    };
    const QString archive = dir + QStringLiteral(".zip");
    QVector<Step> steps;
    if (stagingFd >= 0) {
        for (const QString &name : staged)
            steps.append({setup.cpPath,
                          {QStringLiteral("-a"), inheritedFolderPattern.arg(stagingFd).arg(name), dir},
                          stagingFd});
    }
    steps.append({setup.chmodPath, {QStringLiteral("777"), QStringLiteral("-R"), dir}, -1});
    // -y stores symbolic links as links, as the collection always did.
    steps.append({QFile::exists(setup.zipPath) ? setup.zipPath : setup.zipFallbackPath,
                  {QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-j"), QStringLiteral("-y"),
                   archive, dir},
                  -1});
    // To the group named like the user, where the user belongs to it.
    steps.append(
        {setup.chownPath, {QStringLiteral("-hR"), user.name + QLatin1Char(':') + user.name, archive}, -1});

    ToolRun tool;
    tool.switchUser = true;
    tool.uid = user.uid;
    tool.gid = user.gid;
    tool.groups = user.groups;
    for (int i = 0; i < steps.size(); ++i) {
        if (deadline.hasExpired()) {
            qWarning() << "log collection deadline passed for uid" << user.uid
                       << "- steps left out:" << steps.size() - i;
            return;
        }
        tool.program = steps.at(i).program;
        tool.args = steps.at(i).args;
        tool.keepFd = steps.at(i).keepFd;
        tool.deadline = earlier(deadlineIn(setup.toolTimeoutMs), deadline);
        if (runTool(tool) == ToolEnd::Held) {
            qWarning() << "log collection for uid" << user.uid << "stopped: a killed tool is held";
            return;
        }
    }
}

} // namespace

bool resolveCollectionUser(uint callerUid, const QString &username, const QString &userid,
                           LogCollectionUser *user)
{
    if (!isLoginName(username) || !isUserId(userid))
        return false;
    struct passwd entry;
    std::vector<char> buffer;
    const QByteArray name = QFile::encodeName(username);
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
    if (toolStillHeld(user.uid)) {
        qWarning() << "log collection refused: a killed tool of an earlier one is still held, uid"
                   << user.uid;
        return -1;
    }
    const QDeadlineTimer deadline = deadlineIn(setup.collectionTimeoutMs);
    QString dir;
    {
        const ThreadFsIdentity asUser(user);
        if (!asUser.ok())
            return -1;
        dir = collectionDirectory(logPath);
        if (dir.isNull() || !archivePathIsUsable(dir + QStringLiteral(".zip")))
            return -1;
    }
    // Best effort from here on: every step runs whatever the earlier ones did.
    const QString staging = setup.stagingRoot + QLatin1Char('/') + logStagingFolderPattern.arg(user.uid);
    QStringList staged;
    Fd stagingFd = stageSources(setup, setup.containerDataPattern.arg(userid, username), staging, deadline,
                                &staged);
    runUserSteps(setup, user, dir, stagingFd.get(), staged, deadline);
    if (stagingFd.get() >= 0) {
        stagingFd = Fd();
        removeStaged(staging);
    }
    return 0;
}

void removeStaleStaging(const QString &stagingRoot)
{
    if (!stagingRootIsPrivate(stagingRoot))
        return;
    for (const QString &stale :
         QDir(stagingRoot).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        removeStaged(stagingRoot + QLatin1Char('/') + stale);
}

CollectionQueue::CollectionQueue(int maxRunning)
    : m_maxRunning(maxRunning)
{
    m_pool.setMaxThreadCount(maxRunning);
    // A thread ends once it has nothing to do: an idle daemon holds nothing
    // of past collections.
    m_pool.setExpiryTimeout(0);
}

bool CollectionQueue::submit(uid_t user, const std::function<void()> &job)
{
    for (const Waiting &waiting : qAsConst(m_waiting)) {
        if (waiting.user == user)
            return false;
    }
    m_waiting.append({user, job});
    startWaiting();
    return true;
}

// First come, first served, among the users with no collection running.
void CollectionQueue::startWaiting()
{
    for (auto it = m_waiting.begin(); it != m_waiting.end() && m_running.size() < m_maxRunning;) {
        if (m_running.contains(it->user)) {
            ++it;
            continue;
        }
        const uid_t user = it->user;
        const std::function<void()> job = it->job;
        it = m_waiting.erase(it);
        m_running.insert(user);
        m_pool.start(QRunnable::create([this, user, job] {
            job();
            QMetaObject::invokeMethod(
                &m_context,
                [this, user] {
                    m_running.remove(user);
                    startWaiting();
                },
                Qt::QueuedConnection);
        }));
    }
}
