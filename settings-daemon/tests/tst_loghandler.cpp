#include "loghandler.h"
#include "testutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QMap>
#include <QThread>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
QStringList forwarded;
// The rate limit's clock in rateLimit.
qint64 fakeNow = 0;
void recordingWriter(const QByteArray &line)
{
    forwarded << QString::fromUtf8(line);
}

} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        forwarded.clear();
        journalWriter = recordingWriter;
        journalPriorities = false;
    }
    void cleanup() { journalWriter = nullptr; }

    void lineForEachLevel_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("priority"); // for the journal
        const QString rest = QStringLiteral("msg-[hello], file-[], func-[], category-[]\n");
        QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("[QDEBUG]:") + rest << QByteArray("<7>");
        QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("[QWARN]:") + rest
                                 << QByteArray("<4>");
        QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("[QCRITICAL]:") + rest
                                  << QByteArray("<3>");
        QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("[QFATAL]:") + rest << QByteArray("<2>");
        QTest::newRow("info") << int(QtInfoMsg) << QStringLiteral("[QINFO]:") + rest << QByteArray("<6>");
    }
    void lineForEachLevel()
    {
        QFETCH(int, type);
        QFETCH(QString, expected);
        QFETCH(QByteArray, priority);
        // A context with null file, function and category pointers.
        const QMessageLogContext context;
        const QString line = composeLogLine(QtMsgType(type), context, QStringLiteral("hello"));
        QCOMPARE(line, expected);
        QCOMPARE(journalLine(QtMsgType(type), line, false), expected.toUtf8());
        QCOMPARE(journalLine(QtMsgType(type), line, true), priority + expected.toUtf8());
    }

    void placeholdersInFieldsStayLiteral()
    {
        const QMessageLogContext context("src/%3.cpp", 7, "void f(%1)", "cat%4");
        QCOMPARE(composeLogLine(QtWarningMsg, context, QStringLiteral("got %2 and %1%")),
                 QStringLiteral("[QWARN]:msg-[got %2 and %1%], file-[src/%3.cpp], "
                                "func-[void f(%1)], category-[cat%4]\n"));
        // A message over several lines stays several lines inside the brackets.
        const QString lines = composeLogLine(QtDebugMsg, QMessageLogContext(), QStringLiteral("a\nb"));
        QCOMPARE(lines, QStringLiteral("[QDEBUG]:msg-[a\nb], file-[], func-[], category-[]\n"));
        // In the journal, each of them keeps the priority.
        QCOMPARE(journalLine(QtDebugMsg, lines, true),
                 QByteArray("<7>[QDEBUG]:msg-[a\n<7>b], file-[], func-[], category-[]\n"));
    }

    void longMessageKeepsItsStartAndEnd()
    {
        // A surrogate pair across either cut goes with the part cut out.
        const QString pair = QStringLiteral("\U0001F600"), h(408, QLatin1Char('h')), t(102, QLatin1Char('t'));
        QCOMPARE(composeLogLine(QtWarningMsg, QMessageLogContext(),
                                h + pair + QString(2000, QLatin1Char('x')) + pair + t),
                 QStringLiteral("[QWARN]:msg-[") + h + QStringLiteral("[...2004 characters cut...]") + t
                     + QStringLiteral("], file-[], func-[], category-[]\n"));
    }

    void rateLimit_data()
    {
        // Event "MSECS T" logs message N (its place) of type T (w, c, f) at
        // that time; lines expected are "TN", or "!K" for the notice of K
        // lines dropped.
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("expected");
        QTest::newRow("the rest of the interval is dropped")
            << QStringLiteral("0w ").repeated(50) + QStringLiteral("100w") << QStringLiteral("w0 w1 !48 w50");
        // 0 and 2 take the interval's two places: 1 and 3 pass only as critical and fatal.
        QTest::newRow("critical and fatal always pass, and count")
            << QStringLiteral("0w 0c 0w 0f 0w 100w") << QStringLiteral("w0 c1 f3 !2 w5");
        // An interval opens with the first line after the last one.
        QTest::newRow("intervals follow the lines")
            << QStringLiteral("0w 250w 250w 250w 349w 350w") << QStringLiteral("w0 w1 w2 !2 w5");
    }
    void rateLimit()
    {
        QFETCH(QString, events);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("daemon.log"));
        LogRateLimiter limiter(2, 100, [] { return fakeNow; });
        const QMessageLogContext context(nullptr, 0, nullptr, "default");
        const QMap<QChar, QtMsgType> types {{QLatin1Char('w'), QtWarningMsg},
                                            {QLatin1Char('c'), QtCriticalMsg},
                                            {QLatin1Char('f'), QtFatalMsg}};
        const QStringList sent = events.split(QLatin1Char(' '));
        for (int i = 0; i < sent.size(); ++i) {
            fakeNow = sent.at(i).chopped(1).toLongLong();
            handleLogMessage(path, types.value(sent.at(i).back()), context, QString::number(i), &limiter);
        }
        QString lines;
        for (const QString &line : expected.split(QLatin1Char(' '))) {
            lines += line.startsWith(QLatin1Char('!'))
                ? composeLogLine(QtWarningMsg, context,
                                 line.mid(1) + QStringLiteral(" messages suppressed: more than 2 in 0.1 s"))
                : composeLogLine(types.value(line.front()), context, line.mid(1));
        }
        QCOMPARE(QString::fromUtf8(TestUtil::readFile(path)), lines);
        QCOMPARE(forwarded.join(QString()), lines);
    }

    void unknownTypeIsDropped()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("daemon.log"));
        QVERIFY(composeLogLine(QtMsgType(42), QMessageLogContext(), QStringLiteral("x")).isNull());
        handleLogMessage(path, QtMsgType(42), QMessageLogContext(), QStringLiteral("x"));
        QVERIFY(!QFile::exists(path));
        QVERIFY(forwarded.isEmpty());
    }

    void createsThenAppendsAsUtf8AndForwardsTheLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("daemon.log"));
        const QMessageLogContext context(nullptr, 0, nullptr, "default");
        handleLogMessage(path, QtDebugMsg, context, QStringLiteral("first"));
        handleLogMessage(path, QtWarningMsg, context, QStringLiteral("重力 é"));
        QCOMPARE(TestUtil::readFile(path),
                 QByteArray("[QDEBUG]:msg-[first], file-[], func-[], category-[default]\n"
                            "[QWARN]:msg-[")
                     + QStringLiteral("重力 é").toUtf8()
                     + QByteArray("], file-[], func-[], category-[default]\n"));
        QCOMPARE(
            forwarded,
            QStringList({QStringLiteral("[QDEBUG]:msg-[first], file-[], func-[], category-[default]\n"),
                         QStringLiteral("[QWARN]:msg-[重力 é], file-[], func-[], category-[default]\n")}));
    }

    // Standard error gets each line once, as the file has it; with a
    // priority on each of its lines only when it is the journal's stream.
    void standardErrorGetsEachLineOnce_data()
    {
        QTest::addColumn<bool>("journal");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("not the journal")
            << false << QByteArray("[QWARN]:msg-[two\nlines], file-[], func-[], category-[default]\n");
        QTest::newRow("the journal")
            << true << QByteArray("<4>[QWARN]:msg-[two\n<4>lines], file-[], func-[], category-[default]\n");
    }
    void standardErrorGetsEachLineOnce()
    {
        QFETCH(bool, journal);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        int ends[2];
        QCOMPARE(::pipe(ends), 0);
        const int saved = ::dup(STDERR_FILENO);
        QVERIFY(saved >= 0 && ::dup2(ends[1], STDERR_FILENO) == STDERR_FILENO);
        ::close(ends[1]);
        struct stat info;
        QCOMPARE(::fstat(STDERR_FILENO, &info), 0);
        // A stream of another inode is not this one.
        qputenv("JOURNAL_STREAM",
                QByteArray::number(qulonglong(info.st_dev)) + ':'
                    + QByteArray::number(qulonglong(info.st_ino) + (journal ? 0 : 1)));
        journalPriorities = standardErrorIsJournal();
        journalWriter = writeStandardError;
        handleLogMessage(dir.filePath(QStringLiteral("daemon.log")), QtWarningMsg,
                         QMessageLogContext(nullptr, 0, nullptr, "default"), QStringLiteral("two\nlines"));
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        qunsetenv("JOURNAL_STREAM");
        QByteArray written(4096, '\0');
        const ssize_t got = ::read(ends[0], written.data(), size_t(written.size()));
        ::close(ends[0]);
        QCOMPARE(journalPriorities, journal);
        written.resize(int(qMax(got, ssize_t(0))));
        QCOMPARE(written, expected);
        QCOMPARE(TestUtil::readFile(dir.filePath(QStringLiteral("daemon.log"))),
                 QByteArray("[QWARN]:msg-[two\nlines], file-[], func-[], category-[default]\n"));
    }

    void lineTheFileDidNotTakeIsPassedOn_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("sizeLimit"); // past the old content; 0: none
        // A directory where the log file should be cannot be opened as a file.
        QTest::newRow("a directory in its place") << QString() << TestUtil::absent << 0;
        QTest::newRow("no folder for it") << QStringLiteral("missing/daemon.log") << TestUtil::absent << 0;
        // Only part of the line fits: that part is cut off again.
        QTest::newRow("full after part of the line")
            << QStringLiteral("daemon.log") << QByteArray("earlier\n") << 10;
    }
    void lineTheFileDidNotTakeIsPassedOn()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, before);
        QFETCH(int, sizeLimit);
        QTemporaryDir dir;
        const QString path = name.isEmpty() ? dir.path() : dir.filePath(name);
        if (before != TestUtil::absent)
            QVERIFY(TestUtil::writeFile(path, before));
        const QMessageLogContext context(nullptr, 0, nullptr, "default");
        const auto log = [&] { handleLogMessage(path, QtCriticalMsg, context, QStringLiteral("lost")); };
        if (sizeLimit > 0)
            TestUtil::withFileSizeLimit(rlim_t(before.size() + sizeLimit), log);
        else
            log();
        QCOMPARE(TestUtil::readFile(path, TestUtil::absent), before);
        QCOMPARE(forwarded, QStringList {composeLogLine(QtCriticalMsg, context, QStringLiteral("lost"))});
    }

    void concurrentWritersProduceWholeLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("daemon.log"));
        journalWriter = nullptr;
        const int threads = 8;
        const int perThread = 300;
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([t, path] {
                const QString payload = QString(200, QLatin1Char('a' + t));
                for (int i = 0; i < perThread; ++i)
                    handleLogMessage(path, QtInfoMsg, QMessageLogContext(), payload);
            }));
            workers.back()->start();
        }
        for (auto &worker : workers)
            QVERIFY(worker->wait(TestUtil::waitLimitMs));

        const QList<QByteArray> lines = TestUtil::readFile(path).split('\n');
        QCOMPARE(lines.size(), threads * perThread + 1); // the last part follows the final line feed
        QVERIFY(lines.last().isEmpty());
        for (int i = 0; i < lines.size() - 1; ++i) {
            const QByteArray &line = lines.at(i);
            QVERIFY2(line.startsWith("[QINFO]:msg-[") && line.endsWith("], file-[], func-[], category-[]"),
                     line.constData());
            const QByteArray payload = line.mid(13, 200);
            QCOMPARE(payload, QByteArray(200, payload.at(0)));
        }
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
