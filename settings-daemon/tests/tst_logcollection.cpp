// Log collection with stand-in tools that record how and as whom they were
// called, so the exact command sequence is visible and refusals can be shown
// to run nothing. Run as root, the collection is for the user nobody, so the
// switch to the user's identity is exercised too. The real tools are
// exercised end to end in tst_e2e_logcollection.

#include "testutil.h"
#include "logcollection.h"
#include "processrunner.h"
#include "staging.h"
#include "toolcontainer.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

using Calls = QList<QStringList>;
using TestUtil::writeFile;

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// Who the collection is for: nobody when we are root, else ourselves.
struct Account
{
    QString name;
    uint uid = 0;
    uint gid = 0;
    QString idField; // "uid:groups" as `id -u` and `id -G` print them
};

QString idGroups(const QStringList &wrapper = {})
{
    QProcess id;
    QStringList command = wrapper;
    command << QStringLiteral("id") << QStringLiteral("-G");
    id.start(command.takeFirst(), command);
    id.waitForFinished(TestUtil::waitLimitMs);
    return QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
}

// The daemon's own identity, which the tools it runs as itself keep.
QString daemonIdField()
{
    return QStringLiteral("%1:%2").arg(::geteuid()).arg(idGroups());
}

Account collectingAccount()
{
    const bool root = ::geteuid() == 0;
    const struct passwd *entry = root ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    Account account;
    if (!entry)
        return account;
    account.name = QString::fromLocal8Bit(entry->pw_name);
    account.uid = entry->pw_uid;
    account.gid = entry->pw_gid;
    account.idField = QStringLiteral("%1:%2")
                          .arg(account.uid)
                          .arg(root ? idGroups({QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                                                QStringLiteral("--regid=nogroup"),
                                                QStringLiteral("--init-groups"), QStringLiteral("--")})
                                    : idGroups());
    return account;
}

// Gives a tree to the account (as root), links not followed.
bool giveTree(const QString &root, const Account &account)
{
    if (::geteuid() != 0)
        return true;
    bool ok = ::lchown(QFile::encodeName(root).constData(), account.uid, account.gid) == 0;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        ok = ::lchown(QFile::encodeName(it.next()).constData(), account.uid, account.gid) == 0 && ok;
    return ok;
}

// A scratch tree: stand-in tools, a container data directory, the runtime
// log, the staging root and the user's home with a collection directory and
// some traps.
struct Rig
{
    Rig()
    {
        user = collectingAccount();
        ok = !user.name.isEmpty();
        root = canonical(tmp.path());
        // The user's tools must reach the tools and the record.
        ok = ok
            && QFile::setPermissions(root,
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                         | QFile::ExeOther);
        home = root + QStringLiteral("/home/user");
        run1 = home + QStringLiteral("/VexaLog/run1");
        recordFile = root + QStringLiteral("/record");
        ok = ok && writeFile(recordFile, QByteArray())
            && QFile::setPermissions(recordFile, QFile::ReadOwner | QFile::WriteOwner | QFile::WriteOther);

        const QString bin = root + QStringLiteral("/bin");
        QDir().mkpath(bin);
        QDir().mkpath(root + QStringLiteral("/usr/bin"));
        const QString tool = QFINDTESTDATA("recording-tool.sh");
        setup.cpPath = bin + QStringLiteral("/cp");
        setup.chmodPath = bin + QStringLiteral("/chmod");
        setup.zipPath = bin + QStringLiteral("/zip");
        setup.zipFallbackPath = root + QStringLiteral("/usr/bin/zip");
        setup.chownPath = bin + QStringLiteral("/chown");
        for (const QString &path :
             {setup.cpPath, setup.chmodPath, setup.zipPath, setup.zipFallbackPath, setup.chownPath}) {
            ok = ok && QFile::copy(tool, path)
                && QFile::setPermissions(path,
                                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                             | QFile::ReadOther | QFile::ExeOther);
        }
        setup.containerRoot = root + QStringLiteral("/lib");
        setup.runtimeLogPath = root + QStringLiteral("/log/vexa.log");
        setup.stagingRoot = root + QStringLiteral("/staging");
        dataDir = setup.containerRoot + QStringLiteral("/vexa-%1-%2/data").arg(user.uid).arg(user.name);
        for (const QString &source : containerLogFolders)
            QDir().mkpath(dataDir + QLatin1Char('/') + source);
        QDir().mkpath(root + QStringLiteral("/log"));
        ok = ok && writeFile(setup.runtimeLogPath, "runtime\n");

        QDir().mkpath(run1);
        QDir().mkpath(home + QStringLiteral("/vexalog/run1"));
        QDir().mkpath(home + QStringLiteral("/outside/sub"));
        QDir().mkpath(home + QStringLiteral("/VexaLog/run2"));
        QDir().mkpath(home + QStringLiteral("/VexaLog/run3"));
        QDir().mkpath(home + QStringLiteral("/VexaLog/run3.zip"));
        ok = ok && writeFile(home + QStringLiteral("/VexaLog/file.txt"), "x")
            && writeFile(home + QStringLiteral("/outside/notes"), "x")
            && QFile::link(QStringLiteral("../outside"), home + QStringLiteral("/VexaLog/out"))
            && QFile::link(QStringLiteral("run1"), home + QStringLiteral("/VexaLog/latest"))
            && QFile::link(home + QStringLiteral("/outside/target.zip"),
                           home + QStringLiteral("/VexaLog/run2.zip"))
            && giveTree(root + QStringLiteral("/home"), user);
        // A collection folder of the daemon's own user that the user cannot
        // reach: the checks must see it as the user does.
        ok = ok && QDir().mkpath(root + QStringLiteral("/private/VexaLog/run"))
            && QFile::setPermissions(root + QStringLiteral("/private"),
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        qputenv("VEXA_RECORD_FILE", QFile::encodeName(recordFile));
        qunsetenv("VEXA_RECORD_EXIT");
        qunsetenv("VEXA_RECORD_STALL");
    }

    int collect(const QString &logPath) const
    {
        return collectFor(user.uid, user.name, QString::number(user.uid), logPath);
    }

    // As the daemon does it: the account resolved for the caller first.
    int collectFor(uint callerUid, const QString &username, const QString &userid,
                   const QString &logPath) const
    {
        LogCollectionUser account;
        if (!collectionRequestIsAcceptable(callerUid, username, userid, logPath, &account))
            return -1;
        return collectLogs(setup, account, logPath, scopes);
    }

    // Every call of a stand-in tool: "uid:groups", program, arguments. The
    // descriptor numbers in /proc/self/fd paths are the daemon's choice and
    // read N.
    Calls calls() const
    {
        QFile file(recordFile);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> fields = file.readAll().split('\0');
        fields.removeLast(); // after the last terminator
        const QRegularExpression fd(QStringLiteral("^/proc/self/fd/\\d+"));
        Calls result;
        while (!fields.isEmpty()) {
            const int count = fields.takeFirst().toInt();
            QStringList call;
            for (int i = 0; i <= count + 1 && !fields.isEmpty(); ++i)
                call << QString::fromLocal8Bit(fields.takeFirst())
                            .replace(fd, QStringLiteral("/proc/self/fd/N"));
            result << call;
        }
        return result;
    }

    void clearCalls() const { writeFile(recordFile, QByteArray()); }

    // Every entry of the tree with its type and mode, links not followed.
    QStringList snapshot() const
    {
        QStringList entries;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            entries << QStringLiteral("%1 %2 %3")
                           .arg(info.filePath(), info.isSymLink() ? info.symLinkTarget() : QString())
                           .arg(int(info.permissions()));
        }
        entries.sort();
        return entries;
    }

