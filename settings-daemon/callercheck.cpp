// The caller check: only the runtime's three programs, without loader overrides.
#include "prefmanager.h"

#include "callerprocess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>

bool PrefManager::checkCallerPermission(const QStringList &permittedCallers)
{
    const int pid = callerPid(message().service());

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

int PrefManager::callerPid(const QString &sender)
{
    if (const int kept = m_callerPids.pid(sender))
        return kept;
    // A caller that is already gone has no pid; 0 then fails the checks.
    const QDBusReply<uint> reply = connection().interface()->servicePid(sender);
    const int pid = reply.isValid() ? int(reply.value()) : 0;
    m_callerPids.insert(sender, pid);
    return pid;
}

// A unique name is never given out again, so its pid goes when it leaves.
void PrefManager::forgetCaller(const QString &name, const QString &oldOwner, const QString &newOwner)
{
    Q_UNUSED(oldOwner)
    if (newOwner.isEmpty())
        m_callerPids.remove(name);
}

bool PrefManager::checkEnvironment(int pid)
{
    return callerEnvironmentIsClean(pid);
}

bool PrefManager::checkWhiteList(int pid, const QStringList &permittedCallers)
{
    return callerExecutableIsPermitted(pid, permittedCallers);
}
