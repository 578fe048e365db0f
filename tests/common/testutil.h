#pragma once

// Helpers shared by the unit tests and the end-to-end tests: whole-file reads
// and writes, folder listings and snapshots, the daemon's fixed paths and the
// bytes it must write, and running a program with a time-out.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestUtil {

// The limit of a wait for something that eventually happens. It costs time
// only when the test fails anyway, and a loaded machine (sanitizers, parallel
// tests on two cores) can be slow beyond any short guess; it stays below
// QtTest's five minutes per test function, so a failed wait still reports.
// Waits that check that something does NOT happen keep short windows.
constexpr int waitLimitMs = 3 * 60 * 1000;

// The daemon's fixed files and their folders, as the sandbox has them.
inline const QString listDir = QStringLiteral("/usr/share/vexa");
inline const QString gamesPath = QStringLiteral("/usr/share/vexa/games.json");
inline const QString warningPath = QStringLiteral("/usr/share/vexa/warning.json");
inline const QString dockerDir = QStringLiteral("/etc/docker");
inline const QString dockerPath = QStringLiteral("/etc/docker/daemon.json");
inline const QString autoStartDir = QStringLiteral("/etc/xdg/autostart");
inline const QString autoStartPath = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
// Without it the bus would start a daemon of its own between a kill and the
// test's restart.
inline const QString activationFile = QStringLiteral(
    "/usr/share/dbus-1/system-services/cn.selvane.Vexa.Pref.service");

// The seven identity keys, in the order missing ones are appended.
inline const char *const phoneKeys[] = {
    "ro.custom.manufacturer=", "ro.custom.brand=", "ro.custom.product=", "ro.custom.model=",
    "ro.custom.device=",       "ro.serialno=",     "ro.custom.imei="};

// The autostart entry, byte for byte, as the daemon must write it. Kept apart
// from the product's copy on purpose, so that a change there shows here.
inline const QByteArray autoStartBytes =
    "[Desktop Entry]\n"
    "Name=bootlane\n"
    "Comment=Start Vexa\n"
    "Exec=/usr/bin/bootlane start_vexa_silently\n"
    "Terminal=false\n"
    "Type=Application\n"
    "StartupNotify=false\n"
    "X-GNOME-Autostart-Phase=Applications\n"
    "X-GNOME-Autostart-Notify=true\n"
    "X-GNOME-Autostart-Delay=8\n"
    "NoDisplay=true\n"
    "Categories=\n"
    "\n";

// What readFile gives, where asked, for a file that is missing or unreadable:
// no content matches it.
inline const QByteArray absent = QByteArrayLiteral("<absent>");

// The file's bytes; absentMarker when it does not exist or cannot be read.
inline QByteArray readFile(const QString &path, const QByteArray &absentMarker = QByteArray())
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : absentMarker;
}

// Replaces the file's content; with a mode, sets it afterwards.
inline bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions mode = {})
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size()
        && file.flush() && (mode == QFile::Permissions() || file.setPermissions(mode));
}

// A file of size bytes that takes no room on disk, for sizes past what a
// whole-file read takes.
// What a file takes on disk, in bytes; -1 when it cannot be looked at.
inline qint64 bytesOnDisk(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_blocks) * 512 : -1;
}

inline bool makeSparseFile(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// Every entry of dir, hidden ones included, sorted by name: shows leftover
// temporary files.
inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// Entries of dir other than the known names, sorted.
inline QStringList otherEntries(const QString &dir, const QStringList &known)
{
    QStringList found = entries(dir);
    for (const QString &name : known)
        found.removeAll(name);
    return found;
}

// Empties dir, so that each test case starts afresh.
inline void emptyDirectory(const QString &dir)
{
    for (const QString &entry : entries(dir)) {
        const QString path = dir + QLatin1Char('/') + entry;
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
    }
}

// Gives path the mode 0604 and, as root, the owner nobody (65534:65534): a
// file's mode and owner that a rewrite must keep. False when it cannot.
inline bool giveForeignModeAndOwner(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    return ::chmod(name.constData(), 0604) == 0
        && (::geteuid() != 0 || ::chown(name.constData(), 65534, 65534) == 0);
}

// The file's mode and, as root, its owner, e.g. "604 65534:65534"; to compare
// with foreignModeAndOwner() after a rewrite.
inline QString modeAndOwner(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("<no file>");
    QString text = QString::number(info.st_mode & 07777, 8);
    if (::geteuid() == 0)
        text += QStringLiteral(" %1:%2").arg(info.st_uid).arg(info.st_gid);
    return text;
}

inline QString foreignModeAndOwner()
{
    return ::geteuid() == 0 ? QStringLiteral("604 65534:65534") : QStringLiteral("604");
}

// Removes dir with all in it and makes it again, empty: a fresh start for
// test cases that may have removed it or changed its mode.
inline bool remakeDirectory(const QString &dir)
{
    QDir(dir).removeRecursively();
    return QDir().mkpath(dir);
}

// Sets *path to fileName in dir and empties dir for a new test case; false
// when the folder is not usable.
inline bool startAfresh(const QTemporaryDir &dir, const QString &fileName, QString *path)
{
    *path = dir.filePath(fileName);
    return dir.isValid() && remakeDirectory(dir.path());
}

// Lowers the file size limit for its lifetime, so that a write beyond it
// fails with EFBIG as on a full disk (SIGXFSZ is ignored meanwhile).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool ok() const { return m_ok; }

private:
    struct rlimit m_old = {};
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};

