#include "phoneinfo.h"

#include "fileio.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

struct IdentityKey
{
    const char *key;
    QString PhoneIdentity::*value;
};

// The order is both the order of the tests on a line and the order in which
// missing keys are appended. No key is a prefix of another.
const IdentityKey identityKeys[] = {
    {"ro.custom.manufacturer=", &PhoneIdentity::vendor}, {"ro.custom.brand=", &PhoneIdentity::brand},
    {"ro.custom.product=", &PhoneIdentity::name},        {"ro.custom.model=", &PhoneIdentity::model},
    {"ro.custom.device=", &PhoneIdentity::equip},        {"ro.serialno=", &PhoneIdentity::serialno},
    {"ro.custom.imei=", &PhoneIdentity::imei},
};
constexpr int keyCount = int(sizeof(identityKeys) / sizeof(identityKeys[0]));

// A line break in a value would let the caller add properties of its own.
bool isSingleLine(const QString &value)
{
    return !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r'))
        && !value.contains(QChar(0));
}

// Set by tests only, to run every lookup through walkBeneath.
bool lookupWalksAlways = false;

// Opens path beneath the directory at dirFd like openat2 below, but one
// component at a time: every folder is opened without following a link, ".."
// goes back to the folder it came from and never above dirFd, and the last
// component is opened with flags and O_NOFOLLOW. The errors match openat2's
// (ELOOP at a link, EXDEV above dirFd or for an absolute path).
int walkBeneath(int dirFd, const QByteArray &path, int flags)
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
            return ::openat(at, part.constData(), flags | O_NOFOLLOW | O_CLOEXEC);
        } else {
            entered.emplace_back(
                ::openat(at, part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (entered.back().get() < 0)
                return -1;
        }
    }
    // The path ended in "." or "..": the folder reached, opened with flags.
    return ::openat(entered.empty() ? dirFd : entered.back().get(), ".", flags | O_CLOEXEC);
}

// Opens path with openat2 beneath the directory at dirFd, following no
// symbolic link at any depth and never leaving that directory. Where openat2
// answers ENOSYS (kernels before 5.6, and systemd's seccomp filter for
// RestrictSUIDSGID=, which cannot look inside its flags), walkBeneath does it.
int openBeneath(int dirFd, const QByteArray &path, int flags)
{
    if (lookupWalksAlways)
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
    if (fd < 0 && errno == ENOSYS)
        return walkBeneath(dirFd, path, flags);
    return int(fd);
}

bool refuse(const QString &path, const QString &reason)
{
    qWarning() << "Refused property file" << path << reason;
    return false;
}

