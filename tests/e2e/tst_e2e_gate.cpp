// The daemon's service and caller check, through the real system bus, with
// the real daemon and real callers at their installed paths.

#include "sandboxtest.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QXmlStreamReader>

#include <csignal>
#include <unistd.h>

using namespace SandboxTest;

static const QString envForbidden = QStringLiteral("dbus method control,env forbidden");
static const QString notPermitted = QStringLiteral("dbus method control,operation not permitted");
static const QString limitsExceeded = QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded");
static const QString accessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

static QByteArray warnLine(const QByteArray &message)
{
    return "[QWARN]:msg-[" + message + "], file-[], func-[], category-[default]\n";
}

static const QString interfaceDescription = QStringLiteral(
    "/usr/share/dbus-1/interfaces/cn.selvane.Vexa.Pref.xml");

// The members of interface cn.selvane.Vexa.Pref in an introspection document,
// one text each, in document order: kind and name, then its arguments
// (direction:name:type, with the direction D-Bus assumes when none is given)
// and annotations (@name=value) in their order. Annotations of the interface
// itself come as members of their own. *error is set for malformed XML.
static QStringList interfaceMembers(const QByteArray &document, QString *error)
{
    QStringList members;
    QXmlStreamReader xml(document);
    bool inOurs = false;
    bool inMember = false;
    QString current;
    const auto attribute = [&xml](const char *name) {
        return xml.attributes().value(QLatin1String(name)).toString();
    };
    const auto isMember = [&xml] {
        return xml.name() == QLatin1String("method") || xml.name() == QLatin1String("signal")
            || xml.name() == QLatin1String("property");
    };
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("interface"))
            inOurs = attribute("name") == QLatin1String("cn.selvane.Vexa.Pref");
        else if (xml.isEndElement() && xml.name() == QLatin1String("interface"))
            inOurs = false;
        if (!inOurs)
            continue;
        if (xml.isStartElement() && isMember()) {
            inMember = true;
            current = xml.name().toString() + QLatin1Char(' ') + attribute("name");
            if (xml.name() == QLatin1String("property"))
                current += QLatin1Char(' ') + attribute("type") + QLatin1Char(' ') + attribute("access");
        } else if (xml.isStartElement() && xml.name() == QLatin1String("arg")) {
            QString direction = attribute("direction");
            if (direction.isEmpty())
                direction = current.startsWith(QLatin1String("signal ")) ? QStringLiteral("out")
                                                                         : QStringLiteral("in");
            current += QLatin1Char(' ') + direction + QLatin1Char(':') + attribute("name") + QLatin1Char(':')
                + attribute("type");
        } else if (xml.isStartElement() && xml.name() == QLatin1String("annotation")) {
            const QString annotation = QLatin1Char('@') + attribute("name") + QLatin1Char('=')
                + attribute("value");
            if (inMember)
                current += QLatin1Char(' ') + annotation;
            else
                members << QStringLiteral("annotation ") + annotation;
        } else if (xml.isEndElement() && isMember()) {
            members << current;
            inMember = false;
        }
    }
    *error = xml.hasError() ? xml.errorString() : QString();
    return members;
}

// A call that reaches the method but changes nothing: any text other than
// "true" or "false" leaves the autostart entry alone.
static Reply harmlessCall(const QString &program, const QStringList &wrapper = {},
                          const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    return call(program, QStringLiteral("setVexaAutoStart"), {QStringLiteral("maybe")}, wrapper, env);
}

class TestE2eGate : public QObject
{
    Q_OBJECT

    Daemon m_daemon;

    void expectPermitted(const Reply &reply)
    {
        QVERIFY2(!reply.isError() && reply.exitCode == 0, qPrintable(reply.output));
        QCOMPARE(reply.value, QStringLiteral("false"));
    }
    void expectRefused(const Reply &reply, const QString &name, const QString &text)
    {
        QCOMPARE(reply.errorName, name);
        QCOMPARE(reply.errorText, text);
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        QVERIFY(m_daemon.start());
    }