// Whether the game whitelist at path has an entry whose "pkgname" is
// pkgName, as Qt's JSON parser reads the file.
inline bool listsGame(const QString &path, const QString &pkgName)
{
    const QJsonArray games =
        QJsonDocument::fromJson(readFile(path)).object().value(QStringLiteral("games")).toArray();
    for (const QJsonValue &game : games) {
        if (game.toObject().value(QStringLiteral("pkgname")).toString() == pkgName)
            return true;
    }
    return false;
}

// A JSON object in one canonical form (keys sorted, no blanks), so that two
// files compare by meaning; a marker with the size when the bytes are not a
// complete JSON object, which matches no expected state.
inline QByteArray canonicalJson(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return "<not a JSON object: " + QByteArray::number(bytes.size())
            + " bytes: " + error.errorString().toUtf8() + '>';
    return QJsonDocument(document.object()).toJson(QJsonDocument::Compact);
}

inline QByteArray canonicalJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// One line for `vexa-pref-call --batch`: the method and its arguments as a
// JSON array of strings.
inline QByteArray batchLine(const QString &method, const QStringList &args)
{
    QJsonArray call {method};
    for (const QString &arg : args)
        call.append(arg);
    return QJsonDocument(call).toJson(QJsonDocument::Compact) + '\n';
}

// The open descriptors of a process, as "fd -> target" lines, sorted.
inline QStringList openFiles(qint64 pid)
{
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    QStringList lines;
    const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : fds) {
        char target[4096];
        const QByteArray link = QFile::encodeName(fdDir + QLatin1Char('/') + fd);
        const ssize_t size = ::readlink(link.constData(), target, sizeof(target));
        lines << fd + QStringLiteral(" -> ")
                + QFile::decodeName(QByteArray(target, size > 0 ? int(size) : 0));
    }
    lines.sort();
    return lines;
}

// Resident memory of a process in KiB (VmRSS), or -1.
inline qint64 residentKiB(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// How a program run by runProcess ended.
struct ProcessResult
{
    int exitCode = -1; // -1 after a crash or a time-out
    bool timedOut = false;
    QByteArray bytes; // its standard output
    QString output; // the same as text ("time-out" after a time-out)
};

// Runs program with args and env, killing it after msecs. With
// QProcess::MergedChannels the output holds the standard error too. A program
// that cannot be started (not installed) is named in a warning and in the
// output.
inline ProcessResult runProcess(const QString &program, const QStringList &args, int msecs,
                                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                                QProcess::ProcessChannelMode mode = QProcess::SeparateChannels)
{
    QProcess process;
    process.setProcessChannelMode(mode);
    process.setProcessEnvironment(env);
    process.start(program, args);
    ProcessResult result;
    if (!process.waitForStarted(msecs)) {
        result.output = QStringLiteral("cannot start %1: %2").arg(program, process.errorString());
        qWarning("%s", qPrintable(result.output));
        return result;
    }
    if (!process.waitForFinished(msecs)) {
        process.kill();
        process.waitForFinished(waitLimitMs);
        result.timedOut = true;
        result.output = QStringLiteral("time-out");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.bytes = process.readAllStandardOutput();
    result.output = QString::fromUtf8(result.bytes);
    return result;
}

// What call() gives while a write past bytes fails as on a full disk.
template<typename Call> auto withFileSizeLimit(rlim_t bytes, Call call)
{
    const FileSizeLimit limit(bytes);
    return call();
}

} // namespace TestUtil
