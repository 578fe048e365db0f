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

    // False when the user already has a collection waiting: the call is to
    // be answered at once. job runs the collection and answers.
    bool submit(uid_t user, const std::function<void()> &job);

    // Calls idle (on this thread) once no collection runs or waits: at once
    // when none does. The queue keeps taking collections meanwhile; a later
    // call replaces an idle not yet called.
    void whenIdle(const std::function<void()> &idle);
    bool isIdle() const { return m_running.isEmpty() && m_waiting.isEmpty(); }
    int runningCount() const { return m_running.size(); }

private:
    void startWaiting();

    struct Waiting
    {
        uid_t user;
        std::function<void()> job;
    };
    QObject m_context;
    QThreadPool m_pool;
    QSet<uid_t> m_running;
    QList<Waiting> m_waiting;
    int m_maxRunning;
    std::function<void()> m_idle;
};