    void init()
    {
        // Each case starts with a serving daemon and an empty log.
        if (!m_daemon.isRunning())
            QVERIFY(m_daemon.start());
        clearDaemonLog();
    }

    void introspectionShowsExactlyTheTable()
    {
        const Reply reply = call(unpermittedCaller, QStringLiteral("--introspect"));
        QVERIFY2(reply.exitCode == 0, qPrintable(reply.output));

        QString error;
        QStringList members = interfaceMembers(reply.output.toUtf8(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(
            members,
            QStringList({
                QStringLiteral("signal aboutToQuit"),
                QStringLiteral("method setDockerDefaultIpAddress out::b in:value:s"),
                QStringLiteral("method addGameToWhiteList out::b in:appName:s in:pkgName:s"),
                QStringLiteral("method removeGameFromWhiteList out::b in:pkgName:s"),
                QStringLiteral("method removeAppFromWarningList out::b in:pkgName:s"),
                QStringLiteral("method setVexaAutoStart out::b in:checked:s"),
                QStringLiteral("method setPhoneInfo out::b in:localpath:s in:vendor:s in:brand:s in:name:s "
                               "in:model:s in:equip:s in:serialno:s in:imei:s"),
                QStringLiteral("method copyLogFiles out::i in:username:s in:userid:s in:logPath:s"),
                QStringLiteral("method quilt"),
            }));

        // Clients generate their proxies from the installed description, so
        // it must say what the daemon answers; the order of members is free.
        QFile description(interfaceDescription);
        QVERIFY2(description.open(QIODevice::ReadOnly), qPrintable(interfaceDescription));
        QStringList described = interfaceMembers(description.readAll(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        described.sort();
        members.sort();
        QCOMPARE(described, members);
    }

    void permittedProgramsPass_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("nobody");
        QTest::newRow("settings") << settingsCaller << false;
        QTest::newRow("window") << windowCaller << false;
        QTest::newRow("manager") << managerCaller << false;
        // The bus policy lets every user reach the method; the gate decides.
        QTest::newRow("manager as nobody") << managerCaller << true;
    }
    void permittedProgramsPass()
    {
        QFETCH(QString, program);
        QFETCH(bool, nobody);
        expectPermitted(harmlessCall(program, nobody ? asNobody() : QStringList()));
        QCOMPARE(readDaemonLog(), QByteArray()); // nothing is logged on success
    }

    void environmentIsChecked_data()
    {
        QTest::addColumn<QStringList>("variables");
        QTest::addColumn<bool>("refused");
        QTest::newRow("LD_PRELOAD empty") << QStringList {QStringLiteral("LD_PRELOAD=")} << true;
        QTest::newRow("LD_LIBRARY_PATH")
            << QStringList {QStringLiteral("LD_LIBRARY_PATH=/nonexistent")} << true;
        QTest::newRow("LD_AUDIT empty") << QStringList {QStringLiteral("LD_AUDIT=")} << true;
        QTest::newRow("all three") << QStringList {QStringLiteral("LD_PRELOAD="), QStringLiteral("LD_AUDIT="),
                                                   QStringLiteral("LD_LIBRARY_PATH=/nonexistent")}
                                   << true;
        QTest::newRow("hidden after a line feed")
            << QStringList {QStringLiteral("NOTE=x\nLD_AUDIT=y")} << true;
        QTest::newRow("near misses") << QStringList {QStringLiteral("LD_PRELOAD_X=1"),
                                                     QStringLiteral("ld_preload=1"),
                                                     QStringLiteral("MY_LD_AUDIT=1"),
                                                     QStringLiteral("LD_AUDITX=")}
                                     << false;
    }
    void environmentIsChecked()
    {
        QFETCH(QStringList, variables);
        QFETCH(bool, refused);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &variable : variables)
            env.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));

        const Reply reply = harmlessCall(managerCaller, {}, env);
        if (!refused) {
            expectPermitted(reply);
            return;
        }
        expectRefused(reply, limitsExceeded, envForbidden);
        // One message however many variables, and the executable is not examined.
        QCOMPARE(readDaemonLog(), warnLine("access limited!"));
    }

