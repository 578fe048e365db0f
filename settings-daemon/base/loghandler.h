// The daemon's own log: every Qt message cut to size, rate-limited, appended
// to the log file and passed on to the handler before it.

#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Where each line goes besides the file: standard error (set in main(),
// where systemd takes it into the journal), or a test's own.
using JournalWriter = void (*)(const QByteArray &line);
extern JournalWriter journalWriter;
// Whether the lines for journalWriter carry their priority; set in main().
extern bool journalPriorities;

// Writes the bytes to standard error in one write.
void writeStandardError(const QByteArray &line);

// Whether standard error is the journal's own stream: JOURNAL_STREAM (which
// systemd sets for a service) names its device and inode. Elsewhere (a
// terminal, a test's pipe) a priority prefix would only be noise.
bool standardErrorIsJournal();

// The line as journalWriter gets it: with priorities, every line of it
// starts with the "<N>" prefix of its syslog priority, which systemd reads
// from a service's standard error, so that a message over several lines
// keeps its priority on each.
QByteArray journalLine(QtMsgType type, const QString &line, bool priorities);

// The bounds of the daemon's own log, so that no caller can fill /var/log
// between two runs of logrotate. A message longer than maxLogMessageLength
// characters keeps its start and its end (the text, the value, the reason)
// with a mark of how much was cut between them. At most logBurst lines are
// written in logIntervalMsecs; the rest are dropped and counted, and the first
// line written after the interval is preceded by one saying how many were.
constexpr int maxLogMessageLength = 512;
constexpr int logBurst = 100;
constexpr qint64 logIntervalMsecs = 60 * 1000;

// The message as the log keeps it: whole up to maxLogMessageLength
// characters, else its first and last characters around the cut mark.
QString cutLogMessage(const QString &message);

// The full log line for one message: level prefix, the filled-in fields and a
// trailing line feed. A null string for a message type the log does not know.
QString composeLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The clock of the rate limit, in milliseconds: the monotonic clock, or a
// test's own.
using LogClock = qint64 (*)();
qint64 steadyClockMsecs();

// Counts lines per interval, as journald does per service: the first line
// opens an interval of intervalMsecs, in which burst lines pass; later ones
// are suppressed until a line comes after the interval, which opens the next.
// Critical and fatal messages always pass (a fatal one says why the daemon
// aborts) and count against the interval like the others.
// Not thread-safe by itself: the log handler calls it under logMutex.
class LogRateLimiter
{
public:
    constexpr LogRateLimiter(int burst, qint64 intervalMsecs, LogClock clock = steadyClockMsecs)
        : m_burst(burst)
        , m_interval(intervalMsecs)
        , m_clock(clock)
    { }
    // True when a message of this type may be written now; then *suppressed
    // is the number of lines dropped since the last one written.
    bool admit(QtMsgType type, qint64 *suppressed);
    int burst() const { return m_burst; }
    qint64 intervalMsecs() const { return m_interval; }

private:
    int m_burst;
    qint64 m_interval;
    LogClock m_clock;
    bool m_open = false;
    qint64 m_start = 0;
    int m_written = 0;
    qint64 m_suppressed = 0;
};

// Writes one message to the log file at path, then passes the composed line
// on to journalWriter (under systemd: the journal). A line the file
// does not take (it cannot be opened, the disk is full) is passed on all the
// same, so it is not lost; what the file took of it is cut off again, so the
// next line starts a line of its own. With a limiter, a line it suppresses is
// dropped from both, and the count of those before is written (and passed
// on) ahead of the next line that passes.
void handleLogMessage(const QString &path, QtMsgType type, const QMessageLogContext &context,
                      const QString &message, LogRateLimiter *limiter = nullptr);

// Installed with qInstallMessageHandler: writes every message to the daemon's
// log file, at most logBurst lines per logIntervalMsecs, then passes the
// composed line on to journalWriter.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
