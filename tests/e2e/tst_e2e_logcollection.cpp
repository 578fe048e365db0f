// Log collection through the real system bus: the real daemon runs the real
// cp, chmod, zip and chown for a real user made inside the sandbox.

#include "sandboxtest.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
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
const QString victimName = QStringLiteral("vexavictim");
const QString plantedArchive = QStringLiteral("/etc/vexa-planted.zip");

// Runs a command and returns its standard output; QVERIFY-able by exit code.
QByteArray run(const QString &program, const QStringList &args, int *exitCode = nullptr)
{
    const ProcessResult result = runProcess(program, args, waitLimitMs,
                                            QProcessEnvironment::systemEnvironment(),
                                            QProcess::ForwardedErrorChannel);
    if (exitCode)
        *exitCode = result.exitCode;
    return result.bytes;
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

// root and every entry below it with its type, mode, owner and content (a
// file's hash, a link's target), links not followed; "missing" when root is.
QStringList snapshot(const QString &root)
{
    QStringList paths = {root};
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    QStringList entries;
    for (const QString &path : std::as_const(paths)) {
        struct stat info;
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
            entries << path + QStringLiteral(" missing");
            continue;
        }
        QString content;
        if (S_ISLNK(info.st_mode)) {
            content = QFile::symLinkTarget(path);
        } else if (S_ISREG(info.st_mode)) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                content = QString::fromLatin1(
                    QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex());
        }
        entries << QStringLiteral("%1 %2 %3:%4 %5")
                       .arg(path)
                       .arg(info.st_mode, 0, 8)
                       .arg(info.st_uid)
                       .arg(info.st_gid)
                       .arg(content);
    }
    entries.sort();
    return entries;
}

} // namespace

class TestE2eLogCollection : public QObject
{
    Q_OBJECT

    Daemon m_daemon;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QString m_home;
    QString m_vexaLog;
    QString m_victimUid;
    QString m_victimHome;

    // Everything a hostile caller must not reach: root's files, another
    // user's folder and container, a place the archive must not appear.
    QStringList victims() const
    {
        QStringList state;
        for (const QString &path :
             {secretFile, outsideDir, m_victimHome,
              QStringLiteral("/var/lib/vexa/vexa-%1-%2").arg(m_victimUid, victimName), plantedArchive})
            state << snapshot(path);
        return state;
    }

    // A call from the permitted program, run by the unprivileged user.
    Reply collectAsUser(const QString &name, const QString &id, const QString &logPath)
    {
        return call(managerCaller, QStringLiteral("copyLogFiles"), {name, id, logPath}, asUser(userName));
    }

    QString containerData(const QString &id) const
    {
        return QStringLiteral("/var/lib/vexa/vexa-%1-%2/data").arg(id, userName);
    }

    // The collection directory as the runtime's front end makes it: the
    // user's own.
    QString makeCollectionDir(const QString &name)
    {
        const QString dir = m_vexaLog + QLatin1Char('/') + name;
        if (!QDir().mkpath(dir) || ::chown(QFile::encodeName(m_vexaLog).constData(), m_uid, m_gid) != 0
            || ::chown(QFile::encodeName(dir).constData(), m_uid, m_gid) != 0)
            return QString();
        return dir;
    }

    Reply collect(const QString &name, const QString &id, const QString &logPath)
    {
        return call(settingsCaller, QStringLiteral("copyLogFiles"), {name, id, logPath});
    }

