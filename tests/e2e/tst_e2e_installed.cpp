// The two Debian packages as a user gets them: installed with dpkg inside the
// sandbox (sandbox.sh --debs, booted where it can: --boot), the daemon started
// by the system bus on the first call (through systemd and its unit when
// booted), log rotation with our logrotate file, and removal with
// dpkg --purge; besides, the daemon with no more rights than its unit gives
// it. Test cases depend on each other and run in this order.

#include "sandboxtest.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <algorithm>

#include <QScopeGuard>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace SandboxTest;

namespace {

const QString daemonPackage = QStringLiteral("tarvo-vexa-settings-daemon");
const QString windowPackage = QStringLiteral("tarvo-vexa-sensorwindow");
const QString busName = QStringLiteral("cn.selvane.Vexa.Pref");
// The configured unit folder (systemd.pc's, so /lib on Debian 12 and /usr/lib
// on Debian 13), as the packages install it.
const QString unitPath = QStringLiteral(VEXA_SYSTEMD_UNIT_DIR "/tarvo-vexa-settings-daemon.service");
const QString activationPath = QStringLiteral(
    "/usr/share/dbus-1/system-services/cn.selvane.Vexa.Pref.service");
const QString logrotatePath = QStringLiteral("/etc/logrotate.d/tarvo-vexa-settings-daemon");
const QString desktopPath = QStringLiteral("/usr/share/applications/tarvo-vexa-sensorwindow.desktop");
const QString accessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString noReply = QStringLiteral("org.freedesktop.DBus.Error.NoReply");

// Runs a program with the tools' search path, a time-out and its standard
// output and error together.
ProcessResult run(const QString &program, const QStringList &args)
{
    // Maintainer scripts and tools look for programs in the sbin folders too.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    env.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    env.insert(QStringLiteral("TMPDIR"), stateDir());
    return runProcess(program, args, waitLimitMs, env, QProcess::MergedChannels);
}

// writeFile, making the file's folder first.
bool makeFile(const QString &path, const QByteArray &content)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && writeFile(path, content);
}

// Process ids of running copies of the installed daemon.
QList<qint64> daemonPids()
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == daemonProgram)
            pids << pid;
    }
    return pids;
}

// One field of /proc/PID/status, e.g. "PPid" or "Uid".
QString statusField(qint64 pid, const char *field)
{
    const QList<QByteArray> lines = readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n');
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()).trimmed());
    }
    return QString();
}

QStringList activatableNames()
{
    const ProcessResult result = run(QStringLiteral("dbus-send"),
                                     {QStringLiteral("--system"), QStringLiteral("--print-reply"),
                                      QStringLiteral("--dest=org.freedesktop.DBus"),
                                      QStringLiteral("/org/freedesktop/DBus"),
                                      QStringLiteral("org.freedesktop.DBus.ListActivatableNames")});
    QStringList names;
    const QRegularExpression quoted(QStringLiteral("string \"([^\"]+)\""));
    auto it = quoted.globalMatch(result.output);
    while (it.hasNext())
        names << it.next().captured(1);
    return names;
}

QByteArray warnLine(const QByteArray &message)
{
    return "[QWARN]:msg-[" + message + "], file-[], func-[], category-[default]\n";
}

const QByteArray refusedLine = warnLine("checkWhiteList failed:  \"/usr/bin/vexa-pref-call\"");

// Starts the installed daemon with the rights its unit leaves it, as far as
// they can be had without systemd: root, but only the unit's capability
// bounding set (less the withheld ones), no new privileges, and a service's
// bare environment.
bool startWithUnitCapabilities(QProcess &daemon, const QList<QByteArray> &withheld = {})
{
    QStringList capabilities;
    bool noNewPrivileges = false;
    const QList<QByteArray> lines = readFile(unitPath).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("CapabilityBoundingSet=")) {
            for (const QByteArray &capability : line.mid(int(qstrlen("CapabilityBoundingSet="))).split(' ')) {
                if (capability.startsWith("CAP_") && !withheld.contains(capability))
                    capabilities << QLatin1Char('+') + QString::fromLatin1(capability.mid(4).toLower());
            }
        } else if (line == "NoNewPrivileges=yes") {
            noNewPrivileges = true;
        }
    }
    if (capabilities.isEmpty() || !noNewPrivileges) {
        qWarning("the unit grants no capabilities or allows new privileges");
        return false;
    }
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"),
               QStringLiteral("/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"));
    daemon.setProcessEnvironment(env);
    daemon.setStandardOutputFile(stateDir() + QStringLiteral("/daemon.out"), QIODevice::Append);
    daemon.setStandardErrorFile(stateDir() + QStringLiteral("/daemon.out"), QIODevice::Append);
    daemon.start(QStringLiteral("/usr/bin/setpriv"),
                 {QStringLiteral("--bounding-set=-all,") + capabilities.join(QLatin1Char(',')),
                  QStringLiteral("--inh-caps=-all"), QStringLiteral("--no-new-privs"), QStringLiteral("--"),
                  daemonProgram});
    return daemon.waitForStarted(waitLimitMs) && waitForName(true);
}

} // namespace

