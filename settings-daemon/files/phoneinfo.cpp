// Rewrites the phone's identity properties in a property file of the runtime.
#include "phoneinfo.h"

#include "fileio.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Past this size a file with fewer blocks than half its bytes is sparse.
constexpr qint64 sparseCheckFrom = 64 * 1024;

// A line break in a value would let the caller add properties of its own.
bool isSingleLine(const QString &value)
{
    return !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r'))
        && !value.contains(QChar(0));
}

bool refuse(const QString &path, const QString &reason)
{
    qWarning() << "Refused property file" << path << reason;
    return false;
}

// Whether a caller other than root may write in the folder at relative
// (beneath the data folder, open at dirFd): not inside another account's
// container folder ("vexa-<uid>-<name>", as the log collection names them),
// not in a folder of another account other than root, and not straight in
// the data folder, where a new name could take a container's before it is
// made.
QString refusalForCaller(uint callerUid, const QString &relativeFolder, int dirFd)
{
    static const QRegularExpression container(QStringLiteral("^vexa-([0-9]+)-"));
    const QRegularExpressionMatch match = container.match(relativeFolder.section(QLatin1Char('/'), 0, 0));
    bool number = false;
    if (match.hasMatch() && (match.captured(1).toUInt(&number) != callerUid || !number))
        return QStringLiteral("inside the container folder of another account");
    struct stat info;
    if (::fstat(dirFd, &info) != 0)
        return errnoText();
    if (info.st_uid != 0 && info.st_uid != callerUid)
        return QStringLiteral("in a folder of another account");
    return QString();
}

// The property file's directory, open beneath the data folder, and the
// file's name in it. The caller names the path, so it must lie beneath the
// runtime's tree: a path elsewhere, or through a symbolic link, could make
// root rewrite any file of the system. *topLevel tells that the file lies
// straight in the data folder.
bool openDirectory(const PropertyFileSetup &setup, const QString &path, Fd *dir, QString *name,
                   bool *topLevel)
{
    QString prefix = QDir::cleanPath(setup.dataRoot);
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
    const QString folder = slash < 0 ? QStringLiteral(".") : relative.left(slash);
    *dir = Fd(openBeneath(root.get(), QFile::encodeName(folder), O_RDONLY | O_DIRECTORY, setup.lookup));
    if (dir->get() < 0)
        return refuse(path, errnoText());
    struct stat folderInfo, rootInfo;
    if (::fstat(dir->get(), &folderInfo) != 0 || ::fstat(root.get(), &rootInfo) != 0)
        return refuse(path, errnoText());
    *topLevel = folderInfo.st_dev == rootInfo.st_dev && folderInfo.st_ino == rootInfo.st_ino;
    if (setup.callerUid != 0) {
        // Once opened, every folder named was a real one: the folder reached
        // is the one the clean path names.
        const QString refusal = refusalForCaller(setup.callerUid, QDir::cleanPath(folder), dir->get());
        if (!refusal.isEmpty())
            return refuse(path, refusal);
    }
    return true;
}

// Reads the file name in the directory at dirFd; a missing one reads as
// empty. The name is looked at first without opening what it names (O_PATH
// has no side effect on a FIFO or a device), and only a regular file with no
// other link, within maxPropertyFileSize, is then opened for reading: a FIFO
// or a device must neither block the daemon nor be read without end, a second
// link could be a name for a file elsewhere, and a sparse file would cost its
// whole size. *identity tells the write what was read.
bool readPropertyFile(const PropertyFileSetup &setup, int dirFd, const QString &name, const QString &path,
                      QByteArray *content, FileIdentity *identity)
{
    content->clear();
    *identity = FileIdentity();
    const Fd found(openBeneath(dirFd, QFile::encodeName(name), O_PATH | O_NOFOLLOW, setup.lookup));
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
    // Written back, a sparse file would take its whole size on disk. Small
    // files may hold fewer blocks than bytes on a compressing or inlining
    // file system, so only a larger one counts.
    if (info.st_size > sparseCheckFrom && qint64(info.st_blocks) * 512 < info.st_size / 2)
        return refuse(path, QStringLiteral("sparse"));
    if (setup.callerUid != 0 && info.st_uid != 0 && info.st_uid != setup.callerUid)
        return refuse(path, QStringLiteral("a file of another account"));
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

bool setPhoneInfoInFile(const PropertyFileSetup &setup, const QString &path, const PhoneIdentity &identity)
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
    bool topLevel = false;
    if (!openDirectory(setup, path, &dir, &name, &topLevel))
        return false;
    QByteArray content;
    FileIdentity read;
    if (!readPropertyFile(setup, dir.get(), name, path, &content, &read))
        return false;
    if (setup.callerUid != 0 && topLevel && !read.exists)
        return refuse(path, QStringLiteral("would be made straight in the data folder"));

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
