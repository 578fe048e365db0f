#include "benchcommon.h"
#include "gamewhitelist.h"
#include "logcollection.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class TestBenchCommon : public QObject
{
    Q_OBJECT

private slots:
    void medianOfSamples_data();
    void medianOfSamples();
    void whitelistIsWhatTheDaemonEdits();
    void whitelistFollowsTheDaemonsLayout();
    void logsHaveTheSizeAndUniqueNames();
    void logsAreTheSameEveryRun();
    void shellRunsTheDaemonsCommands();
    void residentSetFromStatus();
};

void TestBenchCommon::medianOfSamples_data()
{
    QTest::addColumn<QVector<double>>("samples");
    QTest::addColumn<double>("expected");
    QTest::newRow("none") << QVector<double>{} << 0.0;
    QTest::newRow("one") << QVector<double>{7} << 7.0;
    QTest::newRow("odd, unsorted") << QVector<double>{9, 1, 5, 3, 100} << 5.0;
    QTest::newRow("even: mean of the middle two") << QVector<double>{4, 1, 10, 2} << 3.0;
    QTest::newRow("an outlier does not move it") << QVector<double>{10, 11, 12, 1e9, 9} << 11.0;
}

void TestBenchCommon::medianOfSamples()
{
    QFETCH(QVector<double>, samples);
    QFETCH(double, expected);
    QCOMPARE(median(samples), expected);
}

void TestBenchCommon::whitelistIsWhatTheDaemonEdits()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("games.json"));
    QVERIFY(writeBenchWhitelist(path, 1000));

    // Every generated entry is found, and the daemon's own add and remove
    // work on the file as the benchmark expects.
    QVERIFY(isGameInWhiteList(path, benchPackageName(0)));
    QVERIFY(isGameInWhiteList(path, benchPackageName(999)));
    QVERIFY(!isGameInWhiteList(path, benchPackageName(1000)));
    QVERIFY(addGameToWhiteListFile(path, QStringLiteral("Probe"), QStringLiteral("probe")));
    QVERIFY(isGameInWhiteList(path, QStringLiteral("probe")));
    QVERIFY(removeGameFromWhiteListFile(path, QStringLiteral("probe")));
    QVERIFY(!isGameInWhiteList(path, QStringLiteral("probe")));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonArray games = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("games")).toArray();
    QCOMPARE(games.size(), 1000);
    QSet<QString> names;
    int nonAscii = 0;
    for (const QJsonValue &game : games) {
        names.insert(game.toObject().value(QStringLiteral("pkgname")).toString());
        const QString appName = game.toObject().value(QStringLiteral("appname")).toString();
        nonAscii += appName.toUtf8().size() != appName.size();
    }
    QCOMPARE(names.size(), 1000);
    // Half the display names need the UTF-8 decoder's slow path.
    QCOMPARE(nonAscii, 500);
    QCOMPARE(games.at(7).toObject().value(QStringLiteral("appname")).toString(), benchAppName(7));
}

void TestBenchCommon::whitelistFollowsTheDaemonsLayout()
{
    // After an add and a remove the daemon leaves the file byte for byte as
    // generated: the benchmark's rounds then all start from the same file.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("games.json"));
    QVERIFY(writeBenchWhitelist(path, 10));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray generated = file.readAll();
    file.close();
    QVERIFY(addGameToWhiteListFile(path, QStringLiteral("Probe"), QStringLiteral("probe")));
    QVERIFY(removeGameFromWhiteListFile(path, QStringLiteral("probe")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), generated);
}

void TestBenchCommon::logsHaveTheSizeAndUniqueNames()
{
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("data"));
    const QString runtimeLog = dir.filePath(QStringLiteral("log/vexa.log"));
    const qint64 wanted = 3 * 1024 * 1024;
    const qint64 written = generateBenchLogs(data, runtimeLog, wanted);
    QVERIFY(written > 0);

    qint64 onDisk = QFileInfo(runtimeLog).size();
    QVERIFY(onDisk > 0);
    QSet<QString> names{QFileInfo(runtimeLog).fileName()};
    int files = 1;
    QDirIterator it(data, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        onDisk += it.fileInfo().size();
        names.insert(it.fileName());
        ++files;
    }
    QCOMPARE(onDisk, written);
    // Lines are not cut, so each file may run over by one line.
    QVERIFY2(qAbs(written - wanted) < files * 200, qPrintable(QString::number(written)));
    // zip -j puts every file at the top of the archive.
    QCOMPARE(names.size(), files);
    for (const char *sub : {"klog", "anr", "system/dropbox", "tombstones"})
        QVERIFY2(!QDir(data + QLatin1Char('/') + QLatin1String(sub)).isEmpty(QDir::Files), sub);
}

