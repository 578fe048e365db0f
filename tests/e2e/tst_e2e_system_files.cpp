// The bridge address, phone identity and autostart methods through the real
// system bus, writing the real files inside the sandbox.

#include "sandboxtest.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QThread>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace SandboxTest;

namespace {

// Whether the process waits in an open() (a FIFO's, for a reader).
bool blockedInOpen(qint64 pid)
{
    return readFile(QStringLiteral("/proc/%1/syscall").arg(pid))
        .startsWith(QByteArray::number(SYS_openat) + ' ');
}

} // namespace

static const QString dockerConfig = QStringLiteral("/etc/docker/daemon.json");
static const QString autoStartEntry = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
static const QString accessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

static const QByteArray dockerBefore = "{\"log-level\":\"warn\"}\n";
static const QByteArray propertiesBefore = "ro.build.id=X1\r\nro.custom.brand=old\r\n# end";

// Each path with its type, mode, owner and bytes (or its absence), links not
// followed; a folder with its entries.
static QStringList snapshot(const QStringList &paths)
{
    QStringList lines;
    for (const QString &path : paths) {
        struct stat info;
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
            lines << path + QStringLiteral(" absent");
            continue;
        }
        QString line = QStringLiteral("%1 %2 %3:%4 ")
                           .arg(path)
                           .arg(info.st_mode, 0, 8)
                           .arg(info.st_uid)
                           .arg(info.st_gid);
        if (S_ISDIR(info.st_mode))
            line += QDir(path)
                        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                        .join(QLatin1Char(','));
        else if (S_ISLNK(info.st_mode))
            line += QFile::symLinkTarget(path);
        else
            line += QString::fromLatin1(readFile(path).toHex());
        lines << line;
    }
    return lines;
}

class TestE2eSystemFiles : public QObject
{
    Q_OBJECT

    Daemon m_daemon;
    QString m_properties;

