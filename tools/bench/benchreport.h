#pragma once

#include <QString>
#include <QVector>

// One figure of a benchmark run: the median of the measured operation and
// the median of its floor, both taken in the same run.
struct BenchResult
{
    QString key;
    double floor = 0;
    double measured = 0;
    QString unit; // "ns" or "KiB"
    double goal = 0; // the largest acceptable ratio; 0 when there is none
    int samples = 0;
    QString label;
};

// Reads "RESULT KEY FLOOR MEASURED UNIT GOAL SAMPLES LABEL...", the line the
// benchmark programs print; GOAL is "-" when the figure has none.
bool parseResultLine(const QString &line, BenchResult *result);
QString formatResultLine(const BenchResult &result);

// measured / floor; 0 when the floor is not positive.
double benchRatio(const BenchResult &result);
// "met", "MISSED" or "-" (no goal, or no usable floor).
QString benchVerdict(const BenchResult &result);

// A duration in ns or a size in KiB, in the unit that reads best.
QString formatQuantity(double value, const QString &unit);

// A Markdown table of the results, one row each.
QString formatResultTable(const QVector<BenchResult> &results);
