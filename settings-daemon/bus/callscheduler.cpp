// Serves queued calls one at a time on the event loop, in fair turns across users and their senders.
#include "callscheduler.h"

#include <QCoreApplication>
#include <QDebug>

#include <utility>

CallScheduler::CallScheduler()
    : CallScheduler(Limits())
{ }

CallScheduler::CallScheduler(const Limits &limits)
    : m_limits(limits)
{ }

// Each turn is one posted event: it comes after the calls the bus delivered
// before it, which are queued by then, and costs one wake-up. (A zero timer
// fires only when the event loop is otherwise idle once it has fired, which
// added some 100 us to every call.)
static const QEvent::Type turnEvent = QEvent::Type(QEvent::registerEventType());

bool CallScheduler::TurnReceiver::event(QEvent *event)
{
    if (event->type() != turnEvent)
        return QObject::event(event);
    m_scheduler->m_turnScheduled = false;
    m_scheduler->runTurn();
    return true;
}

void CallScheduler::scheduleTurn()
{
    if (m_turnScheduled)
        return;
    m_turnScheduled = true;
    QCoreApplication::postEvent(&m_receiver, new QEvent(turnEvent));
}

bool CallScheduler::submit(const QString &sender, uint uid, qint64 bytes, std::function<void()> job)
{
    User &user = m_users[uid];
    const auto known = m_senders.find(sender);
    const int senderWaiting = known == m_senders.end() ? 0 : known->jobs.size();
    const bool fits = senderWaiting < m_limits.perSender && user.waiting < m_limits.perUser
        && (user.waiting == 0 || user.bytes + bytes <= m_limits.bytesPerUser);
    if (!fits) {
        // Logged once until her queue has emptied: a flood must not crowd
        // other lines out of the log.
        if (!user.refusing)
            qWarning() << "calls refused: too many waiting for uid" << uid;
        user.refusing = true;
        return false;
    }
    Sender &queue = known == m_senders.end() ? m_senders[sender] : *known;
    if (queue.jobs.isEmpty())
        user.senders.append(sender);
    if (user.waiting == 0)
        m_turns.append(uid);
    queue.jobs.enqueue({std::move(job), bytes});
    ++user.waiting;
    user.bytes += bytes;
    ++m_waiting;
    scheduleTurn();
    return true;
}

void CallScheduler::runTurn()
{
    // A job that runs an event loop of its own does not get another job run
    // inside it: the next turn is taken once it has ended.
    if (m_runningJob)
        return;
    if (m_turns.isEmpty())
        return;
    // The queues are settled before the job runs, so that it may queue calls.
    const uint uid = m_turns.takeFirst();
    User &user = m_users[uid];
    const QString sender = user.senders.takeFirst();
    Sender &queue = m_senders[sender];
    Job job = queue.jobs.dequeue();
    if (queue.jobs.isEmpty())
        m_senders.remove(sender);
    else
        user.senders.append(sender);
    --user.waiting;
    user.bytes -= job.bytes;
    --m_waiting;
    if (user.waiting > 0)
        m_turns.append(uid);
    else
        m_users.remove(uid);

    m_runningJob = true;
    job.run();
    job.run = nullptr;
    m_runningJob = false;
    if (m_waiting > 0)
        scheduleTurn();
    else if (m_idle)
        m_idle();
}