    QTemporaryDir tmp;
    Account user;
    QString root;
    QString home;
    QString run1;
    QString dataDir;
    QString recordFile;
    LogCollectionSetup setup;
    // The daemon's walk and the tools' own cap unless a row says otherwise.
    ToolScopeMaker scopes = nullptr;
    bool ok = true;
};

// The whole sequence for a collection into dir: after the daemon has staged
// the sources itself, the user's tools copy them in from the staging folder
// (through an inherited descriptor), chmod, zip and chown.
Calls expectedSequence(const Rig &rig, const QString &dir, bool withRuntimeLog, const QString &zip)
{
    const QString &asUser = rig.user.idField;
    const QString cp = rig.setup.cpPath;
    const QString fd = QStringLiteral("/proc/self/fd/N");
    QStringList names = {QStringLiteral("klog"), QStringLiteral("anr"), QStringLiteral("dropbox"),
                         QStringLiteral("tombstones")};
    if (withRuntimeLog)
        names << QStringLiteral("vexa.log");
    Calls calls;
    for (const QString &name : std::as_const(names))
        calls << QStringList {asUser, cp, QStringLiteral("-a"), fd + QLatin1Char('/') + name, dir};
    calls << QStringList {asUser, rig.setup.chmodPath, QStringLiteral("777"), QStringLiteral("-R"), dir};
    calls << QStringList {asUser,
                          zip,
                          QStringLiteral("-r"),
                          QStringLiteral("-q"),
                          QStringLiteral("-j"),
                          QStringLiteral("-y"),
                          dir + QStringLiteral(".zip"),
                          dir};
    calls << QStringList {asUser, rig.setup.chownPath, QStringLiteral("-hR"),
                          rig.user.name + QLatin1Char(':') + rig.user.name, dir + QStringLiteral(".zip")};
    return calls;
}

} // namespace

