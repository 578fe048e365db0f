// A small caller of the settings daemon for tests and demonstrations. Copied
// to the permitted program paths inside the test sandbox it is a permitted
// caller; anywhere else it is refused like any other program.
//
//   vexa-pref-call [--timeout MS] METHOD [ARG...]   call with string arguments
//   vexa-pref-call --no-wait METHOD [ARG...]        send and exit at once
//   vexa-pref-call --introspect | --ping
//   vexa-pref-call --wait-name SECONDS              wait until the daemon owns its name
//   vexa-pref-call [--timeout MS] --batch FILE      many calls, one per line ("-" = stdin)
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

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

static const QString service = QStringLiteral("cn.selvane.Vexa.Pref");
static const QString path = QStringLiteral("/cn/selvane/Vexa/Pref");

static int usage()
{
    QTextStream(stderr) << "usage: vexa-pref-call [--timeout MS] [--no-wait] METHOD [ARG...]\n"
                           "       vexa-pref-call [--timeout MS] --batch FILE\n"
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

static QDBusMessage methodCall(const QString &method, const QStringList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, method);
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
        if (value.type() == QVariant::Bool)
            values << QLatin1String(value.toBool() ? "true" : "false");
        else
            values << value.toString();
    }
    return values.join(QLatin1Char(' '));
}

// Each reply line is flushed before the next line is read, so that a caller
// feeding stdin can wait for one reply at a time.
static int runBatch(QDBusConnection &bus, const QString &fileName, int timeout)
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
            const QDBusMessage reply = bus.call(methodCall(method, args), QDBus::Block, timeout);
            output = batchReplyLine(reply);
            if (reply.type() == QDBusMessage::ErrorMessage && status == 0)
                status = 1;
        }
        const QByteArray utf8 = output.toUtf8() + '\n';
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
        std::fflush(stdout);
    }
    return status;
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
        } else if (option == QLatin1String("--batch") && !args.isEmpty()) {
            return runBatch(bus, args.takeFirst(), timeout);
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

    const QString method = args.takeFirst();
    const QDBusMessage call = methodCall(method, args);

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
