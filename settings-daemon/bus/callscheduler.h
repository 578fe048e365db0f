// Serves queued calls one at a time on the event loop, in fair turns across users and their senders.
#pragma once

#include <QEvent>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>

#include <functional>

// The daemon's calls wait here instead of running when the bus delivers
// them, so that a sender who floods the daemon delays others by one call per
// turn, not by the whole flood. Each turn of the event loop runs one call:
// users take turns (the uid the bus reports for the sender), and within a
// user her senders (connections) take turns; a sender's own calls keep their
// order. The queues are bounded: a call that does not fit is refused at once
// by the caller of submit, and each episode of refusals is logged once (when
// it begins), as the log's rate limit is shared by every caller.
// Used from one thread, which must run an event loop.
class CallScheduler
{
public:
    struct Limits
    {
        // Calls waiting per sender, and per user over all her senders.
        int perSender = 64;
        int perUser = 256;
        // Bytes of arguments waiting per user; a user with nothing waiting
        // may always queue one call, so that an oversized call is answered
        // as any other (the argument limits refuse it in its turn).
        qint64 bytesPerUser = 8 * 1024 * 1024;
    };

    CallScheduler();
    explicit CallScheduler(const Limits &limits);
    Q_DISABLE_COPY(CallScheduler)

    // Queues job for sender (any key: the bus's unique name), whose calls
    // count for uid; bytes is what the call holds while it waits. False, with
    // nothing queued, when the sender's or the user's queue is full.
    bool submit(const QString &sender, uint uid, qint64 bytes, std::function<void()> job);

    // Calls waiting (the one that runs not counted).
    int waitingCount() const { return m_waiting; }
    bool isRunningJob() const { return m_runningJob; }
    // Called after a turn that leaves no call waiting.
    void setIdleHandler(const std::function<void()> &idle) { m_idle = idle; }

private:
    // Receives the event that starts each turn.
    class TurnReceiver : public QObject
    {
    public:
        explicit TurnReceiver(CallScheduler *scheduler)
            : m_scheduler(scheduler)
        { }
        bool event(QEvent *event) override;

    private:
        CallScheduler *m_scheduler;
    };

    void scheduleTurn();
    void runTurn();

    struct Job
    {
        std::function<void()> run;
        qint64 bytes;
    };
    struct Sender
    {
        QQueue<Job> jobs;
    };
    struct User
    {
        QList<QString> senders; // the next to serve first
        int waiting = 0;
        qint64 bytes = 0;
        bool refusing = false;
    };

    Limits m_limits;
    QHash<QString, Sender> m_senders;
    QHash<uint, User> m_users;
    QList<uint> m_turns; // users with calls waiting, the next to serve first
    int m_waiting = 0;
    bool m_runningJob = false;
    bool m_turnScheduled = false;
    TurnReceiver m_receiver {this};
    std::function<void()> m_idle;
};
