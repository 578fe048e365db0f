#include "benchreport.h"

#include <QStringList>

bool parseResultLine(const QString &line, BenchResult *result)
{
    const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() < 8 || fields.at(0) != QLatin1String("RESULT"))
        return false;
    BenchResult parsed;
    bool okFloor = false;
    bool okMeasured = false;
    bool okSamples = false;
    parsed.key = fields.at(1);
    parsed.floor = fields.at(2).toDouble(&okFloor);
    parsed.measured = fields.at(3).toDouble(&okMeasured);
    parsed.unit = fields.at(4);
    parsed.samples = fields.at(6).toInt(&okSamples);
    if (!okFloor || !okMeasured || !okSamples)
        return false;
    if (parsed.unit != QLatin1String("ns") && parsed.unit != QLatin1String("KiB"))
        return false;
    if (fields.at(5) != QLatin1String("-")) {
        bool okGoal = false;
        parsed.goal = fields.at(5).toDouble(&okGoal);
        if (!okGoal || parsed.goal <= 0)
            return false;
    }
    parsed.label = fields.mid(7).join(QLatin1Char(' '));
    *result = parsed;
    return true;
}

QString formatResultLine(const BenchResult &result)
{
    const QString goal = result.goal > 0 ? QString::number(result.goal) : QStringLiteral("-");
    return QStringLiteral("RESULT %1 %2 %3 %4 %5 %6 %7")
        .arg(result.key, QString::number(result.floor, 'f', 0), QString::number(result.measured, 'f', 0),
             result.unit, goal, QString::number(result.samples), result.label);
}

double benchRatio(const BenchResult &result)
{
    if (result.floor <= 0)
        return 0;
    return result.measured / result.floor;
}

QString benchVerdict(const BenchResult &result)
{
    if (result.goal <= 0 || result.floor <= 0)
        return QStringLiteral("-");
    return benchRatio(result) <= result.goal ? QStringLiteral("met") : QStringLiteral("MISSED");
}

QString formatQuantity(double value, const QString &unit)
{
    if (unit == QLatin1String("KiB")) {
        if (value >= 1024)
            return QStringLiteral("%1 MiB").arg(value / 1024, 0, 'f', 1);
        return QStringLiteral("%1 KiB").arg(value, 0, 'f', 0);
    }
    if (value >= 1e9)
        return QStringLiteral("%1 s").arg(value / 1e9, 0, 'f', 2);
    if (value >= 1e6)
        return QStringLiteral("%1 ms").arg(value / 1e6, 0, 'f', value >= 1e8 ? 0 : 1);
    if (value >= 1e3)
        return QStringLiteral("%1 µs").arg(value / 1e3, 0, 'f', 0);
    return QStringLiteral("%1 ns").arg(value, 0, 'f', 0);
}

QString formatResultTable(const QVector<BenchResult> &results)
{
    QString table = QStringLiteral(
        "| Figure | Floor (median) | Measured (median) | Ratio | Goal | Verdict | Samples |\n"
        "|---|---:|---:|---:|---:|---|---:|\n");
    for (const BenchResult &result : results) {
        const QString ratio = result.floor > 0 ? QStringLiteral("%1x").arg(benchRatio(result), 0, 'f', 2)
                                               : QStringLiteral("-");
        const QString goal = result.goal > 0 ? QStringLiteral("≤ %1x").arg(result.goal) : QStringLiteral("-");
        table += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |\n")
                     .arg(result.label, formatQuantity(result.floor, result.unit),
                          formatQuantity(result.measured, result.unit), ratio, goal, benchVerdict(result),
                          QString::number(result.samples));
    }
    return table;
}
