// Log line composition and the append to the log file. Input fields: message
// type (first byte), message text, then the context's file, function and
// category (each absent field is a null pointer).
//
// Invariants: a message past maxLogMessageLength is cut, keeping its start
// and end; the line is exactly prefix + the four fields in their frames +
// one line feed, with nothing inside any field substituted; the bytes
// appended to the file are that line in UTF-8; the journal gets the same
// bytes, or with priorities each of its lines behind the same "<N>"; an
// unknown type writes and forwards nothing.

#include "fuzzhelpers.h"
#include "loghandler.h"

#include <QFile>

static QByteArray forwarded;
static int forwardedCount = 0;
static void recordingWriter(const QByteArray &line)
{
    forwarded = line;
    ++forwardedCount;
}

static QString expectedPrefix(int type)
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
    default:
        return QString();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fuzz::Scratch scratch;
    if (size == 0)
        return 0;
    // Only values the enum can hold (0..7); Qt never passes others.
    const int type = data[0] & 7;
    const QList<QByteArray> fields = Fuzz::split(data + 1, size - 1, 4);
    const QString message = Fuzz::text(fields.value(0));
    // Context strings are C strings: they end at the first NUL.
    QByteArray file, function, category;
    const char *filePtr = nullptr, *functionPtr = nullptr, *categoryPtr = nullptr;
    if (fields.size() > 1) {
        file = fields.at(1);
        filePtr = file.constData();
    }
    if (fields.size() > 2) {
        function = fields.at(2);
        functionPtr = function.constData();
    }
    if (fields.size() > 3) {
        category = fields.at(3);
        categoryPtr = category.constData();
    }
    const QMessageLogContext context(filePtr, 0, functionPtr, categoryPtr);

    // A long message keeps its start and its end around a mark of the cut.
    const QString kept = cutLogMessage(message);
    if (message.size() <= maxLogMessageLength) {
        FUZZ_CHECK(kept == message, kept.toUtf8());
    } else {
        FUZZ_CHECK(kept.size() <= maxLogMessageLength + 40, kept.toUtf8());
        FUZZ_CHECK(kept.startsWith(message.left(maxLogMessageLength / 2)), kept.toUtf8());
        FUZZ_CHECK(kept.endsWith(message.right(maxLogMessageLength / 8)), kept.toUtf8());
        FUZZ_CHECK(kept.contains(QLatin1String(" characters cut...]")), kept.toUtf8());
    }

    const QString prefix = expectedPrefix(type);
    QString expected;
    if (!prefix.isNull()) {
        expected = prefix + QStringLiteral("msg-[") + kept + QStringLiteral("], file-[")
            + QString::fromUtf8(filePtr) + QStringLiteral("], func-[") + QString::fromUtf8(functionPtr)
            + QStringLiteral("], category-[") + QString::fromUtf8(categoryPtr) + QStringLiteral("]\n");
    }

    const QString line = composeLogLine(QtMsgType(type), context, message);
    FUZZ_CHECK(line == expected, line.toUtf8() + "\n---- expected ----\n" + expected.toUtf8());
    FUZZ_CHECK(line.isNull() == prefix.isNull(), line.toUtf8());

    const QString logName = QStringLiteral("daemon.log");
    const QByteArray before("earlier line\n");
    scratch.reset(logName, &before);
    forwarded.clear();
    forwardedCount = 0;
    journalWriter = recordingWriter;
    handleLogMessage(scratch.path(logName), QtMsgType(type), context, message);
    journalWriter = nullptr;

    bool exists = false;
    const QByteArray after = scratch.read(logName, &exists);
    if (prefix.isNull()) {
        FUZZ_CHECK(after == before, after);
        FUZZ_CHECK(forwardedCount == 0, forwarded);
    } else {
        FUZZ_CHECK(after == before + expected.toUtf8(), after);
        FUZZ_CHECK(forwardedCount == 1 && forwarded == expected.toUtf8(), forwarded);
        const QByteArray journal = journalLine(QtMsgType(type), line, true);
        const QByteArray priority = journal.left(3);
        FUZZ_CHECK(priority.startsWith('<') && priority.endsWith('>'), journal);
        QList<QByteArray> lines = journal.split('\n');
        FUZZ_CHECK(lines.takeLast().isEmpty(), journal);
        QByteArray unprefixed;
        for (const QByteArray &each : std::as_const(lines)) {
            FUZZ_CHECK(each.startsWith(priority), journal);
            unprefixed += each.mid(3) + '\n';
        }
        FUZZ_CHECK(unprefixed == expected.toUtf8(), journal);
    }
    return 0;
}