class TestLogCollection : public QObject
{
    Q_OBJECT

private slots:
    void refusalsRunAndCreateNothing_data()
    {
        QTest::addColumn<QString>("caller"); // the caller's uid; "%uid" is the user's
        QTest::addColumn<QString>("username"); // "%user" is the collecting user
        QTest::addColumn<QString>("userid");
        QTest::addColumn<QString>("logPath"); // "~" stands for the user's home

        const QString self = QStringLiteral("%uid");
        const QString user = QStringLiteral("%user");
        const QString id = QStringLiteral("%uid");
        const QString run1 = QStringLiteral("~/VexaLog/run1");
        QTest::newRow("empty path") << self << user << id << QString();
        QTest::newRow("no VexaLog folder") << self << user << id << QStringLiteral("~/outside");
        QTest::newRow("VexaLog itself") << self << user << id << QStringLiteral("~/VexaLog");
        // Canonically the same directory as the row above; the archive would
        // land outside every VexaLog folder.
        QTest::newRow("VexaLog itself, slash") << self << user << id << QStringLiteral("~/VexaLog/");
        QTest::newRow("wrong case") << self << user << id << QStringLiteral("~/vexalog/run1");
        QTest::newRow("missing directory") << self << user << id << QStringLiteral("~/VexaLog/run9");
        QTest::newRow("regular file") << self << user << id << QStringLiteral("~/VexaLog/file.txt");
        QTest::newRow("dot-dot out") << self << user << id << QStringLiteral("~/VexaLog/../outside");
        QTest::newRow("dot-dot far out")
            << self << user << id << QStringLiteral("~/VexaLog/../../../../../../../../tmp");
        QTest::newRow("dot-dot to VexaLog") << self << user << id << QStringLiteral("~/VexaLog/run1/..");
        QTest::newRow("symlink out") << self << user << id << QStringLiteral("~/VexaLog/out");
        QTest::newRow("below symlink out") << self << user << id << QStringLiteral("~/VexaLog/out/sub");
        QTest::newRow("relative") << self << user << id << QStringLiteral("VexaLog/run1");
        QTest::newRow("archive is a symlink") << self << user << id << QStringLiteral("~/VexaLog/run2");
        QTest::newRow("archive is a directory") << self << user << id << QStringLiteral("~/VexaLog/run3");
        QTest::newRow("folder the user cannot reach")
            << self << user << id << QStringLiteral("%private/VexaLog/run");

        // Who may be collected for.
        QTest::newRow("another user by name and id")
            << self << QStringLiteral("root") << QStringLiteral("0") << run1;
        QTest::newRow("own name, another id") << self << user << QStringLiteral("0") << run1;
        QTest::newRow("own id, another name") << self << QStringLiteral("root") << id << run1;
        QTest::newRow("own id, leading zero") << self << user << QStringLiteral("0%uid") << run1;
        QTest::newRow("root: unknown user")
            << QStringLiteral("0") << QStringLiteral("vexa-no-such-user") << id << run1;
        QTest::newRow("root: name and id disagree")
            << QStringLiteral("0") << QStringLiteral("root") << id << run1;

        // Unsafe in a path component or in chown's owner argument (the
        // user database's own names are checked by the lookup).
        const QStringList badNames = {QString(),
                                      QStringLiteral("-rf"),
                                      QStringLiteral("a/b"),
                                      QStringLiteral("a:b"),
                                      QStringLiteral("../../etc"),
                                      QStringLiteral("."),
                                      QStringLiteral(".."),
                                      QStringLiteral("%user") + QChar(0)};
        for (const QString &name : badNames)
            QTest::addRow("user name \"%s\"", qPrintable(QString(name).replace(QChar(0), QLatin1Char('|'))))
                << QStringLiteral("0") << name << id << run1;
        const QStringList badIds = {QString(),
                                    QStringLiteral("-1"),
                                    QStringLiteral("10a"),
                                    QStringLiteral(" 1000"),
                                    QStringLiteral("1000/.."),
                                    QString::fromUtf8("\xd9\xa1\xd9\xa0")};
        for (const QString &badId : badIds)
            QTest::addRow("user id \"%s\"", qPrintable(badId))
                << QStringLiteral("0") << user << badId << run1;
    }
    void refusalsRunAndCreateNothing()
    {
        QFETCH(QString, caller);
        QFETCH(QString, username);
        QFETCH(QString, userid);
        QFETCH(QString, logPath);
        Rig rig;
        QVERIFY(rig.ok);
        const QString uid = QString::number(rig.user.uid);
        caller.replace(QStringLiteral("%uid"), uid);
        if (caller == uid && rig.user.uid == 0)
            QSKIP("a root caller may name anybody");
        if (logPath.startsWith(QLatin1String("%private")) && rig.user.uid == ::geteuid())
            QSKIP("needs root, to collect for another user");
        logPath.replace(QStringLiteral("%private"), rig.root + QStringLiteral("/private"));
        username.replace(QStringLiteral("%user"), rig.user.name);
        userid.replace(QStringLiteral("%uid"), uid);
        logPath.replace(QLatin1Char('~'), rig.home);
        // A relative path must not be resolved against our directory.
        const QString previous = QDir::currentPath();
        QDir::setCurrent(rig.home);
        const QStringList before = rig.snapshot();

        const int result = rig.collectFor(caller.toUInt(), username, userid, logPath);
        QDir::setCurrent(previous);
        QCOMPARE(result, -1);
        QCOMPARE(rig.calls(), Calls());
        QCOMPARE(rig.snapshot(), before);
    }