    QStringList phoneArguments() const
    {
        // Non-ASCII on purpose: the daemon runs under the C locale.
        return {m_properties,
                QStringLiteral("V\u00ebndor"),
                QStringLiteral("Brand"),
                QStringLiteral("Prod"),
                QStringLiteral("Model"),
                QStringLiteral("Dev"),
                QStringLiteral("SN123"),
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
        m_properties = QStringLiteral("/var/lib/vexa/system/build.prop");
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/docker")));
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/xdg/autostart")));
        QVERIFY(QDir().mkpath(QStringLiteral("/var/lib/vexa/system")));
        QVERIFY(m_daemon.start());
    }

    void init()
    {
        QVERIFY(writeFile(dockerConfig, dockerBefore));
        QVERIFY(writeFile(m_properties, propertiesBefore));
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
        QCOMPARE(readFile(m_properties),
                 QByteArray("ro.build.id=X1\n"
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
                                        << QStringList {QStringLiteral("10.9.0.1/16")} << false;
        QTest::newRow("phone identity") << QStringLiteral("setPhoneInfo") << QStringList() << false;
        QTest::newRow("autostart on")
            << QStringLiteral("setVexaAutoStart") << QStringList {QStringLiteral("true")} << false;
        QTest::newRow("autostart off")
            << QStringLiteral("setVexaAutoStart") << QStringList {QStringLiteral("false")} << true;
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
        QCOMPARE(readFile(m_properties), propertiesBefore);
        QCOMPARE(QFile::exists(autoStartEntry), entryPresent);
        if (entryPresent)
            QCOMPARE(readFile(autoStartEntry), QByteArray("old entry"));
    }

    // A permitted program run by an unprivileged user aims setPhoneInfo at
    // files it must not reach. The property file must lie beneath the
    // runtime's data folder, reached without any symbolic link.
    void phoneInfoConfined_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("victim");
        const QString own = QStringLiteral("/var/lib/vexa/vexa-nobody");
        QTest::newRow("system file") << QStringLiteral("/etc/passwd") << QStringLiteral("/etc/passwd");
        QTest::newRow("another user's file")
            << QStringLiteral("/home/vexavictim/.bashrc") << QStringLiteral("/home/vexavictim/.bashrc");
        QTest::newRow("missing file outside the tree")
            << QStringLiteral("/etc/profile.d/vexa-evil.sh") << QStringLiteral("/etc/profile.d/vexa-evil.sh");
        QTest::newRow("dot-dot out of the tree")
            << QStringLiteral("/var/lib/vexa/../../../etc/passwd") << QStringLiteral("/etc/passwd");
        // In a folder of the tree that the user owns, as a container's may be.
        QTest::newRow("symbolic link at the file")
            << own + QStringLiteral("/build.prop") << QStringLiteral("/etc/passwd");
        QTest::newRow("symbolic link at a folder in between")
            << own + QStringLiteral("/etc/passwd") << QStringLiteral("/etc/passwd");
        QTest::newRow("link to another user's file")
            << own + QStringLiteral("/victim.prop") << QStringLiteral("/home/vexavictim/.bashrc");
        // Another account's container (uid 4242), and a name one will take.
        const QString victims = QStringLiteral("/var/lib/vexa/vexa-4242-vexavictim/data");
        QTest::newRow("another account's container folder")
            << victims + QStringLiteral("/build.prop") << victims + QStringLiteral("/build.prop");
        QTest::newRow("a log folder of another account")
            << victims + QStringLiteral("/klog/zz-planted.log") << victims + QStringLiteral("/klog");
        QTest::newRow("the name of a container not made yet")
            << QStringLiteral("/var/lib/vexa/vexa-4243-next")
            << QStringLiteral("/var/lib/vexa/vexa-4243-next");
    }
    void phoneInfoConfined()
    {
        QFETCH(QString, path);
        QFETCH(QString, victim);
        const QString own = QStringLiteral("/var/lib/vexa/vexa-nobody");
        QVERIFY(QDir().mkpath(own));
        QCOMPARE(::chown(QFile::encodeName(own).constData(), 65534, 65534), 0);
        QVERIFY(QDir().mkpath(QStringLiteral("/home/vexavictim")));
        QVERIFY(writeFile(QStringLiteral("/home/vexavictim/.bashrc"), "# victim's shell\n"));
        QCOMPARE(::chown("/home/vexavictim/.bashrc", 4242, 4242), 0);
        QCOMPARE(::chmod("/home/vexavictim/.bashrc", 0600), 0);
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/profile.d")));
        const QString victims = QStringLiteral("/var/lib/vexa/vexa-4242-vexavictim/data");
        QVERIFY(QDir().mkpath(victims + QStringLiteral("/klog")));
        QCOMPARE(::chown(QFile::encodeName(victims + QStringLiteral("/klog")).constData(), 4242, 4242), 0);
        QVERIFY(writeFile(victims + QStringLiteral("/build.prop"), "ro.serialno=victim\n"));
        // Planted by the user in its own folder.
        QStringList links;
        for (const auto &link :
             {qMakePair(QStringLiteral("/build.prop"), QStringLiteral("/etc/passwd")),
              qMakePair(QStringLiteral("/etc"), QStringLiteral("/etc")),
              qMakePair(QStringLiteral("/victim.prop"), QStringLiteral("/home/vexavictim/.bashrc"))}) {
            QFile::remove(own + link.first);
            QVERIFY(QFile::link(link.second, own + link.first));
            QCOMPARE(::lchown(QFile::encodeName(own + link.first).constData(), 65534, 65534), 0);
        }
        const QStringList watched {victim, path, own, QStringLiteral("/etc/profile.d")};
        const QStringList before = snapshot(watched);

        QStringList arguments = phoneArguments();
        arguments[0] = path;
        arguments[2] = QStringLiteral("x::0:0::/root:/bin/bash; touch /tmp/owned");
        const Reply reply = call(windowCaller, QStringLiteral("setPhoneInfo"), arguments, asNobody());
        QVERIFY2(!reply.isError() && reply.exitCode == 0, qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("false"));
        QCOMPARE(snapshot(watched), before);
        QVERIFY2(readDaemonLog().contains("Refused property file \"" + path.toUtf8() + '"'),
                 readDaemonLog().constData());
    }

    // Bounds: an argument over its limit is refused before any work, and a
    // file of the user's own is looked at before it is read: past its cap
    // (4 MiB) or not a regular file, it is left alone. One short log line.
    void boundsChangeNothing_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<int>("argument"); // the one made too long, or -1
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("plant"); // what the user puts at its own path
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("identity value") << QStringLiteral("setPhoneInfo") << 2 << 256 << QString()
                                        << QByteArray("setPhoneInfo: argument 3 refused: 256 characters");
        QTest::newRow("property file path") << QStringLiteral("setPhoneInfo") << 0 << 4096 << QString()
                                            << QByteArray("setPhoneInfo: argument 1 refused: 4096 bytes");
        QTest::newRow("bridge address") << QStringLiteral("setDockerDefaultIpAddress") << 0 << 65 << QString()
                                        << QByteArray("argument 1 refused: 65 characters");
        QTest::newRow("sparse property file past its cap")
            << QStringLiteral("setPhoneInfo") << -1 << 0 << QStringLiteral("sparse")
            << QByteArray("\" \"larger than its cap of 4194304 bytes\"");
        QTest::newRow("sparse property file within its cap")
            << QStringLiteral("setPhoneInfo") << -1 << 0 << QStringLiteral("sparse within its cap")
            << QByteArray("\" \"sparse\"");
        QTest::newRow("FIFO at the property path")
            << QStringLiteral("setPhoneInfo") << -1 << 0 << QStringLiteral("fifo")
            << QByteArray("\" \"not a regular file\"");
    }
    void boundsChangeNothing()
    {
        QFETCH(QString, method);
        QFETCH(int, argument);
        QFETCH(int, length);
        QFETCH(QString, plant);
        QFETCH(QByteArray, logged);
        const QString own = QStringLiteral("/var/lib/vexa/vexa-nobody");
        const QString planted = own + QStringLiteral("/big.prop");
        QVERIFY(QDir().mkpath(own));
        QCOMPARE(::chown(QFile::encodeName(own).constData(), 65534, 65534), 0);
        QFile::remove(planted);
        QProcess writer;
        const qint64 sparseSize = plant == QLatin1String("sparse") ? qint64(1) << 30 : 4190000;
        if (plant.startsWith(QLatin1String("sparse"))) {
            QVERIFY(makeSparseFile(planted, sparseSize));
            QCOMPARE(::chown(QFile::encodeName(planted).constData(), 65534, 65534), 0);
        } else if (plant == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(planted).constData(), 0600), 0);
            // Its writer waits in open() until somebody opens it to read.
            writer.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo > ") + planted});
            QVERIFY(writer.waitForStarted());
            QDeadlineTimer deadline(waitLimitMs);
            while (!blockedInOpen(writer.processId()) && !deadline.hasExpired())
                QThread::msleep(10);
            QVERIFY(blockedInOpen(writer.processId()));
        }
        QStringList arguments = method == QLatin1String("setPhoneInfo")
            ? phoneArguments()
            : QStringList {QStringLiteral("10.1.0.1/16")};
        if (!plant.isEmpty())
            arguments[0] = planted;
        if (argument >= 0)
            arguments[argument] = argument == 0 && method == QLatin1String("setPhoneInfo")
                ? m_properties + QString(length - m_properties.size(), QLatin1Char('/'))
                : QString(length, QLatin1Char('1'));
        // The planted file is looked at, not read: it may be a FIFO or a GiB.
        const QStringList watched {dockerConfig, m_properties, autoStartEntry, own};
        const QStringList before = snapshot(watched);

        const Reply reply = call(windowCaller, method, arguments, asNobody());
        QVERIFY2(!reply.isError() && reply.exitCode == 0, qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("false"));
        QCOMPARE(snapshot(watched), before);
        struct stat info;
        if (plant.startsWith(QLatin1String("sparse"))) {
            QCOMPARE(::stat(QFile::encodeName(planted).constData(), &info), 0);
            QCOMPARE(qint64(info.st_size), sparseSize);
            QVERIFY2(info.st_blocks < 1024, "the sparse file was filled");
        } else if (plant == QLatin1String("fifo")) {
            // Still waiting for a reader after the daemon's answer.
            QVERIFY2(blockedInOpen(writer.processId()), "the daemon opened the FIFO");
            writer.kill();
            writer.waitForFinished();
        }
        const QByteArray log = readDaemonLog();
        QVERIFY2(log.startsWith("[QWARN]:msg-[") && log.count('\n') == 1 && log.contains(logged),
                 log.constData());
    }

    void cleanupTestCase() { m_daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eSystemFiles)
#include "tst_e2e_system_files.moc"
