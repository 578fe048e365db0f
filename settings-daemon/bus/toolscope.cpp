// Transient scope units of the service manager for the collection's tools.
#include "toolscope.h"

#include "fileio.h"

#include <QAtomicInt>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QList>

#include <time.h>
#include <unistd.h>

namespace {

// One (sv) of a unit's properties, and one (sa(sv)) of the auxiliary units.
struct UnitProperty
{
    QString name;
    QDBusVariant value;
};
struct AuxUnit
{
    QString name;
    QList<UnitProperty> properties;
};

} // namespace

Q_DECLARE_METATYPE(UnitProperty)
Q_DECLARE_METATYPE(AuxUnit)

namespace {

QDBusArgument &operator<<(QDBusArgument &out, const UnitProperty &property)
{
    out.beginStructure();
    out << property.name << property.value;
    out.endStructure();
    return out;
}
const QDBusArgument &operator>>(const QDBusArgument &in, UnitProperty &property)
{
    in.beginStructure();
    in >> property.name >> property.value;
    in.endStructure();
    return in;
}
QDBusArgument &operator<<(QDBusArgument &out, const AuxUnit &unit)
{
    out.beginStructure();
    out << unit.name << unit.properties;
    out.endStructure();
    return out;
}
const QDBusArgument &operator>>(const QDBusArgument &in, AuxUnit &unit)
{
    in.beginStructure();
    in >> unit.name >> unit.properties;
    in.endStructure();
    return in;
}

const QString systemdService = QStringLiteral("org.freedesktop.systemd1");

// The cgroup of pid as /proc/PID/cgroup shows it (the unified hierarchy's
// line), or a null string.
QString cgroupOf(pid_t pid)
{
    QByteArray content;
    QString reason;
    readWholeFile(QStringLiteral("/proc/%1/cgroup").arg(pid), &content, &reason, 64 * 1024);
    for (const QByteArray &line : content.split('\n')) {
        if (line.startsWith("0::"))
            return QFile::decodeName(line.mid(3));
    }
    return QString();
}

// The daemon's own service unit, from its cgroup; a null string where it
// runs in none (started by hand).
QString ownService()
{
    const QString cgroup = cgroupOf(::getpid());
    const QString last = cgroup.mid(cgroup.lastIndexOf(QLatin1Char('/')) + 1);
    return last.endsWith(QLatin1String(".service")) ? last : QString();
}

// Each tool gets a scope of its own, named by the daemon and a count, so
// that one left behind by a held process never stands in the way.
QAtomicInt scopeCount;

bool makeSystemdToolScope(pid_t pid, uid_t uid, ToolScope *scope)
{
    const QString unit = QStringLiteral("tarvo-vexa-tools-%1-%2-%3.scope")
                             .arg(uid)
                             .arg(::getpid())
                             .arg(scopeCount.fetchAndAddRelaxed(1));
    QDBusMessage call = QDBusMessage::createMethodCall(
        systemdService, QStringLiteral("/org/freedesktop/systemd1"),
        QStringLiteral("org.freedesktop.systemd1.Manager"), QStringLiteral("StartTransientUnit"));
    const auto property = [](const char *name, const QVariant &value) {
        return UnitProperty {QString::fromLatin1(name), QDBusVariant(value)};
    };
    QList<UnitProperty> properties = {
        property("Description", QStringLiteral("Vexa log collection tool of uid %1").arg(uid)),
        property("PIDs", QVariant::fromValue(QList<uint> {uint(pid)})),
        property("Slice", QStringLiteral("system.slice")),
        property("TasksMax", QVariant::fromValue(qulonglong(maxToolTasks))),
        // Gone once empty or failed; a stop gives up on a process that
        // does not go after a second.
        property("CollectMode", QStringLiteral("inactive-or-failed")),
        property("TimeoutStopUSec", QVariant::fromValue(qulonglong(1000000))),
    };
    // Stopped with the service (or when it ends in any way): a tool of a
    // collection that a stop cut short never outlives the daemon it served.
    static const QString service = ownService();
    if (!service.isEmpty())
        properties.append(property("BindsTo", QStringList {service}));
    call << unit << QStringLiteral("fail") << QVariant::fromValue(properties)
         << QVariant::fromValue(QList<AuxUnit>());
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "tool scope not made:" << unit << reply.errorName() << reply.errorMessage();
        return false;
    }
    // The job moves the process; it waits on the gate until it is there.
    const QString suffix = QLatin1Char('/') + unit;
    const QDeadlineTimer deadline(5000);
    QString cgroup = cgroupOf(pid);
    while (!cgroup.endsWith(suffix) && !deadline.hasExpired()) {
        const struct timespec pause = {0, 5 * 1000000L};
        ::nanosleep(&pause, nullptr);
        cgroup = cgroupOf(pid);
    }
    if (!cgroup.endsWith(suffix)) {
        qWarning() << "tool scope made, but the tool did not arrive in it:" << unit;
        return false;
    }
    // Where the pids controller is not offered (a container without it),
    // TasksMax is accepted but caps nothing: the tool caps itself then.
    QByteArray max;
    QString reason;
    readWholeFile(QStringLiteral("/sys/fs/cgroup") + cgroup + QStringLiteral("/pids.max"), &max, &reason, 64);
    scope->unit = unit;
    scope->cgroup = cgroup;
    scope->capped = max.trimmed() == QByteArray::number(maxToolTasks);
    return true;
}

} // namespace

ToolScopeMaker systemToolScopes()
{
    static const ToolScopeMaker maker = []() -> ToolScopeMaker {
        qDBusRegisterMetaType<UnitProperty>();
        qDBusRegisterMetaType<AuxUnit>();
        qDBusRegisterMetaType<QList<UnitProperty>>();
        qDBusRegisterMetaType<QList<AuxUnit>>();
        if (::geteuid() != 0 || !QFile::exists(QStringLiteral("/run/systemd/system")))
            return nullptr;
        QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
        if (!bus || !bus->isServiceRegistered(systemdService).value())
            return nullptr;
        return makeSystemdToolScope;
    }();
    return maker;
}
