// The caller check of every method: which process sent the call, and whether
// it is a permitted program started without loader overrides.
#include "prefmanager.h"

#include "callerprocess.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>

#include <fcntl.h>

bool PrefManager::checkCallerPermission(const Call &call, const QStringList &permittedCallers)
{
    const QString sender = call.message.service();
    const int pid = callerPid(call.bus, sender);
    const CallerProcess caller(pid, m_callerPids.pidfd(sender));

    // A call that waits for no reply gets none, refused or not.
    if (!callerEnvironmentIsClean(caller, m_callerPids.keptEnvironment(sender))) {
        if (call.message.isReplyRequired())
            call.bus.send(call.message.createErrorReply(QDBusError::LimitsExceeded,
                                                        QStringLiteral("dbus method control,env forbidden")));
        return false;
    }
    if (!callerExecutableIsPermitted(caller, permittedCallers)) {
        if (call.message.isReplyRequired())
            call.bus.send(call.message.createErrorReply(
                QDBusError::AccessDenied, QStringLiteral("dbus method control,operation not permitted")));
        return false;
    }
    return true;
}

namespace {

// What the bus knows of a sender; valid is false when it cannot tell (the
// sender has left).
struct Credentials
{
    bool valid = false;
    uint uid = 0;
    int pid = 0;
    int pidfd = -1; // the daemon's own copy of the bus's pidfd
};

QDBusMessage credentialsRequest(const QString &sender)
{
    return QDBusMessage::createMethodCall(
               QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
               QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionCredentials"))
        << sender;
}

Credentials readCredentials(const QDBusMessage &answer)
{
    Credentials result;
    const QDBusReply<QVariantMap> reply = answer;
    if (!reply.isValid())
        return result;
    const QVariantMap credentials = reply.value();
    const QVariant uid = credentials.value(QStringLiteral("UnixUserID"));
    if (!uid.isValid())
        return result;
    result.valid = true;
    result.uid = uid.toUInt();
    result.pid = int(credentials.value(QStringLiteral("ProcessID")).toUInt());
    // Where the bus holds the caller's process as a pidfd (taken from the
    // socket when the caller connected), that very process is checked: a
    // process that got its pid after it ended cannot pass for it, not even
    // between the bus's answer and the cache's own pidfd_open.
    const QVariant processFd = credentials.value(QStringLiteral("ProcessFD"));
    if (processFd.canConvert<QDBusUnixFileDescriptor>()) {
        const QDBusUnixFileDescriptor fd = processFd.value<QDBusUnixFileDescriptor>();
        if (fd.isValid()) {
            result.pidfd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            if (const int own = result.pidfd >= 0 ? pidOfPidfd(result.pidfd) : 0)
                result.pid = own;
        }
    }
    return result;
}

} // namespace

int PrefManager::callerPid(const QDBusConnection &bus, const QString &sender)
{
    if (const int kept = m_callerPids.pid(sender))
        return kept;
    // A caller that is already gone has no credentials; pid 0 then fails the
    // checks.
    // A sender the bus no longer knew at its first call has left: nothing to
    // ask (and no blocking call in a call's turn that could not be answered).
    const auto known = m_senderUids.constFind(sender);
    if (known != m_senderUids.constEnd() && *known == noUid)
        return 0;
    const Credentials credentials = readCredentials(bus.call(credentialsRequest(sender)));
    m_callerPids.insert(sender, credentials.pid, credentials.pidfd);
    return credentials.pid;
}

void PrefManager::learnSender(const QDBusConnection &bus, const QString &sender)
{
    auto *const watcher = new QDBusPendingCallWatcher(bus.asyncCall(credentialsRequest(sender)), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, sender](QDBusPendingCallWatcher *answer) {
                answer->deleteLater();
                // The pid comes with the uid: the caller check of the sender's calls
                // then asks nothing more.
                const Credentials credentials = readCredentials(answer->reply());
                if (credentials.valid)
                    m_callerPids.insert(sender, credentials.pid, credentials.pidfd);
                senderLearned(sender, credentials.valid ? credentials.uid : noUid);
            });
}

// A unique name is never given out again, so its pid goes when it leaves.
void PrefManager::forgetCaller(const QString &name, const QString &oldOwner, const QString &newOwner)
{
    Q_UNUSED(oldOwner)
    if (newOwner.isEmpty()) {
        m_callerPids.remove(name);
        m_senderUids.remove(name);
    }
}
