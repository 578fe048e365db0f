// The bridge address, phone identity and autostart methods through the real
// system bus, writing the real files inside the sandbox.

#include "sandboxtest.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace SandboxTest;

static const QString dockerConfig = QStringLiteral("/etc/docker/daemon.json");
static const QString autoStartEntry = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
static const QString accessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

static const QByteArray dockerBefore = "{\"log-level\":\"warn\"}\n";
static const QByteArray propertiesBefore = "ro.build.id=X1\r\nro.custom.brand=old\r\n# end";

static QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

class TestE2eSystemFiles : public QObject
{
    Q_OBJECT

    Daemon daemon;
    QString properties;

    QStringList phoneArguments() const
    {
        // Non-ASCII on purpose: the daemon runs under the C locale.
        return {properties, QStringLiteral("V\u00ebndor"), QStringLiteral("Brand"), QStringLiteral("Prod"),
                QStringLiteral("Model"), QStringLiteral("Dev"), QStringLiteral("SN123"),
                QStringLiteral("IMEI456")};
    }

    void expectTrue(const Reply &reply)
    {
        QVERIFY2(!reply.isError() && reply.exitCode == 0, qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("true"));
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        properties = stateDir() + QStringLiteral("/system/build.prop");
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/docker")));
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/xdg/autostart")));
        QVERIFY(QDir().mkpath(stateDir() + QStringLiteral("/system")));
        QVERIFY(daemon.start());
    }

    void init()
    {
        QVERIFY(writeFile(dockerConfig, dockerBefore));
        QVERIFY(writeFile(properties, propertiesBefore));
        QFile::remove(autoStartEntry);
        clearDaemonLog();
    }

    void bridgeAddress()
    {
        expectTrue(call(settingsCaller, QStringLiteral("setDockerDefaultIpAddress"),
                        {QStringLiteral("172.18.0.1/16")}));
        QCOMPARE(readFile(dockerConfig),
                 QByteArray("{\n    \"bip\": \"172.18.0.1/16\",\n    \"log-level\": \"warn\"\n}\n"));
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    void phoneIdentity()
    {
        expectTrue(call(windowCaller, QStringLiteral("setPhoneInfo"), phoneArguments()));
        QCOMPARE(readFile(properties), QByteArray("ro.build.id=X1\n"
                                                  "ro.custom.brand=Brand\n"
                                                  "# end\n"
                                                  "ro.custom.manufacturer=V\xc3\xabndor\n"
                                                  "ro.custom.product=Prod\n"
                                                  "ro.custom.model=Model\n"
                                                  "ro.custom.device=Dev\n"
                                                  "ro.serialno=SN123\n"
                                                  "ro.custom.imei=IMEI456\n"));
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    void autoStart()
    {
        expectTrue(call(managerCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("true")}));
        QCOMPARE(readFile(autoStartEntry), autoStartBytes);
        expectTrue(call(managerCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("false")}));
        QVERIFY(!QFile::exists(autoStartEntry));
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    void refusedCallerChangesNothing_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("entryPresent");
        QTest::newRow("bridge address") << QStringLiteral("setDockerDefaultIpAddress")
                                        << QStringList{QStringLiteral("10.9.0.1/16")} << false;
        QTest::newRow("phone identity") << QStringLiteral("setPhoneInfo") << QStringList() << false;
        QTest::newRow("autostart on") << QStringLiteral("setVexaAutoStart")
                                      << QStringList{QStringLiteral("true")} << false;
        QTest::newRow("autostart off") << QStringLiteral("setVexaAutoStart")
                                       << QStringList{QStringLiteral("false")} << true;
    }
    void refusedCallerChangesNothing()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, arguments);
        QFETCH(bool, entryPresent);
        if (arguments.isEmpty())
            arguments = phoneArguments();
        if (entryPresent)
            QVERIFY(writeFile(autoStartEntry, "old entry"));

        const Reply reply = call(unpermittedCaller, method, arguments);
        QCOMPARE(reply.errorName, accessDenied);
        QCOMPARE(readFile(dockerConfig), dockerBefore);
        QCOMPARE(readFile(properties), propertiesBefore);
        QCOMPARE(QFile::exists(autoStartEntry), entryPresent);
        if (entryPresent)
            QCOMPARE(readFile(autoStartEntry), QByteArray("old entry"));
    }

    void cleanupTestCase() { daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eSystemFiles)
#include "tst_e2e_system_files.moc"
