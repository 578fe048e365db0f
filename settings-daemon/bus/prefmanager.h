// The daemon's D-Bus object: thin slots that queue the call, whose turn checks the caller, then does one thing.
#pragma once

#include "callercache.h"
#include "callscheduler.h"
#include "collectionqueue.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// The daemon's one exported object. Every slot only queues its call (with a
// delayed reply) in the call scheduler, which serves the calls in fair turns
// across callers. In its turn a call opens with the caller check (after the
// guard that gives a large call's heap back, heaptrim.h), hands its work to a
// plain function that takes the file's path, and answers through the saved
// message.
class PrefManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "cn.selvane.Vexa.Pref")

public:
    explicit PrefManager(QObject *parent = nullptr);

signals:
    void aboutToQuit();

public slots:
    bool setDockerDefaultIpAddress(const QString &value);
    bool addGameToWhiteList(const QString &appName, const QString &pkgName);
    bool removeGameFromWhiteList(const QString &pkgName);
    bool removeAppFromWarningList(const QString &pkgName);
    bool setVexaAutoStart(const QString &checked);
    bool setPhoneInfo(const QString &localpath, const QString &vendor, const QString &brand,
                      const QString &name, const QString &model, const QString &equip,
                      const QString &serialno, const QString &imei);
    int copyLogFiles(const QString &username, const QString &userid, const QString &logPath);
    void quilt();

private slots:
    // The bus's NameOwnerChanged; not a method of the interface, as QtDBus
    // exports public slots only.
    void forgetCaller(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    // A call saved for its turn: what it answers through, and who sent it.
    struct Call
    {
        QDBusMessage message;
        QDBusConnection bus;
        uint uid; // noUid when the bus could not tell
    };
    static constexpr uint noUid = uint(-1);

    // Queues work (called with the saved call in its turn) for the running
    // slot's sender; bytes is what its arguments hold.
    template<typename Work> void queueCall(qint64 bytes, Work work);
    // Holds the calls of a sender whose uid the bus has not told yet.
    void parkCall(const QString &sender, qint64 bytes, const Call &call,
                  std::function<void(const Call &)> work);
    // Asks the bus for the sender's credentials without waiting; the answer
    // calls senderLearned (noUid when the bus could not tell).
    void learnSender(const QDBusConnection &bus, const QString &sender);
    void senderLearned(const QString &sender, uint uid);
    static void refuseCall(const Call &call);
    // A boolean method's work in its turn: the caller check, then work
    // (false when it is refused), answered with its result.
    template<typename Work> void queueBoolCall(qint64 bytes, Work work);
    // Answers call with value when the caller waits for a reply.
    static void answer(const Call &call, const QVariant &value);

    // The caller check: defined in callercheck.cpp, its tests of the calling
    // process in callerprocess.*. A refusal is answered through call.
    bool checkCallerPermission(const Call &call, const QStringList &permittedCallers);
    // The sender's pid, kept in m_callerPids with a pidfd of its process.
    int callerPid(const QDBusConnection &bus, const QString &sender);
    // Runs a file method's work for the caller (its uid passed on) with the
    // writes checked against the room kept back for root, unless the caller
    // is root.
    static bool withRootReserveKept(const Call &call, const std::function<bool(uint)> &work);
    // After quilt: ends the daemon once no call waits and no collection runs
    // or waits.
    void endIfIdle();

    CallScheduler m_calls;
    // Log collections in progress; quilt waits for them.
    CollectionQueue m_collections;
    bool m_toolsContained = false;
    bool m_quitting = false;

    CallerPidCache m_callerPids;
    // Each sender's uid (asked once, with its pid, at its first call), kept
    // until it leaves the bus.
    QHash<QString, uint> m_senderUids;
    static constexpr int maxSendersKept = 1024;
    struct ParkedCall
    {
        Call call;
        std::function<void(const Call &)> work;
        qint64 bytes;
    };
    // Calls of senders whose credentials are on their way, at most a
    // sender's queue each and maxParkedBytes of arguments in all.
    QHash<QString, QList<ParkedCall>> m_parked;
    qint64 m_parkedBytes = 0;
    static constexpr qint64 maxParkedBytes = 8 * 1024 * 1024;
};
