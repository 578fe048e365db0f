#include "prefmanager.h"

#include "argumentlimits.h"
#include "autostart.h"
#include "constants.h"
#include "dockerconfig.h"
#include "gamewhitelist.h"
#include "heaptrim.h"
#include "logcollection.h"
#include "phoneinfo.h"
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
    return setBridgeAddressInFile(dockerDaemonJsonPath, value);
}

bool PrefManager::addGameToWhiteList(const QString &appName, const QString &pkgName)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("addGameToWhiteList",
                      {{appName, ArgumentKind::AppName}, {pkgName, ArgumentKind::PackageName}}))
        return false;
    return addGameToWhiteListFile(gamesJsonPath, appName, pkgName);
}

bool PrefManager::removeGameFromWhiteList(const QString &pkgName)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("removeGameFromWhiteList", {{pkgName, ArgumentKind::PackageName}}))
        return false;
    return removeGameFromWhiteListFile(gamesJsonPath, pkgName);
}

bool PrefManager::removeAppFromWarningList(const QString &pkgName)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("removeAppFromWarningList", {{pkgName, ArgumentKind::PackageName}}))
        return false;
    return removeAppFromWarningListFile(warningJsonPath, pkgName);
}

bool PrefManager::setVexaAutoStart(const QString &checked)
{
    const HeapReleaseAfterCall release;
    if (!checkCallerPermission(permittedCallers()))
        return false;
    if (!argumentsFit("setVexaAutoStart", {{checked, ArgumentKind::Switch}}))
        return false;
    return setAutoStartEntry(autoStartEntryPath, checked);
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
    return setPhoneInfoInFile(runtimeDataDir, localpath, {vendor, brand, name, model, equip, serialno, imei});
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
    const QDBusReply<uint> callerUid = connection().interface()->serviceUid(message().service());
    LogCollectionUser user;
    if (!callerUid.isValid()
        || !collectionRequestIsAcceptable(callerUid.value(), username, userid, logPath, &user))
        return -1;
    // A collection takes as long as its tools: it runs on a worker thread and
    // answers when done, while the daemon keeps serving. The queue is never
    // destroyed (quilt ends the process under running workers).
    static CollectionQueue *const collections = new CollectionQueue(maxCollectionsAtOnce);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    const uint uid = callerUid.value();
    const bool queued = collections->submit(user.uid, [=]() mutable {
        bus.send(call.createReply(collectLogs(LogCollectionSetup(), uid, username, userid, logPath)));
        releaseHeap();
    });
    if (!queued) {
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
    // Ends at once, without a reply and without leaving the event loop, and
    // without static destructors, which collections running on workers may
    // still use. Nothing is buffered: the log handler writes every line at
    // once.
    ::_exit(0);
}