    void commandSequence_data()
    {
        QTest::addColumn<QString>("logPath");
        QTest::addColumn<bool>("runtimeLog");
        QTest::addColumn<bool>("toolsFail");
        QTest::newRow("plain") << QStringLiteral("~/VexaLog/run1") << true << false;
        QTest::newRow("no runtime log") << QStringLiteral("~/VexaLog/run1") << false << false;
        // Every tool sees the canonical path, not what the caller wrote.
        QTest::newRow("dots and slashes") << QStringLiteral("~/VexaLog/../VexaLog/./run1//") << true << false;
        QTest::newRow("symlink inside VexaLog") << QStringLiteral("~/VexaLog/latest") << true << false;
        QTest::newRow("out and back in") << QStringLiteral("~/VexaLog/out/../VexaLog/run1") << true << false;
        // Failing tools do not stop the sequence, and the result stays 0.
        QTest::newRow("every tool fails") << QStringLiteral("~/VexaLog/run1") << true << true;
    }
    void commandSequence()
    {
        QFETCH(QString, logPath);
        QFETCH(bool, runtimeLog);
        QFETCH(bool, toolsFail);
        Rig rig;
        QVERIFY(rig.ok);
        if (!runtimeLog)
            QVERIFY(QFile::remove(rig.setup.runtimeLogPath));
        if (toolsFail)
            qputenv("VEXA_RECORD_EXIT", "1");

        QCOMPARE(rig.collect(logPath.replace(QLatin1Char('~'), rig.home)), 0);
        QCOMPARE(rig.calls(), expectedSequence(rig, rig.run1, runtimeLog, rig.setup.zipPath));
        // The staging folder is gone; its root stays, private.
        QCOMPARE(TestUtil::entries(rig.setup.stagingRoot), QStringList());
        struct stat info;
        QCOMPARE(::lstat(QFile::encodeName(rig.setup.stagingRoot).constData(), &info), 0);
        QCOMPARE(info.st_mode, mode_t(S_IFDIR | 0700));
    }