    void hugeEnvironmentIsRead()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (int i = 0; i < 10; ++i)
            env.insert(QStringLiteral("BIG%1").arg(i), QString(100 * 1024, QLatin1Char('x')));
        expectPermitted(harmlessCall(managerCaller, {}, env));
        // A forbidden name behind a megabyte of environment is still found,
        // and every call of the connection is refused and logged alike.
        env.insert(QStringLiteral("LD_PRELOAD"), QString());
        const QString batch = stateDir() + QStringLiteral("/three-calls.jsonl");
        QVERIFY(writeFile(batch, QByteArray("[\"setVexaAutoStart\",\"maybe\"]\n").repeated(3)));
        const Reply reply = call(managerCaller, QStringLiteral("--batch"), {batch}, {}, env);
        QCOMPARE(reply.output,
                 QStringLiteral("error: %1: %2\n").arg(limitsExceeded, envForbidden).repeated(3));
        QCOMPARE(readDaemonLog(), warnLine("access limited!").repeated(3));
    }

    void otherProgramsAreRefused()
    {
        expectRefused(harmlessCall(unpermittedCaller), accessDenied, notPermitted);
        expectRefused(harmlessCall(unpermittedCaller, asNobody()), accessDenied, notPermitted);
        QCOMPARE(readDaemonLog(),
                 warnLine("checkWhiteList failed:  \"/usr/bin/vexa-pref-call\"").repeated(2));
    }

    void logIsUtf8UnderTheCLocale()
    {
        // The daemon runs without a locale here; a non-ASCII path must still
        // reach the log intact.
        const QString program = QStringLiteral("/usr/bin/重力-caller");
        QVERIFY(QFile::copy(unpermittedCaller, program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(unpermittedCaller)));
        expectRefused(harmlessCall(program), accessDenied, notPermitted);
        QFile::remove(program);
        QCOMPARE(readDaemonLog(), warnLine("checkWhiteList failed:  \"" + program.toUtf8() + "\""));
    }

    // A refused program at a 3.7 KB path of control characters (each logged
    // as six) calls 2,000 times: the log keeps at most 100 lines a minute,
    // each cut to a bounded length.
    void floodGrowsTheLogByTheBurstAtMost()
    {
        m_daemon.stop();
        QVERIFY(m_daemon.start()); // a minute of its own
        QString program = QStringLiteral("/usr/lib/vexa-flood");
        for (int i = 0; i < 15; ++i)
            program += QLatin1Char('/') + QString(240, QChar(0x01 + i));
        QVERIFY(QDir().mkpath(program));
        program += QStringLiteral("/caller");
        QVERIFY(QFile::copy(unpermittedCaller, program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(unpermittedCaller)));
        const QString batch = stateDir() + QStringLiteral("/flood.jsonl");
        QVERIFY(writeFile(batch, QByteArray("[\"setVexaAutoStart\",\"maybe\"]\n").repeated(2000)));
        QElapsedTimer elapsed;
        elapsed.start();
        const ProcessResult flood = runProcess(program, {QStringLiteral("--batch"), batch}, 600000);
        const qint64 minutes = 1 + elapsed.elapsed() / 60000;
        QDir(QStringLiteral("/usr/lib/vexa-flood")).removeRecursively();
        QCOMPARE(flood.output.count(QStringLiteral("error: ") + accessDenied), 2000);

        const QList<QByteArray> lines = readDaemonLog().split('\n');
        // 100 lines a minute, and a line saying how many were dropped.
        QVERIFY2(lines.size() - 1 >= 100 && lines.size() - 1 <= minutes * 101,
                 QByteArray::number(lines.size()));
        for (const QByteArray &line : lines.mid(0, lines.size() - 1))
            QVERIFY2(line.size() < 700, line.constData());
        QVERIFY2(
            lines.first().startsWith("[QWARN]:msg-[checkWhiteList failed:  \"/usr/lib/vexa-flood/\\u0001")
                && lines.first().contains(" characters cut...]"),
            lines.first().constData());
        m_daemon.stop(); // the next case starts with a fresh minute
    }

    void symbolicLinkToPermittedProgramPasses()
    {
        const QString link = stateDir() + QStringLiteral("/settings-link");
        QFile::remove(link);
        QVERIFY(QFile::link(settingsCaller, link));
        expectPermitted(harmlessCall(link));
    }

    void bindMountDecoyIsRefused()
    {
        // An unprivileged user mounts its own copy of a program over a
        // permitted path in a user and mount namespace of its own: there the
        // path of its executable reads as the permitted one. The program runs
        // in a nested namespace under the user's own uid, so that the bus
        // accepts its connection.
        const QString own = stateDir() + QStringLiteral("/nobody");
        QVERIFY(QDir().mkpath(own));
        QCOMPARE(::chown(QFile::encodeName(own).constData(), 65534, 65534), 0);
        const QString decoy = own + QStringLiteral("/decoy");
        QFile::remove(decoy);
        QVERIFY(QFile::copy(unpermittedCaller, decoy));
        QCOMPARE(::chown(QFile::encodeName(decoy).constData(), 65534, 65534), 0);
        QStringList inNamespace = asNobody();
        inNamespace << QStringLiteral("unshare") << QStringLiteral("-Urm") << QStringLiteral("sh")
                    << QStringLiteral("-c")
                    << QStringLiteral(
                           "decoy=$1; shift; mount --bind \"$decoy\" \"$1\" && "
                           "exec unshare --map-user=65534 --map-group=65534 \"$@\"")
                    << QStringLiteral("sh") << decoy;
        expectRefused(harmlessCall(managerCaller, inNamespace), accessDenied, notPermitted);
        QCOMPARE(readDaemonLog(), warnLine("checkWhiteList failed:  \"" + managerCaller.toUtf8() + "\""));
    }

    void dynamicLoaderIsRefused()
    {
        const QString loader = QStringLiteral("/lib64/ld-linux-x86-64.so.2");
        if (!QFile::exists(loader))
            QSKIP("no x86-64 dynamic loader on this machine");
        expectRefused(
            call(loader, managerCaller, {QStringLiteral("setVexaAutoStart"), QStringLiteral("maybe")}),
            accessDenied, notPermitted);
        const QByteArray log = readDaemonLog();
        QVERIFY2(log.startsWith("[QWARN]:msg-[checkWhiteList failed:  \"/usr/lib/x86_64-linux-gnu/ld-linux"),
                 log.constData());
    }

    void replacedExecutableIsRefused()
    {
        // Hold the daemon so the caller's program can be replaced while its
        // call waits to be served.
        QCOMPARE(::kill(pid_t(m_daemon.pid()), SIGSTOP), 0);
        QProcess caller;
        caller.start(
            windowCaller,
            {QStringLiteral("--print-name"), QStringLiteral("setVexaAutoStart"), QStringLiteral("maybe")});
        // Its name on the bus: the old program runs, and its call goes out next.
        while (!caller.canReadLine() && caller.waitForReadyRead(waitLimitMs)) { }
        QVERIFY(caller.readLine().startsWith(':'));
        const QString backup = stateDir() + QStringLiteral("/window-caller");
        QFile::remove(backup);
        QVERIFY(QFile::copy(windowCaller, backup));
        QVERIFY(QFile::remove(windowCaller));
        QVERIFY(QFile::copy(backup, windowCaller));
        QVERIFY(QFile::setPermissions(windowCaller, QFile::permissions(managerCaller)));
        QCOMPARE(::kill(pid_t(m_daemon.pid()), SIGCONT), 0);

        QVERIFY(caller.waitForFinished(waitLimitMs));
        const QString output = QString::fromUtf8(caller.readAllStandardOutput());
        QCOMPARE(output, QStringLiteral("error: %1: %2\n").arg(accessDenied, notPermitted));
        // The new file at the same path is a permitted program again.
        expectPermitted(harmlessCall(windowCaller));
    }

    void vanishedCallerIsRefusedAndDaemonGoesOn()
    {
        QCOMPARE(::kill(pid_t(m_daemon.pid()), SIGSTOP), 0);
        const Reply sent = call(
            managerCaller, QStringLiteral("--no-wait"),
            {QStringLiteral("--print-name"), QStringLiteral("setVexaAutoStart"), QStringLiteral("maybe")});
        QCOMPARE(sent.exitCode, 0);
        QVERIFY2(sent.value.startsWith(QLatin1Char(':')), qPrintable(sent.output));
        // The bus notices the caller has gone.
        QCOMPARE(call(unpermittedCaller, QStringLiteral("--wait-gone"),
                      {sent.value, QString::number(waitLimitMs / 1000)})
                     .exitCode,
                 0);
        QCOMPARE(::kill(pid_t(m_daemon.pid()), SIGCONT), 0);

        expectPermitted(harmlessCall(managerCaller));
        QCOMPARE(readDaemonLog(), warnLine("open env file failed:  \"/proc/0/environ\""));
    }

    void eachCallerIsJudgedByItsOwnProcess()
    {
        // The daemon keeps each sender's pid while it is on the bus: another
        // caller, beside it or after it has left, is judged by its own process.
        const auto descriptors = [this] {
            return QDir(QStringLiteral("/proc/%1/fd").arg(m_daemon.pid())).count();
        };
        const uint before = descriptors();
        QProcess kept; // a permitted caller that stays on the bus between its calls
        kept.start(managerCaller, {QStringLiteral("--batch"), QStringLiteral("-")});
        const auto keptCall = [&kept] {
            kept.write("[\"setVexaAutoStart\",\"maybe\"]\n");
            while (!kept.canReadLine() && kept.waitForReadyRead(60000)) { }
            return kept.readLine();
        };
        QCOMPARE(keptCall(), QByteArray("false\n"));
        // The daemon holds the kept caller's very process: the pidfd the bus
        // handed out where it gives one (ProcessFD), else one of its own.
        const QStringList askTheBus {QStringLiteral("--system"),
                                     QStringLiteral("--print-reply"),
                                     QStringLiteral("--dest=org.freedesktop.DBus"),
                                     QStringLiteral("/org/freedesktop/DBus"),
                                     QStringLiteral("org.freedesktop.DBus.GetConnectionCredentials"),
                                     QStringLiteral("string:cn.selvane.Vexa.Pref")};
        const ProcessResult credentials = runProcess(QStringLiteral("dbus-send"), askTheBus, waitLimitMs);
        QCOMPARE(credentials.exitCode, 0);
        const bool busGivesPidfd = credentials.output.contains(QLatin1String("\"ProcessFD\""));
        qInfo("the bus %s",
              busGivesPidfd ? "hands out ProcessFD: the caller is read through its pidfd"
                            : "gives no ProcessFD: the caller's pid is kept with a pidfd");
        bool heldByPidfd = false;
        const QString fdinfo = QStringLiteral("/proc/%1/fdinfo").arg(m_daemon.pid());
        for (const QString &fd : QDir(fdinfo).entryList(QDir::Files))
            heldByPidfd |= readFile(fdinfo + QLatin1Char('/') + fd)
                               .contains("\nPid:\t" + QByteArray::number(kept.processId()) + '\n');
        QVERIFY(heldByPidfd);
        QProcessEnvironment preloaded = QProcessEnvironment::systemEnvironment();
        preloaded.insert(QStringLiteral("LD_PRELOAD"), QString());
        expectRefused(harmlessCall(unpermittedCaller), accessDenied, notPermitted);
        expectRefused(harmlessCall(windowCaller, {}, preloaded), limitsExceeded, envForbidden);
        QCOMPARE(keptCall(), QByteArray("false\n"));
        kept.closeWriteChannel();
        QVERIFY(kept.waitForFinished());
        expectRefused(harmlessCall(unpermittedCaller), accessDenied, notPermitted);
        expectPermitted(harmlessCall(windowCaller));
        const QByteArray refused = warnLine("checkWhiteList failed:  \"/usr/bin/vexa-pref-call\"");
        QCOMPARE(readDaemonLog(), refused + warnLine("access limited!") + refused);
        // What it keeps of a caller leaves with it (QTRY's report of a failure
        // would wait twice as long again, past the test's own limit).
        QDeadlineTimer deadline(120000);
        while (descriptors() > before && !deadline.hasExpired())
            QThread::msleep(50);
        QVERIFY(descriptors() <= before);
    }

    void secondCopyExitsWith255()
    {
        QCOMPARE(runSecondDaemon(), 255);
        QCOMPARE(
            readDaemonLog(),
            QByteArray("[QDEBUG]:msg-[Failed to register service], file-[], func-[], category-[default]\n"));
        expectPermitted(harmlessCall(managerCaller)); // the first copy is undisturbed
    }

    // One sender's burst of calls that expect no reply, from a program with
    // a large environment, delays another user's calls by turns, not by the
    // burst: each of hers made meanwhile, one after another, is answered.
    // Of the burst, what does not fit the sender's queue is dropped.
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
            // A generous limit per call: how long each takes is for the
            // benchmark to tell.
            const Reply reply = call(
                settingsCaller, QStringLiteral("--timeout"),
                {QStringLiteral("10000"), QStringLiteral("setVexaAutoStart"), QStringLiteral("maybe")},
                asNobody());
            QVERIFY2(reply.value == QLatin1String("false") && !reply.isError(), qPrintable(reply.output));
            ++answered;
            QCoreApplication::processEvents(); // notices the flood's end
        } while (flood.state() != QProcess::NotRunning);
        // Its last call waits until the daemon has room for it, then is served.
        QCOMPARE(flood.readAllStandardOutput(), QByteArray("false\n"));
        qInfo("%d calls of another user answered during the burst", answered);
        QVERIFY(readDaemonLog().contains(warnLine("calls refused: too many waiting for uid 0")));
        expectPermitted(harmlessCall(managerCaller));
        expectPermitted(harmlessCall(windowCaller, asNobody()));
    }

    void refusedQuiltKeepsServing()
    {
        expectRefused(call(unpermittedCaller, QStringLiteral("quilt")), accessDenied, notPermitted);
        QVERIFY(m_daemon.isRunning());
        expectPermitted(harmlessCall(managerCaller));
    }

    void permittedQuiltEndsWithoutReply()
    {
        const Reply reply = call(settingsCaller, QStringLiteral("quilt"));
        QCOMPARE(reply.errorName, QStringLiteral("org.freedesktop.DBus.Error.NoReply"));
        QVERIFY(m_daemon.waitForExit());
        QCOMPARE(m_daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_daemon.exitCode(), 0);
        QVERIFY(waitForName(false));
    }

    void onlyRootMayOwnTheName()
    {
        m_daemon.stop();
        QVERIFY(waitForName(false));
        QProcess asNobodyDaemon;
        QStringList command = asNobody();
        command << daemonProgram;
        asNobodyDaemon.start(command.takeFirst(), command);
        QVERIFY(asNobodyDaemon.waitForFinished(waitLimitMs));
        QCOMPARE(asNobodyDaemon.exitCode(), 255);
    }

    void cleanupTestCase() { m_daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eGate)
#include "tst_e2e_gate.moc"
