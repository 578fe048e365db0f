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
