// The daemon's log handler: the line of a message, the rate limit, the append.

#include "loghandler.h"

#include "constants.h"

#include <QFile>
#include <QMutexLocker>

#include <chrono>

QtMessageHandler previousMessageHandler = nullptr;

static QString levelPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("[QDEBUG]:");
    case QtWarningMsg:
        return QStringLiteral("[QWARN]:");
    case QtCriticalMsg:
        return QStringLiteral("[QCRITICAL]:");
    case QtFatalMsg:
        return QStringLiteral("[QFATAL]:");
    case QtInfoMsg:
        return QStringLiteral("[QINFO]:");
    }
    return QString();
}

QString cutLogMessage(const QString &message)
{
    if (message.size() <= maxLogMessageLength)
        return message;
    // The start holds the text and the value, the end often the reason.
    int head = maxLogMessageLength * 4 / 5;
    int tail = maxLogMessageLength - head;
    // Never half a surrogate pair on either side of the cut.
    if (message.at(head - 1).isHighSurrogate())
        --head;
    if (message.at(message.size() - tail).isLowSurrogate())
        --tail;
    return message.left(head) + QStringLiteral("[...%1 characters cut...]").arg(message.size() - head - tail)
        + message.right(tail);
}

QString composeLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString prefix = levelPrefix(type);
    if (prefix.isNull())
        return QString();
    // One substitution pass: a "%2" inside the message must stay literal
    // instead of being filled by a later field.
    return prefix
        + QStringLiteral("msg-[%1], file-[%2], func-[%3], category-[%4]\n")
              .arg(cutLogMessage(message), QString::fromUtf8(context.file),
                   QString::fromUtf8(context.function), QString::fromUtf8(context.category));
}

qint64 steadyClockMsecs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool LogRateLimiter::admit(QtMsgType type, qint64 *suppressed)
{
    *suppressed = 0;
    const qint64 now = m_clock();
    if (!m_open || now - m_start >= m_interval) {
        *suppressed = m_suppressed;
        m_open = true;
        m_start = now;
        m_written = 0;
        m_suppressed = 0;
    }
    if (m_written >= m_burst && type != QtCriticalMsg && type != QtFatalMsg) {
        ++m_suppressed;
        return false;
    }
    ++m_written;
    return true;
}

// Appends bytes to the file at path, opened for this one write so that a
// rotated or removed log is made anew. What a failed write left of the bytes
// (a full disk, the file size limit) is cut off again.
static void appendLocked(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return;
    const qint64 end = file.size();
    if (file.write(bytes) != bytes.size())
        file.resize(end);
}

void handleLogMessage(const QString &path, QtMsgType type, const QMessageLogContext &context,
                      const QString &message, LogRateLimiter *limiter)
{
    const QString line = composeLogLine(type, context, message);
    if (line.isNull())
        return;
    QString notice;
    {
        QMutexLocker locker(&logMutex);
        qint64 suppressed = 0;
        if (limiter && !limiter->admit(type, &suppressed))
            return;
        if (suppressed > 0)
            notice = composeLogLine(QtWarningMsg, QMessageLogContext(nullptr, 0, nullptr, "default"),
                                    QStringLiteral("%1 messages suppressed: more than %2 in %3 s")
                                        .arg(suppressed)
                                        .arg(limiter->burst())
                                        .arg(double(limiter->intervalMsecs()) / 1000));
        // UTF-8 whatever the locale: under the C locale a local 8-bit
        // conversion would turn every non-ASCII character into '?'.
        appendLocked(path, (notice + line).toUtf8());
    }
    // Passed on whether or not the file took it: the journal keeps it then.
    if (!previousMessageHandler)
        return;
    if (!notice.isEmpty())
        previousMessageHandler(QtWarningMsg, QMessageLogContext(nullptr, 0, nullptr, "default"), notice);
    previousMessageHandler(type, context, line);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Plain data, built before main: it needs no construction at start and
    // no destruction at exit.
    static LogRateLimiter limiter(logBurst, logIntervalMsecs);
    handleLogMessage(daemonLogPath, type, context, message, &limiter);
}
