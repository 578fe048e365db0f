// The daemon's D-Bus object: thin slots that check the caller, then do one thing.
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
}

bool PrefManager::setDockerDefaultIpAddress(const QString &value)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("setDockerDefaultIpAddress", {{value, ArgumentKind::BridgeAddress}}))
        return false;
    return asCaller([&](uint) { return setBridgeAddressInFile(dockerDaemonJsonPath, value); });
}

bool PrefManager::addGameToWhiteList(const QString &appName, const QString &pkgName)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("addGameToWhiteList",
                      {{appName, ArgumentKind::AppName}, {pkgName, ArgumentKind::PackageName}}))
        return false;
    return asCaller([&](uint) { return addGameToWhiteListFile(gamesJsonPath, appName, pkgName); });
}

bool PrefManager::removeGameFromWhiteList(const QString &pkgName)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("removeGameFromWhiteList", {{pkgName, ArgumentKind::PackageName}}))
        return false;
    return asCaller([&](uint) { return removeGameFromWhiteListFile(gamesJsonPath, pkgName); });
}

bool PrefManager::removeAppFromWarningList(const QString &pkgName)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("removeAppFromWarningList", {{pkgName, ArgumentKind::PackageName}}))
        return false;
    return asCaller([&](uint) { return removeAppFromWarningListFile(warningJsonPath, pkgName); });
}

bool PrefManager::setVexaAutoStart(const QString &checked)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("setVexaAutoStart", {{checked, ArgumentKind::Switch}}))
        return false;
    return asCaller([&](uint) { return setAutoStartEntry(autoStartEntryPath, checked); });
}

bool PrefManager::setPhoneInfo(const QString &localpath, const QString &vendor, const QString &brand,
                               const QString &name, const QString &model, const QString &equip,
                               const QString &serialno, const QString &imei)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    constexpr ArgumentKind value = ArgumentKind::IdentityValue;
    if (!argumentsFit("setPhoneInfo",
                      {{localpath, ArgumentKind::Path},
                       {vendor, value},
                       {brand, value},
                       {name, value},
                       {model, value},
                       {equip, value},
                       {serialno, value},
                       {imei, value}}))
        return false;
    return asCaller([&](uint uid) {
        PropertyFileSetup setup;
        setup.callerUid = uid;
        return setPhoneInfoInFile(setup, localpath, {vendor, brand, name, model, equip, serialno, imei});
    });
}

int PrefManager::copyLogFiles(const QString &username, const QString &userid, const QString &logPath)
{
    const HeapReleaseAfterCall release;
    // Sizes are checked before the call is queued: a queued collection keeps
    // its message, and libdbus stops reading the bus while the daemon holds
    // too many bytes of messages.
    if (!checkCallerPermission(permittedCallers())
        || !argumentsFit("copyLogFiles",
                         {{username, ArgumentKind::UserName},
                          {userid, ArgumentKind::UserId},
                          {logPath, ArgumentKind::Path}})
        || !isCollectionPath(logPath))
        return -1;
    // Who may be collected for depends on who calls, as the bus knows it.
    uint uid = 0;
    LogCollectionUser user;
    if (!callerUid(&uid) || !collectionRequestIsAcceptable(uid, username, userid, logPath, &user))
        return -1;
    // Before the first tool is started, and only then: no other call should
    // pay the question to the service manager, the first after activation
    // least of all.
    if (!m_toolsContained) {
        setUpToolContainment();
        m_toolsContained = true;
    }
    const ToolScopeMaker scopes = systemToolScopes();
    // A collection takes as long as its tools: it runs on a worker thread and
    // answers when done, while the daemon keeps serving.
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    const bool queued = m_collections.submit(
        user.uid,
        [=]() mutable {
            bus.send(call.createReply(collectLogs(LogCollectionSetup(), user, logPath, scopes)));
            releaseHeap();
        },
        [=]() mutable { bus.send(call.createReply(-1)); });
    if (!queued) {
        if (m_collections.isClosed())
            qWarning() << "log collection refused: the daemon is ending, uid" << user.uid;
        else
            qWarning() << "log collection refused: one already waits for uid" << user.uid;
        return -1;
    }
    setDelayedReply(true);
    return 0;
}

void PrefManager::quilt()
{
    if (!checkCallerPermission(permittedCallers()))
        return;
    // No reply, as ever. Collections that run are not cut: each answers
    // within its own deadline, and the daemon ends after the last one.
    setDelayedReply(true);
    if (m_collections.runningCount() > 0)
        qInfo() << "quilt: ending once" << m_collections.runningCount()
                << "running log collections have answered";
    QDBusConnection bus = connection();
    m_collections.close([bus]() mutable {
        // A round trip to the bus: the answers sent before it have been
        // written when it returns.
        bus.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
        // Without static destructors or leaving the event loop: nothing is
        // buffered, the log handler writes every line at once.
        ::_exit(0);
    });
}

bool PrefManager::callerUid(uint *uid)
{
    const QDBusReply<uint> reply = connection().interface()->serviceUid(message().service());
    if (!reply.isValid())
        return false;
    *uid = reply.value();
    return true;
}

bool PrefManager::asCaller(const std::function<bool(uint)> &work)
{
    uint uid = 0;
    if (!callerUid(&uid))
        return false;
    const UnprivilegedWrites writes(uid != 0);
    return work(uid);
}
