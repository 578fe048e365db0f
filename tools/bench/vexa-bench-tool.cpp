// The benchmarks' own pieces that no caller needs: generated inputs, the
// floors that are not a call of the daemon, the figures from timed samples
// and the report. vexa-pref-call --timing makes and times the daemon's calls.
//
//   vexa-bench-tool whitelist PATH ENTRIES        write a generated whitelist
//   vexa-bench-tool rewrite PATH RUNS|-           time Qt's own rewrite of the file
//   vexa-bench-tool gen-logs DATADIR RUNTIMELOG MEGABYTES
//   vexa-bench-tool collect-script USER DATADIR RUNTIMELOG LOGDIR
//   vexa-bench-tool median FILE
//   vexa-bench-tool result KEY STAT GOAL FLOORFILE MEASUREDFILE LABEL...
//   vexa-bench-tool report
//
// rewrite prints one time in ns a line; collect-script the shell command that
// does a collection's work with the same tools (the floor of copyLogFiles);
// median the median of FILE's numbers (one a line). result prints the RESULT
// line (see benchreport.h) of two such files, in ns: their medians, or with
// STAT p99 their 99th percentiles. report turns the RESULT and INFO lines on
// stdin into the Markdown table scripts/bench.sh prints and bench/RESULTS.md
// keeps.

#include "benchcommon.h"
#include "benchreport.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>
#include <QElapsedTimer>

namespace {

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// What Qt alone needs for one edit: read the file, parse it, serialise it
// and replace it atomically.
bool rewriteInProcess(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(in.readAll());
    in.close();
    if (!document.isObject())
        return false;
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(document.toJson());
    return out.commit();
}

// RUNS rewrites, or with runs "-" one for each line read from stdin, each
// time flushed at once, so that a script can take turns with the daemon's
// edits on the same file in the same states.
int rewrite(const QString &path, const QString &runs)
{
    QTextStream out(stdout);
    QTextStream in(stdin);
    const bool onRequest = runs == QLatin1String("-");
    const int count = onRequest ? -1 : runs.toInt();
    for (int i = 0; onRequest ? !in.readLine().isNull() : i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!rewriteInProcess(path)) {
            err() << "rewrite: cannot rewrite " << path << Qt::endl;
            return 1;
        }
        out << timer.nsecsElapsed() << Qt::endl;
    }
    return 0;
}

// The numbers of a file, one a line; false when it cannot be read or holds
// something else.
bool readSamples(const QString &path, QVector<double> *samples)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        bool ok = false;
        *samples << line.trimmed().toDouble(&ok);
        if (!ok)
            return false;
    }
    return !samples->isEmpty();
}

int result(const QStringList &args)
{
    BenchResult result;
    result.key = args.at(0);
    const bool p99 = args.at(1) == QLatin1String("p99");
    result.goal = args.at(2) == QLatin1String("-") ? 0 : args.at(2).toDouble();
    QVector<double> floors;
    QVector<double> measured;
    if (!readSamples(args.at(3), &floors) || !readSamples(args.at(4), &measured)) {
        err() << "result: no samples in " << args.at(3) << " or " << args.at(4) << Qt::endl;
        return 1;
    }
    result.floor = p99 ? percentile(floors, 0.99) : median(floors);
    result.measured = p99 ? percentile(measured, 0.99) : median(measured);
    result.unit = QStringLiteral("ns");
    result.samples = measured.size();
    result.label = args.mid(5).join(QLatin1Char(' '));
    QTextStream(stdout) << formatResultLine(result) << Qt::endl;
    return 0;
}

int report()
{
    QTextStream in(stdin);
    QTextStream out(stdout);
    QVector<BenchResult> results;
    QStringList notes;
    bool malformed = false;
    QString line;
    while (in.readLineInto(&line)) {
        if (line.startsWith(QLatin1String("RESULT "))) {
            BenchResult result;
            if (parseResultLine(line, &result))
                results << result;
            else
                malformed = true;
        } else if (line.startsWith(QLatin1String("INFO "))) {
            notes << line.mid(5);
        }
    }
    out << formatResultTable(results);
    if (!notes.isEmpty()) {
        out << '\n';
        for (const QString &note : std::as_const(notes))
            out << "- " << note << '\n';
    }
    out.flush();
    if (malformed)
        err() << "bench-report: a RESULT line could not be read" << Qt::endl;
    return results.isEmpty() || malformed ? 1 : 0;
}

int usage()
{
    err() << "usage: vexa-bench-tool whitelist PATH ENTRIES | rewrite PATH RUNS|-\n"
             "       vexa-bench-tool gen-logs DATADIR RUNTIMELOG MEGABYTES\n"
             "       vexa-bench-tool collect-script USER DATADIR RUNTIMELOG LOGDIR\n"
             "       vexa-bench-tool median FILE\n"
             "       vexa-bench-tool result KEY median|p99 GOAL FLOORFILE MEASUREDFILE LABEL...\n"
             "       vexa-bench-tool report"
          << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const QString command = args.value(0);
    args = args.mid(1);
    if (command == QLatin1String("whitelist") && args.size() == 2)
        return writeBenchWhitelist(args.at(0), args.at(1).toInt()) ? 0 : 1;
    if (command == QLatin1String("rewrite") && args.size() == 2)
        return rewrite(args.at(0), args.at(1));
    if (command == QLatin1String("gen-logs") && args.size() == 3) {
        const qint64 written = generateBenchLogs(args.at(0), args.at(1),
                                                 args.at(2).toLongLong() * 1024 * 1024);
        if (written < 0) {
            err() << "gen-logs: cannot write under " << args.at(0) << Qt::endl;
            return 1;
        }
        err() << "gen-logs: " << written << " bytes" << Qt::endl;
        return 0;
    }
    if (command == QLatin1String("collect-script") && args.size() == 4) {
        QTextStream(stdout) << logCollectionScript(args.at(0), args.at(1), args.at(2), args.at(3)) << '\n';
        return 0;
    }
    if (command == QLatin1String("median") && args.size() == 1) {
        QVector<double> samples;
        if (!readSamples(args.at(0), &samples))
            return 1;
        QTextStream(stdout) << QString::number(median(samples), 'f', 0) << '\n';
        return 0;
    }
    if (command == QLatin1String("result") && args.size() >= 6)
        return result(args);
    if (command == QLatin1String("report") && args.isEmpty())
        return report();
    return usage();
}
