#include "benchcommon.h"
#include "gamewhitelist.h"
#include "logcollection.h"
#include "testutil.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
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
    void shellDoesTheDaemonsWork();
    void percentileOfSamples_data();
    void percentileOfSamples();
    void residentSetFromStatus();
};

void TestBenchCommon::medianOfSamples_data()
{
    QTest::addColumn<QVector<double>>("samples");
    QTest::addColumn<double>("expected");
    QTest::newRow("none") << QVector<double> {} << 0.0;
    QTest::newRow("one") << QVector<double> {7} << 7.0;
    QTest::newRow("odd, unsorted") << QVector<double> {9, 1, 5, 3, 100} << 5.0;
    QTest::newRow("even: mean of the middle two") << QVector<double> {4, 1, 10, 2} << 3.0;
    QTest::newRow("an outlier does not move it") << QVector<double> {10, 11, 12, 1e9, 9} << 11.0;
}

void TestBenchCommon::medianOfSamples()
{
    QFETCH(QVector<double>, samples);
    QFETCH(double, expected);
    QCOMPARE(median(samples), expected);
}

void TestBenchCommon::percentileOfSamples_data()
{
    QTest::addColumn<QVector<double>>("samples");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("expected");
    QVector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred << i;
    QTest::newRow("none") << QVector<double> {} << 0.99 << 0.0;
    QTest::newRow("one") << QVector<double> {7} << 0.99 << 7.0;
    QTest::newRow("p99 of 1..100, unsorted") << hundred << 0.99 << 99.0;
    QTest::newRow("p50 of 1..100") << hundred << 0.5 << 50.0;
    QTest::newRow("p100 is the largest") << hundred << 1.0 << 100.0;
    // Nearest rank: with fewer than 100 samples p99 is the largest.
    QTest::newRow("p99 of 1..10") << QVector<double> {3, 1, 2, 10, 4, 5, 6, 7, 8, 9} << 0.99 << 10.0;
}

void TestBenchCommon::percentileOfSamples()
{
    QFETCH(QVector<double>, samples);
    QFETCH(double, fraction);
    QFETCH(double, expected);
    QCOMPARE(percentile(samples, fraction), expected);
}

void TestBenchCommon::whitelistIsWhatTheDaemonEdits()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("games.json"));
    QVERIFY(writeBenchWhitelist(path, 1000));

    // Every generated entry is found, and the daemon's own add and remove
    // work on the file as the benchmark expects.
    QVERIFY(TestUtil::listsGame(path, benchPackageName(0)));
    QVERIFY(TestUtil::listsGame(path, benchPackageName(999)));
    QVERIFY(!TestUtil::listsGame(path, benchPackageName(1000)));
    QVERIFY(addGameToWhiteListFile(path, QStringLiteral("Probe"), QStringLiteral("probe")));
    QVERIFY(TestUtil::listsGame(path, QStringLiteral("probe")));
    QVERIFY(removeGameFromWhiteListFile(path, QStringLiteral("probe")));
    QVERIFY(!TestUtil::listsGame(path, QStringLiteral("probe")));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonArray games =
        QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("games")).toArray();
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
    QSet<QString> names {QFileInfo(runtimeLog).fileName()};
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
    QVERIFY(
        generateBenchLogs(one.filePath(QStringLiteral("d")), one.filePath(QStringLiteral("v.log")), 200000)
        > 0);
    QVERIFY(
        generateBenchLogs(two.filePath(QStringLiteral("d")), two.filePath(QStringLiteral("v.log")), 200000)
        > 0);
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
// Every path below root, relative to it, sorted.
static QStringList treeEntries(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next().mid(root.size());
    entries.sort();
    return entries;
}

static QStringList archiveEntries(const QString &archive)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
    unzip.waitForFinished(TestUtil::waitLimitMs);
    QStringList entries =
        QString::fromUtf8(unzip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    entries.sort();
    return entries;
}

void TestBenchCommon::shellDoesTheDaemonsWork()
{
    // The floor of the copyLogFiles benchmark is the plain command sequence;
    // it is only fair while it makes what the daemon makes, with the real
    // tools, collecting for ourselves.
    const struct passwd *self = ::getpwuid(::geteuid());
    QVERIFY(self);
    const QString user = QString::fromLocal8Bit(self->pw_name);
    const QString uid = QString::number(self->pw_uid);
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath();

    LogCollectionSetup setup;
    setup.containerRoot = root + QStringLiteral("/lib");
    setup.runtimeLogPath = root + QStringLiteral("/log/vexa.log");
    setup.stagingRoot = root + QStringLiteral("/staging");
    const QString dataDir = setup.containerRoot + QLatin1Char('/')
        + setup.containerDataPattern.arg(uid, user);
    QVERIFY(generateBenchLogs(dataDir, setup.runtimeLogPath, 10000) > 0);
    const QString daemonDir = root + QStringLiteral("/home/VexaLog/daemon");
    const QString shellDir = root + QStringLiteral("/home/VexaLog/shell");
    QVERIFY(QDir().mkpath(daemonDir));
    QVERIFY(QDir().mkpath(shellDir));

    LogCollectionUser account;
    QVERIFY(resolveCollectionUser(self->pw_uid, user, uid, &account));
    QCOMPARE(collectLogs(setup, account, daemonDir, nullptr), 0);
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QString::fromUtf8(logCollectionScript(user, dataDir, setup.runtimeLogPath, shellDir))});
    QVERIFY(shell.waitForFinished(TestUtil::waitLimitMs));

    QVERIFY(treeEntries(daemonDir).size() > 5);
    QCOMPARE(treeEntries(daemonDir), treeEntries(shellDir));
    QVERIFY(!archiveEntries(daemonDir + QStringLiteral(".zip")).isEmpty());
    QCOMPARE(archiveEntries(daemonDir + QStringLiteral(".zip")),
             archiveEntries(shellDir + QStringLiteral(".zip")));
}

void TestBenchCommon::residentSetFromStatus()
{
    QCOMPARE(parseResidentKiB("Name:\tx\nVmPeak:\t  9000 kB\nVmRSS:\t    1234 kB\nThreads:\t1\n"),
             qint64(1234));
    QCOMPARE(parseResidentKiB("Name:\tx\nVmHWM:\t  9000 kB\n"), qint64(-1));
    QCOMPARE(parseResidentKiB("VmRSS:\t 12 MB\n"), qint64(-1));
    QCOMPARE(parseResidentKiB("VmRSS:\t lots kB\n"), qint64(-1));
    QVERIFY(residentKiB(::getpid()) > 0);
    QCOMPARE(residentKiB(-5), qint64(-1));
}

QTEST_GUILESS_MAIN(TestBenchCommon)
#include "tst_benchcommon.moc"
