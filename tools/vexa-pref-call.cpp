// A small caller of the settings daemon for tests and demonstrations. Copied
// to the permitted program paths inside the test sandbox it is a permitted
// caller; anywhere else it is refused like any other program.
//
//   vexa-pref-call [--timeout MS] METHOD [ARG...]   call with string arguments
//   vexa-pref-call --no-wait [--print-name] METHOD [ARG...]
//                                                   send and exit at once; with
//                                                   --print-name print the
//                                                   connection's unique name first
//   vexa-pref-call --introspect | --ping
//   vexa-pref-call --wait-name SECONDS              wait until the daemon owns its name
//   vexa-pref-call --wait-gone NAME SECONDS         wait until the bus has no NAME
//   vexa-pref-call [--timeout MS] --batch FILE      many calls, one per line ("-" = stdin)
//   vexa-pref-call --timing [--repeat N] [--beside CALL] METHOD [ARG...] | --ping
//   vexa-pref-call --timing --batch FILE
//   vexa-pref-call --to SERVICE PATH INTERFACE ...   any of the above to another service
//   vexa-pref-call --flood N METHOD [ARG...]         send N calls flagged no-reply without
//                                                   waiting, then the call once more
//                                                   (again while the daemon refuses it for
//                                                   too many waiting) and wait for its reply
//                                                   ("flood: N calls sent" on stderr first)
//   vexa-pref-call --big-environment MIB ...         any of the above with about MIB MiB more
//                                                   of environment (the program starts again)
//
// A reply prints each value on its own line ("true"/"false" or a number) and
// exits 0; an error prints "error: NAME: TEXT" and exits 1.
//
// In batch mode every non-empty line is a JSON array of strings, the method
// first, e.g. ["addGameToWhiteList","Some App","com.example.app"], so that any
// argument fits on one line. The calls run one after another on one
// connection; each prints exactly one line, flushed at once: its values
// separated by spaces, "error: NAME: TEXT" (line breaks in TEXT turned into
// spaces), or "error: batch: bad line N" for a line that is not such an array
// (nothing is sent for it). Exit status 0 when every call succeeded, 1 when a
// call got an error, 2 for a bad line or an unreadable FILE.
//
// With --timing, for the benchmarks, each call prints its round trip in
// nanoseconds instead of its values (in batch mode before them), N times
// with --repeat N. --beside CALL (a JSON array as in a batch line) sends CALL
// first without waiting and repeats the timed call until CALL is answered,
// then prints "beside: " and CALL's reply line on stderr: how fast the daemon
// answers while it serves another call. An error reply prints as above and
// exits 1.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

// The daemon unless --to names another service (the benchmarks compare the
// system's own bus services).
static QString service = QStringLiteral("cn.selvane.Vexa.Pref");
static QString path = QStringLiteral("/cn/selvane/Vexa/Pref");
static QString interface = service;

static int usage()
{
    QTextStream(stderr) << "usage: vexa-pref-call [--timeout MS] [--no-wait] METHOD [ARG...]\n"
                           "       vexa-pref-call [--timeout MS] [--timing] --batch FILE\n"
                           "       vexa-pref-call [--timeout MS] --timing [--repeat N] [--beside CALL] "
                           "METHOD [ARG...] | --ping\n"
                           "       vexa-pref-call --no-wait [--print-name] METHOD [ARG...]\n"
                           "       vexa-pref-call --introspect | --ping | --wait-name SECONDS\n"
                           "       vexa-pref-call --wait-gone NAME SECONDS\n"
                           "       vexa-pref-call --to SERVICE PATH INTERFACE [OPTION...] ...\n"
                           "       vexa-pref-call [--timeout MS] --flood N METHOD [ARG...]\n"
                           "       vexa-pref-call --big-environment MIB ...\n";
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
        if (value.userType() == QMetaType::Bool)
            out << (value.toBool() ? "true" : "false") << '\n';
        else
            out << value.toString() << '\n';
    }
    return 0;
}

static QDBusMessage methodCall(const QString &method, const QStringList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    QVariantList callArguments;
    for (const QString &argument : args)
        callArguments << argument;
    call.setArguments(callArguments);
    return call;
}

// One call from a batch line; false when the line is not a non-empty JSON
// array of strings.
static bool parseBatchLine(const QByteArray &line, QString *method, QStringList *args)
{
    const QJsonDocument document = QJsonDocument::fromJson(line);
    if (!document.isArray() || document.array().isEmpty())
        return false;
    args->clear();
    for (const QJsonValue &value : document.array()) {
        if (!value.isString())
            return false;
        *args << value.toString();
    }
    *method = args->takeFirst();
    return true;
}

