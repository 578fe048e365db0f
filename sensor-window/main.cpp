#include "sensorwindow.h"
#include "singleapplication.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QStandardPaths>
#include <QTranslator>

#include <cstdlib>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

static void loadTranslations()
{
    // Both translators live as long as the process; a failed one is not installed.
    auto *translator = new QTranslator;
    if (translator->load(QLocale(), QStringLiteral("tarvo-vexa-sensorwindow"), QStringLiteral("_"),
                         QStringLiteral("/usr/share/tarvo-vexa-sensorwindow/translations/"))) {
        QCoreApplication::installTranslator(translator);
    } else {
        delete translator;
        qWarning("Waring : load translation file fail");
    }

    auto *qtTranslator = new QTranslator;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString qtTranslations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    const QString qtTranslations = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    if (qtTranslator->load(QLocale(), QStringLiteral("qt"), QStringLiteral("_"), qtTranslations)) {
        QCoreApplication::installTranslator(qtTranslator);
    } else {
        delete qtTranslator;
        qWarning("Waring : load qt translation file fail");
    }
}

int main(int argc, char *argv[])
{
    // The display is part of the id, so each display gets its own instance here;
    // the lock file below keeps a user to one instance across displays.
    const char *display = getenv("DISPLAY");
    const QString appId = QStringLiteral("tarvo-vexa-snsorwindow")
        + QString::fromLatin1(display ? display : "");

    SingleApplication app(appId, argc, argv);
    if (app.isRunning()) {
        const QStringList arguments = QCoreApplication::arguments();
        const QString message = arguments.size() > 1 ? arguments.at(1)
                                                     : QCoreApplication::applicationFilePath();
        app.sendMessage(message, 5000);
        qDebug() << QObject::tr("tarvo-vexa-snsorwindow is already running!");
        return 0;
    }

    loadTranslations();

    const QStringList homes = QStandardPaths::standardLocations(QStandardPaths::HomeLocation);
    const QString lockPath = homes.value(0) + QStringLiteral("/.config/tarvo-vexa-snsorwindow.lock");
    // Deliberately never closed: the lock must last as long as the process.
    const int lockFd = open(lockPath.toUtf8().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (lockFd < 0)
        return 1;
    if (lockf(lockFd, F_TLOCK, 0) < 0) {
        syslog(LOG_ERR, "Can't lock single file, tarvo-vexa-snsorwindow is already running!");
        return 0;
    }

    SensorWindow window;
    window.show();
    app.setActivationWindow(&window, true);
    QObject::connect(&app, &SingleApplication::messageReceived, &window, &SensorWindow::pullUpWindow);
    return app.exec();
}
