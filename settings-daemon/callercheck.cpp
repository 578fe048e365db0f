#include "prefmanager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

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
    const QString path = QStringLiteral("/proc/%1/environ").arg(pid);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "open env file failed: " << path;
        return false;
    }
    QByteArray environment = file.readAll();
    file.close();

    // Entries are NUL-separated; a line feed inside a value also starts a new
    // part, which errs on the side of refusing.
    environment.replace('\0', '\n');
    static const QList<QByteArray> forbidden = {
        QByteArrayLiteral("LD_PRELOAD"), QByteArrayLiteral("LD_LIBRARY_PATH"),
        QByteArrayLiteral("LD_AUDIT")};
    for (const QByteArray &part : environment.split('\n')) {
        const int equals = part.indexOf('=');
        if (equals < 0)
            continue;
        if (forbidden.contains(part.left(equals))) {
            qWarning() << "access limited!";
            return false;
        }
    }
    return true;
}

bool PrefManager::checkWhiteList(int pid, const QStringList &permittedCallers)
{
    const QFileInfo executable(QStringLiteral("/proc/%1/exe").arg(pid));
    if (!executable.exists()) {
        qWarning() << "invalid pid:" << pid;
        return false;
    }
    // A deleted or replaced executable has no canonical path and is refused.
    const QString canonical = executable.canonicalFilePath();
    if (!canonical.isEmpty() && permittedCallers.contains(canonical))
        return true;
    qWarning() << "checkWhiteList failed: " << canonical;
    return false;
}
