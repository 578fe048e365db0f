// The daemon's D-Bus object: thin slots that queue the call, whose turn checks the caller, then does one thing.
#include "prefmanager.h"

#include "argumentlimits.h"
#include "autostart.h"
#include "constants.h"
#include "dockerconfig.h"
#include "fileio.h"
#include "gamewhitelist.h"
#include "heaptrim.h"
#include "logcollection.h"
#include "phoneinfo.h"
#include "toolscope.h"
#include "warninglist.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDebug>

#include <initializer_list>
#include <utility>

#include <unistd.h>

// Built afresh for every call.
static QStringList permittedCallers()
{
    return {settingsProgramPath, windowProgramPath, managerProgramPath};
}

PrefManager::PrefManager(QObject *parent)
    : QObject(parent)
    , m_collections(maxCollectionsAtOnce)
{
    // Subscribed before any call is served, so that no sender whose pid is
    // kept can leave unnoticed.
    QDBusConnection::systemBus().connect(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
        SLOT(forgetCaller(QString, QString, QString)));
    m_calls.setIdleHandler([this] { endIfIdle(); });
}

// What a call's string arguments hold while it waits, in bytes.
static qint64 argumentBytes(std::initializer_list<const QString *> arguments)
{
    qint64 bytes = 0;
    for (const QString *argument : arguments)
        bytes += qint64(argument->size()) * qint64(sizeof(QChar));
    return bytes;
}

// Nothing costly here: every call of a burst passes through this before the
// scheduler's next turn. A sender's first call asks the bus who it is without
// waiting for the answer: a blocking call here could not be answered while
// the messages held by the daemon keep libdbus from reading the bus (63 MiB),
// and every caller would wait for its time-out.
template<typename Work> void PrefManager::queueCall(qint64 bytes, Work work)
{
    setDelayedReply(true);
    const QString sender = message().service();
    const auto known = m_senderUids.constFind(sender);
    if (known == m_senderUids.constEnd()) {
        parkCall(sender, bytes, {message(), connection(), noUid}, std::move(work));
        return;
    }
    Call call {message(), connection(), *known};
    const uint uid = call.uid;
    if (!m_calls.submit(sender, uid, bytes, [call = std::move(call), work = std::move(work)] { work(call); }))
        refuseCall({message(), connection(), uid});
}

void PrefManager::refuseCall(const Call &call)
{
    // A call that waits for no reply is dropped.
    if (call.message.isReplyRequired())
        call.bus.send(call.message.createErrorReply(QDBusError::LimitsExceeded,
                                                    QStringLiteral("too many calls waiting")));
}

void PrefManager::parkCall(const QString &sender, qint64 bytes, const Call &call,
                           std::function<void(const Call &)> work)
{
    QList<ParkedCall> &parked = m_parked[sender];
    const bool first = parked.isEmpty();
    // The bound holds for first calls too, one larger call alone excepted:
    // what waits here waits for an answer of the bus, which libdbus reads
    // only while the daemon holds less than 63 MiB of messages, and one
    // message is at most 32 MiB.
    if (parked.size() >= CallScheduler::Limits().perSender
        || (m_parkedBytes > 0 && m_parkedBytes + bytes > maxParkedBytes)) {
        if (first)
            m_parked.remove(sender);
        refuseCall(call);
        return;
    }
    parked.append({call, std::move(work), bytes});
    m_parkedBytes += bytes;
    if (first)
        learnSender(call.bus, sender);
}

void PrefManager::senderLearned(const QString &sender, uint uid)
{
    if (m_senderUids.size() >= maxSendersKept)
        m_senderUids.erase(m_senderUids.begin());
    m_senderUids.insert(sender, uid);
    const QList<ParkedCall> parked = m_parked.take(sender);
    for (const ParkedCall &waiting : parked) {
        m_parkedBytes -= waiting.bytes;
        Call call = waiting.call;
        call.uid = uid;
        const std::function<void(const Call &)> work = waiting.work;
        if (!m_calls.submit(sender, uid, waiting.bytes, [call, work] { work(call); }))
            refuseCall(call);
    }
    endIfIdle(); // after quilt, when every one of them was refused
}

template<typename Work> void PrefManager::queueBoolCall(qint64 bytes, Work work)
{
    queueCall(bytes, [this, work = std::move(work)](const Call &call) {
        const HeapReleaseAfterCall release;
        if (checkCallerPermission(call, permittedCallers()))
            answer(call, work(call));
    });
}

void PrefManager::answer(const Call &call, const QVariant &value)
{
    if (call.message.isReplyRequired())
        call.bus.send(call.message.createReply(value));
}

bool PrefManager::setDockerDefaultIpAddress(const QString &value)
{
    queueBoolCall(argumentBytes({&value}), [value](const Call &call) {
        if (!argumentsFit("setDockerDefaultIpAddress", {{value, ArgumentKind::BridgeAddress}}))
            return false;
        return withRootReserveKept(call,
                                   [&](uint) { return setBridgeAddressInFile(dockerDaemonJsonPath, value); });
    });
    return false;
}

bool PrefManager::addGameToWhiteList(const QString &appName, const QString &pkgName)
{
    queueBoolCall(argumentBytes({&appName, &pkgName}), [appName, pkgName](const Call &call) {
        if (!argumentsFit("addGameToWhiteList",
                          {{appName, ArgumentKind::AppName}, {pkgName, ArgumentKind::PackageName}}))
            return false;
        return withRootReserveKept(
            call, [&](uint) { return addGameToWhiteListFile(gamesJsonPath, appName, pkgName); });
    });
    return false;
}

