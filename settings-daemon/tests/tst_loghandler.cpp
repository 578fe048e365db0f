#include "loghandler.h"
#include "testutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

namespace {
QStringList forwarded;
void recordingHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    forwarded << message;
}

} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        forwarded.clear();
        previousMessageHandler = recordingHandler;
    }
    void cleanup() { previousMessageHandler = nullptr; }

    void lineForEachLevel_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("expected");
        const QString rest = QStringLiteral("msg-[hello], file-[], func-[], category-[]\n");
        QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("[QDEBUG]:") + rest;
        QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("[QWARN]:") + rest;
        QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("[QCRITICAL]:") + rest;
        QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("[QFATAL]:") + rest;
        QTest::newRow("info") << int(QtInfoMsg) << QStringLiteral("[QINFO]:") + rest;
    }
    void lineForEachLevel()
    {
        QFETCH(int, type);
        QFETCH(QString, expected);
        // A context with null file, function and category pointers.
        const QMessageLogContext context;
        QCOMPARE(composeLogLine(QtMsgType(type), context, QStringLiteral("hello")), expected);
    }

    void placeholdersInFieldsStayLiteral()
    {
        const QMessageLogContext context("src/%3.cpp", 7, "void f(%1)", "cat%4");
        QCOMPARE(composeLogLine(QtWarningMsg, context, QStringLiteral("got %2 and %1%")),
                 QStringLiteral("[QWARN]:msg-[got %2 and %1%], file-[src/%3.cpp], "
                                "func-[void f(%1)], category-[cat%4]\n"));
        // A message over several lines stays several lines inside the brackets.
        QCOMPARE(composeLogLine(QtDebugMsg, QMessageLogContext(), QStringLiteral("a\nb")),
                 QStringLiteral("[QDEBUG]:msg-[a\nb], file-[], func-[], category-[]\n"));
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

    void floodIsRateLimited()
    {
        // The burst is written, the rest dropped; the first line after the
        // interval comes after one saying how many were dropped.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("daemon.log"));
        LogRateLimiter limiter(2, 100);
        const QMessageLogContext context(nullptr, 0, nullptr, "default");
        for (int i = 0; i < 50; ++i)
            handleLogMessage(path, QtWarningMsg, context, QStringLiteral("flood %1").arg(i), &limiter);
        QThread::msleep(150);
        handleLogMessage(path, QtWarningMsg, context, QStringLiteral("later"), &limiter);
        const QByteArray tail = "], file-[], func-[], category-[default]\n";
        const QByteArray expected = "[QWARN]:msg-[flood 0" + tail + "[QWARN]:msg-[flood 1" + tail
            + "[QWARN]:msg-[48 messages suppressed: more than 2 in 0.1 s" + tail + "[QWARN]:msg-[later"
            + tail;
        QCOMPARE(TestUtil::readFile(path), expected);
        QCOMPARE(forwarded.join(QString()).toUtf8(), expected);
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

    void unwritableLogDropsTheMessage()
    {
        QTemporaryDir dir;
        // A directory where the log file should be cannot be opened as a file.
        handleLogMessage(dir.path(), QtWarningMsg, QMessageLogContext(), QStringLiteral("lost"));
        handleLogMessage(dir.filePath(QStringLiteral("missing/daemon.log")), QtWarningMsg,
                         QMessageLogContext(), QStringLiteral("lost"));
        QVERIFY(forwarded.isEmpty());
    }

    void concurrentWritersProduceWholeLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("daemon.log"));
        previousMessageHandler = nullptr;
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