static QString batchReplyLine(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage) {
        QString text = reply.errorMessage();
        text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        return QStringLiteral("error: %1: %2").arg(reply.errorName(), text);
    }
    QStringList values;
    for (const QVariant &value : reply.arguments()) {
        if (value.userType() == QMetaType::Bool)
            values << QLatin1String(value.toBool() ? "true" : "false");
        else
            values << value.toString();
    }
    return values.join(QLatin1Char(' '));
}

// Each reply line is flushed before the next line is read, so that a caller
// feeding stdin can wait for one reply at a time.
static int runBatch(QDBusConnection &bus, const QString &fileName, int timeout, bool timing)
{
    std::ifstream file;
    std::istream *in = &std::cin;
    if (fileName != QLatin1String("-")) {
        file.open(QFile::encodeName(fileName).constData(), std::ios::binary);
        if (!file.is_open()) {
            std::fprintf(stderr, "vexa-pref-call: cannot read %s\n", QFile::encodeName(fileName).constData());
            return 2;
        }
        in = &file;
    }
    int status = 0;
    int lineNumber = 0;
    std::string line;
    while (std::getline(*in, line)) {
        ++lineNumber;
        const QByteArray bytes = QByteArray::fromStdString(line).trimmed();
        if (bytes.isEmpty())
            continue;
        QString method;
        QStringList args;
        QString output;
        if (!parseBatchLine(bytes, &method, &args)) {
            output = QStringLiteral("error: batch: bad line %1").arg(lineNumber);
            status = 2;
        } else {
            QElapsedTimer timer;
            timer.start();
            const QDBusMessage reply = bus.call(methodCall(method, args), QDBus::Block, timeout);
            const qint64 ns = timer.nsecsElapsed();
            output = batchReplyLine(reply);
            if (timing)
                output = QString::number(ns) + QLatin1Char(' ') + output;
            if (reply.type() == QDBusMessage::ErrorMessage && status == 0)
                status = 1;
        }
        const QByteArray utf8 = output.toUtf8() + '\n';
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
        std::fflush(stdout);
    }
    return status;
}

// Makes call repeat times, or with beside until beside is answered, and
// prints each round trip in ns.
static int runTimed(QDBusConnection &bus, const QDBusMessage &call, int timeout, int repeat,
                    const QDBusMessage *beside)
{
    QTextStream out(stdout);
    QDBusPendingCall pending = QDBusPendingCall::fromCompletedCall(QDBusMessage());
    if (beside)
        pending = bus.asyncCall(*beside, timeout);
    for (int i = 0; beside ? !pending.isFinished() : i < repeat; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QDBusMessage reply = bus.call(call, QDBus::Block, timeout);
        const qint64 ns = timer.nsecsElapsed();
        if (reply.type() == QDBusMessage::ErrorMessage)
            return printReply(reply);
        out << ns << '\n';
        if (beside)
            QCoreApplication::processEvents();
    }
    if (!beside)
        return 0;
    pending.waitForFinished();
    const QDBusMessage reply = pending.reply();
    QTextStream(stderr) << "beside: " << batchReplyLine(reply) << '\n';
    return reply.type() == QDBusMessage::ErrorMessage ? 1 : 0;
}