    void stagingRootMustBePrivate_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a folder") << QStringLiteral("link");
        QTest::newRow("open to others") << QStringLiteral("open");
        QTest::newRow("a file") << QStringLiteral("file");
        QTest::newRow("stale collection") << QStringLiteral("stale");
    }
    void stagingRootMustBePrivate()
    {
        QFETCH(QString, kind);
        Rig rig;
        QVERIFY(rig.ok);
        const QString elsewhere = rig.root + QStringLiteral("/elsewhere");
        QVERIFY(QDir().mkpath(elsewhere + QStringLiteral("/collection")));
        QVERIFY(writeFile(elsewhere + QStringLiteral("/collection/keep"), "x"));
        const QString &staging = rig.setup.stagingRoot;
        if (kind == QLatin1String("link")) {
            QVERIFY(QFile::link(elsewhere, staging));
        } else if (kind == QLatin1String("open")) {
            QVERIFY(QDir().mkpath(staging));
            QVERIFY(QFile::setPermissions(staging,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ReadOther | QFile::ExeOther));
        } else if (kind == QLatin1String("file")) {
            QVERIFY(writeFile(staging, "x"));
        } else {
            QVERIFY(QDir().mkpath(staging + QStringLiteral("/collection/klog")));
            QVERIFY(writeFile(staging + QStringLiteral("/old"), "x"));
            QVERIFY(QFile::setPermissions(staging, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        const QStringList elsewhereBefore = TestUtil::entries(elsewhere + QStringLiteral("/collection"));
        if (kind != QLatin1String("stale"))
            QTest::ignoreMessage(
                QtWarningMsg, qPrintable(QStringLiteral("log staging folder refused: \"%1\"").arg(staging)));
        // What the daemon does at start; it leaves anything but its own
        // private folder alone.
        removeStaleStaging(staging);
        if (kind == QLatin1String("stale"))
            QCOMPARE(TestUtil::entries(staging), QStringList());

        QCOMPARE(rig.collect(rig.run1), 0);
        Calls expected = expectedSequence(rig, rig.run1, true, rig.setup.zipPath);
        if (kind == QLatin1String("stale")) {
            QCOMPARE(TestUtil::entries(staging), QStringList());
        } else {
            // Nothing is copied at all; the rest runs as ever.
            expected = expected.mid(expected.size() - 3);
        }
        QCOMPARE(rig.calls(), expected);
        QCOMPARE(TestUtil::entries(elsewhere + QStringLiteral("/collection")), elsewhereBefore);
    }

    void stuckToolIsKilled_data()
    {
        QTest::addColumn<bool>("wholeCollection");
        // The tool's own limit: the steps after it still run.
        QTest::newRow("tool's limit") << false;
        // The collection's deadline: the call answers, the rest is left out.
        QTest::newRow("collection's deadline") << true;
    }
    void stuckToolIsKilled()
    {
        QFETCH(bool, wholeCollection);
        Rig rig;
        QVERIFY(rig.ok);
        if (wholeCollection) {
            // The first tool stalls: the deadline passes while it runs.
            rig.setup.collectionTimeoutMs = 1000;
            qputenv("VEXA_RECORD_STALL", "cp");
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("^log collection deadline passed")));
        } else {
            rig.setup.toolTimeoutMs = 200;
            qputenv("VEXA_RECORD_STALL", "chmod");
        }
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(rig.collect(rig.run1), 0);
        // The stand-in would sleep for a minute: it was killed.
        QVERIFY(timer.elapsed() < 30000);
        const Calls expected = expectedSequence(rig, rig.run1, true, rig.setup.zipPath);
        if (wholeCollection) {
            // However far it came by the deadline, chown never ran.
            const Calls calls = rig.calls();
            QVERIFY(calls.size() < expected.size());
            QCOMPARE(calls, expected.mid(0, calls.size()));
        } else {
            QCOMPARE(rig.calls(), expected);
        }
    }

    void killedToolHeldByTracer()
    {
        // A tracer holds the exit of a killed tool: runTool does not wait for
        // it beyond the grace, and a later sweep reaps it once let go. The
        // tool is seized before it runs (where its unit would be made) and
        // killed at once.
        QTemporaryDir dir;
        tracerPidFile = QFile::encodeName(dir.path() + QStringLiteral("/pid"));
        const pid_t tracer = ::fork();
        if (tracer == 0) {
            for (;;) {
                char text[32] = {};
                const int fd = ::open(tracerPidFile.constData(), O_RDONLY);
                const bool read = fd >= 0 && ::read(fd, text, sizeof text - 1) > 0;
                if (fd >= 0)
                    ::close(fd);
                if (read && ::ptrace(PTRACE_SEIZE, ::atoi(text), 0, PTRACE_O_TRACEEXIT) == 0) {
                    ::close(::open((tracerPidFile + ".traced").constData(), O_WRONLY | O_CREAT, 0600));
                    for (;;)
                        ::pause();
                }
                if (read) {
                    ::close(::open((tracerPidFile + ".refused").constData(), O_WRONLY | O_CREAT, 0600));
                    ::_exit(0);
                }
                ::usleep(10000);
            }
        }
        ToolContainer container(::geteuid(), handToTracer);
        ToolRun run;
        run.program = QStringLiteral("/bin/sleep");
        run.args = QStringList {QStringLiteral("600")};
        run.uid = ::geteuid();
        run.container = &container;
        run.deadline = QDeadlineTimer(0);
        run.killGraceMs = 500;
        const ToolEnd end = runTool(run);
        const bool held = toolStillHeld(run.uid);
        ::kill(tracer, SIGKILL);
        ::waitpid(tracer, nullptr, 0);
        if (!QFile::exists(QFile::decodeName(tracerPidFile + ".traced")))
            QSKIP("the tracer could not attach (ptrace not permitted here)");
        QCOMPARE(end, ToolEnd::Held);
        QVERIFY(held);
        QTRY_VERIFY_WITH_TIMEOUT(!toolStillHeld(run.uid), TestUtil::waitLimitMs);
    }

    void realCopyReachesTheUser_data()
    {
        QTest::addColumn<QString>("plant"); // a trap in the sources, see below
        QTest::addColumn<QString>("absent"); // what must not arrive in the folder
        QTest::addColumn<QString>("logged"); // a line the daemon logs (a pattern)

        QTest::newRow("plain logs") << QString() << QString() << QString();
        QTest::newRow("link inside a source")
            << QStringLiteral("klog/secret -> secret") << QString() << QString();
        QTest::newRow("linked source folder")
            << QStringLiteral("anr -> secret") << QStringLiteral("anr")
            << QStringLiteral("^log source not collected: \".*/data/anr\" \"");
        QTest::newRow("linked folder above a source")
            << QStringLiteral("system -> secret") << QStringLiteral("dropbox")
            << QStringLiteral("^log source not collected: \".*/data/system/dropbox\" \"");
        QTest::newRow("linked runtime log")
            << QStringLiteral("log -> secret/key") << QStringLiteral("vexa.log")
            << QStringLiteral("^log source not collected: \".*/vexa.log\" \"");
        QTest::newRow("FIFO in a source")
            << QStringLiteral("klog/fifo fifo") << QStringLiteral("klog/fifo")
            << QStringLiteral("^log staging left out: \".*/klog/fifo\" not a regular file$");
        QTest::newRow("hard link in a source")
            << QStringLiteral("klog/hard = secret/key") << QStringLiteral("klog/hard")
            << QStringLiteral("^log staging left out: \".*/klog/hard\" more than one link$");
        // 8 TiB, sparse: more than the staging folder's file system holds.
        QTest::newRow("huge file in a source")
            << QStringLiteral("klog/huge sparse") << QStringLiteral("klog/huge")
            << QStringLiteral(
                   "^log staging left out: \".*/klog/huge\" over this collection's share of the staging "
                   "room$");
        // Moved to a bigger disk, with a link left: the fixed data folder
        // itself is followed.
        QTest::newRow("data folder behind a link") << QStringLiteral("lib moved") << QString() << QString();
        // Empty folders cost no bytes, but inodes of the staging file system.
        QTest::newRow("more entries than the bound")
            << QStringLiteral("tombstones folders") << QString()
            << QStringLiteral("^log staging left out: \".*/tombstones/.*\" reached the bound of entries");
    }
    void realCopyReachesTheUser()
    {
        QFETCH(QString, plant);
        QFETCH(QString, absent);
        QFETCH(QString, logged);
        if (::geteuid() != 0)
            QSKIP("needs root, to collect for another user");
        Rig rig;
        QVERIFY(rig.ok);
        rig.setup.cpPath = QStringLiteral("/bin/cp");
        // Logs readable by root only, as the runtime leaves them.
        const QString secret = rig.root + QStringLiteral("/secret");
        QVERIFY(QDir().mkpath(secret + QStringLiteral("/dropbox")));
        QVERIFY(writeFile(secret + QStringLiteral("/key"), "SECRET"));
        QVERIFY(writeFile(secret + QStringLiteral("/dropbox/key"), "SECRET"));
        QVERIFY(QDir().mkpath(rig.dataDir + QStringLiteral("/klog/old")));
        QVERIFY(QDir().mkpath(rig.dataDir + QStringLiteral("/system/dropbox")));
        QVERIFY(writeFile(rig.dataDir + QStringLiteral("/klog/kernel.log"), "kernel\n"));
        QVERIFY(writeFile(rig.dataDir + QStringLiteral("/klog/old/k.1"), "older\n"));
        QVERIFY(writeFile(rig.dataDir + QStringLiteral("/system/dropbox/drop"), "drop\n"));
        for (const QString &path : {rig.dataDir + QStringLiteral("/klog/kernel.log"),
                                    rig.dataDir + QStringLiteral("/klog/old/k.1"), rig.setup.runtimeLogPath})
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(QFile::setPermissions(rig.dataDir + QStringLiteral("/klog/old"),
                                      QFile::ReadOwner | QFile::ExeOwner));

        const QString at = plant.section(QLatin1Char(' '), 0, 0);
        const QString kind = plant.section(QLatin1Char(' '), 1, 1);
        const QString target = rig.root + QLatin1Char('/') + plant.section(QLatin1Char(' '), 2, 2);
        const QString path = at == QLatin1String("log") ? rig.setup.runtimeLogPath
                                                        : rig.dataDir + QLatin1Char('/') + at;
        if (kind == QLatin1String("->")) {
            QDir(path).removeRecursively();
            QFile::remove(path);
            QVERIFY(QFile::link(target, path));
        } else if (kind == QLatin1String("fifo")) {
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        } else if (kind == QLatin1String("sparse")) {
            QFile huge(path);
            QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(8) << 40));
        } else if (kind == QLatin1String("=")) {
            QVERIFY(::link(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0);
        } else if (kind == QLatin1String("moved")) {
            const QString &lib = rig.setup.containerRoot;
            QVERIFY(QFile::rename(lib, lib + QStringLiteral("-disk")));
            QVERIFY(QFile::link(lib + QStringLiteral("-disk"), lib));
        } else if (kind == QLatin1String("folders")) {
            rig.setup.maxStagedEntries = 20;
            for (int i = 0; i < 50; ++i)
                QVERIFY(QDir().mkpath(path + QStringLiteral("/%1").arg(i)));
        }
        if (!logged.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(logged));

        QCOMPARE(rig.collect(rig.run1), 0);
        QFile kernel(rig.run1 + QStringLiteral("/klog/kernel.log"));
        QVERIFY(kernel.open(QIODevice::ReadOnly));
        QCOMPARE(kernel.readAll(), QByteArray("kernel\n"));
        QCOMPARE(QFileInfo(kernel).ownerId(), rig.user.uid);
        QVERIFY(QFile::exists(rig.run1 + QStringLiteral("/klog/old/k.1")));
        if (kind == QLatin1String("folders"))
            QVERIFY(TestUtil::entries(rig.run1 + QStringLiteral("/tombstones")).size() < 20);
        if (!absent.isEmpty())
            QVERIFY2(!QFileInfo(rig.run1 + QLatin1Char('/') + absent).exists()
                         && !QFileInfo(rig.run1 + QLatin1Char('/') + absent).isSymLink(),
                     qPrintable(absent));
        if (absent != QLatin1String("dropbox"))
            QVERIFY(QFile::exists(rig.run1 + QStringLiteral("/dropbox/drop")));
        if (absent != QLatin1String("vexa.log"))
            QCOMPARE(QFileInfo(rig.run1 + QStringLiteral("/vexa.log")).ownerId(), rig.user.uid);
        // A link inside a source arrives as the link itself.
        if (at == QLatin1String("klog/secret"))
            QCOMPARE(QFileInfo(rig.run1 + QStringLiteral("/klog/secret")).symLinkTarget(), target);
        // Nothing of the secret folder arrives, in any form.
        QDirIterator it(rig.run1, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (!QFileInfo(file).isSymLink() && file.open(QIODevice::ReadOnly))
                QVERIFY2(!file.readAll().contains("SECRET"), qPrintable(file.fileName()));
        }
        QCOMPARE(TestUtil::entries(rig.setup.stagingRoot), QStringList());
    }

    void repeatedCallUpdatesOwnArchive()
    {
        Rig rig;
        QVERIFY(rig.ok);
        // The archive of an earlier run is a plain file and is used again.
        QVERIFY(writeFile(rig.run1 + QStringLiteral(".zip"), "old"));
        QCOMPARE(rig.collect(rig.run1), 0);
        QCOMPARE(rig.calls(), expectedSequence(rig, rig.run1, true, rig.setup.zipPath));
        // A hard link would make zip write to a file shared with others.
        rig.clearCalls();
        QVERIFY(::link(QFile::encodeName(rig.run1 + QStringLiteral(".zip")).constData(),
                       QFile::encodeName(rig.home + QStringLiteral("/hardlink")).constData())
                == 0);
        QCOMPARE(rig.collect(rig.run1), -1);
        QCOMPARE(rig.calls(), Calls());
    }

    void zipFallback()
    {
        Rig rig;
        QVERIFY(rig.ok);
        QVERIFY(QFile::remove(rig.setup.zipPath));
        QCOMPARE(rig.collect(rig.run1), 0);
        QCOMPARE(rig.calls(), expectedSequence(rig, rig.run1, true, rig.setup.zipFallbackPath));

        // With no zip at all the remaining step still runs.
        rig.clearCalls();
        QVERIFY(QFile::remove(rig.setup.zipFallbackPath));
        QCOMPARE(rig.collect(rig.run1), 0);
        Calls expected = expectedSequence(rig, rig.run1, true, rig.setup.zipFallbackPath);
        expected.removeAt(expected.size() - 2);
        QCOMPARE(rig.calls(), expected);
    }

    void runToolReportsOutcome()
    {
        const auto run = [](const QString &program, const QStringList &args) {
            ToolRun tool;
            tool.program = program;
            tool.args = args;
            return runTool(tool);
        };
        QCOMPARE(run(QStringLiteral("/bin/true"), {}), ToolEnd::Succeeded);
        QCOMPARE(run(QStringLiteral("/bin/false"), {}), ToolEnd::Failed);
        QCOMPARE(run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 3")}),
                 ToolEnd::Failed);
        QCOMPARE(run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("kill -9 $$")}),
                 ToolEnd::Failed);
        QCOMPARE(run(QStringLiteral("/nonexistent/tool"), {}), ToolEnd::Failed);
        // A tool that reads its input sees end-of-file instead of waiting.
        QCOMPARE(run(QStringLiteral("/bin/cat"), {}), ToolEnd::Succeeded);
        // Its output and errors go nowhere: writing them works, and the
        // descriptors are /dev/null, not ours.
        QCOMPARE(run(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("echo out && echo err >&2 && "
                                     "[ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && "
                                     "[ \"$(readlink /proc/$$/fd/2)\" = /dev/null ]")}),
                 ToolEnd::Succeeded);
    }

    void runToolPassesArgumentsVerbatim()
    {
        Rig rig;
        QVERIFY(rig.ok);
        const QStringList args = {QStringLiteral("a b"), QStringLiteral("*"), QStringLiteral("$HOME"),
                                  QStringLiteral("'q'"), QString(),           QStringLiteral("; touch x"),
                                  QStringLiteral("-")};
        ToolRun tool;
        tool.program = rig.setup.cpPath;
        tool.args = args;
        QCOMPARE(runTool(tool), ToolEnd::Succeeded);
        QCOMPARE(rig.calls(), Calls({QStringList {daemonIdField(), rig.setup.cpPath} + args}));
    }

    void toolsLeaveNothingBehind()
    {
        // A tool that leaves a detached grandchild, as a user could make hers
        // do: the daemon's walk ends it with the tool, without a unit (and
        // without changing the cgroup of this test).
        const struct passwd *entry = ::geteuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
        QVERIFY(entry);
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::WriteOther | QFile::ExeOther | QFile::ReadOther));
        const QString pidFile = dir.path() + QStringLiteral("/left");
        ToolContainer container(entry->pw_uid, nullptr);
        ToolRun tool;
        tool.program = QStringLiteral("/bin/sh");
        tool.args = QStringList {
            QStringLiteral("-c"),
            QStringLiteral("setsid sh -c 'echo $$ >%1.new; mv %1.new %1; exec sleep 600' &").arg(pidFile)};
        tool.switchUser = true;
        tool.uid = entry->pw_uid;
        tool.gid = entry->pw_gid;
        tool.container = &container;
        QCOMPARE(runTool(tool), ToolEnd::Succeeded);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pidFile), TestUtil::waitLimitMs);
        const pid_t left = pid_t(TestUtil::readFile(pidFile).trimmed().toInt());
        QVERIFY(left > 0 && ::kill(left, 0) == 0);
        container.endAll();
        QVERIFY(::kill(left, 0) != 0);
    }

    // A collection whose tools cannot be held (no unit of their own, or no
    // cap on their tasks) runs none of them and answers -1.
    void uncontainedCollectionIsRefused_data()
    {
        QTest::addColumn<bool>("unitMade");
        QTest::newRow("no unit for the tool") << false;
        QTest::newRow("no cap on its tasks") << true;
    }
    void uncontainedCollectionIsRefused()
    {
        QFETCH(bool, unitMade);
        Rig rig;
        QVERIFY(rig.ok);
        rig.scopes = unitMade ? uncappedUnit : noUnit;
        if (unitMade) {
            // The cap can only fail where raising the hard limit is refused
            // (not as root), and that limit stays lowered: in a child of
            // ours, as the user.
            const pid_t child = ::fork();
            if (child == 0) {
                const gid_t gid = rig.user.gid;
                if (::geteuid() == 0
                    && (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0
                        || ::setresuid(rig.user.uid, rig.user.uid, rig.user.uid) != 0))
                    ::_exit(2);
                const rlim_t own = rlim_t(ownTasks());
                const struct rlimit low = {own + 16, own + 16};
                ::setrlimit(RLIMIT_NPROC, &low);
                ::_exit(rig.collect(rig.run1) == -1 ? 0 : 1);
            }
            int status = -1;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        } else {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^tool refused: no unit")));
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QStringLiteral("^log collection refused: its tools cannot be")));
            QCOMPARE(rig.collect(rig.run1), -1);
        }
        QCOMPARE(rig.calls(), Calls());
    }

    // Another collection's entry is written and its reservation given back
    // while a reservation reads the free room: the entry must be counted in
    // one or the other, so that the quarter kept free is never overshot.
    void stagingShareCountsARacingRelease()
    {
        // 1,000 blocks, 400 free: the quarter kept free is 250.
        fakeRoom = {1000, 400};
        StagingRoom room;
        racingRoom = &room;
        StagingShare first(room, -1, readFakeRoom);
        StagingShare second(room, -1, readFakeRoom);
        QCOMPARE(first.reserve(-1, 100 * 4096), nullptr);
        // The first one's entry lands while the second reads.
        racingRelease = [&first]() {
            fakeRoom.free -= 100;
            first.release();
        };
        const char *const refused = second.reserve(-1, 100 * 4096);
        if (racingRelease) {
            // It could not go in between: it comes after.
            racingRelease();
            racingRelease = nullptr;
        }
        // 400 - 100 - 100 would leave less than 250 free.
        QCOMPARE(QByteArray(refused), QByteArray("too big"));
        QCOMPARE(fakeRoom.free, 300);
    }

