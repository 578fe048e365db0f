#include "prefmanager.h"

#include "autostart.h"
#include "constants.h"
#include "dockerconfig.h"
#include "gamewhitelist.h"
#include "logcollection.h"
#include "phoneinfo.h"
#include "warninglist.h"

#include <cstdlib>

// Built afresh for every call: the gate keeps no state between calls.
static QStringList permittedCallers()
{
    return {settingsProgramPath, windowProgramPath, managerProgramPath};
}

PrefManager::PrefManager(QObject *parent)
    : QObject(parent)
{
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
    if (!checkCallerPermission(permittedCallers()))
        return -1;
    return collectLogs(LogCollectionSetup(), username, userid, logPath);
}

void PrefManager::quilt()
{
    if (!checkCallerPermission(permittedCallers()))
        return;
    // Ends at once, without a reply and without leaving the event loop.
    std::exit(0);
}