    // notCollected: the sources missing, each of which the daemon logs.
    void expectCollected(const QString &dir, const QStringList &names, const QStringList &notCollected = {})
    {
        const QString archive = dir + QStringLiteral(".zip");
        QCOMPARE(archiveNames(archive), names);
        const QFileInfo info(archive);
        QCOMPARE(info.ownerId(), uint(m_uid));
        QCOMPARE(info.groupId(), uint(m_gid));
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
        const QList<QByteArray> lines = readDaemonLog().split('\n');
        QCOMPARE(lines.size(), notCollected.size() + 1);
        for (int i = 0; i < notCollected.size(); ++i)
            QVERIFY2(lines.at(i).contains("log source not collected: \"" + notCollected.at(i).toUtf8() + '"'),
                     lines.at(i).constData());
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        int status = -1;
        run(QStringLiteral("useradd"),
            {QStringLiteral("--create-home"), QStringLiteral("--user-group"), userName}, &status);
        QCOMPARE(status, 0);
        const struct passwd *entry = ::getpwnam(userName.toLatin1().constData());
        QVERIFY(entry);
        m_uid = entry->pw_uid;
        m_gid = entry->pw_gid;
        QVERIFY(m_uid != 0 && m_gid != 0);
        m_home = QFile::decodeName(entry->pw_dir);
        m_vexaLog = m_home + QStringLiteral("/VexaLog");
        QVERIFY(!makeCollectionDir(QStringLiteral("run1")).isEmpty());

        // The full container, with logs readable by root only, as the
        // runtime leaves them.
        const QString data = containerData(QString::number(m_uid));
        const QFile::Permissions rootOnly = QFile::ReadOwner | QFile::WriteOwner;
        for (const char *sub : {"klog/old", "anr", "system/dropbox", "tombstones"})
            QVERIFY(QDir().mkpath(data + QLatin1Char('/') + QLatin1String(sub)));
        QVERIFY(writeFile(data + QStringLiteral("/klog/kernel.log"), "kernel\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/klog/old/kernel.1.log"), "older\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/anr/traces.txt"), "anr\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/system/dropbox/event@1.txt"), "drop\n", rootOnly));
        QVERIFY(writeFile(data + QStringLiteral("/tombstones/tombstone_00"), "crash\n", rootOnly));

        QVERIFY(writeFile(runtimeLog, "runtime\n", rootOnly));
        QVERIFY(writeFile(secretFile, "TOPSECRET\n", rootOnly));
        QVERIFY(QDir().mkpath(outsideDir));
        QVERIFY(writeFile(outsideDir + QStringLiteral("/keep"), "x\n", rootOnly));

        // Another user, with a collection folder and container logs of its own.
        run(QStringLiteral("useradd"),
            {QStringLiteral("--create-home"), QStringLiteral("--user-group"), victimName}, &status);
        QCOMPARE(status, 0);
        const struct passwd *victim = ::getpwnam(victimName.toLatin1().constData());
        QVERIFY(victim);
        m_victimUid = QString::number(victim->pw_uid);
        m_victimHome = QFile::decodeName(victim->pw_dir);
        const QString victimLogs = m_victimHome + QStringLiteral("/VexaLog/run");
        QVERIFY(QDir().mkpath(victimLogs));
        QVERIFY(writeFile(victimLogs + QStringLiteral("/notes"), "mine\n", rootOnly));
        QCOMPARE(run(QStringLiteral("chown"),
                     {QStringLiteral("-R"), victimName + QLatin1Char(':') + victimName,
                      m_victimHome + QStringLiteral("/VexaLog")}),
                 QByteArray());
        QVERIFY(
            QDir().mkpath(QStringLiteral("/var/lib/vexa/vexa-%1-%2/data/klog").arg(m_victimUid, victimName)));
        QVERIFY(writeFile(
            QStringLiteral("/var/lib/vexa/vexa-%1-%2/data/klog/victim.log").arg(m_victimUid, victimName),
            "victim\n", rootOnly));
        QVERIFY(m_daemon.start());
    }

    void init()
    {
        if (!m_daemon.isRunning())
            QVERIFY(m_daemon.start());
        clearDaemonLog();
    }

    void collectsEverything()
    {
        const QString dir = m_vexaLog + QStringLiteral("/run1");
        const Reply reply = collect(userName, QString::number(m_uid), dir);
        QVERIFY2(!reply.isError(), qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("0"));
        expectCollected(dir,
                        {QStringLiteral("event@1.txt"), QStringLiteral("kernel.1.log"),
                         QStringLiteral("kernel.log"), QStringLiteral("tombstone_00"),
                         QStringLiteral("traces.txt"), QStringLiteral("vexa.log")});
        QCOMPARE(run(QStringLiteral("unzip"),
                     {QStringLiteral("-p"), dir + QStringLiteral(".zip"), QStringLiteral("kernel.log")}),
                 QByteArray("kernel\n"));
        // The copies stay, with their folders.
        QVERIFY(QFile::exists(dir + QStringLiteral("/klog/old/kernel.1.log")));
        QVERIFY(QFile::exists(dir + QStringLiteral("/dropbox/event@1.txt")));
        QVERIFY(QFile::exists(dir + QStringLiteral("/vexa.log")));
        // The sources are untouched.
        QCOMPARE(modeOf(containerData(QString::number(m_uid)) + QStringLiteral("/klog/kernel.log")), 0600);
        QCOMPARE(modeOf(runtimeLog), 0600);

        // A second run over the same directory updates the same archive.
        QCOMPARE(collect(userName, QString::number(m_uid), dir).value, QStringLiteral("0"));
        QCOMPARE(archiveNames(dir + QStringLiteral(".zip")).size(), 6);
    }

    void runtimeLogOnlyWhenPresent()
    {
        const QString dir = makeCollectionDir(QStringLiteral("run2"));
        QVERIFY(!dir.isEmpty());
        QVERIFY(QFile::rename(runtimeLog, runtimeLog + QStringLiteral(".away")));
        const Reply reply = collect(userName, QString::number(m_uid), dir);
        QVERIFY(QFile::rename(runtimeLog + QStringLiteral(".away"), runtimeLog));
        QCOMPARE(reply.value, QStringLiteral("0"));
        expectCollected(dir,
                        {QStringLiteral("event@1.txt"), QStringLiteral("kernel.1.log"),
                         QStringLiteral("kernel.log"), QStringLiteral("tombstone_00"),
                         QStringLiteral("traces.txt")},
                        {runtimeLog});
        QVERIFY(!QFile::exists(dir + QStringLiteral("/vexa.log")));
    }

    void containerLackingFolders()
    {
        const QString dir = makeCollectionDir(QStringLiteral("run3"));
        QVERIFY(!dir.isEmpty());
        const QString data = containerData(QString::number(m_uid));
        const QStringList lacking = {QStringLiteral("/anr"), QStringLiteral("/tombstones")};
        for (const QString &sub : lacking)
            QVERIFY(QFile::rename(data + sub, data + sub + QStringLiteral(".away")));
        const Reply reply = collect(userName, QString::number(m_uid), dir);
        for (const QString &sub : lacking)
            QVERIFY(QFile::rename(data + sub + QStringLiteral(".away"), data + sub));
        QCOMPARE(reply.value, QStringLiteral("0"));
        expectCollected(dir,
                        {QStringLiteral("event@1.txt"), QStringLiteral("kernel.1.log"),
                         QStringLiteral("kernel.log"), QStringLiteral("vexa.log")},
                        {data + lacking.at(0), data + lacking.at(1)});
    }

    void directoryServiceName()
    {
        // Names as a directory service hands them out; chown gets name:name.
        const QString name = QStringLiteral("vexa@corp.example");
        int status = -1;
        run(QStringLiteral("useradd"),
            {QStringLiteral("--badname"), QStringLiteral("--create-home"), QStringLiteral("--user-group"),
             name},
            &status);
        QCOMPARE(status, 0);
        const struct passwd *entry = ::getpwnam(name.toUtf8().constData());
        QVERIFY(entry);
        const QString dir = QFile::decodeName(entry->pw_dir) + QStringLiteral("/VexaLog/run");
        QVERIFY(QDir().mkpath(dir));
        QCOMPARE(run(QStringLiteral("chown"),
                     {QStringLiteral("-R"), name + QLatin1Char(':') + name,
                      QFile::decodeName(entry->pw_dir) + QStringLiteral("/VexaLog")}),
                 QByteArray());
        const Reply reply = call(managerCaller, QStringLiteral("copyLogFiles"),
                                 {name, QString::number(entry->pw_uid), dir}, asUser(name));
        QCOMPARE(reply.value, QStringLiteral("0"));
        QCOMPARE(archiveNames(dir + QStringLiteral(".zip")), QStringList {QStringLiteral("vexa.log")});
        QCOMPARE(QFileInfo(dir + QStringLiteral(".zip")).ownerId(), uint(entry->pw_uid));
    }

    void linksInTheDirectoryAreNotFollowed()
    {
        // zip runs as root: a link the user leaves in the directory must not
        // bring a file the user cannot read into the user's archive.
        const QString dir = makeCollectionDir(QStringLiteral("run4"));
        QVERIFY(!dir.isEmpty());
        QVERIFY(QFile::link(secretFile, dir + QStringLiteral("/secret")));
        QCOMPARE(collect(userName, QString::number(m_uid), dir).value, QStringLiteral("0"));
        const QByteArray stored = run(
            QStringLiteral("unzip"),
            {QStringLiteral("-p"), dir + QStringLiteral(".zip"), QStringLiteral("secret")});
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
        QTest::newRow("dot-dot") << userName << id << QStringLiteral("~/VexaLog/../../../etc")
                                 << QStringLiteral("/etc");
        QTest::newRow("symlink out") << userName << id << QStringLiteral("~/VexaLog/escape") << outsideDir;
        QTest::newRow("VexaLog itself")
            << userName << id << QStringLiteral("~/VexaLog/") << QStringLiteral("~");
        QTest::newRow("missing") << userName << id << QStringLiteral("~/VexaLog/nothere")
                                 << QStringLiteral("~");
        QTest::newRow("archive link")
            << userName << id << QStringLiteral("~/VexaLog/run5") << QStringLiteral("/etc");
        QTest::newRow("bad user name") << QStringLiteral("vexalogs:root") << id
                                       << QStringLiteral("~/VexaLog/run6") << QStringLiteral("~");
        QTest::newRow("path in user name")
            << QStringLiteral("../../../..") << id << QStringLiteral("~/VexaLog/run6") << QStringLiteral("~");
        QTest::newRow("bad user id") << userName << QStringLiteral("0/../..")
                                     << QStringLiteral("~/VexaLog/run6") << QStringLiteral("~");
    }
    void refusalsChangeNothing()
    {
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QString, logPath);
        QFETCH(QString, watched);
        const QString escape = m_vexaLog + QStringLiteral("/escape");
        if (!QFileInfo(escape).isSymLink())
            QVERIFY(QFile::link(outsideDir, escape));
        // run5 is refused for its planted archive link; run6 is acceptable
        // except for what the row gets wrong.
        QVERIFY(!makeCollectionDir(QStringLiteral("run5")).isEmpty());
        QVERIFY(!makeCollectionDir(QStringLiteral("run6")).isEmpty());
        const QString planted = m_vexaLog + QStringLiteral("/run5.zip");
        if (!QFileInfo(planted).isSymLink())
            QVERIFY(QFile::link(QStringLiteral("/etc/vexa-planted.zip"), planted));
        id.replace(QStringLiteral("%uid"), QString::number(m_uid));
        logPath.replace(QLatin1Char('~'), m_home);
        watched.replace(QLatin1Char('~'), m_home);

        const QStringList before = snapshot(watched);
        const int watchedMode = modeOf(watched);
        const Reply reply = collect(name, id, logPath);
        QVERIFY2(!reply.isError(), qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("-1"));
        QCOMPARE(snapshot(watched), before);
        QCOMPARE(modeOf(watched), watchedMode);
        QVERIFY(!QFileInfo::exists(QDir::cleanPath(watched) + QStringLiteral(".zip")));
        QVERIFY(!QFileInfo::exists(m_vexaLog + QStringLiteral(".zip")));
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    void attacksChangeNoVictim_data()
    {
        QTest::addColumn<QString>("name"); // "%victim" is the other user
        QTest::addColumn<QString>("logPath"); // "~" is the attacker's home, "%victim" the other's
        QTest::addColumn<QString>("plant"); // what the attacker sets up, see below
        QTest::addColumn<QString>("expected"); // the reply; empty for any

        QTest::newRow("another user's logs")
            << victimName << QStringLiteral("~/VexaLog/atk1") << QString() << QStringLiteral("-1");
        QTest::newRow("another user's folder")
            << userName << QStringLiteral("%victim/VexaLog/run") << QString() << QString();
        // vexa.log -> a root file, klog -> a root folder, at names the copy
        // writes.
        QTest::newRow("planted links")
            << userName << QStringLiteral("~/VexaLog/atk2") << QStringLiteral("links") << QStringLiteral("0");
        // The folder exchanged with a link to a root folder, and the archive
        // with a link to a new root file, over and over during the calls.
        QTest::newRow("folder swapped for a link")
            << userName << QStringLiteral("~/VexaLog/atk3") << QStringLiteral("swap folder") << QString();
        QTest::newRow("archive swapped for a link")
            << userName << QStringLiteral("~/VexaLog/atk4") << QStringLiteral("swap archive") << QString();
    }
    void attacksChangeNoVictim()
    {
        QFETCH(QString, name);
        QFETCH(QString, logPath);
        QFETCH(QString, plant);
        QFETCH(QString, expected);
        logPath.replace(QLatin1Char('~'), m_home).replace(QStringLiteral("%victim"), m_victimHome);
        const QString id = name == victimName ? m_victimUid : QString::number(m_uid);
        if (logPath.startsWith(m_home))
            QVERIFY(!makeCollectionDir(QFileInfo(logPath).fileName()).isEmpty());
        const QStringList user = asUser(userName);
        auto asAttacker = [&](const QString &program, const QStringList &args) {
            int status = -1;
            run(user.first(), user.mid(1) + QStringList {program} + args, &status);
            return status == 0;
        };
        QString swapA;
        QString swapB;
        if (plant == QLatin1String("links")) {
            QVERIFY(asAttacker(QStringLiteral("ln"),
                               {QStringLiteral("-s"), secretFile, logPath + QStringLiteral("/vexa.log")}));
            QVERIFY(asAttacker(QStringLiteral("ln"),
                               {QStringLiteral("-s"), outsideDir, logPath + QStringLiteral("/klog")}));
        } else if (plant == QLatin1String("swap folder")) {
            swapA = logPath;
            swapB = logPath + QStringLiteral("-decoy");
            QVERIFY(asAttacker(QStringLiteral("ln"), {QStringLiteral("-s"), outsideDir, swapB}));
        } else if (plant == QLatin1String("swap archive")) {
            swapA = logPath + QStringLiteral(".zip");
            swapB = logPath + QStringLiteral("-decoy.zip");
            QVERIFY(asAttacker(QStringLiteral("touch"), {swapA}));
            QVERIFY(asAttacker(QStringLiteral("ln"), {QStringLiteral("-s"), plantedArchive, swapB}));
        }
        const QStringList before = victims();

        QStringList replies;
        if (swapA.isEmpty()) {
            const Reply reply = collectAsUser(name, id, logPath);
            QVERIFY2(!reply.isError(), qPrintable(reply.output));
            replies << reply.value;
        } else {
            const QString swapper = stateDir() + QStringLiteral("/vexa-swap");
            if (!QFile::exists(swapper))
                QVERIFY(QFile::copy(
                    qEnvironmentVariable("VEXA_BUILD_DIR") + QStringLiteral("/tools/vexa-swap"), swapper));
            QFile batch(stateDir() + QStringLiteral("/attack-batch"));
            QVERIFY(batch.open(QIODevice::WriteOnly));
            const QByteArray line = QJsonDocument(
                                        QJsonArray {QStringLiteral("copyLogFiles"), name, id, logPath})
                                        .toJson(QJsonDocument::Compact);
            for (int i = 0; i < 300; ++i)
                batch.write(line + '\n');
            batch.close();
            QProcess swap;
            swap.setProcessChannelMode(QProcess::ForwardedChannels);
            swap.start(user.first(), user.mid(1) + QStringList {swapper, swapA, swapB});
            QVERIFY(swap.waitForStarted(waitLimitMs));
            const QByteArray output = run(
                user.first(),
                user.mid(1) + QStringList {managerCaller, QStringLiteral("--batch"), batch.fileName()});
            swap.kill();
            swap.waitForFinished(waitLimitMs);
            replies = QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            QCOMPARE(replies.size(), 300);
            // The race was on: some calls met the folder, some the link.
            QVERIFY2(replies.contains(QStringLiteral("0")), qPrintable(replies.join(QLatin1Char(' '))));
        }
        for (const QString &reply : std::as_const(replies)) {
            QVERIFY2(reply == QLatin1String("0") || reply == QLatin1String("-1"), qPrintable(reply));
            if (!expected.isEmpty())
                QCOMPARE(reply, expected);
        }
        QCOMPARE(victims(), before);
        if (name == victimName)
            QCOMPARE(QDir(logPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    // A user's collection whose cp is held: it blocks on a FIFO at a name
    // the copy writes, and is then stopped by the user.
    QString startHeldCollection(const QString &name, QProcess *collection)
    {
        const QString dir = makeCollectionDir(name);
        const QString cp = dir.isEmpty()
            ? QString()
            : SandboxTest::startHeldCollection(managerCaller, userName, dir, collection);
        const QStringList user = asUser(userName);
        if (cp.isEmpty()
            || !run(user.first(),
                    user.mid(1) + QStringList {QStringLiteral("kill"), QStringLiteral("-STOP"), cp})
                    .isEmpty())
            return QString();
        return cp;
    }

    void heldToolStallsOnlyItsUser()
    {
        // Meanwhile the daemon answers other calls and other users'
        // collections; one more collection of the user's waits for its turn,
        // a further one is refused at once; all end once the tool goes on.
        QProcess collection;
        const QString cp = startHeldCollection(QStringLiteral("atk5"), &collection);
        QVERIFY(!cp.isEmpty());
        const QString fifo = m_vexaLog + QStringLiteral("/atk5/vexa.log");
        const Reply other = call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")});
        QCOMPARE(other.value, QStringLiteral("false"));
        const QString victimDir = m_victimHome + QStringLiteral("/VexaLog/own");
        QVERIFY(QDir().mkpath(victimDir));
        QCOMPARE(run(QStringLiteral("chown"), {victimName + QLatin1Char(':') + victimName, victimDir}),
                 QByteArray());
        const Reply victims = call(managerCaller, QStringLiteral("copyLogFiles"),
                                   {victimName, m_victimUid, victimDir}, asUser(victimName));
        QCOMPARE(victims.value, QStringLiteral("0"));
        QCOMPARE(archiveNames(victimDir + QStringLiteral(".zip")),
                 QStringList({QStringLiteral("vexa.log"), QStringLiteral("victim.log")}));
        QCOMPARE(collection.state(), QProcess::Running);
        const QStringList before = this->victims();

        const QString nextDir = makeCollectionDir(QStringLiteral("atk6"));
        QVERIFY(!nextDir.isEmpty());
        const QStringList user = asUser(userName);
        QProcess next;
        next.start(user.first(),
                   user.mid(1)
                       + QStringList {managerCaller, QStringLiteral("copyLogFiles"), userName,
                                      QString::number(m_uid), nextDir});
        QVERIFY(!next.waitForFinished(2000));
        QVERIFY(!QFile::exists(nextDir + QStringLiteral(".zip")));
        QCOMPARE(
            collectAsUser(userName, QString::number(m_uid), makeCollectionDir(QStringLiteral("atk7"))).value,
            QStringLiteral("-1"));
        QCOMPARE(next.state(), QProcess::Running);

        QCOMPARE(run(QStringLiteral("kill"), {QStringLiteral("-CONT"), cp}), QByteArray());
        QFile reader(fifo);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        QCOMPARE(reader.readAll(), QByteArray("runtime\n"));
        QVERIFY(collection.waitForFinished(waitLimitMs));
        QCOMPARE(collection.readAllStandardOutput(), QByteArray("0\n"));
        QVERIFY(next.waitForFinished(waitLimitMs));
        QCOMPARE(next.readAllStandardOutput(), QByteArray("0\n"));
        QVERIFY(QFile::exists(nextDir + QStringLiteral(".zip")));
        QCOMPARE(this->victims(), before);
    }

    // quilt under a user's held collection changes nothing for anyone: the
    // daemon goes on serving every call and taking other users'
    // collections, and ends (status 0, quilt unanswered) once the held one
    // has answered in full. What was staged is gone with it.
    void quitWaitsForRunningCollections()
    {
        QProcess collection;
        const QString cp = startHeldCollection(QStringLiteral("atk8"), &collection);
        QVERIFY(!cp.isEmpty());
        QProcess quit;
        quit.start(settingsCaller, {QStringLiteral("quilt")});
        QVERIFY(quit.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readDaemonLog().contains("quilt: ending once 1 running log collections"),
                                 waitLimitMs);
        for (const QString &late :
             {QStringLiteral("late"), QStringLiteral("later"), QStringLiteral("last")}) {
            const QString victimDir = m_victimHome + QStringLiteral("/VexaLog/") + late;
            QVERIFY(QDir().mkpath(victimDir));
            QCOMPARE(run(QStringLiteral("chown"), {victimName + QLatin1Char(':') + victimName, victimDir}),
                     QByteArray());
            QCOMPARE(call(managerCaller, QStringLiteral("copyLogFiles"), {victimName, m_victimUid, victimDir},
                          asUser(victimName))
                         .value,
                     QStringLiteral("0"));
            QVERIFY(QFile::exists(victimDir + QStringLiteral(".zip")));
        }
        QCOMPARE(call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}).value,
                 QStringLiteral("false"));
        QVERIFY(m_daemon.isRunning());
        QCOMPARE(collection.state(), QProcess::Running);

        QCOMPARE(run(QStringLiteral("kill"), {QStringLiteral("-CONT"), cp}), QByteArray());
        QFile reader(m_vexaLog + QStringLiteral("/atk8/vexa.log"));
        QVERIFY(reader.open(QIODevice::ReadOnly) && !reader.readAll().isEmpty());
        QVERIFY(collection.waitForFinished(waitLimitMs));
        QCOMPARE(collection.readAllStandardOutput(), QByteArray("0\n"));
        QVERIFY(archiveNames(m_vexaLog + QStringLiteral("/atk8.zip")).contains(QStringLiteral("kernel.log")));
        QVERIFY(m_daemon.waitForExit(waitLimitMs));
        QCOMPARE(m_daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_daemon.exitCode(), 0);
        QVERIFY(quit.waitForFinished(waitLimitMs));
        QCOMPARE(entries(QStringLiteral("/run/tarvo-vexa-settings-daemon")), QStringList());
    }

    // The user takes over her own held cp (a tracer may: it is her process)
    // and has it start a detached process that writes to the tool's output.
    // Nothing of it outlives the collection, and nothing reaches the
    // daemon's own output.
    void toolProcessesEndWithTheirCollection()
    {
        QProcess collection;
        const QString cp = startHeldCollection(QStringLiteral("atk9"), &collection);
        QVERIFY(!cp.isEmpty());
        const QByteArray mark = "<0>written by a process of the user, test " + QByteArray::number(::getpid());
        // Held by the FIFO alone from here: a stop would catch the tracer's call.
        QCOMPARE(run(QStringLiteral("kill"), {QStringLiteral("-CONT"), cp}), QByteArray());
        const QByteArray injected = leaveDetachedProcess(userName, cp, mark);
        QTRY_VERIFY2_WITH_TIMEOUT(!userProcess(QStringLiteral("sleep"), m_uid).isEmpty(),
                                  injected.constData(), waitLimitMs);
        QCOMPARE(run(QStringLiteral("kill"), {QStringLiteral("-CONT"), cp}), QByteArray());
        QFile reader(m_vexaLog + QStringLiteral("/atk9/vexa.log"));
        QVERIFY(reader.open(QIODevice::ReadOnly) && !reader.readAll().isEmpty());
        QVERIFY(collection.waitForFinished(waitLimitMs));
        QCOMPARE(collection.readAllStandardOutput(), QByteArray("0\n"));
        QCOMPARE(userProcess(QStringLiteral("sleep"), m_uid), QString());
        QVERIFY(!readFile(stateDir() + QStringLiteral("/daemon.out")).contains(mark));
    }

    // One user's held collection with a large log staged takes at most her
    // share of the staging room: another user's collection still gets all
    // its sources.
    void stagingRoomIsShared()
    {
        const QString staging = QStringLiteral("/run/tarvo-vexa-settings-daemon");
        QCOMPARE(run(QStringLiteral("mount"),
                     {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                      QStringLiteral("size=64m,mode=0700"), QStringLiteral("vexa-staging"), staging}),
                 QByteArray());
        const QString big = containerData(QString::number(m_uid)) + QStringLiteral("/klog/big.log");
        const QString victimBig =
            QStringLiteral("/var/lib/vexa/vexa-%1-%2/data/klog/big.log").arg(m_victimUid, victimName);
        QVERIFY(writeFile(big, QByteArray(40 << 20, 'a')));
        QVERIFY(writeFile(victimBig, QByteArray(9 << 20, 'b')));
        QProcess collection;
        const QString cp = startHeldCollection(QStringLiteral("atk10"), &collection);
        const QString victimDir = m_victimHome + QStringLiteral("/VexaLog/shared");
        QVERIFY(QDir().mkpath(victimDir));
        run(QStringLiteral("chown"), {victimName + QLatin1Char(':') + victimName, victimDir});
        const Reply victims = call(managerCaller, QStringLiteral("copyLogFiles"),
                                   {victimName, m_victimUid, victimDir}, asUser(victimName));
        if (!cp.isEmpty())
            run(QStringLiteral("kill"), {QStringLiteral("-CONT"), cp});
        QFile reader(m_vexaLog + QStringLiteral("/atk10/vexa.log"));
        const bool read = reader.open(QIODevice::ReadOnly) && !reader.readAll().isEmpty();
        const bool ended = collection.waitForFinished(waitLimitMs);
        QFile::remove(big);
        QFile::remove(victimBig);
        run(QStringLiteral("umount"), {staging});
        QVERIFY(!cp.isEmpty() && read && ended);
        QCOMPARE(victims.value, QStringLiteral("0"));
        QCOMPARE(archiveNames(victimDir + QStringLiteral(".zip")),
                 QStringList(
                     {QStringLiteral("big.log"), QStringLiteral("vexa.log"), QStringLiteral("victim.log")}));
        QVERIFY(readDaemonLog().contains("big.log\" over this collection's share of the staging room"));
    }

    // While the user's collection is held, the same user's oversized calls
    // (each logPath 8 MB, over PATH_MAX) are refused at once, not queued with
    // their messages, and another caller is answered meanwhile.
    void oversizedCallsAreRefusedWhileACollectionIsHeld()
    {
        QProcess collection;
        const QString cp = startHeldCollection(QStringLiteral("held"), &collection);
        QVERIFY(!cp.isEmpty());
        const QString dir = m_vexaLog + QStringLiteral("/held");
        const QStringList user = asUser(userName);

        const QString batch = m_vexaLog + QStringLiteral("/oversized.jsonl");
        const QByteArray line =
            QJsonDocument(QJsonArray {QStringLiteral("copyLogFiles"), userName, QString::number(m_uid),
                                      dir + QLatin1Char('/') + QString(8 << 20, QLatin1Char('a'))})
                .toJson(QJsonDocument::Compact)
            + '\n';
        QVERIFY(writeFile(batch, line + line + line));
        QProcess oversized;
        oversized.start(user.first(),
                        user.mid(1) + QStringList {managerCaller, QStringLiteral("--batch"), batch});
        const Reply other = call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")});
        QCOMPARE(other.value, QStringLiteral("false"));
        QVERIFY(oversized.waitForFinished(waitLimitMs));
        QCOMPARE(oversized.readAllStandardOutput(), QByteArray("-1\n-1\n-1\n"));
        QCOMPARE(collection.state(), QProcess::Running);
        QFile::remove(batch);
        QCOMPARE(run(QStringLiteral("kill"), {QStringLiteral("-CONT"), cp}), QByteArray());
        QFile reader(dir + QStringLiteral("/vexa.log"));
        QVERIFY(reader.open(QIODevice::ReadOnly) && !reader.readAll().isEmpty());
        QVERIFY(collection.waitForFinished(waitLimitMs));
    }

    void cleanupTestCase() { m_daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eLogCollection)
#include "tst_e2e_logcollection.moc"