// The property file's directory, open beneath dataRoot, and the file's name
// in it. The caller names the path, so it must lie beneath the runtime's
// tree: a path elsewhere, or through a symbolic link, could make root
// rewrite any file of the system.
bool openDirectory(const QString &dataRoot, const QString &path, Fd *dir, QString *name)
{
    QString prefix = QDir::cleanPath(dataRoot);
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    if (!path.startsWith(prefix))
        return refuse(path, QStringLiteral("not beneath %1").arg(prefix));
    const QString relative = path.mid(prefix.size());
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    *name = relative.mid(slash + 1);
    if (name->isEmpty() || *name == QLatin1String(".") || *name == QLatin1String(".."))
        return refuse(path, QStringLiteral("not a file name"));

    const Fd root(::open(QFile::encodeName(prefix).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0)
        return refuse(path, errnoText());
    const QByteArray directory = slash < 0 ? QByteArray(".") : QFile::encodeName(relative.left(slash));
    *dir = Fd(openBeneath(root.get(), directory, O_RDONLY | O_DIRECTORY));
    if (dir->get() < 0)
        return refuse(path, errnoText());
    return true;
}

// Reads the file name in the directory at dirFd; a missing one reads as
// empty. The name is looked at first without opening what it names (O_PATH
// has no side effect on a FIFO or a device), and only a regular file with no
// other link, within maxPropertyFileSize, is then opened for reading: a FIFO
// or a device must neither block the daemon nor be read without end, a second
// link could be a name for a file elsewhere, and a sparse file would cost its
// whole size. *identity tells the write what was read.
bool readPropertyFile(int dirFd, const QString &name, const QString &path, QByteArray *content,
                      FileIdentity *identity)
{
    content->clear();
    *identity = FileIdentity();
    const Fd found(openBeneath(dirFd, QFile::encodeName(name), O_PATH | O_NOFOLLOW));
    if (found.get() < 0) {
        if (errno == ENOENT)
            return true;
        return refuse(path, errnoText());
    }
    struct stat info;
    if (::fstat(found.get(), &info) != 0)
        return refuse(path, errnoText());
    if (!S_ISREG(info.st_mode))
        return refuse(path, QStringLiteral("not a regular file"));
    if (info.st_nlink != 1)
        return refuse(path, QStringLiteral("more than one link"));
    if (info.st_size > maxPropertyFileSize)
        return refuse(path, QStringLiteral("larger than its cap of %1 bytes").arg(maxPropertyFileSize));
    // The very file looked at, opened again through its descriptor: no name
    // is looked up a second time. The caller check needs /proc as well.
    const Fd file(::open(QByteArray("/proc/self/fd/" + QByteArray::number(found.get())).constData(),
                         O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0)
        return refuse(path, errnoText());
    QString reason;
    if (!readWholeFile(file.get(), content, &reason, maxPropertyFileSize))
        return refuse(path, QStringLiteral("cannot be read whole: %1").arg(reason));
    *identity = FileIdentity {true, info.st_dev, info.st_ino};
    return true;
}

} // namespace

void setPropertyLookupWalksAlways(bool walk)
{
    lookupWalksAlways = walk;
}

bool setPhoneInfoInFile(const QString &dataRoot, const QString &path, const PhoneIdentity &identity)
{
    QByteArray values[keyCount];
    for (int row = 0; row < keyCount; ++row) {
        const QString &value = identity.*identityKeys[row].value;
        if (!isSingleLine(value))
            return false;
        values[row] = value.toUtf8();
    }

    Fd dir;
    QString name;
    if (!openDirectory(dataRoot, path, &dir, &name))
        return false;
    QByteArray content;
    FileIdentity read;
    if (!readPropertyFile(dir.get(), name, path, &content, &read))
        return false;

    // Works on bytes, not on a decoded text stream, so that lines we do not
    // rewrite keep whatever encoding (or invalid bytes) they have.
    QByteArray output;
    output.reserve(content.size() + 256);
    // A byte order mark is no part of the first line, but it stays in front.
    static const char byteOrderMark[] = "\xef\xbb\xbf";
    int start = 0;
    if (content.startsWith(byteOrderMark)) {
        output += byteOrderMark;
        start = 3;
    }
    bool seen[keyCount] = {};
    while (start < content.size()) {
        int end = content.indexOf('\n', start);
        if (end < 0)
            end = content.size();
        int length = end - start;
        // A CR right before the line's end (the LF, or the end of the file)
        // belongs to it; elsewhere it is part of the line.
        if (length > 0 && content.at(end - 1) == '\r')
            --length;
        const QByteArray line = QByteArray::fromRawData(content.constData() + start, length);

        int match = -1;
        for (int row = 0; row < keyCount && match < 0; ++row) {
            if (line.startsWith(identityKeys[row].key))
                match = row;
        }
        if (match >= 0) {
            output += identityKeys[match].key;
            output += values[match];
            seen[match] = true;
        } else {
            output += line;
        }
        output += '\n';
        start = end + 1;
    }
    for (int row = 0; row < keyCount; ++row) {
        if (!seen[row]) {
            output += identityKeys[row].key;
            output += values[row];
            output += '\n';
        }
    }
    // New values can take a file just under its cap past it.
    if (output.size() > maxPropertyFileSize)
        return refuse(path,
                      QStringLiteral("the edit would make it larger than its cap of %1 bytes")
                          .arg(maxPropertyFileSize));
    return writeFileAtomicallyAt(dir.get(), name, output, path, &read);
}
