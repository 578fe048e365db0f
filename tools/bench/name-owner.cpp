// The floors of a bus service: a Qt program that owns one name on the system
// bus and does nothing else (its memory), or with --slot also answers the
// daemon's gated call from a slot that does nothing, on its main thread as the
// daemon serves every call (the cost of a call before the daemon's own work).
//
//   vexa-bench-name-owner [--slot] NAME

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

// The daemon's interface with one method, answered at once.
class MinimalSlot : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "cn.selvane.Vexa.Pref")

public slots:
    int copyLogFiles(const QString &, const QString &, const QString &) { return -1; }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool slot = !args.isEmpty() && args.first() == QLatin1String("--slot");
    if (slot)
        args.removeFirst();
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: vexa-bench-name-owner [--slot] NAME\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    MinimalSlot object;
    if (slot
        && !bus.registerObject(QStringLiteral("/cn/selvane/Vexa/Pref"), &object,
                               QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "vexa-bench-name-owner: cannot register the object\n");
        return 1;
    }
    if (!bus.registerService(args.first())) {
        std::fprintf(stderr, "vexa-bench-name-owner: cannot own the name: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    return app.exec();
}

#include "name-owner.moc"
