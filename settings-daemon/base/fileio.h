// How the daemon reads, writes and looks up files: whole-file reads with
// caps, atomic replacement, and lookups that never leave a folder.
#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <sys/types.h>
#include <unistd.h>

// A descriptor, closed when it goes out of scope.
class Fd
{
public:
    explicit Fd(int fd = -1)
        : m_fd(fd)
    { }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept
        : m_fd(other.m_fd)
    {
        other.m_fd = -1;
    }
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

// What each kind of file the daemon reads whole may weigh, far above what
// it ever holds, yet small enough that a hostile file (sparse, growing, or
// filled by earlier calls) never makes the daemon allocate more. A file past
// its cap is read as nothing and left as it is; an edit that would take a
// file past it is refused.
// The game whitelist and the warning list: thousands of entries of the
// longest names the methods accept.
constexpr qint64 maxListFileSize = 8 * 1024 * 1024;
// The container engine's daemon.json: a configuration of a few members.
constexpr qint64 maxDockerConfigSize = 1024 * 1024;
// A property file: an Android build.prop is some kilobytes.
constexpr qint64 maxPropertyFileSize = 4 * 1024 * 1024;
// A caller's /proc/PID/environ (scanned in pieces, never read whole): the
// kernel caps arguments and environment together at 6 MiB (three quarters
// of the 8 MiB stack limit).
constexpr qint64 maxProcessEnvironmentSize = 8 * 1024 * 1024;

// Whether content, the new text of the file at path, stays within maxSize;
// if not, logs that the edit is refused. New values can take a file just
// under its cap past it.
bool editFitsCap(const QString &path, const QByteArray &content, qint64 maxSize);

// Why a whole-file read failed.
enum class ReadFailure { None, Missing, TooLarge, Other };

// Reads the file open at fd from its current offset to its end, in a loop
// that takes neither a short read nor a size of 0 (as /proc reports) for the
// end. False, with *reason set, on a read error or past maxSize bytes: the
// size is checked before memory is allocated, and again while the file is
// read (it may grow, and /proc reports no size). *failure (when given) tells
// which.
bool readWholeFile(int fd, QByteArray *content, QString *reason, qint64 maxSize,
                   ReadFailure *failure = nullptr);

// Opens the file at path read-only and reads it whole as above. A missing
// file answers false with ReadFailure::Missing.
bool readWholeFile(const QString &path, QByteArray *content, QString *reason, qint64 maxSize,
                   ReadFailure *failure = nullptr);

// The bytes as a read in Qt's text mode gives them: every CR taken out.
QByteArray withoutCarriageReturns(QByteArray bytes);

// Replaces the file at path with content atomically: the bytes go to an
// unnamed file in the same directory (O_TMPFILE), are synced, and the file
// gets its name only then: a new one at once, an existing one is replaced by
// a rename from a fresh name beside it (both steps in a child process, so
// that a kill of the daemon between them leaves nothing). Where the file
// system has no unnamed files, a named temporary file stands in from the start. A symbolic link at
// path is followed, and the file it names is replaced. An existing file
// keeps its permission bits, owner and group; a new one gets the default
// mode (0666 less the umask). On any failure the old file is left byte for
// byte as it was, no temporary file is left behind, a warning naming the file
// is logged, and false is returned. A write killed midway leaves nothing
// behind where the file was unnamed.
bool writeFileAtomically(const QString &path, const QByteArray &content);

// What a caller found at a name when it read it: nothing, or the file of
// this device and inode.
struct FileIdentity
{
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// The same for the entry name (one path component) of the directory open at
// dirFd, all of it through that descriptor: no path is looked up again, and
// nothing at name is followed; an entry there that is not a regular file is
// refused. With expected, the entry must still be what the caller read (or
// still be missing), so that the owner and mode kept are those of the file
// read, not of one put there since. displayPath names the file in the warning.
bool writeFileAtomicallyAt(int dirFd, const QString &name, const QByteArray &content,
                           const QString &displayPath, const FileIdentity *expected = nullptr);

// While an object of this class lives, the writes of this thread are made
// for a caller other than root (when unprivileged is true): a write that
// would need more blocks or inodes than the file system leaves to users
// other than root is refused, so that no caller can make root fill the room
// kept back for root. Objects nest; the previous setting comes back.
class UnprivilegedWrites
{
public:
    explicit UnprivilegedWrites(bool unprivileged);
    ~UnprivilegedWrites();
    UnprivilegedWrites(const UnprivilegedWrites &) = delete;
    UnprivilegedWrites &operator=(const UnprivilegedWrites &) = delete;

    // Whether a new file of bytes fits in the room that the file system at
    // fd leaves to the present caller: always for root; for anybody else
    // within the blocks and inodes available to users other than root.
    static bool roomFor(int fd, qint64 bytes);

private:
    bool m_previous;
};

// How openBeneath looks a path up: with the kernel's openat2, or with the
// walk of one component at a time that stands in where openat2 is refused.
enum class BeneathLookup { Kernel, Walk };

// Opens path (slash-separated, relative) beneath the folder open at dirFd
// with flags, following no symbolic link at any depth and never leaving that
// folder: ".." goes back to the folder it came from, never above dirFd. On
// failure -1 with errno as openat2 sets it: ELOOP at a link, EXDEV above
// dirFd or for an absolute path. Where openat2 is refused (ENOSYS before
// Linux 5.6; ENOSYS or EPERM from a seccomp filter such as systemd's), the
// walk does the same.
int openBeneath(int dirFd, const QByteArray &path, int flags, BeneathLookup lookup = BeneathLookup::Kernel);

// The text of errno (or of the error given), in the locale's encoding.
QString errnoText(int error = errno);
