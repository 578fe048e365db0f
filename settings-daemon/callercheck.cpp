#include "prefmanager.h"

#include "callerprocess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>

bool PrefManager::checkCallerPermission(const QStringList &permittedCallers)
{
    const QString sender = message().service();
    // A caller that is already gone has no pid; 0 then fails the checks below.
    const int pid = int(connection().interface()->servicePid(sender).value());

    if (!checkEnvironment(pid)) {
        sendErrorReply(QDBusError::LimitsExceeded, QStringLiteral("dbus method control,env forbidden"));
        return false;
    }
    if (!checkWhiteList(pid, permittedCallers)) {
        sendErrorReply(QDBusError::AccessDenied,
                       QStringLiteral("dbus method control,operation not permitted"));
        return false;
    }
    return true;
}

bool PrefManager::checkEnvironment(int pid)
{
    return callerEnvironmentIsClean(pid);
}

bool PrefManager::checkWhiteList(int pid, const QStringList &permittedCallers)
{
    return callerExecutableIsPermitted(pid, permittedCallers);
}
