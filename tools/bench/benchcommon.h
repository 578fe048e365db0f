#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Pieces shared by the benchmark programs, kept apart from them so that the
// tests can check them: a wrong generator or median would quietly skew every
// figure the benchmarks print.

// The middle value of samples (the mean of the two middle ones for an even
// count); 0 for no samples.
double median(QVector<double> samples);

// The nearest-rank percentile of samples (fraction 0.99 for p99): the
// smallest sample with at least that fraction of all at or below it; 0 for
// no samples.
double percentile(QVector<double> samples, double fraction);

// The package name and display name of entry index in a generated whitelist.
QString benchPackageName(int index);
QString benchAppName(int index);

// Writes a game whitelist of count entries to path, laid out as the daemon
// itself writes it, so that the first edit does not pay for reformatting.
bool writeBenchWhitelist(const QString &path, int count);

// Fills a container data directory (klog/, anr/, system/dropbox/,
// tombstones/) and the runtime log with log-like text of about totalBytes in
// all. Every file name is unique across the tree: the collection zips with
// -j, where two files of one name would make zip give up. Returns the bytes
// written, or -1 when a file could not be written.
qint64 generateBenchLogs(const QString &dataDir, const QString &runtimeLog, qint64 totalBytes);

// A shell script that runs the tools of a log collection for user, with the
// daemon's arguments in the daemon's order, taking them from PATH: the floor
// of the copyLogFiles benchmark. No argument may hold a single quote.
QByteArray logCollectionScript(const QString &user, const QString &dataDir, const QString &runtimeLog,
                               const QString &logDir);

// The VmRSS line of a /proc/PID/status text, in KiB; -1 when it has none.
qint64 parseResidentKiB(const QByteArray &statusText);
// The resident set of a running process, in KiB; -1 when it cannot be read.
qint64 residentKiB(qint64 pid);
