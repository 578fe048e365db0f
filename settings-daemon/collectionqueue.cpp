// Runs log collections on worker threads, fairly among users.
#include "collectionqueue.h"

#include <QDebug>
#include <QMetaObject>

CollectionQueue::CollectionQueue(int maxRunning)
    : m_maxRunning(maxRunning)
{
    m_pool.setMaxThreadCount(maxRunning);
    // A thread ends once it has nothing to do: an idle daemon holds nothing
    // of past collections.
    m_pool.setExpiryTimeout(0);
}

bool CollectionQueue::submit(uid_t user, const std::function<void()> &job,
                             const std::function<void()> &refuse)
{
    if (isClosed())
        return false;
    for (const Waiting &waiting : std::as_const(m_waiting)) {
        if (waiting.user == user)
            return false;
    }
    m_waiting.append({user, job, refuse});
    startWaiting();
    return true;
}

void CollectionQueue::close(const std::function<void()> &whenIdle)
{
    if (isClosed())
        return;
    m_whenIdle = whenIdle;
    for (const Waiting &waiting : std::as_const(m_waiting)) {
        qWarning() << "log collection dropped: the daemon is ending, uid" << waiting.user;
        waiting.refuse();
    }
    m_waiting.clear();
    if (m_running.isEmpty())
        m_whenIdle();
}

// First come, first served, among the users with no collection running.
void CollectionQueue::startWaiting()
{
    for (auto it = m_waiting.begin(); it != m_waiting.end() && m_running.size() < m_maxRunning;) {
        if (m_running.contains(it->user)) {
            ++it;
            continue;
        }
        const uid_t user = it->user;
        const std::function<void()> job = it->job;
        it = m_waiting.erase(it);
        m_running.insert(user);
        m_pool.start(QRunnable::create([this, user, job] {
            job();
            QMetaObject::invokeMethod(
                &m_context,
                [this, user] {
                    m_running.remove(user);
                    if (!isClosed())
                        startWaiting();
                    else if (m_running.isEmpty())
                        m_whenIdle();
                },
                Qt::QueuedConnection);
        }));
    }
}
