// The daemon's log handler: the line of a message, the rate limit, the append.

#include "loghandler.h"

#include "constants.h"

#include <QFile>
#include <QMutexLocker>

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

JournalWriter journalWriter = nullptr;
bool journalPriorities = false;

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

void writeStandardError(const QByteArray &line)
{
    const char *data = line.constData();
    qint64 left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= written;
    }
}

bool standardErrorIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    struct stat info;
    if (colon <= 0 || ::fstat(STDERR_FILENO, &info) != 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == qulonglong(info.st_dev) && inode == qulonglong(info.st_ino);
}

QByteArray journalLine(QtMsgType type, const QString &line, bool priorities)
{
    QByteArray bytes = line.toUtf8();
    if (!priorities)
        return bytes;
    // The syslog priorities: debug, info, warning, err, crit.
    const char *prefix = type == QtDebugMsg ? "<7>"
        : type == QtInfoMsg                 ? "<6>"
        : type == QtWarningMsg              ? "<4>"
        : type == QtCriticalMsg             ? "<3>"
                                            : "<2>";
    const bool ended = bytes.endsWith('\n');
    if (ended)
        bytes.chop(1);
    bytes.replace('\n', QByteArray("\n") + prefix);
    return prefix + bytes + (ended ? "\n" : "");
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
    if (!journalWriter)
        return;
    if (!notice.isEmpty())
        journalWriter(journalLine(QtWarningMsg, notice, journalPriorities));
    journalWriter(journalLine(type, line, journalPriorities));
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Plain data, built before main: it needs no construction at start and
    // no destruction at exit.
    static LogRateLimiter limiter(logBurst, logIntervalMsecs);
    handleLogMessage(daemonLogPath, type, context, message, &limiter);
}