private:
    static QByteArray tracerPidFile;

    // Tells the tracer the tool's pid and waits until it has seized it (or
    // could not), as a user's debugger could.
    static bool handToTracer(pid_t pid, uid_t, ToolScope *)
    {
        const QString file = QFile::decodeName(tracerPidFile);
        TestUtil::writeFile(file + QStringLiteral(".new"), QByteArray::number(pid));
        QFile::rename(file + QStringLiteral(".new"), file);
        QDeadlineTimer limit(TestUtil::waitLimitMs);
        while (!QFile::exists(file + QStringLiteral(".traced"))
               && !QFile::exists(file + QStringLiteral(".refused")) && !limit.hasExpired())
            QTest::qWait(5);
        return true;
    }
    static bool noUnit(pid_t, uid_t, ToolScope *) { return false; }

    struct FakeRoom
    {
        int blocks;
        int free;
    };
    static FakeRoom fakeRoom;
    static StagingRoom *racingRoom;
    static std::function<void()> racingRelease;
    // The reading of the free room, stale as soon as it is taken; a release
    // another collection has waiting runs now where the lock lets it.
    static int readFakeRoom(int, struct statvfs *space)
    {
        *space = {};
        space->f_frsize = 4096;
        space->f_blocks = fsblkcnt_t(fakeRoom.blocks);
        space->f_bavail = fsblkcnt_t(fakeRoom.free);
        if (racingRelease && racingRoom->lock.tryLock()) {
            racingRoom->lock.unlock();
            racingRelease();
            racingRelease = nullptr;
        }
        return 0;
    }
    static bool uncappedUnit(pid_t, uid_t, ToolScope *) { return true; }
    // Every task of our uid, as the kernel counts them for RLIMIT_NPROC.
    static int ownTasks()
    {
        int count = 0;
        for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QString status = QString::fromLatin1(
                TestUtil::readFile(QStringLiteral("/proc/%1/status").arg(name)));
            const QRegularExpressionMatch uid =
                QRegularExpression(QStringLiteral("\nUid:\t(\\d+)")).match(status);
            const QRegularExpressionMatch threads =
                QRegularExpression(QStringLiteral("\nThreads:\t(\\d+)")).match(status);
            if (uid.hasMatch() && threads.hasMatch() && uid.captured(1).toUInt() == ::geteuid())
                count += threads.captured(1).toInt();
        }
        return count;
    }
};

QByteArray TestLogCollection::tracerPidFile;
TestLogCollection::FakeRoom TestLogCollection::fakeRoom = {0, 0};
StagingRoom *TestLogCollection::racingRoom = nullptr;
std::function<void()> TestLogCollection::racingRelease;

QTEST_GUILESS_MAIN(TestLogCollection)
#include "tst_logcollection.moc"
