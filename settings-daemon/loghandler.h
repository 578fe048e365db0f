#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The handler that was installed before ours; set once in main().
extern QtMessageHandler previousMessageHandler;

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

// Counts lines per interval, as journald does per service: the first line
// opens an interval of intervalMsecs, in which burst lines pass; later ones
// are suppressed until a line comes after the interval, which opens the next.
// Not thread-safe by itself: the log handler calls it under logMutex.
class LogRateLimiter
{
public:
    constexpr LogRateLimiter(int burst, qint64 intervalMsecs)
        : m_burst(burst)
        , m_interval(intervalMsecs)
    { }
    // True when a line at nowMsecs (a monotonic clock) may be written; then
    // *suppressed is the number of lines dropped since the last one written.
    bool admit(qint64 nowMsecs, qint64 *suppressed);
    int burst() const { return m_burst; }
    qint64 intervalMsecs() const { return m_interval; }

private:
    int m_burst;
    qint64 m_interval;
    bool m_open = false;
    qint64 m_start = 0;
    int m_written = 0;
    qint64 m_suppressed = 0;
};

// Appends bytes to the file at path under logMutex, opening and closing the
// file for this one write so that a rotated or removed log is created anew.
bool appendToLogFile(const QString &path, const QByteArray &bytes);

// Writes one message to the log file at path and, once written, passes the
// composed line on to previousMessageHandler. A message that cannot be written
// is dropped and not passed on. With a limiter, a line it suppresses is
// dropped too, and the count of those before is written (and passed on)
// ahead of the next line that passes.
void handleLogMessage(const QString &path, QtMsgType type, const QMessageLogContext &context,
                      const QString &message, LogRateLimiter *limiter = nullptr);

// Installed with qInstallMessageHandler: writes every message to the daemon's
// log file, at most logBurst lines per logIntervalMsecs, then passes the
// composed line on to previousMessageHandler.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
