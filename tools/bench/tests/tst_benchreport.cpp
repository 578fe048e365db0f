#include "benchreport.h"

#include <QTest>

class TestBenchReport : public QObject
{
    Q_OBJECT

private slots:
    void lineRoundTrip();
    void malformedLinesAreRefused_data();
    void malformedLinesAreRefused();
    void ratioAndVerdict_data();
    void ratioAndVerdict();
    void quantities_data();
    void quantities();
    void tableHasOneRowEach();
};

void TestBenchReport::lineRoundTrip()
{
    BenchResult result;
    result.key = QStringLiteral("whitelist-10000");
    result.floor = 1500000;
    result.measured = 2000000;
    result.unit = QStringLiteral("ns");
    result.goal = 1.5;
    result.samples = 20;
    result.label = QStringLiteral("Add+remove on a whitelist");
    BenchResult parsed;
    QVERIFY(parseResultLine(formatResultLine(result), &parsed));
    QCOMPARE(parsed.key, result.key);
    QCOMPARE(parsed.floor, result.floor);
    QCOMPARE(parsed.measured, result.measured);
    QCOMPARE(parsed.unit, result.unit);
    QCOMPARE(parsed.goal, result.goal);
    QCOMPARE(parsed.samples, result.samples);
    QCOMPARE(parsed.label, result.label);

    QVERIFY(parseResultLine(QStringLiteral("RESULT click 10 20 ns - 5 no goal here"), &parsed));
    QCOMPARE(parsed.goal, 0.0);
    QCOMPARE(parsed.label, QStringLiteral("no goal here"));
}

void TestBenchReport::malformedLinesAreRefused_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("no label") << QStringLiteral("RESULT k 1 2 ns 3 4");
    QTest::newRow("other tag") << QStringLiteral("INFO k 1 2 ns 3 4 label");
    QTest::newRow("floor not a number") << QStringLiteral("RESULT k x 2 ns 3 4 label");
    QTest::newRow("unknown unit") << QStringLiteral("RESULT k 1 2 ms 3 4 label");
    QTest::newRow("goal not a number") << QStringLiteral("RESULT k 1 2 ns fast 4 label");
    QTest::newRow("goal of zero") << QStringLiteral("RESULT k 1 2 ns 0 4 label");
    QTest::newRow("samples not a number") << QStringLiteral("RESULT k 1 2 ns 3 many label");
}

void TestBenchReport::malformedLinesAreRefused()
{
    QFETCH(QString, line);
    BenchResult result;
    result.key = QStringLiteral("untouched");
    QVERIFY(!parseResultLine(line, &result));
    QCOMPARE(result.key, QStringLiteral("untouched"));
}

void TestBenchReport::ratioAndVerdict_data()
{
    QTest::addColumn<double>("floor");
    QTest::addColumn<double>("measured");
    QTest::addColumn<double>("goal");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("under the goal") << 100.0 << 250.0 << 3.0 << 2.5 << QStringLiteral("met");
    QTest::newRow("exactly the goal") << 100.0 << 150.0 << 1.5 << 1.5 << QStringLiteral("met");
    QTest::newRow("over the goal") << 100.0 << 151.0 << 1.5 << 1.51 << QStringLiteral("MISSED");
    QTest::newRow("faster than the floor") << 100.0 << 90.0 << 1.1 << 0.9 << QStringLiteral("met");
    QTest::newRow("no goal") << 100.0 << 500.0 << 0.0 << 5.0 << QStringLiteral("-");
    QTest::newRow("no floor") << 0.0 << 500.0 << 1.5 << 0.0 << QStringLiteral("-");
}

void TestBenchReport::ratioAndVerdict()
{
    QFETCH(double, floor);
    QFETCH(double, measured);
    QFETCH(double, goal);
    QFETCH(double, ratio);
    QFETCH(QString, verdict);
    BenchResult result;
    result.floor = floor;
    result.measured = measured;
    result.goal = goal;
    QCOMPARE(benchRatio(result), ratio);
    QCOMPARE(benchVerdict(result), verdict);
}

void TestBenchReport::quantities_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("text");
    QTest::newRow("ns") << 950.0 << QStringLiteral("ns") << QStringLiteral("950 ns");
    QTest::newRow("µs") << 123456.0 << QStringLiteral("ns") << QStringLiteral("123 µs");
    QTest::newRow("ms") << 12345678.0 << QStringLiteral("ns") << QStringLiteral("12.3 ms");
    QTest::newRow("hundreds of ms") << 345678901.0 << QStringLiteral("ns") << QStringLiteral("346 ms");
    QTest::newRow("s") << 2345678901.0 << QStringLiteral("ns") << QStringLiteral("2.35 s");
    QTest::newRow("KiB") << 900.0 << QStringLiteral("KiB") << QStringLiteral("900 KiB");
    QTest::newRow("MiB") << 10752.0 << QStringLiteral("KiB") << QStringLiteral("10.5 MiB");
}

void TestBenchReport::quantities()
{
    QFETCH(double, value);
    QFETCH(QString, unit);
    QFETCH(QString, text);
    QCOMPARE(formatQuantity(value, unit), text);
}

void TestBenchReport::tableHasOneRowEach()
{
    BenchResult met;
    met.floor = 1000;
    met.measured = 2000;
    met.unit = QStringLiteral("ns");
    met.goal = 3;
    met.samples = 7;
    met.label = QStringLiteral("first figure");
    BenchResult missed = met;
    missed.goal = 1.1;
    missed.label = QStringLiteral("second figure");
    const QStringList lines = formatResultTable({met, missed}).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(2), QStringLiteral("| first figure | 1 µs | 2 µs | 2.00x | ≤ 3x | met | 7 |"));
    QCOMPARE(lines.at(3), QStringLiteral("| second figure | 1 µs | 2 µs | 2.00x | ≤ 1.1x | MISSED | 7 |"));
}

QTEST_GUILESS_MAIN(TestBenchReport)
#include "tst_benchreport.moc"
