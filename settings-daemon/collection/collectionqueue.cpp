// Runs log collections on worker threads, fairly among users.
#include "collectionqueue.h"

#include <QMetaObject>

#include <utility>

CollectionQueue::CollectionQueue(int maxRunning)
    : m_maxRunning(maxRunning)
{
    m_pool.setMaxThreadCount(maxRunning);
    // A thread ends once it has nothing to do: an idle daemon holds nothing
    // of past collections.
    m_pool.setExpiryTimeout(0);
}

bool CollectionQueue::submit(uid_t user, const std::function<void()> &job)
{
    for (const Waiting &waiting : std::as_const(m_waiting)) {
        if (waiting.user == user)
            return false;
    }
    m_waiting.append({user, job});
    startWaiting();
    return true;
}

void CollectionQueue::whenIdle(const std::function<void()> &idle)
{
    m_idle = idle;
    if (isIdle())
        std::exchange(m_idle, nullptr)();
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
                    startWaiting();
                    if (m_idle && isIdle())
                        std::exchange(m_idle, nullptr)();
                },
                Qt::QueuedConnection);
        }));
    }
}
