#include "prefmanager.h"

#include "autostart.h"
#include "constants.h"
#include "dockerconfig.h"
#include "gamewhitelist.h"
#include "logcollection.h"
#include "phoneinfo.h"
#include "warninglist.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QRunnable>
#include <QThreadPool>

#include <cstdlib>

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
    if (!checkCallerPermission(permittedCallers()))
        return false;
    return setBridgeAddressInFile(dockerDaemonJsonPath, value);
}

bool PrefManager::addGameToWhiteList(const QString &appName, const QString &pkgName)
{
    if (!checkCallerPermission(permittedCallers()))
        return false;
    return addGameToWhiteListFile(gamesJsonPath, appName, pkgName);
}

bool PrefManager::removeGameFromWhiteList(const QString &pkgName)
{
    if (!checkCallerPermission(permittedCallers()))
        return false;
    return removeGameFromWhiteListFile(gamesJsonPath, pkgName);
}

bool PrefManager::removeAppFromWarningList(const QString &pkgName)
{
    if (!checkCallerPermission(permittedCallers()))
        return false;
    return removeAppFromWarningListFile(warningJsonPath, pkgName);
}

bool PrefManager::setVexaAutoStart(const QString &checked)
{
    if (!checkCallerPermission(permittedCallers()))
        return false;
    return setAutoStartEntry(autoStartEntryPath, checked);
}

bool PrefManager::setPhoneInfo(const QString &localpath, const QString &vendor, const QString &brand,
                               const QString &name, const QString &model, const QString &equip,
                               const QString &serialno, const QString &imei)
{
    if (!checkCallerPermission(permittedCallers()))
        return false;
    return setPhoneInfoInFile(runtimeDataDir, localpath, {vendor, brand, name, model, equip, serialno, imei});
}

int PrefManager::copyLogFiles(const QString &username, const QString &userid, const QString &logPath)
{
    if (!checkCallerPermission(permittedCallers()) || !isCollectionPath(logPath))
        return -1;
    // Who may be collected for depends on who calls, as the bus knows it.
    const QDBusReply<uint> callerUid = connection().interface()->serviceUid(message().service());
    LogCollectionUser user;
    if (!callerUid.isValid()
        || !collectionRequestIsAcceptable(callerUid.value(), username, userid, logPath, &user))
        return -1;
    // A collection takes as long as its tools: it runs on a worker thread,
    // one at a time, and answers when done, while the daemon keeps serving.
    // The pool is never destroyed, so that quilt's exit does not wait for it.
    static QThreadPool *const collections = [] {
        auto *pool = new QThreadPool;
        pool->setMaxThreadCount(1);
        // The thread ends once the queue is empty: an idle daemon holds
        // nothing of past collections.
        pool->setExpiryTimeout(0);
        return pool;
    }();
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    const uint uid = callerUid.value();
    collections->start(QRunnable::create([=]() mutable {
        const int result = collectLogs(LogCollectionSetup(), uid, username, userid, logPath);
        bus.send(call.createReply(result));
    }));
    return 0;
}

void PrefManager::quilt()
{
    if (!checkCallerPermission(permittedCallers()))
        return;
    // Ends at once, without a reply and without leaving the event loop.
    std::exit(0);
}
