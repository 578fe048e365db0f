// Unit tests of the collection queue: per-user turns, the running limit, whenIdle.
#include "collectionqueue.h"

#include <QSemaphore>
#include <QTest>

#include <atomic>

// Collections that run until the test lets them end.
struct HeldJobs
{
    QSemaphore started;
    QSemaphore release;
    std::atomic<int> ended {0};

    // Each waits on gate (release when none is named), so that a test can
    // end one job without another that starts meanwhile taking its turn.
    std::function<void()> job(QSemaphore *gate = nullptr)
    {
        return [this, gate] {
            started.release();
            // Bounded, so that a failed test ends instead of waiting for ever.
            (gate ? gate : &release)->tryAcquire(1, 30000);
            ++ended;
        };
    }
};

class TestCollectionQueue : public QObject
{
    Q_OBJECT

private slots:
    void oneRunsAndOneWaitsPerUser()
    {
        HeldJobs held;
        QSemaphore first;
        CollectionQueue queue(4);
        QVERIFY(queue.submit(1000, held.job(&first)));
        QVERIFY(held.started.tryAcquire(1, 10000));
        QVERIFY(queue.submit(1000, held.job())); // waits behind her running one
        QVERIFY(!queue.submit(1000, held.job())); // a further one is refused
        QVERIFY(queue.submit(1001, held.job(&first))); // another user's runs beside
        QVERIFY(held.started.tryAcquire(1, 10000));
        QCOMPARE(queue.runningCount(), 2);
        first.release(2);
        // Hers starts once the first has ended (on this thread's event loop).
        QTRY_VERIFY(held.started.available() > 0);
        held.started.acquire();
        QVERIFY(queue.submit(1000, held.job()));
        QVERIFY(!queue.submit(1000, held.job()));
        held.release.release(2);
        QTRY_VERIFY(queue.isIdle());
    }

    void atMostMaxRunningSideBySide()
    {
        HeldJobs held;
        CollectionQueue queue(2);
        for (uid_t user = 1; user <= 3; ++user)
            QVERIFY(queue.submit(user, held.job()));
        QVERIFY(held.started.tryAcquire(2, 10000));
        QCOMPARE(queue.runningCount(), 2);
        QVERIFY(!held.started.tryAcquire(1, 200)); // the third waits
        held.release.release(1);
        QTRY_VERIFY(held.started.available() > 0);
        held.started.acquire();
        held.release.release(2);
        QTRY_VERIFY(queue.isIdle());
        QCOMPARE(held.ended.load(), 3);
    }

    void whenIdleWaitsForRunningAndWaiting()
    {
        CollectionQueue queue(1);
        int idle = 0;
        queue.whenIdle([&idle] { ++idle; });
        QCOMPARE(idle, 1); // at once when idle

        HeldJobs held;
        QVERIFY(queue.submit(1, held.job()));
        QVERIFY(queue.submit(2, held.job()));
        queue.whenIdle([&idle] { ++idle; });
        QVERIFY(held.started.tryAcquire(1, 10000));
        // Taken meanwhile, and waited for as well.
        QVERIFY(queue.submit(3, held.job()));
        held.release.release(1);
        QTRY_VERIFY(held.started.available() > 0);
        held.started.acquire();
        held.release.release(1);
        QTRY_VERIFY(held.started.available() > 0);
        held.started.acquire();
        QCoreApplication::processEvents();
        QCOMPARE(idle, 1);
        QVERIFY(!queue.isIdle());
        held.release.release(1);
        QTRY_COMPARE(idle, 2);
        QCOMPARE(held.ended.load(), 3);
        QTRY_VERIFY(queue.isIdle());
        QCoreApplication::processEvents();
        QCOMPARE(idle, 2); // once
    }
};

QTEST_GUILESS_MAIN(TestCollectionQueue)
#include "tst_collectionqueue.moc"
