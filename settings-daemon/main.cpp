#include "loghandler.h"
#include "prefmanager.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>

static const QString serviceName = QStringLiteral("cn.selvane.Vexa.Pref");
static const QString objectPath = QStringLiteral("/cn/selvane/Vexa/Pref");

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    previousMessageHandler = qInstallMessageHandler(logMessageHandler);

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(serviceName)) {
        qDebug("Failed to register service");
        return -1;
    }

    PrefManager manager;
    QObject::connect(&app, SIGNAL(aboutToQuit()), &manager, SIGNAL(aboutToQuit()));
    if (!bus.registerObject(objectPath, serviceName, &manager,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)) {
        qDebug("Failed to register object");
        return -1;
    }
    return app.exec();
}