class TestE2eInstalled : public QObject
{
    Q_OBJECT

    QStringList m_installedFiles; // files (not folders) the packages put on the system
    const bool booted = qEnvironmentVariable("VEXA_SANDBOX_BOOTED") == QLatin1String("1");

    void expectValue(const Reply &reply, const QString &value)
    {
        QVERIFY2(!reply.isError() && reply.exitCode == 0, qPrintable(reply.output));
        QCOMPARE(reply.value, value);
    }

    // The single running daemon, started by the bus: under systemd, in its
    // unit's cgroup. Otherwise the launch helper runs it as root with an
    // environment of its own making: nothing but the DBUS_STARTER_* variables,
    // so none of the sandbox's (VEXA_SANDBOX) that a start by the test or the
    // sandbox would have passed on.
    qint64 busStartedDaemon()
    {
        const QList<qint64> pids = daemonPids();
        if (pids.size() != 1) {
            qWarning("%d daemons are running", int(pids.size()));
            return 0;
        }
        const qint64 pid = pids.first();
        if (booted) {
            const QByteArray cgroup = readFile(QStringLiteral("/proc/%1/cgroup").arg(pid));
            // In the unit's cgroup; in a leaf of its own below it once a
            // collection has run.
            if (!cgroup.endsWith("/system.slice/tarvo-vexa-settings-daemon.service\n")
                && !cgroup.endsWith("/system.slice/tarvo-vexa-settings-daemon.service/daemon\n")) {
                qWarning("daemon %lld is in cgroup %s", pid, cgroup.constData());
                return 0;
            }
            return pid;
        }
        QList<QByteArray> environment = readFile(QStringLiteral("/proc/%1/environ").arg(pid)).split('\0');
        environment.removeAll(QByteArray());
        std::sort(environment.begin(), environment.end());
        const QList<QByteArray> starterEnvironment = {
            "DBUS_STARTER_ADDRESS=unix:path=/run/dbus/system_bus_socket", "DBUS_STARTER_BUS_TYPE=system"};
        const bool root = statusField(pid, "Uid").split(QLatin1Char('\t')).value(0) == QLatin1String("0");
        if (environment != starterEnvironment || !root) {
            qWarning("daemon %lld: root %d, environment %s", pid, int(root),
                     environment.join(' ').constData());
            return 0;
        }
        return pid;
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/run-installed.sh");
        QVERIFY2(qEnvironmentVariableIsSet("VEXA_SANDBOX_DEBS"), "the sandbox was not given --debs");
        // The runtime's folders, as its package lays them: the unit makes
        // only those writable that exist when the daemon starts.
        for (const char *folder : {"/usr/share/vexa", "/etc/docker", "/etc/xdg/autostart", "/var/lib/vexa"})
            QVERIFY(QDir().mkpath(QString::fromLatin1(folder)));
    }