void TestBenchCommon::logsAreTheSameEveryRun()
{
    // Compressible text, and the same text every time: the zip step then
    // costs the same in every run and on every machine.
    QTemporaryDir one;
    QTemporaryDir two;
    QVERIFY(generateBenchLogs(one.filePath(QStringLiteral("d")), one.filePath(QStringLiteral("v.log")), 200000) > 0);
    QVERIFY(generateBenchLogs(two.filePath(QStringLiteral("d")), two.filePath(QStringLiteral("v.log")), 200000) > 0);
    QFile a(one.filePath(QStringLiteral("d/klog/klog_00.txt")));
    QFile b(two.filePath(QStringLiteral("d/klog/klog_00.txt")));
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    const QByteArray text = a.readAll();
    QCOMPARE(text, b.readAll());
    QVERIFY(text.endsWith('\n'));
    QVERIFY(qCompress(text).size() < text.size() / 2);
    QVERIFY(qCompress(text).size() > text.size() / 20);
}

// Stand-in tools that record each call, one line each: the tool's name and
// its arguments.
static bool writeRecordingTools(const QString &dir, const QString &record)
{
    for (const char *tool : {"cp", "chmod", "zip", "chown"}) {
        const QString path = dir + QLatin1Char('/') + QLatin1String(tool);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write("#!/bin/sh\n{ printf '%s' \"${0##*/}\"; printf ' %s' \"$@\"; echo; } >>'" + record.toUtf8()
                   + "'\n");
        file.close();
        if (!file.setPermissions(file.permissions() | QFileDevice::ExeOwner))
            return false;
    }
    return true;
}

static QByteArray takeRecord(const QString &record)
{
    QFile file(record);
    const QByteArray lines = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.remove();
    return lines;
}

void TestBenchCommon::shellRunsTheDaemonsCommands()
{
    // The floor of the copyLogFiles benchmark is only fair while it runs the
    // very commands the daemon runs.
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    const QString tools = root + QStringLiteral("/tools");
    const QString record = root + QStringLiteral("/record");
    QVERIFY(QDir().mkpath(tools));
    QVERIFY(writeRecordingTools(tools, record));

    LogCollectionSetup setup;
    setup.containerDataPattern = root + QStringLiteral("/lib/vexa-%1-%2/data");
    setup.runtimeLogPath = root + QStringLiteral("/log/vexa.log");
    setup.cpPath = tools + QStringLiteral("/cp");
    setup.chmodPath = tools + QStringLiteral("/chmod");
    setup.zipPath = tools + QStringLiteral("/zip");
    setup.zipFallbackPath = setup.zipPath;
    setup.chownPath = tools + QStringLiteral("/chown");
    const QString dataDir = setup.containerDataPattern.arg(QStringLiteral("1001"), QStringLiteral("bench"));
    QVERIFY(generateBenchLogs(dataDir, setup.runtimeLogPath, 10000) > 0);
    const QString logDir = root + QStringLiteral("/home/bench/VexaLog/run");
    QVERIFY(QDir().mkpath(logDir));

    QCOMPARE(collectLogs(setup, QStringLiteral("bench"), QStringLiteral("1001"), logDir), 0);
    const QByteArray daemonCalls = takeRecord(record);
    QCOMPARE(daemonCalls.count('\n'), 8);

    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), tools + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    shell.setProcessEnvironment(environment);
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QString::fromUtf8(logCollectionScript(QStringLiteral("bench"), dataDir, setup.runtimeLogPath, logDir))});
    QVERIFY(shell.waitForFinished());
    QCOMPARE(shell.exitCode(), 0);
    QCOMPARE(takeRecord(record), daemonCalls);
}

void TestBenchCommon::residentSetFromStatus()
{
    QCOMPARE(parseResidentKiB("Name:\tx\nVmPeak:\t  9000 kB\nVmRSS:\t    1234 kB\nThreads:\t1\n"), qint64(1234));
    QCOMPARE(parseResidentKiB("Name:\tx\nVmHWM:\t  9000 kB\n"), qint64(-1));
    QCOMPARE(parseResidentKiB("VmRSS:\t 12 MB\n"), qint64(-1));
    QCOMPARE(parseResidentKiB("VmRSS:\t lots kB\n"), qint64(-1));
    QVERIFY(residentKiB(::getpid()) > 0);
    QCOMPARE(residentKiB(-5), qint64(-1));
}

QTEST_GUILESS_MAIN(TestBenchCommon)
#include "tst_benchcommon.moc"
