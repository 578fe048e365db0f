// Log collection through the real system bus: the real daemon runs the real
// cp, chmod, zip and chown for a real user made inside the sandbox.

#include "sandboxtest.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace SandboxTest;

namespace {

const QString userName = QStringLiteral("vexalogs");
const QString runtimeLog = QStringLiteral("/var/log/vexa.log");
const QString secretFile = QStringLiteral("/etc/vexa-test-secret");
const QString outsideDir = QStringLiteral("/var/lib/vexa-outside");

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions mode = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return mode == QFile::Permissions() || file.setPermissions(mode);
}

// Runs a command and returns its standard output; QVERIFY-able by exit code.
QByteArray run(const QString &program, const QStringList &args, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, args);
    process.waitForFinished(60000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

QStringList archiveNames(const QString &archive)
{
    QStringList names = QString::fromUtf8(run(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive}))
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    names.sort();
    return names;
}

int modeOf(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// Every entry below root with its type, mode and owner, links not followed.
QStringList snapshot(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat info;
        ::lstat(QFile::encodeName(path).constData(), &info);
        entries << QStringLiteral("%1 %2 %3:%4").arg(path).arg(info.st_mode, 0, 8).arg(info.st_uid).arg(info.st_gid);
    }
    entries.sort();
    return entries;
}

} // namespace

class TestE2eLogCollection : public QObject
{
    Q_OBJECT

    Daemon daemon;
    uid_t uid = 0;
    gid_t gid = 0;
    QString home;
    QString vexaLog;

    QString containerData(const QString &id) const
    {
        return QStringLiteral("/var/lib/vexa/vexa-%1-%2/data").arg(id, userName);
    }

    // The collection directory as the runtime's front end makes it: the
    // user's own.
    QString makeCollectionDir(const QString &name)
    {
        const QString dir = vexaLog + QLatin1Char('/') + name;
        if (!QDir().mkpath(dir) || ::chown(QFile::encodeName(dir).constData(), uid, gid) != 0)
            return QString();
        return dir;
    }

    Reply collect(const QString &name, const QString &id, const QString &logPath)
    {
        return call(settingsCaller, QStringLiteral("copyLogFiles"), {name, id, logPath});
    }

