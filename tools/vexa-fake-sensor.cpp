// Stand-in for the runtime's sensor service: owns "com.tarvo.Vexa.sensor" on
// the session bus and prints every acceleration text it is sent.
//
// usage: vexa-fake-sensor [--record FILE] [--fail | --silent]

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>
#include <QObject>

#include <cstdio>

namespace {

const char serviceName[] = "com.tarvo.Vexa.sensor";

class FakeSensor : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.Vexa.sensor")

public:
    FakeSensor(const QString &recordPath, bool failCalls, bool silent)
        : m_failCalls(failCalls)
        , m_silent(silent)
    {
        if (!recordPath.isEmpty()) {
            m_record.setFileName(recordPath);
            if (!m_record.open(QIODevice::WriteOnly | QIODevice::Append))
                std::fprintf(stderr, "vexa-fake-sensor: cannot open %s: %s\n", qPrintable(recordPath),
                             qPrintable(m_record.errorString()));
        }
    }

    bool recordOpen() const { return m_record.fileName().isEmpty() || m_record.isOpen(); }

public slots:
    QString passAcceKey(const QString &acceleration)
    {
        const QByteArray line = acceleration.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
        if (m_record.isOpen()) {
            m_record.write(line);
            m_record.flush();
        }
        if (m_silent) {
            // Taken but never answered: the caller waits until its own timeout.
            setDelayedReply(true);
            return QString();
        }
        if (m_failCalls) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("vexa-fake-sensor was told to fail"));
            return QString();
        }
        return QStringLiteral("ok");
    }

private:
    QFile m_record;
    bool m_failCalls;
    bool m_silent;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexa-fake-sensor"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in sensor service: owns com.tarvo.Vexa.sensor on the session bus, serves passAcceKey(s)\n"
        "at \"/\" and prints each text it receives on a line of its own."));
    parser.addHelpOption();
    const QCommandLineOption recordOption(QStringLiteral("record"),
                                          QStringLiteral("Also append each text received to <file>."),
                                          QStringLiteral("file"));
    const QCommandLineOption failOption(
        QStringLiteral("fail"), QStringLiteral("Answer every call with a D-Bus error (after printing it)."));
    const QCommandLineOption silentOption(
        QStringLiteral("silent"), QStringLiteral("Take every call (and print it) but never answer it."));
    parser.addOption(recordOption);
    parser.addOption(failOption);
    parser.addOption(silentOption);
    parser.process(app);

    FakeSensor sensor(parser.value(recordOption), parser.isSet(failOption), parser.isSet(silentOption));
    if (!sensor.recordOpen())
        return 1;

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "vexa-fake-sensor: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    if (!bus.registerObject(QStringLiteral("/"), &sensor, QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "vexa-fake-sensor: cannot register the object at /\n");
        return 1;
    }
    // Register the name last, so that a client seeing the name can already call.
    if (!bus.registerService(QLatin1String(serviceName))) {
        std::fprintf(stderr, "vexa-fake-sensor: cannot own %s: %s\n", serviceName,
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    return app.exec();
}

#include "vexa-fake-sensor.moc"