bool PrefManager::removeGameFromWhiteList(const QString &pkgName)
{
    queueBoolCall(argumentBytes({&pkgName}), [pkgName](const Call &call) {
        if (!argumentsFit("removeGameFromWhiteList", {{pkgName, ArgumentKind::PackageName}}))
            return false;
        return withRootReserveKept(call,
                                   [&](uint) { return removeGameFromWhiteListFile(gamesJsonPath, pkgName); });
    });
    return false;
}

bool PrefManager::removeAppFromWarningList(const QString &pkgName)
{
    queueBoolCall(argumentBytes({&pkgName}), [pkgName](const Call &call) {
        if (!argumentsFit("removeAppFromWarningList", {{pkgName, ArgumentKind::PackageName}}))
            return false;
        return withRootReserveKept(
            call, [&](uint) { return removeAppFromWarningListFile(warningJsonPath, pkgName); });
    });
    return false;
}

bool PrefManager::setVexaAutoStart(const QString &checked)
{
    queueBoolCall(argumentBytes({&checked}), [checked](const Call &call) {
        if (!argumentsFit("setVexaAutoStart", {{checked, ArgumentKind::Switch}}))
            return false;
        return withRootReserveKept(call,
                                   [&](uint) { return setAutoStartEntry(autoStartEntryPath, checked); });
    });
    return false;
}

bool PrefManager::setPhoneInfo(const QString &localpath, const QString &vendor, const QString &brand,
                               const QString &name, const QString &model, const QString &equip,
                               const QString &serialno, const QString &imei)
{
    const PhoneIdentity identity {vendor, brand, name, model, equip, serialno, imei};
    queueBoolCall(argumentBytes({&localpath, &vendor, &brand, &name, &model, &equip, &serialno, &imei}),
                  [localpath, identity](const Call &call) {
                      constexpr ArgumentKind value = ArgumentKind::IdentityValue;
                      if (!argumentsFit("setPhoneInfo",
                                        {{localpath, ArgumentKind::Path},
                                         {identity.vendor, value},
                                         {identity.brand, value},
                                         {identity.name, value},
                                         {identity.model, value},
                                         {identity.equip, value},
                                         {identity.serialno, value},
                                         {identity.imei, value}}))
                          return false;
                      return withRootReserveKept(call, [&](uint uid) {
                          PropertyFileSetup setup;
                          setup.callerUid = uid;
                          return setPhoneInfoInFile(setup, localpath, identity);
                      });
                  });
    return false;
}

int PrefManager::copyLogFiles(const QString &username, const QString &userid, const QString &logPath)
{
    queueCall(argumentBytes({&username, &userid, &logPath}),
              [this, username, userid, logPath](const Call &call) {
                  const HeapReleaseAfterCall release;
                  if (!checkCallerPermission(call, permittedCallers()))
                      return;
                  // Sizes are checked before the collection is queued: a queued
                  // collection keeps its message, and libdbus stops reading the bus
                  // while the daemon holds too many bytes of messages.
                  LogCollectionUser user;
                  if (!argumentsFit("copyLogFiles",
                                    {{username, ArgumentKind::UserName},
                                     {userid, ArgumentKind::UserId},
                                     {logPath, ArgumentKind::Path}})
                      || !isCollectionPath(logPath)
                      || call.uid == noUid
                      // Who may be collected for depends on who calls, as the bus knows it.
                      || !collectionRequestIsAcceptable(call.uid, username, userid, logPath, &user)) {
                      answer(call, -1);
                      return;
                  }
                  // Before the first tool is started, and only then: no other call
                  // should pay the question to the service manager, the first after
                  // activation least of all.
                  if (!m_toolsContained) {
                      setUpToolContainment();
                      m_toolsContained = true;
                  }
                  const ToolScopeMaker scopes = systemToolScopes();
                  // A collection takes as long as its tools: it runs on a worker thread
                  // and answers when done, while the daemon keeps serving.
                  if (!m_collections.submit(user.uid, [call, user, logPath, scopes] {
                          answer(call, collectLogs(LogCollectionSetup(), user, logPath, scopes));
                          releaseHeap();
                      })) {
                      qWarning() << "log collection refused: one already waits for uid" << user.uid;
                      answer(call, -1);
                  }
              });
    return 0;
}

void PrefManager::quilt()
{
    queueCall(0, [this](const Call &call) {
        if (!checkCallerPermission(call, permittedCallers()))
            return;
        // No reply, as ever. Nothing changes for anyone meanwhile: calls and
        // collections are taken and served as before, and the daemon ends the
        // first moment it is idle.
        if (m_collections.runningCount() > 0)
            qInfo() << "quilt: ending once" << m_collections.runningCount()
                    << "running log collections have answered";
        m_quitting = true;
        endIfIdle();
    });
}

void PrefManager::endIfIdle()
{
    if (!m_quitting || m_calls.waitingCount() > 0 || !m_parked.isEmpty())
        return; // called again once no call waits
    if (!m_collections.isIdle()) {
        m_collections.whenIdle([this] { endIfIdle(); });
        return;
    }
    // A round trip to the bus: the answers sent before it have been written
    // when it returns.
    QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
    // Without static destructors or leaving the event loop: nothing is
    // buffered, the log handler writes every line at once.
    ::_exit(0);
}

bool PrefManager::withRootReserveKept(const Call &call, const std::function<bool(uint)> &work)
{
    if (call.uid == noUid)
        return false;
    const UnprivilegedWrites writes(call.uid != 0);
    return work(call.uid);
}
