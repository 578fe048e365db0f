// The caller check of every method: which process sent the call, and whether
// it is a permitted program started without loader overrides.
#include "prefmanager.h"

#include "callerprocess.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>

#include <fcntl.h>

bool PrefManager::checkCallerPermission(const QStringList &permittedCallers)
{
    const QString sender = message().service();
    const int pid = callerPid(sender);
    const CallerProcess caller(pid, m_callerPids.pidfd(sender));

    if (!callerEnvironmentIsClean(caller, m_callerPids.keptEnvironment(sender))) {
        sendErrorReply(QDBusError::LimitsExceeded, QStringLiteral("dbus method control,env forbidden"));
        return false;
    }
    if (!callerExecutableIsPermitted(caller, permittedCallers)) {
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
    // A caller that is already gone has no credentials; pid 0 then fails the
    // checks.
    const QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionCredentials"));
    const QDBusReply<QVariantMap> reply = connection().call(QDBusMessage(request) << sender);
    if (!reply.isValid())
        return 0;
    const QVariantMap credentials = reply.value();
    int pid = int(credentials.value(QStringLiteral("ProcessID")).toUInt());
    // Where the bus holds the caller's process as a pidfd (taken from the
    // socket when the caller connected), that very process is checked: a
    // process that got its pid after it ended cannot pass for it, not even
    // between the bus's answer and the cache's own pidfd_open.
    int pidfd = -1;
    const QVariant processFd = credentials.value(QStringLiteral("ProcessFD"));
    if (processFd.canConvert<QDBusUnixFileDescriptor>()) {
        const QDBusUnixFileDescriptor fd = processFd.value<QDBusUnixFileDescriptor>();
        if (fd.isValid()) {
            pidfd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            if (const int own = pidfd >= 0 ? pidOfPidfd(pidfd) : 0)
                pid = own;
        }
    }
    m_callerPids.insert(sender, pid, pidfd);
    return pid;
}

// A unique name is never given out again, so its pid goes when it leaves.
void PrefManager::forgetCaller(const QString &name, const QString &oldOwner, const QString &newOwner)
{
    Q_UNUSED(oldOwner)
    if (newOwner.isEmpty())
        m_callerPids.remove(name);
}
