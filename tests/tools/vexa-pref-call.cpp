// A small caller of the settings daemon for tests and demonstrations. Copied
// to the permitted program paths inside the test sandbox it is a permitted
// caller; anywhere else it is refused like any other program.
//
//   vexa-pref-call [--timeout MS] METHOD [ARG...]   call with string arguments
//   vexa-pref-call --no-wait METHOD [ARG...]        send and exit at once
//   vexa-pref-call --introspect | --ping
//   vexa-pref-call --wait-name SECONDS              wait until the daemon owns its name
//
// A reply prints each value on its own line ("true"/"false" or a number) and
// exits 0; an error prints "error: NAME: TEXT" and exits 1.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QTextStream>
#include <QThread>

static const QString service = QStringLiteral("cn.selvane.Vexa.Pref");
static const QString path = QStringLiteral("/cn/selvane/Vexa/Pref");

static int usage()
{
    QTextStream(stderr) << "usage: vexa-pref-call [--timeout MS] [--no-wait] METHOD [ARG...]\n"
                           "       vexa-pref-call --introspect | --ping | --wait-name SECONDS\n";
    return 2;
}

static int printReply(const QDBusMessage &reply)
{
    QTextStream out(stdout);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        out << "error: " << reply.errorName() << ": " << reply.errorMessage() << '\n';
        return 1;
    }
    for (const QVariant &value : reply.arguments()) {
        if (value.type() == QVariant::Bool)
            out << (value.toBool() ? "true" : "false") << '\n';
        else
            out << value.toString() << '\n';
    }
    return 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        QTextStream(stdout) << "error: " << bus.lastError().name() << ": "
                            << bus.lastError().message() << '\n';
        return 1;
    }

    int timeout = -1;
    bool noWait = false;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--timeout") && !args.isEmpty()) {
            timeout = args.takeFirst().toInt();
        } else if (option == QLatin1String("--no-wait")) {
            noWait = true;
        } else if (option == QLatin1String("--introspect")) {
            const QDBusMessage call = QDBusMessage::createMethodCall(
                service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                QStringLiteral("Introspect"));
            return printReply(bus.call(call));
        } else if (option == QLatin1String("--ping")) {
            const QDBusMessage call = QDBusMessage::createMethodCall(
                service, path, QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
            return printReply(bus.call(call));
        } else if (option == QLatin1String("--wait-name") && !args.isEmpty()) {
            QElapsedTimer timer;
            timer.start();
            const qint64 limit = args.takeFirst().toDouble() * 1000;
            while (!bus.interface()->isServiceRegistered(service).value()) {
                if (timer.elapsed() > limit)
                    return 1;
                QThread::msleep(20);
            }
            return 0;
        } else {
            return usage();
        }
    }
    if (args.isEmpty())
        return usage();

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, args.takeFirst());
    QVariantList callArguments;
    for (const QString &argument : qAsConst(args))
        callArguments << argument;
    call.setArguments(callArguments);

    if (noWait) {
        // Leaves without waiting for the reply, so that a stopped daemon later
        // serves a call whose sender has left the bus.
        bus.send(call);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return 0;
    }
    return printReply(bus.call(call, QDBus::Block, timeout));
}
