// Start-up: the log handler, the bus name, the stale staging, the object.
#include "constants.h"
#include "heaptrim.h"
#include "loghandler.h"
#include "prefmanager.h"
#include "staging.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>

int main(int argc, char *argv[])
{
    limitHeapTop();
    QCoreApplication app(argc, argv);
    // Standard error takes the lines the file does not keep apart from the
    // others: under systemd it is the journal, which reads their priority.
    journalWriter = writeStandardError;
    journalPriorities = standardErrorIsJournal();
    qInstallMessageHandler(logMessageHandler);

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(dbusServiceName)) {
        qDebug("Failed to register service");
        return -1;
    }
    // Only the name's owner does this: what an earlier process staged is stale.
    removeStaleStaging(logStagingPath);

    PrefManager manager;
    QObject::connect(&app, SIGNAL(aboutToQuit()), &manager, SIGNAL(aboutToQuit()));
    if (!bus.registerObject(dbusObjectPath, dbusServiceName, &manager,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)) {
        qDebug("Failed to register object");
        return -1;
    }
    return app.exec();
}
