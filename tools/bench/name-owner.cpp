// The memory floor of a bus service: a Qt program that owns one name on the
// system bus and does nothing else.
//
//   vexa-bench-name-owner NAME

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: vexa-bench-name-owner NAME\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(app.arguments().at(1))) {
        std::fprintf(stderr, "vexa-bench-name-owner: cannot own the name: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    return app.exec();
}
