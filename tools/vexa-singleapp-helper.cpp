// A second program for testing SingleApplication across real processes.
//
// usage: vexa-singleapp-helper ID serve [LOCK_TIMEOUT_MS]
//          Prints "primary SERVER_PATH" or "secondary", then, as primary,
//          "received:<minimized>:<text>" for every message, where <minimized>
//          is the activation window's state at the moment the message's
//          receivers run. Runs until stdin closes. LOCK_TIMEOUT_MS replaces
//          the wait for another start's lock.
//        vexa-singleapp-helper ID send TEXT [TIMEOUT_MS]
//          Exit 0 when the running instance took TEXT, 2 when no instance
//          runs, 3 when sending failed.
//        vexa-singleapp-helper ID send-size BYTES [TIMEOUT_MS]
//          Like send, with a text of BYTES characters.
//        vexa-singleapp-helper - plant PATH
//          Plays another user's socket: listens at PATH, open to everyone,
//          prints "planted", then "connected" for every connection.

#include "singleapplication.h"

#include <QLocalServer>
#include <QSocketNotifier>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

static void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: vexa-singleapp-helper ID serve [LOCK_TIMEOUT_MS]|send TEXT "
                     "[TIMEOUT_MS]|send-size BYTES [TIMEOUT_MS]\n"
                     "       vexa-singleapp-helper - plant PATH\n");
        return 64;
    }
    const QString id = QString::fromLocal8Bit(argv[1]);
    const QByteArray mode = argv[2];
    if (mode == "plant") {
        if (argc < 4)
            return 64;
        QCoreApplication app(argc, argv);
        QLocalServer server;
        server.setSocketOptions(QLocalServer::WorldAccessOption);
        QObject::connect(&server, &QLocalServer::newConnection, &server, [&server] {
            while (server.nextPendingConnection())
                say(QStringLiteral("connected"));
        });
        if (!server.listen(QString::fromLocal8Bit(argv[3]))) {
            std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
            return 1;
        }
        say(QStringLiteral("planted"));
        return app.exec();
    }
    const int lockTimeout = mode == "serve" && argc > 3 ? QByteArray(argv[3]).toInt()
                                                        : SingleApplication::defaultStartLockTimeoutMs;
    SingleApplication app(id, argc, argv, lockTimeout);

    if (mode == "send" || mode == "send-size") {
        if (argc < 4)
            return 64;
        if (!app.isRunning())
            return 2;
        const int timeout = argc > 4 ? QByteArray(argv[4]).toInt() : 5000;
        const QString text = mode == "send" ? QString::fromUtf8(argv[3])
                                            : QString(QByteArray(argv[3]).toInt(), QLatin1Char('x'));
        return app.sendMessage(text, timeout) ? 0 : 3;
    }
    if (mode != "serve")
        return 64;

    if (app.isRunning()) {
        say(QStringLiteral("secondary"));
        return 0;
    }

    QWidget window;
    window.showMinimized();
    // Connected before the activation window is set, so only an activation
    // that runs ahead of the signal can have restored the window by now.
    QObject::connect(&app, &SingleApplication::messageReceived, &window, [&window](const QString &text) {
        say(QStringLiteral("received:%1:%2").arg(window.isMinimized() ? 1 : 0).arg(text));
    });
    app.setActivationWindow(&window, true);

    QSocketNotifier stdinWatch(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinWatch, &QSocketNotifier::activated, &app, [&stdinWatch] {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) {
            stdinWatch.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    say(QStringLiteral("primary ") + app.serverPath());
    return app.exec();
}
