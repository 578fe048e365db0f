// Log collection with stand-in tools that record how they were called, so the
// exact command sequence is visible and refusals can be shown to run nothing.
// The real tools are exercised end to end in tst_e2e_logcollection.

#include "logcollection.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

using Calls = QList<QStringList>;

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A scratch tree: stand-in tools, a container data directory, the runtime
// log and alice's home with a collection directory and some traps.
class Rig
{
public:
    Rig()
    {
        root = canonical(tmp.path());
        home = root + QStringLiteral("/home/alice");
        run1 = home + QStringLiteral("/VexaLog/run1");
        recordFile = root + QStringLiteral("/record");

        const QString bin = root + QStringLiteral("/bin");
        QDir().mkpath(bin);
        QDir().mkpath(root + QStringLiteral("/usr/bin"));
        const QString tool = QFINDTESTDATA("recording-tool.sh");
        setup.cpPath = bin + QStringLiteral("/cp");
        setup.chmodPath = bin + QStringLiteral("/chmod");
        setup.zipPath = bin + QStringLiteral("/zip");
        setup.zipFallbackPath = root + QStringLiteral("/usr/bin/zip");
        setup.chownPath = bin + QStringLiteral("/chown");
        for (const QString &path : {setup.cpPath, setup.chmodPath, setup.zipPath, setup.zipFallbackPath,
                                    setup.chownPath}) {
            ok = ok && QFile::copy(tool, path)
                && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        setup.containerDataPattern = root + QStringLiteral("/lib/vexa-%1-%2/data");
        setup.runtimeLogPath = root + QStringLiteral("/log/vexa.log");
        QDir().mkpath(root + QStringLiteral("/lib/vexa-1000-alice/data/klog"));
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
            && QFile::link(home + QStringLiteral("/outside/target.zip"), home + QStringLiteral("/VexaLog/run2.zip"));

        qputenv("VEXA_RECORD_FILE", QFile::encodeName(recordFile));
        qunsetenv("VEXA_RECORD_EXIT");
    }

    // Every call of a stand-in tool, as program followed by its arguments.
    Calls calls() const
    {
        QFile file(recordFile);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> fields = file.readAll().split('\0');
        fields.removeLast(); // after the last terminator
        Calls result;
        while (!fields.isEmpty()) {
            const int count = fields.takeFirst().toInt();
            QStringList call;
            for (int i = 0; i <= count && !fields.isEmpty(); ++i)
                call << QString::fromLocal8Bit(fields.takeFirst());
            result << call;
        }
        return result;
    }

    // Every entry of the tree with its type and mode, links not followed.
    QStringList snapshot() const
    {
        QStringList entries;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            entries << QStringLiteral("%1 %2 %3").arg(info.filePath(), info.isSymLink() ? info.symLinkTarget() : QString())
                           .arg(int(info.permissions()));
        }
        entries.sort();
        return entries;
    }

    QTemporaryDir tmp;
    QString root;
    QString home;
    QString run1;
    QString recordFile;
    LogCollectionSetup setup;
    bool ok = true;
};

Calls expectedSequence(const Rig &rig, const QString &dir, bool withRuntimeLog, const QString &zip)
{
    const QString data = rig.root + QStringLiteral("/lib/vexa-1000-alice/data");
    const QString cp = rig.setup.cpPath;
    Calls calls = {
        {cp, QStringLiteral("-a"), data + QStringLiteral("/klog/"), dir},
        {cp, QStringLiteral("-a"), data + QStringLiteral("/anr/"), dir},
        {cp, QStringLiteral("-a"), data + QStringLiteral("/system/dropbox/"), dir},
        {cp, QStringLiteral("-a"), data + QStringLiteral("/tombstones/"), dir},
    };
    if (withRuntimeLog)
        calls << QStringList{cp, QStringLiteral("-a"), rig.setup.runtimeLogPath, dir};
    calls << QStringList{rig.setup.chmodPath, QStringLiteral("777"), QStringLiteral("-R"), dir};
    calls << QStringList{zip, QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-j"),
                         QStringLiteral("-y"), dir + QStringLiteral(".zip"), dir};
    calls << QStringList{rig.setup.chownPath, QStringLiteral("-hR"), QStringLiteral("alice:alice"),
                         dir + QStringLiteral(".zip")};
    return calls;
}

} // namespace

class TestLogCollection : public QObject
{
    Q_OBJECT

private slots:
    void refusalsRunAndCreateNothing_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("userid");
        QTest::addColumn<QString>("logPath"); // "~" stands for alice's home

        const QString alice = QStringLiteral("alice");
        const QString id = QStringLiteral("1000");
        const QString run1 = QStringLiteral("~/VexaLog/run1");
        QTest::newRow("empty path") << alice << id << QString();
        QTest::newRow("no VexaLog folder") << alice << id << QStringLiteral("~/outside");
        QTest::newRow("VexaLog itself") << alice << id << QStringLiteral("~/VexaLog");
        // Canonically the same directory as the row above; the archive would
        // land outside every VexaLog folder.
        QTest::newRow("VexaLog itself, slash") << alice << id << QStringLiteral("~/VexaLog/");
        QTest::newRow("wrong case") << alice << id << QStringLiteral("~/vexalog/run1");
        QTest::newRow("missing directory") << alice << id << QStringLiteral("~/VexaLog/run9");
        QTest::newRow("regular file") << alice << id << QStringLiteral("~/VexaLog/file.txt");
        QTest::newRow("dot-dot out") << alice << id << QStringLiteral("~/VexaLog/../outside");
        QTest::newRow("dot-dot far out") << alice << id << QStringLiteral("~/VexaLog/../../../../../../../../tmp");
        QTest::newRow("dot-dot to VexaLog") << alice << id << QStringLiteral("~/VexaLog/run1/..");
        QTest::newRow("symlink out") << alice << id << QStringLiteral("~/VexaLog/out");
        QTest::newRow("below symlink out") << alice << id << QStringLiteral("~/VexaLog/out/sub");
        QTest::newRow("relative") << alice << id << QStringLiteral("VexaLog/run1");
        QTest::newRow("archive is a symlink") << alice << id << QStringLiteral("~/VexaLog/run2");
        QTest::newRow("archive is a directory") << alice << id << QStringLiteral("~/VexaLog/run3");