    void expectCollected(const QString &dir, const QStringList &names)
    {
        const QString archive = dir + QStringLiteral(".zip");
        QCOMPARE(archiveNames(archive), names);
        const QFileInfo info(archive);
        QCOMPARE(info.ownerId(), uint(uid));
        QCOMPARE(info.groupId(), uint(gid));
        // The collection directory and everything copied into it are 777.
        QCOMPARE(modeOf(dir), 0777);
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        int entries = 0;
        while (it.hasNext()) {
            const QString path = it.next();
            QVERIFY2(modeOf(path) == 0777, qPrintable(path));
            ++entries;
        }
        QVERIFY(entries >= names.size());
        // Nothing is logged by the collection itself.
        QCOMPARE(readDaemonLog(), QByteArray());
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        int status = -1;
        run(QStringLiteral("useradd"), {QStringLiteral("--create-home"), QStringLiteral("--user-group"), userName},
            &status);
        QCOMPARE(status, 0);
        const struct passwd *entry = ::getpwnam(userName.toLatin1().constData());
        QVERIFY(entry);
        uid = entry->pw_uid;
        gid = entry->pw_gid;
        QVERIFY(uid != 0 && gid != 0);
        home = QFile::decodeName(entry->pw_dir);
        vexaLog = home + QStringLiteral("/VexaLog");
        QVERIFY(!makeCollectionDir(QStringLiteral("run1")).isEmpty());

        // The full container, with logs readable by root only, as the
        // runtime leaves them.
        const QString data = containerData(QString::number(uid));
        const QFile::Permissions rootOnly = QFile::ReadOwner | QFile::WriteOwner;
        for (const char *sub : {"klog/old", "anr", "system/dropbox", "tombstones"})
            QVERIFY(QDir().mkpath(data + QLatin1Char('/') + QLatin1String(sub)));
        QVERIFY(writeFile(data + QStringLiteral("/klog/kernel.log"), "kernel\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/klog/old/kernel.1.log"), "older\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/anr/traces.txt"), "anr\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/system/dropbox/event@1.txt"), "drop\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/tombstones/tombstone_00"), "crash\n", rootOnly));
        // A container that lacks anr/ and tombstones/.
        const QString partial = containerData(QStringLiteral("4242"));
        QVERIFY(QDir().mkpath(partial + QStringLiteral("/klog")));
        QVERIFY(QDir().mkpath(partial + QStringLiteral("/system/dropbox")));
        QVERIFY(writeFile(partial + QStringLiteral("/klog/partial-kernel.log"), "k\n"));
        QVERIFY(writeFile(partial + QStringLiteral("/system/dropbox/partial-drop.txt"), "d\n"));

        QVERIFY(writeFile(runtimeLog, "runtime\n", rootOnly));
        QVERIFY(writeFile(secretFile, "TOPSECRET\n", rootOnly));
        QVERIFY(QDir().mkpath(outsideDir));
        QVERIFY(writeFile(outsideDir + QStringLiteral("/keep"), "x\n", rootOnly));
        QVERIFY(daemon.start());
    }

    void init()
    {
        if (!daemon.isRunning())
            QVERIFY(daemon.start());
        clearDaemonLog();
    }

    void collectsEverything()
    {
        const QString dir = vexaLog + QStringLiteral("/run1");
        const Reply reply = collect(userName, QString::number(uid), dir);
        QVERIFY2(!reply.isError(), qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("0"));
        expectCollected(dir, {QStringLiteral("event@1.txt"), QStringLiteral("kernel.1.log"),
                              QStringLiteral("kernel.log"), QStringLiteral("tombstone_00"),
                              QStringLiteral("traces.txt"), QStringLiteral("vexa.log")});
        QCOMPARE(run(QStringLiteral("unzip"), {QStringLiteral("-p"), dir + QStringLiteral(".zip"),
                                               QStringLiteral("kernel.log")}),
                 QByteArray("kernel\n"));
        // The copies stay, with their folders.
        QVERIFY(QFile::exists(dir + QStringLiteral("/klog/old/kernel.1.log")));
        QVERIFY(QFile::exists(dir + QStringLiteral("/dropbox/event@1.txt")));
        QVERIFY(QFile::exists(dir + QStringLiteral("/vexa.log")));
        // The sources are untouched.
        QCOMPARE(modeOf(containerData(QString::number(uid)) + QStringLiteral("/klog/kernel.log")), 0600);
        QCOMPARE(modeOf(runtimeLog), 0600);

        // A second run over the same directory updates the same archive.
        QCOMPARE(collect(userName, QString::number(uid), dir).value, QStringLiteral("0"));
        QCOMPARE(archiveNames(dir + QStringLiteral(".zip")).size(), 6);
    }

    void runtimeLogOnlyWhenPresent()
    {
        const QString dir = makeCollectionDir(QStringLiteral("run2"));
        QVERIFY(!dir.isEmpty());
        QVERIFY(QFile::rename(runtimeLog, runtimeLog + QStringLiteral(".away")));
        const Reply reply = collect(userName, QString::number(uid), dir);
        QVERIFY(QFile::rename(runtimeLog + QStringLiteral(".away"), runtimeLog));
        QCOMPARE(reply.value, QStringLiteral("0"));
        expectCollected(dir, {QStringLiteral("event@1.txt"), QStringLiteral("kernel.1.log"),
                              QStringLiteral("kernel.log"), QStringLiteral("tombstone_00"),
                              QStringLiteral("traces.txt")});
        QVERIFY(!QFile::exists(dir + QStringLiteral("/vexa.log")));
    }

    void containerLackingFolders()
    {
        const QString dir = makeCollectionDir(QStringLiteral("run3"));
        QVERIFY(!dir.isEmpty());
        QCOMPARE(collect(userName, QStringLiteral("4242"), dir).value, QStringLiteral("0"));
        expectCollected(dir, {QStringLiteral("partial-drop.txt"), QStringLiteral("partial-kernel.log"),
                              QStringLiteral("vexa.log")});
    }

    void linksInTheDirectoryAreNotFollowed()
    {
        // zip runs as root: a link the user leaves in the directory must not
        // bring a file the user cannot read into the user's archive.
        const QString dir = makeCollectionDir(QStringLiteral("run4"));
        QVERIFY(!dir.isEmpty());
        QVERIFY(QFile::link(secretFile, dir + QStringLiteral("/secret")));
        QCOMPARE(collect(userName, QString::number(uid), dir).value, QStringLiteral("0"));
        const QByteArray stored = run(QStringLiteral("unzip"), {QStringLiteral("-p"), dir + QStringLiteral(".zip"),
                                                               QStringLiteral("secret")});
        QCOMPARE(stored, secretFile.toUtf8()); // the link itself
        QCOMPARE(modeOf(secretFile), 0600);
        QVERIFY(archiveNames(dir + QStringLiteral(".zip")).contains(QStringLiteral("kernel.log")));
    }

    void refusalsChangeNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("logPath"); // "~" stands for the user's home
        QTest::addColumn<QString>("watched"); // a tree that must stay as it was

        const QString id = QStringLiteral("%uid");
        QTest::newRow("dot-dot") << userName << id << QStringLiteral("~/VexaLog/../../../etc") << QStringLiteral("/etc");
        QTest::newRow("symlink out") << userName << id << QStringLiteral("~/VexaLog/escape") << outsideDir;
        QTest::newRow("VexaLog itself") << userName << id << QStringLiteral("~/VexaLog/") << QStringLiteral("~");
        QTest::newRow("missing") << userName << id << QStringLiteral("~/VexaLog/nothere") << QStringLiteral("~");
        QTest::newRow("archive link") << userName << id << QStringLiteral("~/VexaLog/run5") << QStringLiteral("/etc");
        QTest::newRow("bad user name") << QStringLiteral("vexalogs:root") << id << QStringLiteral("~/VexaLog/run6")
                                       << QStringLiteral("~");
        QTest::newRow("path in user name") << QStringLiteral("../../../..") << id << QStringLiteral("~/VexaLog/run6")
                                           << QStringLiteral("~");
        QTest::newRow("bad user id") << userName << QStringLiteral("0/../..") << QStringLiteral("~/VexaLog/run6")
                                     << QStringLiteral("~");
    }
    void refusalsChangeNothing()
    {
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QString, logPath);
        QFETCH(QString, watched);
        const QString escape = vexaLog + QStringLiteral("/escape");
        if (!QFileInfo(escape).isSymLink())
            QVERIFY(QFile::link(outsideDir, escape));
        // run5 is refused for its planted archive link; run6 is acceptable
        // except for what the row gets wrong.
        QVERIFY(!makeCollectionDir(QStringLiteral("run5")).isEmpty());
        QVERIFY(!makeCollectionDir(QStringLiteral("run6")).isEmpty());
        const QString planted = vexaLog + QStringLiteral("/run5.zip");
        if (!QFileInfo(planted).isSymLink())
            QVERIFY(QFile::link(QStringLiteral("/etc/vexa-planted.zip"), planted));
        id.replace(QStringLiteral("%uid"), QString::number(uid));
        logPath.replace(QLatin1Char('~'), home);
        watched.replace(QLatin1Char('~'), home);

        const QStringList before = snapshot(watched);
        const int watchedMode = modeOf(watched);
        const Reply reply = collect(name, id, logPath);
        QVERIFY2(!reply.isError(), qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("-1"));
        QCOMPARE(snapshot(watched), before);
        QCOMPARE(modeOf(watched), watchedMode);
        QVERIFY(!QFileInfo::exists(QDir::cleanPath(watched) + QStringLiteral(".zip")));
        QVERIFY(!QFileInfo::exists(vexaLog + QStringLiteral(".zip")));
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    void cleanupTestCase() { daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eLogCollection)
#include "tst_e2e_logcollection.moc"
