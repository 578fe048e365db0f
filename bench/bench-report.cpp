// Turns the RESULT and INFO lines of a benchmark run (on stdin) into the
// Markdown table scripts/bench.sh prints and bench/RESULTS.md keeps.

#include "benchreport.h"

#include <QTextStream>

int main()
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
        for (const QString &note : qAsConst(notes))
            out << "- " << note << '\n';
    }
    out.flush();
    if (malformed)
        QTextStream(stderr) << "bench-report: a RESULT line could not be read" << Qt::endl;
    return results.isEmpty() || malformed ? 1 : 0;
}
