// Unit tests of the call scheduler: fair turns, a sender's order, the bounds.
#include "callscheduler.h"

#include <QCoreApplication>
#include <QTest>

namespace {

QStringList warnings;

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '));
}

void keepWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        warnings << message;
}

} // namespace

class TestCallScheduler : public QObject
{
    Q_OBJECT

private slots:
    void init() { warnings.clear(); }

    // Each call is "sender:uid"; the calls are named by their sender and their
    // place among the sender's calls.
    void turnsAreFair_data()
    {
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("served");
        QTest::newRow("one sender keeps its order") << words("a:1 a:1 a:1") << words("a1 a2 a3");
        QTest::newRow("users take turns") << words("a:1 a:1 a:1 c:2 c:2") << words("a1 c1 a2 c2 a3");
        QTest::newRow("a user's senders take turns, users first")
            << words("a:1 a:1 a:1 b:1 c:2 c:2") << words("a1 c1 b1 c2 a2 a3");
        QTest::newRow("many senders of one user count as one user")
            << words("a:1 b:1 d:1 e:1 c:2 c:2") << words("a1 c1 b1 c2 d1 e1");
    }
    void turnsAreFair()
    {
        QFETCH(QStringList, calls);
        QFETCH(QStringList, served);
        CallScheduler scheduler;
        QStringList order;
        QHash<QString, int> sent;
        for (const QString &call : std::as_const(calls)) {
            const QString sender = call.section(QLatin1Char(':'), 0, 0);
            const QString name = sender + QString::number(++sent[sender]);
            QVERIFY(scheduler.submit(sender, call.section(QLatin1Char(':'), 1).toUInt(), 10,
                                     [&order, name] { order << name; }));
        }
        QCOMPARE(scheduler.waitingCount(), calls.size());
        QVERIFY(order.isEmpty()); // nothing runs when it is queued
        QTRY_COMPARE(order, served);
        QCOMPARE(scheduler.waitingCount(), 0);
    }

    void boundsRefuseAndLogOncePerEpisode()
    {
        CallScheduler::Limits limits;
        limits.perSender = 2;
        limits.perUser = 3;
        limits.bytesPerUser = 100;
        CallScheduler scheduler(limits);
        qInstallMessageHandler(keepWarnings);
        int ran = 0;
        const auto job = [&ran] { ++ran; };
        QVERIFY(scheduler.submit(QStringLiteral("a"), 1, 10, job));
        QVERIFY(scheduler.submit(QStringLiteral("a"), 1, 10, job));
        QVERIFY(!scheduler.submit(QStringLiteral("a"), 1, 10, job)); // the sender's queue is full
        QVERIFY(scheduler.submit(QStringLiteral("b"), 1, 10, job));
        QVERIFY(!scheduler.submit(QStringLiteral("c"), 1, 10, job)); // the user's
        QVERIFY(!scheduler.submit(QStringLiteral("b"), 1, 10, job));
        QVERIFY(scheduler.submit(QStringLiteral("d"), 2, 10, job)); // another user's are not
        // A user with nothing waiting may queue one call of any size, but
        // nothing beside it that goes over her bytes.
        QVERIFY(scheduler.submit(QStringLiteral("e"), 3, 1000, job));
        QVERIFY(!scheduler.submit(QStringLiteral("e"), 3, 1, job));
        QVERIFY(!scheduler.submit(QStringLiteral("f"), 3, 1, job));
        QCOMPARE(warnings,
                 QStringList({QStringLiteral("calls refused: too many waiting for uid 1"),
                              QStringLiteral("calls refused: too many waiting for uid 3")}));
        QTRY_COMPARE(ran, 5);
        // Her queue emptied: the next refusal is a new episode.
        for (int i = 0; i < 3; ++i)
            QVERIFY(scheduler.submit(QStringLiteral("a") + QString::number(i), 1, 10, job));
        QVERIFY(!scheduler.submit(QStringLiteral("a"), 1, 10, job));
        qInstallMessageHandler(nullptr);
        QCOMPARE(warnings.size(), 3);
        QTRY_COMPARE(ran, 8);
    }

    // A job may queue calls, and one that runs the event loop (as a blocking
    // wait might) gets no other job run inside it.
    void jobsNeverNest()
    {
        CallScheduler scheduler;
        QStringList order;
        int idle = 0;
        scheduler.setIdleHandler([&] {
            ++idle;
            order << QStringLiteral("idle");
        });
        scheduler.submit(QStringLiteral("a"), 1, 0, [&] {
            order << QStringLiteral("begins");
            scheduler.submit(QStringLiteral("a"), 1, 0, [&] { order << QStringLiteral("3"); });
            for (int i = 0; i < 5; ++i)
                QCoreApplication::processEvents();
            order << QStringLiteral("ends");
        });
        scheduler.submit(QStringLiteral("b"), 2, 0, [&] { order << QStringLiteral("2"); });
        QTRY_COMPARE(idle, 1);
        QCOMPARE(order, words("begins ends 2 3 idle"));
    }
};

QTEST_GUILESS_MAIN(TestCallScheduler)
#include "tst_callscheduler.moc"