    void packagesShipTheirFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("package");
        QTest::newRow("daemon") << daemonProgram << daemonPackage;
        QTest::newRow("bus policy") << QStringLiteral("/usr/share/dbus-1/system.d/cn.selvane.Vexa.Pref.conf")
                                    << daemonPackage;
        QTest::newRow("activation") << activationPath << daemonPackage;
        QTest::newRow("unit") << unitPath << daemonPackage;
        QTest::newRow("logrotate") << logrotatePath << daemonPackage;
        QTest::newRow("interface description")
            << QStringLiteral("/usr/share/dbus-1/interfaces/cn.selvane.Vexa.Pref.xml") << daemonPackage;
        QTest::newRow("daemon manual")
            << QStringLiteral("/usr/share/man/man8/tarvo-vexa-settings-daemon.8.gz") << daemonPackage;
        QTest::newRow("window") << QStringLiteral("/usr/bin/tarvo-vexa-sensorwindow") << windowPackage;
        QTest::newRow("desktop entry") << desktopPath << windowPackage;
        QTest::newRow("icon") << QStringLiteral(
            "/usr/share/icons/hicolor/scalable/apps/tarvo-vexa-sensorwindow.svg")
                              << windowPackage;
        QTest::newRow("zh_CN catalogue") << QStringLiteral(
            "/usr/share/tarvo-vexa-sensorwindow/translations/tarvo-vexa-sensorwindow_zh_CN.qm")
                                         << windowPackage;
        QTest::newRow("en_US catalogue") << QStringLiteral(
            "/usr/share/tarvo-vexa-sensorwindow/translations/tarvo-vexa-sensorwindow_en_US.qm")
                                         << windowPackage;
        QTest::newRow("window manual")
            << QStringLiteral("/usr/share/man/man1/tarvo-vexa-sensorwindow.1.gz") << windowPackage;
    }
    void packagesShipTheirFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, package);
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
        const ProcessResult owner = run(QStringLiteral("dpkg-query"), {QStringLiteral("-S"), path});
        QCOMPARE(owner.exitCode, 0);
        QCOMPARE(owner.output.section(QLatin1Char(':'), 0, 0), package);
    }

    void installedFilesAreAccepted()
    {
        // systemd reads the unit as installed, with the daemon in place.
        const ProcessResult verify = run(QStringLiteral("systemd-analyze"),
                                         {QStringLiteral("verify"), QStringLiteral("--man=no"),
                                          QStringLiteral("--recursive-errors=no"), unitPath});
        QVERIFY2(verify.exitCode == 0, qPrintable(verify.output));

        const ProcessResult desktop = run(QStringLiteral("desktop-file-validate"), {desktopPath});
        QVERIFY2(desktop.exitCode == 0 && desktop.output.isEmpty(), qPrintable(desktop.output));
        // The menu entry's command is the installed program.
        QVERIFY(readFile(desktopPath).contains("\nExec=tarvo-vexa-sensorwindow\n"));
        QVERIFY(QFileInfo(QStringLiteral("/usr/bin/tarvo-vexa-sensorwindow")).isExecutable());

        const QByteArray activation = readFile(activationPath);
        QVERIFY(activation.contains("\nExec=" + daemonProgram.toUtf8() + '\n'));
        QVERIFY(activation.contains("\nUser=root\n"));
    }

    void firstCallStartsTheDaemon()
    {
        // Nothing runs yet: neither the installation nor the test started it.
        QVERIFY(daemonPids().isEmpty());
        QVERIFY(waitForName(false, 0));
        QVERIFY(activatableNames().contains(busName));

        // A permitted caller's call reaches the method: anything but
        // "true"/"false" changes nothing and answers false.
        expectValue(call(managerCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}),
                    QStringLiteral("false"));
        QVERIFY(busStartedDaemon() != 0);
    }

    void refusedCallerIsDenied()
    {
        clearDaemonLog();
        const Reply reply = call(unpermittedCaller, QStringLiteral("setVexaAutoStart"),
                                 {QStringLiteral("true")});
        QCOMPARE(reply.errorName, accessDenied);
        QCOMPARE(reply.errorText, QStringLiteral("dbus method control,operation not permitted"));
        QVERIFY(!QFile::exists(QStringLiteral("/etc/xdg/autostart/bootlane.desktop")));
        QCOMPARE(readDaemonLog(), refusedLine);
    }

    void methodsWriteTheirFiles()
    {
        // The runtime's data files, as the runtime would have left them.
        QVERIFY(makeFile(QStringLiteral("/usr/share/vexa/games.json"), "{\"games\": []}\n"));
        QVERIFY(makeFile(QStringLiteral("/usr/share/vexa/warning.json"),
                         "{\"games\": [{\"pkgName\": \"com.example.warned\"}], \"pay\": []}\n"));
        const QString properties = QStringLiteral("/var/lib/vexa/vexa-test/build.prop");
        QVERIFY(makeFile(properties, "ro.build.id=TEST\nro.custom.brand=old\n"));

        expectValue(call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                         {QStringLiteral("Racer"), QStringLiteral("com.example.racer")}),
                    QStringLiteral("true"));
        const QJsonArray games = QJsonDocument::fromJson(
                                     readFile(QStringLiteral("/usr/share/vexa/games.json")))
                                     .object()
                                     .value(QLatin1String("games"))
                                     .toArray();
        QCOMPARE(games.size(), 1);
        QCOMPARE(games.at(0).toObject().value(QLatin1String("pkgname")).toString(),
                 QStringLiteral("com.example.racer"));
        expectValue(call(settingsCaller, QStringLiteral("removeGameFromWhiteList"),
                         {QStringLiteral("com.example.racer")}),
                    QStringLiteral("true"));
        QVERIFY(!readFile(QStringLiteral("/usr/share/vexa/games.json")).contains("com.example.racer"));

        expectValue(call(settingsCaller, QStringLiteral("removeAppFromWarningList"),
                         {QStringLiteral("com.example.warned")}),
                    QStringLiteral("true"));
        QVERIFY(!readFile(QStringLiteral("/usr/share/vexa/warning.json")).contains("com.example.warned"));

        expectValue(call(settingsCaller, QStringLiteral("setDockerDefaultIpAddress"),
                         {QStringLiteral("172.31.0.1/16")}),
                    QStringLiteral("true"));
        QCOMPARE(QJsonDocument::fromJson(readFile(QStringLiteral("/etc/docker/daemon.json")))
                     .object()
                     .value(QLatin1String("bip"))
                     .toString(),
                 QStringLiteral("172.31.0.1/16"));

        expectValue(call(windowCaller, QStringLiteral("setPhoneInfo"),
                         {properties, QStringLiteral("Acme"), QStringLiteral("AcmeBrand"),
                          QStringLiteral("rocket"), QStringLiteral("R1"), QStringLiteral("rocketdev"),
                          QStringLiteral("SN123"), QStringLiteral("490154203237518")}),
                    QStringLiteral("true"));
        const QByteArray props = readFile(properties);
        QVERIFY2(props.startsWith("ro.build.id=TEST\nro.custom.brand=AcmeBrand\n"), props.constData());
        QVERIFY2(props.contains("\nro.custom.imei=490154203237518\n"), props.constData());

        const QString entry = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
        expectValue(call(managerCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("true")}),
                    QStringLiteral("true"));
        QVERIFY(readFile(entry).contains("\nExec=/usr/bin/bootlane start_vexa_silently\n"));
        expectValue(call(managerCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("false")}),
                    QStringLiteral("true"));
        QVERIFY(!QFile::exists(entry));
    }

    void logsAreCollectedForAUser()
    {
        const QString user = QStringLiteral("vexauser");
        const ProcessResult added = run(QStringLiteral("useradd"), {QStringLiteral("--create-home"), user});
        QVERIFY2(added.exitCode == 0, qPrintable(added.output));
        const QString uid = run(QStringLiteral("id"), {QStringLiteral("-u"), user}).output.trimmed();
        const QString data = QStringLiteral("/var/lib/vexa/vexa-%1-%2/data").arg(uid, user);
        QVERIFY(makeFile(data + QStringLiteral("/klog/kernel.log"), "kernel says hello\n"));
        const QString collection = QStringLiteral("/home/%1/VexaLog/logs").arg(user);
        const ProcessResult made = run(QStringLiteral("runuser"),
                                       {QStringLiteral("-u"), user, QStringLiteral("--"),
                                        QStringLiteral("mkdir"), QStringLiteral("-p"), collection});
        QVERIFY2(made.exitCode == 0, qPrintable(made.output));

        expectValue(call(settingsCaller, QStringLiteral("copyLogFiles"), {user, uid, collection}),
                    QStringLiteral("0"));
        const QString archive = collection + QStringLiteral(".zip");
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(archive).constData(), &info), 0);
        QCOMPARE(QString::number(info.st_uid), uid);
        const ProcessResult listing = run(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
        QVERIFY2(listing.output.split(QLatin1Char('\n')).contains(QStringLiteral("kernel.log")),
                 qPrintable(listing.output));
    }

    // A user's collection whose tool she took over: what it starts stays in
    // the tool's own scope (under systemd) and ends with it, what it
    // writes reaches no log, and quilt waits for the collection's answer.
    void collectionEndsEverythingItStarted()
    {
        const QString user = QStringLiteral("vexauser");
        const uid_t uid = run(QStringLiteral("id"), {QStringLiteral("-u"), user}).output.trimmed().toUInt();
        const QString dir = QStringLiteral("/home/%1/VexaLog/held").arg(user);
        QCOMPARE(run(QStringLiteral("runuser"),
                     {QStringLiteral("-u"), user, QStringLiteral("--"), QStringLiteral("mkdir"),
                      QStringLiteral("-p"), dir})
                     .exitCode,
                 0);
        // The runtime's log is the one the held cp copies.
        QVERIFY(makeFile(QStringLiteral("/var/log/vexa.log"), "runtime\n"));
        QProcess collection;
        const QString cp = startHeldCollection(windowCaller, user, dir, &collection);
        QVERIFY(!cp.isEmpty());
        const QByteArray mark = "<0>written by a tool of the user, test " + QByteArray::number(::getpid());
        const QByteArray injected = leaveDetachedProcess(user, cp, mark);
        QString left;
        QTRY_VERIFY2_WITH_TIMEOUT(!(left = userProcess(QStringLiteral("sleep"), uid)).isEmpty(),
                                  injected.constData(), waitLimitMs);
        if (booted) {
            const QByteArray cgroup = readFile(QStringLiteral("/proc/%1/cgroup").arg(left));
            QVERIFY2(cgroup.contains("/tarvo-vexa-tools-" + QByteArray::number(uid) + '-')
                         && cgroup.endsWith(".scope\n"),
                     cgroup.constData());
        }
        clearDaemonLog();
        QProcess quit;
        quit.start(settingsCaller, {QStringLiteral("quilt")});
        QTRY_VERIFY_WITH_TIMEOUT(readDaemonLog().contains("quilt: ending once 1 running log collections"),
                                 waitLimitMs);
        // Meanwhile nothing changes for anyone else: another user's
        // collections are taken and answered, again and again.
        const QString other = QStringLiteral("vexaother");
        QCOMPARE(run(QStringLiteral("useradd"), {QStringLiteral("--create-home"), other}).exitCode, 0);
        const QString otherUid = run(QStringLiteral("id"), {QStringLiteral("-u"), other}).output.trimmed();
        QVERIFY(makeFile(QStringLiteral("/var/lib/vexa/vexa-%1-%2/data/klog/kernel.log").arg(otherUid, other),
                         "other kernel\n"));
        for (int i = 0; i < 3; ++i) {
            const QString otherDir = QStringLiteral("/home/%1/VexaLog/late%2").arg(other).arg(i);
            QCOMPARE(run(QStringLiteral("runuser"),
                         {QStringLiteral("-u"), other, QStringLiteral("--"), QStringLiteral("mkdir"),
                          QStringLiteral("-p"), otherDir})
                         .exitCode,
                     0);
            expectValue(call(managerCaller, QStringLiteral("copyLogFiles"), {other, otherUid, otherDir},
                             asUser(other)),
                        QStringLiteral("0"));
        }
        QCOMPARE(daemonPids().size(), 1);
        QCOMPARE(collection.state(), QProcess::Running);

        QFile reader(dir + QStringLiteral("/vexa.log"));
        QVERIFY(reader.open(QIODevice::ReadOnly) && !reader.readAll().isEmpty());
        QVERIFY(collection.waitForFinished(waitLimitMs));
        QCOMPARE(collection.readAllStandardOutput(), QByteArray("0\n"));
        QCOMPARE(userProcess(QStringLiteral("sleep"), uid), QString());
        const ProcessResult listing = run(QStringLiteral("unzip"),
                                          {QStringLiteral("-Z1"), dir + QStringLiteral(".zip")});
        QVERIFY2(listing.output.split(QLatin1Char('\n')).contains(QStringLiteral("kernel.log")),
                 qPrintable(listing.output));
        QVERIFY(quit.waitForFinished(waitLimitMs));
        QVERIFY(waitForName(false));
        if (booted) {
            const ProcessResult journal = run(
                QStringLiteral("journalctl"),
                {QStringLiteral("-u"), QStringLiteral("tarvo-vexa-settings-daemon"),
                 QStringLiteral("--no-pager"), QStringLiteral("-o"), QStringLiteral("cat")});
            QVERIFY(journal.exitCode == 0 && !journal.output.contains(QString::fromLatin1(mark)));
        }
        // The next call starts the daemon again.
        expectValue(call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}),
                    QStringLiteral("false"));
    }

    // Her tool starts a detached process that her own tracer holds at its
    // exit: it cannot be killed, but it keeps neither the unit from stopping
    // nor anything of hers in the unit's cgroup, it is logged with its pid,
    // and the next call starts a daemon that answers.
    void heldExitKeepsNothingOfTheUnit()
    {
        const QString user = QStringLiteral("vexauser");
        const struct passwd *entry = ::getpwnam("vexauser");
        QVERIFY(entry);
        const uid_t uid = entry->pw_uid;
        const gid_t gid = entry->pw_gid;
        const QString dir = QStringLiteral("/home/%1/VexaLog/traced").arg(user);
        QCOMPARE(run(QStringLiteral("runuser"),
                     {QStringLiteral("-u"), user, QStringLiteral("--"), QStringLiteral("mkdir"),
                      QStringLiteral("-p"), dir})
                     .exitCode,
                 0);
        QProcess collection;
        const QString cp = startHeldCollection(windowCaller, user, dir, &collection);
        QVERIFY(!cp.isEmpty());
        const QByteArray injected = leaveDetachedProcess(user, cp, "held");
        QString left;
        QTRY_VERIFY2_WITH_TIMEOUT(!(left = userProcess(QStringLiteral("sleep"), uid)).isEmpty(),
                                  injected.constData(), waitLimitMs);
        // Her tracer, as her: it seizes the process and never lets its exit go.
        int seized[2];
        QCOMPARE(::pipe(seized), 0);
        const pid_t tracer = ::fork();
        if (tracer == 0) {
            char done = ::setgroups(1, &gid) == 0 && ::setresgid(gid, gid, gid) == 0
                    && ::setresuid(uid, uid, uid) == 0
                    && ::ptrace(PTRACE_SEIZE, left.toInt(), 0, PTRACE_O_TRACEEXIT) == 0
                ? 'y'
                : 'n';
            (void)!::write(seized[1], &done, 1);
            for (;;)
                ::pause();
        }
        ::close(seized[1]);
        char done = 0;
        QCOMPARE(::read(seized[0], &done, 1), ssize_t(1));
        ::close(seized[0]);
        const auto endTracer = qScopeGuard([tracer]() {
            ::kill(tracer, SIGKILL);
            ::waitpid(tracer, nullptr, 0);
        });
        QCOMPARE(done, 'y');

        // Her cp goes on: the collection ends, the held process stays.
        clearDaemonLog();
        QFile reader(dir + QStringLiteral("/vexa.log"));
        QVERIFY(reader.open(QIODevice::ReadOnly));
        reader.readAll();
        QVERIFY(collection.waitForFinished(waitLimitMs));
        QCOMPARE(collection.readAllStandardOutput(), QByteArray("0\n"));
        QVERIFY(::kill(left.toInt(), 0) == 0);
        QVERIFY2(QString::fromLatin1(readDaemonLog())
                     .contains(QRegularExpression(QStringLiteral("not ended.* pid %1\\b").arg(left))),
                 readDaemonLog().constData());

        QCOMPARE(call(settingsCaller, QStringLiteral("quilt")).errorName, noReply);
        QVERIFY(waitForName(false));
        if (booted) {
            // The unit stops without waiting for her process.
            QTRY_VERIFY_WITH_TIMEOUT(
                run(QStringLiteral("systemctl"),
                    {QStringLiteral("is-active"), QStringLiteral("tarvo-vexa-settings-daemon")})
                        .output.trimmed()
                    == QLatin1String("inactive"),
                30000);
        }
        QVERIFY(!QString::fromLatin1(readFile(QStringLiteral("/proc/%1/cgroup").arg(left)))
                     .contains(QStringLiteral("tarvo-vexa-settings-daemon.service")));
        expectValue(call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}),
                    QStringLiteral("false"));
        if (booted) {
            const ProcessResult journal = run(
                QStringLiteral("journalctl"),
                {QStringLiteral("-u"), QStringLiteral("tarvo-vexa-settings-daemon"),
                 QStringLiteral("--no-pager"), QStringLiteral("-o"), QStringLiteral("cat")});
            QVERIFY2(!journal.output.contains(QStringLiteral("left-over process")),
                     qPrintable(journal.output));
        }
    }

    // A stop cuts a held collection short: its tool goes with the service,
    // although it runs in a unit of its own.
    void stopEndsTheToolsOfAHeldCollection()
    {
        if (!booted)
            QSKIP("needs the service manager: the sandbox did not boot");
        const QString user = QStringLiteral("vexauser");
        const QString dir = QStringLiteral("/home/%1/VexaLog/stopped").arg(user);
        QCOMPARE(run(QStringLiteral("runuser"),
                     {QStringLiteral("-u"), user, QStringLiteral("--"), QStringLiteral("mkdir"),
                      QStringLiteral("-p"), dir})
                     .exitCode,
                 0);
        QProcess collection;
        const QString cp = startHeldCollection(windowCaller, user, dir, &collection);
        QVERIFY(!cp.isEmpty());
        QCOMPARE(run(QStringLiteral("systemctl"),
                     {QStringLiteral("stop"), QStringLiteral("tarvo-vexa-settings-daemon")})
                     .exitCode,
                 0);
        QTRY_VERIFY_WITH_TIMEOUT(::kill(cp.toInt(), 0) != 0, waitLimitMs);
        QVERIFY(collection.waitForFinished(waitLimitMs));
        expectValue(call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}),
                    QStringLiteral("false"));
    }

    void quiltEndsAndTheNextCallStartsAgain()
    {
        const qint64 before = busStartedDaemon();
        QVERIFY(before != 0);
        QCOMPARE(call(settingsCaller, QStringLiteral("quilt")).errorName, noReply);
        QVERIFY(waitForName(false));
        QTRY_VERIFY_WITH_TIMEOUT(daemonPids().isEmpty(), waitLimitMs);

        expectValue(call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}),
                    QStringLiteral("false"));
        const qint64 after = busStartedDaemon();
        QVERIFY(after != 0);
        QVERIFY(after != before);
    }

    // One connection's burst of 20,000 calls flagged no-reply, from a
    // program with a large environment, under the unit: another user's
    // calls, one after another meanwhile, are each answered.
    void oneSendersBurstLeavesOthersServed()
    {
        QProcess flood;
        flood.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        flood.start(managerCaller,
                    {QStringLiteral("--big-environment"), QStringLiteral("6"), QStringLiteral("--flood"),
                     QStringLiteral("20000"), QStringLiteral("setVexaAutoStart"), QStringLiteral("maybe")});
        QVERIFY(flood.waitForStarted(waitLimitMs));
        int answered = 0;
        do {
            expectValue(
                call(settingsCaller, QStringLiteral("--timeout"),
                     {QStringLiteral("10000"), QStringLiteral("setVexaAutoStart"), QStringLiteral("maybe")},
                     asNobody()),
                QStringLiteral("false"));
            ++answered;
            QCoreApplication::processEvents(); // notices the flood's end
        } while (flood.state() != QProcess::NotRunning);
        QCOMPARE(flood.readAllStandardOutput(), QByteArray("false\n"));
        qInfo("%d calls of another user answered during the burst", answered);
        QCOMPARE(daemonPids().size(), 1);
        expectValue(call(windowCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}),
                    QStringLiteral("false"));
    }

    void unitCapabilitiesAreEnough()
    {
        // The bus-started daemon makes way for one with the unit's rights.
        QCOMPARE(call(settingsCaller, QStringLiteral("quilt")).errorName, noReply);
        QVERIFY(waitForName(false));
        QProcess daemon;
        QVERIFY(startWithUnitCapabilities(daemon));

        // A caller of another user: its /proc files are read for the check.
        expectValue(call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                         {QStringLiteral("Capped"), QStringLiteral("com.example.capped")}, asNobody()),
                    QStringLiteral("true"));
        QVERIFY(readFile(QStringLiteral("/usr/share/vexa/games.json")).contains("com.example.capped"));

        // Copy, chmod, zip and chown into a folder the user made, called by
        // that user: root stages the sources, the tools run as the user
        // (CAP_SETUID, CAP_SETGID).
        const QString user = QStringLiteral("vexauser");
        const QString uid = run(QStringLiteral("id"), {QStringLiteral("-u"), user}).output.trimmed();
        const QString collection = QStringLiteral("/home/%1/Documents/VexaLog/capped").arg(user);
        const ProcessResult made = run(QStringLiteral("runuser"),
                                       {QStringLiteral("-u"), user, QStringLiteral("--"),
                                        QStringLiteral("mkdir"), QStringLiteral("-p"), collection});
        QVERIFY2(made.exitCode == 0, qPrintable(made.output));
        expectValue(call(windowCaller, QStringLiteral("copyLogFiles"), {user, uid, collection}, asUser(user)),
                    QStringLiteral("0"));
        const QString archive = collection + QStringLiteral(".zip");
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(archive).constData(), &info), 0);
        QCOMPARE(QString::number(info.st_uid), uid);
        QVERIFY(QFile::exists(collection + QStringLiteral("/klog/kernel.log")));
        // chmod -R 777 reached the user's own folder too.
        QCOMPARE(::stat(QFile::encodeName(collection).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0777));
        const ProcessResult listing = run(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
        QVERIFY2(listing.output.split(QLatin1Char('\n')).contains(QStringLiteral("kernel.log")),
                 qPrintable(listing.output));

        // And a root caller, which holds capabilities the daemon lacks.
        QCOMPARE(call(managerCaller, QStringLiteral("quilt")).errorName, noReply);
        QVERIFY(daemon.waitForFinished(waitLimitMs));
        QCOMPARE(daemon.exitCode(), 0);
    }

    void withoutPtraceCallersAreRefused()
    {
        // Why the unit keeps CAP_SYS_PTRACE: without it the daemon may not read
        // the /proc/PID/environ of another user's process, nor of a root
        // process that holds capabilities the daemon lacks.
        QProcess daemon;
        QVERIFY(startWithUnitCapabilities(daemon, {"CAP_SYS_PTRACE"}));
        clearDaemonLog();
        for (const QStringList &wrapper : {asNobody(), QStringList()}) {
            const Reply refused = call(settingsCaller, QStringLiteral("removeGameFromWhiteList"),
                                       {QStringLiteral("com.example.capped")}, wrapper);
            QCOMPARE(refused.errorName, QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        }
        QVERIFY(readFile(QStringLiteral("/usr/share/vexa/games.json")).contains("com.example.capped"));
        QVERIFY2(readDaemonLog().startsWith("[QWARN]:msg-[open env file failed:  \"/proc/"),
                 readDaemonLog().constData());
        daemon.terminate();
        QVERIFY(daemon.waitForFinished(waitLimitMs));
    }

    void rotatedLogStartsAnew()
    {
        clearDaemonLog();
        QVERIFY(
            call(unpermittedCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}).isError());
        QCOMPARE(readDaemonLog(), refusedLine);

        // Forced, as the weekly run would do it, with a state file of our own.
        const QStringList rotate = {QStringLiteral("--force"), QStringLiteral("--state"),
                                    stateDir() + QStringLiteral("/logrotate.state"), logrotatePath};
        ProcessResult rotated = run(QStringLiteral("logrotate"), rotate);
        QVERIFY2(rotated.exitCode == 0, qPrintable(rotated.output));
        const QString first = daemonLog + QStringLiteral(".1");
        QCOMPARE(readFile(first), refusedLine);
        QVERIFY(!QFile::exists(daemonLog));

        // The running daemon's next message lands in a new file.
        const Reply second = call(unpermittedCaller, QStringLiteral("quilt"));
        QCOMPARE(second.errorName, accessDenied);
        QCOMPARE(readDaemonLog(), refusedLine);
        QCOMPARE(readFile(first), refusedLine);
        QCOMPARE(daemonPids().size(), 1);

        // The next rotation compresses the older file (delaycompress).
        rotated = run(QStringLiteral("logrotate"), rotate);
        QVERIFY2(rotated.exitCode == 0, qPrintable(rotated.output));
        QVERIFY(QFile::exists(daemonLog + QStringLiteral(".2.gz")));
        QCOMPARE(readFile(first), refusedLine);
        QVERIFY(!QFile::exists(daemonLog));
    }

    void purgeLeavesOnlyTheLogAndTheRuntimesFiles()
    {
        for (const QString &package : {daemonPackage, windowPackage}) {
            const ProcessResult listed = run(QStringLiteral("dpkg-query"), {QStringLiteral("-L"), package});
            QCOMPARE(listed.exitCode, 0);
            for (const QString &path : listed.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
                if (!QFileInfo(path).isDir())
                    m_installedFiles << path;
            }
        }
        QVERIFY(m_installedFiles.contains(daemonProgram));
        QCOMPARE(daemonPids().size(), 1); // running, so removal must end it

        const ProcessResult purged = run(QStringLiteral("dpkg"),
                                         {QStringLiteral("--purge"), daemonPackage, windowPackage});
        QVERIFY2(purged.exitCode == 0, qPrintable(purged.output));

        QVERIFY(daemonPids().isEmpty());
        QVERIFY(!activatableNames().contains(busName));
        // Nothing starts: the name is unknown, or, under systemd, the bus's
        // default policy refuses the call once ours is gone.
        const QString error =
            call(managerCaller, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}).errorName;
        QVERIFY2(error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
                     || (booted && error == accessDenied),
                 qPrintable(error));
        QVERIFY(daemonPids().isEmpty());
        for (const QString &path : std::as_const(m_installedFiles))
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));

        // Every file the sandbox added or changed is in an overlay's upper
        // layer: none of ours may be left but the log and the stand-ins for
        // the runtime's programs that the sandbox installed.
        const QRegularExpression ours(QStringLiteral("tarvo-vexa|cn\\.selvane|Vexa\\.Pref"));
        const QRegularExpression allowed(
            QStringLiteral("^(/var/log/tarvo-vexa-settings-daemon\\.log(\\.\\d+(\\.gz)?)?"
                           "|/usr/bin/tarvo-vexa-(settings|window|manager))$"));
        const QString changes = qEnvironmentVariable("VEXA_SANDBOX_CHANGES");
        QStringList left;
        const QStringList uppers = QDir(changes).entryList({QStringLiteral("upper_*")}, QDir::Dirs);
        QVERIFY(!uppers.isEmpty());
        for (const QString &upper : uppers) {
            const QString root = changes + QLatin1Char('/') + upper;
            const QString mountPoint = upper.mid(5).replace(QLatin1Char('_'), QLatin1Char('/'));
            QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                struct stat info;
                // Whiteouts (character devices 0/0) mark removed files.
                if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || S_ISCHR(info.st_mode))
                    continue;
                const QString onSystem = QDir::cleanPath(mountPoint + path.mid(root.size()));
                if (ours.match(onSystem).hasMatch() && !allowed.match(onSystem).hasMatch())
                    left << onSystem;
            }
        }
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
        // The log and the runtime's data files stay.
        QVERIFY(QFile::exists(daemonLog + QStringLiteral(".1")));
        QVERIFY(QFile::exists(QStringLiteral("/usr/share/vexa/games.json")));
        QVERIFY(QFile::exists(QStringLiteral("/etc/docker/daemon.json")));
    }
};

QTEST_GUILESS_MAIN(TestE2eInstalled)
#include "tst_e2e_installed.moc"