// Waits until name has an owner on the bus (owned) or none; false when
// limitMs passes first.
static bool waitForOwner(const QDBusConnection &bus, const QString &name, bool owned, qint64 limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (bus.interface()->isServiceRegistered(name).value() != owned) {
        if (timer.elapsed() > limitMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// Starts this program again with the rest of argv and about mib MiB more of
// environment, in variables of 64 KiB (the kernel's limit for one is
// 128 KiB). The kernel takes at most 6 MiB of arguments and environment, and
// a quarter of the stack limit: the limit is raised first, and 128 KiB are
// left for the rest.
static int startWithBigEnvironment(int mib, char *argv[], int rest)
{
    if (mib <= 0 || mib > 64)
        return 2;
    const rlim_t stack = rlim_t(4 * mib + 16) << 20;
    rlimit limit;
    if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < stack) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= stack ? stack : limit.rlim_max;
        ::setrlimit(RLIMIT_STACK, &limit);
    }
    const std::string value(64 * 1024 - 32, 'x');
    for (int i = 0; i < mib * 16 - 2; ++i)
        ::setenv(("VEXA_BIG_" + std::to_string(i)).c_str(), value.c_str(), 1);
    std::vector<char *> arguments {argv[0]};
    for (char **argument = argv + rest; *argument; ++argument)
        arguments.push_back(*argument);
    arguments.push_back(nullptr);
    ::execv("/proc/self/exe", arguments.data());
    std::perror("vexa-pref-call: execv");
    return 2;
}

// Sends count calls flagged no-reply, as fast as the bus takes them, then the
// call once more, and prints its reply. That last call is sent again while it
// is refused for the calls of this connection that still wait, so that the
// program stays (and its calls pass the caller check) until the burst has
// been served.
static int runFlood(QDBusConnection &bus, const QDBusMessage &call, int count, int timeout)
{
    // QtDBus flags every call sent without waiting as one that expects no reply.
    for (int i = 0; i < count; ++i)
        bus.send(call);
    QTextStream(stderr) << "flood: " << count << " calls sent\n";
    QDBusMessage reply;
    do {
        reply = bus.call(call, QDBus::Block, timeout);
    } while (reply.type() == QDBusMessage::ErrorMessage
             && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.LimitsExceeded")
             && reply.errorMessage() == QLatin1String("too many calls waiting"));
    return printReply(reply);
}

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::string(argv[1]) == "--big-environment")
        return startWithBigEnvironment(std::atoi(argv[2]), argv, 3);
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        QTextStream(stdout) << "error: " << bus.lastError().name() << ": " << bus.lastError().message()
                            << '\n';
        return 1;
    }

    // Long calls (a log collection held up on purpose) on a loaded machine
    // can outlast QtDBus's default of 25 s; a wait costs only when it fails.
    int timeout = 3 * 60 * 1000;
    bool noWait = false;
    bool timing = false;
    bool ping = false;
    int repeat = 1;
    int flood = -1;
    QString besideLine;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--timeout") && !args.isEmpty()) {
            timeout = args.takeFirst().toInt();
        } else if (option == QLatin1String("--batch") && !args.isEmpty()) {
            return runBatch(bus, args.takeFirst(), timeout, timing);
        } else if (option == QLatin1String("--to") && args.size() >= 3) {
            service = args.takeFirst();
            path = args.takeFirst();
            interface = args.takeFirst();
        } else if (option == QLatin1String("--no-wait")) {
            noWait = true;
        } else if (option == QLatin1String("--introspect")) {
            const QDBusMessage call = QDBusMessage::createMethodCall(
                service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                QStringLiteral("Introspect"));
            return printReply(bus.call(call));
        } else if (option == QLatin1String("--ping")) {
            ping = true;
            break;
        } else if (option == QLatin1String("--timing")) {
            timing = true;
        } else if (option == QLatin1String("--repeat") && !args.isEmpty()) {
            repeat = args.takeFirst().toInt();
        } else if (option == QLatin1String("--beside") && !args.isEmpty()) {
            besideLine = args.takeFirst();
        } else if (option == QLatin1String("--flood") && !args.isEmpty()) {
            flood = args.takeFirst().toInt();
        } else if (option == QLatin1String("--print-name")) {
            QTextStream(stdout) << bus.baseService() << '\n';
        } else if (option == QLatin1String("--wait-name") && !args.isEmpty()) {
            return waitForOwner(bus, service, true, args.takeFirst().toDouble() * 1000) ? 0 : 1;
        } else if (option == QLatin1String("--wait-gone") && args.size() >= 2) {
            const QString name = args.takeFirst();
            return waitForOwner(bus, name, false, args.takeFirst().toDouble() * 1000) ? 0 : 1;
        } else {
            return usage();
        }
    }
    if ((repeat != 1 || !besideLine.isEmpty()) && !timing)
        return usage();
    QDBusMessage call;
    if (ping) {
        // Peer.Ping, which Qt's bus code answers without reaching the daemon's
        // object: a round trip through the bus and nothing else.
        call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Peer"),
                                              QStringLiteral("Ping"));
    } else {
        if (args.isEmpty())
            return usage();
        const QString method = args.takeFirst();
        call = methodCall(method, args);
    }
    if (timing) {
        QDBusMessage beside;
        if (!besideLine.isEmpty()) {
            QString method;
            QStringList besideArgs;
            if (!parseBatchLine(besideLine.toUtf8(), &method, &besideArgs))
                return usage();
            beside = methodCall(method, besideArgs);
        }
        return runTimed(bus, call, timeout, repeat, besideLine.isEmpty() ? nullptr : &beside);
    }
    if (ping)
        return printReply(bus.call(call));
    if (flood >= 0)
        return runFlood(bus, call, flood, timeout);

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