        const QStringList badNames = {QString(), QStringLiteral("-rf"), QStringLiteral("a/b"),
                                      QStringLiteral("a:b"), QStringLiteral("../../etc"), QStringLiteral("al ice"),
                                      QStringLiteral("al\nice"), QStringLiteral("ålice"), QStringLiteral("a*")};
        for (const QString &name : badNames)
            QTest::addRow("user name \"%s\"", qPrintable(QString(name).replace(QLatin1Char('\n'), QLatin1Char('|')))) << name << id << run1;
        const QStringList badIds = {QString(), QStringLiteral("-1"), QStringLiteral("10a"), QStringLiteral(" 1000"),
                                    QStringLiteral("1000/.."), QString::fromUtf8("\xd9\xa1\xd9\xa0")};
        for (const QString &badId : badIds)
            QTest::addRow("user id \"%s\"", qPrintable(badId)) << alice << badId << run1;
    }
    void refusalsRunAndCreateNothing()
    {
        QFETCH(QString, username);
        QFETCH(QString, userid);
        QFETCH(QString, logPath);
        Rig rig;
        QVERIFY(rig.ok);
        logPath.replace(QLatin1Char('~'), rig.home);
        // A relative path must not be resolved against our directory.
        const QString previous = QDir::currentPath();
        QDir::setCurrent(rig.home);
        const QStringList before = rig.snapshot();

        const int result = collectLogs(rig.setup, username, userid, logPath);
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

        QCOMPARE(collectLogs(rig.setup, QStringLiteral("alice"), QStringLiteral("1000"),
                             logPath.replace(QLatin1Char('~'), rig.home)),
                 0);
        QCOMPARE(rig.calls(), expectedSequence(rig, rig.run1, runtimeLog, rig.setup.zipPath));
    }

    void repeatedCallUpdatesOwnArchive()
    {
        Rig rig;
        QVERIFY(rig.ok);
        // The archive of an earlier run is a plain file and is used again.
        QVERIFY(writeFile(rig.run1 + QStringLiteral(".zip"), "old"));
        QCOMPARE(collectLogs(rig.setup, QStringLiteral("alice"), QStringLiteral("1000"), rig.run1), 0);
        QCOMPARE(rig.calls(), expectedSequence(rig, rig.run1, true, rig.setup.zipPath));
        // A hard link would make root's zip write to a file shared with others.
        QFile::remove(rig.recordFile);
        QVERIFY(::link(QFile::encodeName(rig.run1 + QStringLiteral(".zip")).constData(),
                       QFile::encodeName(rig.home + QStringLiteral("/hardlink")).constData())
                == 0);
        QCOMPARE(collectLogs(rig.setup, QStringLiteral("alice"), QStringLiteral("1000"), rig.run1), -1);
        QCOMPARE(rig.calls(), Calls());
    }

    void zipFallback()
    {
        Rig rig;
        QVERIFY(rig.ok);
        QVERIFY(QFile::remove(rig.setup.zipPath));
        QCOMPARE(collectLogs(rig.setup, QStringLiteral("alice"), QStringLiteral("1000"), rig.run1), 0);
        QCOMPARE(rig.calls(), expectedSequence(rig, rig.run1, true, rig.setup.zipFallbackPath));

        // With no zip at all the remaining step still runs.
        QFile::remove(rig.recordFile);
        QVERIFY(QFile::remove(rig.setup.zipFallbackPath));
        QCOMPARE(collectLogs(rig.setup, QStringLiteral("alice"), QStringLiteral("1000"), rig.run1), 0);
        Calls expected = expectedSequence(rig, rig.run1, true, rig.setup.zipFallbackPath);
        expected.removeAt(expected.size() - 2);
        QCOMPARE(rig.calls(), expected);
    }

    void runProcessReportsOutcome()
    {
        QVERIFY(runProcess(QStringLiteral("/bin/true"), {}));
        QVERIFY(!runProcess(QStringLiteral("/bin/false"), {}));
        QVERIFY(!runProcess(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 3")}));
        QVERIFY(!runProcess(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("kill -9 $$")}));
        QVERIFY(!runProcess(QStringLiteral("/nonexistent/tool"), {}));
        // A tool that reads its input sees end-of-file instead of waiting.
        QVERIFY(runProcess(QStringLiteral("/bin/cat"), {}));
    }

    void runProcessPassesArgumentsVerbatim()
    {
        Rig rig;
        QVERIFY(rig.ok);
        const QStringList args = {QStringLiteral("a b"), QStringLiteral("*"), QStringLiteral("$HOME"),
                                  QStringLiteral("'q'"), QString(), QStringLiteral("; touch x"),
                                  QStringLiteral("-")};
        QVERIFY(runProcess(rig.setup.cpPath, args));
        QCOMPARE(rig.calls(), Calls({QStringList{rig.setup.cpPath} + args}));
    }
};

QTEST_GUILESS_MAIN(TestLogCollection)
#include "tst_logcollection.moc"
