// Runs log collections on worker threads, fairly among users.
#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <functional>

#include <sys/types.h>

// Runs collections on worker threads, fairly: at most maxRunning side by
// side, one at a time per user (the user a collection is for: only that user
// can hold its tools), and at most one more waiting per user, so one user's
// collections can delay only that user's. Used from one thread, which must
// run an event loop: a job's end is handled there.
class CollectionQueue
{
public:
    explicit CollectionQueue(int maxRunning);

    // False when the user already has a collection waiting, or the queue is
    // closed: the call is to be answered at once. job runs the collection
    // and answers; refuse answers a waiting one that will never run.
    bool submit(uid_t user, const std::function<void()> &job, const std::function<void()> &refuse);

    // Takes no more collections, refuses the waiting ones, and calls whenIdle
    // (on this thread) once no collection runs: at once when none does.
    void close(const std::function<void()> &whenIdle);
    bool isClosed() const { return bool(m_whenIdle); }
    int runningCount() const { return m_running.size(); }

private:
    void startWaiting();

    struct Waiting
    {
        uid_t user;
        std::function<void()> job;
        std::function<void()> refuse;
    };
    QObject m_context;
    QThreadPool m_pool;
    QSet<uid_t> m_running;
    QList<Waiting> m_waiting;
    int m_maxRunning;
    std::function<void()> m_whenIdle;
};
