// The daemon's benchmarks, seen from a permitted caller. Inside the sandbox
// this program is copied to one of the permitted program paths, so the
// daemon serves it like the runtime's own programs.
//
//   vexa-bench-client gate RUNS
//   vexa-bench-client whitelist PATH ENTRIES RUNS
//   vexa-bench-client gen-logs DATADIR RUNTIMELOG MEGABYTES
//   vexa-bench-client copylogs USER UID DATADIR RUNTIMELOG LOGDIR RUNS
//
// Each benchmark prints one RESULT line (see benchreport.h) on stdout.

#include "benchcommon.h"
#include "benchreport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTextStream>

#include <cstdio>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const QString service = QStringLiteral("cn.selvane.Vexa.Pref");
const QString objectPath = QStringLiteral("/cn/selvane/Vexa/Pref");
// Long enough for a collection of tens of megabytes on a slow machine.
const int longCallTimeoutMs = 10 * 60 * 1000;

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QDBusMessage methodCall(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, objectPath, service, method);
    call.setArguments(arguments);
    return call;
}

// Peer.Ping, which Qt's bus code answers without reaching our object: the
// cost of a round trip through the bus to the daemon and nothing else.
bool ping(QDBusConnection &bus)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(service, objectPath,
                                                             QStringLiteral("org.freedesktop.DBus.Peer"),
                                                             QStringLiteral("Ping"));
    return bus.call(call).type() == QDBusMessage::ReplyMessage;
}

// A call that passes the caller check and then stops before any file work:
// an empty log path is refused at once.
bool gatedCall(QDBusConnection &bus)
{
    const QDBusMessage reply = bus.call(methodCall(QStringLiteral("copyLogFiles"),
                                                   {QString(), QString(), QString()}));
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toInt() == -1;
}

bool callBool(QDBusConnection &bus, const QString &method, const QVariantList &arguments)
{
    const QDBusMessage reply = bus.call(methodCall(method, arguments));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        err() << method << ": " << reply.errorName() << ": " << reply.errorMessage() << Qt::endl;
        return false;
    }
    return reply.arguments().value(0).toBool();
}

// What Qt alone needs for one edit: read the file, parse it, serialise it
// and replace it atomically.
bool rewriteInProcess(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(in.readAll());
    in.close();
    if (!document.isObject())
        return false;
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(document.toJson());
    return out.commit();
}

bool fileMentions(const QString &path, const QString &text)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(text.toUtf8());
}

class Stopwatch
{
public:
    Stopwatch() { m_timer.start(); }
    double ns() const { return double(m_timer.nsecsElapsed()); }

private:
    QElapsedTimer m_timer;
};

void printResult(const BenchResult &result)
{
    QTextStream(stdout) << formatResultLine(result) << Qt::endl;
}

int benchGate(QDBusConnection &bus, int runs)
{
    for (int i = 0; i < 50; ++i) {
        if (!ping(bus) || !gatedCall(bus)) {
            err() << "gate: the daemon did not answer as a permitted caller expects" << Qt::endl;
            return 1;
        }
    }
    QVector<double> pings;
    QVector<double> gated;
    for (int i = 0; i < runs; ++i) {
        Stopwatch a;
        ping(bus);
        pings << a.ns();
        Stopwatch b;
        gatedCall(bus);
        gated << b.ns();
    }
    BenchResult result;
    result.key = QStringLiteral("gate");
    result.floor = median(pings);
    result.measured = median(gated);
    result.unit = QStringLiteral("ns");
    result.goal = 3;
    result.samples = runs;
    result.label = QStringLiteral("Gated call without file work vs Peer.Ping");
    printResult(result);
    return 0;
}

int benchWhitelist(QDBusConnection &bus, const QString &path, int entries, int runs)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !writeBenchWhitelist(path, entries)) {
        err() << "whitelist: cannot write " << path << Qt::endl;
        return 1;
    }
    const QString probe = QStringLiteral("com.example.bench.probe");
    const QVariantList addArguments = {QStringLiteral("Bench probe"), probe};
    const QVariantList removeArguments = {probe};

    QVector<double> pairs;
    QVector<double> floors;
    QVector<double> gates;
    QVector<double> pings;
    // The first round warms the page cache and the daemon up and is not counted.
    for (int i = -1; i < runs; ++i) {
        // Floor and edit alternate on the same file in the same states, so
        // both see the same sizes and the same cache.
        Stopwatch floorAdd;
        const bool floorAddOk = ping(bus) && rewriteInProcess(path);
        const double floorAddNs = floorAdd.ns();
        Stopwatch add;
        const bool added = callBool(bus, QStringLiteral("addGameToWhiteList"), addArguments);
        const double addNs = add.ns();
        Stopwatch floorRemove;
        const bool floorRemoveOk = ping(bus) && rewriteInProcess(path);
        const double floorRemoveNs = floorRemove.ns();
        const bool listed = fileMentions(path, probe);
        Stopwatch remove;
        const bool removed = callBool(bus, QStringLiteral("removeGameFromWhiteList"), removeArguments);
        const double removeNs = remove.ns();
        if (!floorAddOk || !floorRemoveOk || !added || !listed || !removed || fileMentions(path, probe)) {
            err() << "whitelist: an edit did not do what it should (floor " << floorAddOk << floorRemoveOk
                  << ", add " << added << ", listed " << listed << ", remove " << removed << ")" << Qt::endl;
            return 1;
        }
        // The caller check's own cost, which the floor leaves out: a gated
        // call without file work against a Ping.
        Stopwatch gate;
        gatedCall(bus);
        const double gateNs = gate.ns();
        Stopwatch bare;
        ping(bus);
        const double pingNs = bare.ns();
        if (i >= 0) {
            pairs << addNs + removeNs;
            floors << floorAddNs + floorRemoveNs;
            gates << gateNs;
            pings << pingNs;
        }
    }
    BenchResult result;
    result.key = QStringLiteral("whitelist-%1").arg(entries);
    result.floor = median(floors);
    result.measured = median(pairs);
    result.unit = QStringLiteral("ns");
    result.goal = 1.5;
    result.samples = runs;
    result.label = QStringLiteral("Add+remove on a whitelist of %1 vs 2 x (Ping + Qt read/parse/serialise/atomic write)")
                       .arg(entries);
    printResult(result);
    const double checkNs = qMax(0.0, median(gates) - median(pings));
    QTextStream(stdout) << "INFO Whitelist of " << entries << ": the caller check costs " << formatQuantity(checkNs, result.unit)
                        << " a call over a Ping; with it added to the floor the ratio is "
                        << QString::number(result.measured / (result.floor + 2 * checkNs), 'f', 2) << "x" << Qt::endl;
    return 0;
}

int genLogs(const QString &dataDir, const QString &runtimeLog, int megabytes)
{
    const qint64 written = generateBenchLogs(dataDir, runtimeLog, qint64(megabytes) * 1024 * 1024);
    if (written < 0) {
        err() << "gen-logs: cannot write under " << dataDir << Qt::endl;
        return 1;
    }
    err() << "gen-logs: " << written << " bytes" << Qt::endl;
    return 0;
}

// Empties the collection directory and removes the archive, so that every
// round copies and zips from scratch. The folder and its VexaLog parent are
// the user's, as the front end makes them: the daemon's tools write there as
// the user.
bool resetCollection(const QString &logDir, const struct passwd &user)
{
    QFile::remove(logDir + QStringLiteral(".zip"));
    QDir(logDir).removeRecursively();
    if (!QDir().mkpath(logDir))
        return false;
    for (const QString &dir : {QFileInfo(logDir).path(), logDir}) {
        if (::chown(QFile::encodeName(dir).constData(), user.pw_uid, user.pw_gid) != 0)
            return false;
    }
    return true;
}

qint64 treeBytes(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return info.size();
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

// Runs script in /bin/sh; its output goes to our stderr, away from the results.
bool runShell(const QByteArray &script)
{
    const char *argv[] = {"/bin/sh", "-c", script.constData(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int benchCopyLogs(QDBusConnection &bus, const QString &user, const QString &uid, const QString &dataDir,
                  const QString &runtimeLog, const QString &logDir, int runs)
{
    const QString archive = logDir + QStringLiteral(".zip");
    const QByteArray script = logCollectionScript(user, dataDir, runtimeLog, logDir);
    const QDBusMessage call = methodCall(QStringLiteral("copyLogFiles"), {user, uid, logDir});
    const struct passwd *account = ::getpwnam(user.toLocal8Bit().constData());
    if (!account) {
        err() << "copylogs: no user " << user << Qt::endl;
        return 1;
    }

    QVector<double> daemon;
    QVector<double> shell;
    qint64 daemonArchive = 0;
    qint64 shellArchive = 0;
    for (int i = -1; i < runs; ++i) {
        // Alternate which goes first, so neither always meets a warmer cache.
        for (int turn = 0; turn < 2; ++turn) {
            const bool daemonTurn = (turn == 0) == (i % 2 == 0);
            if (!resetCollection(logDir, *account)) {
                err() << "copylogs: cannot reset " << logDir << Qt::endl;
                return 1;
            }
            ::sync();
            Stopwatch watch;
            bool ok = false;
            if (daemonTurn) {
                const QDBusMessage reply = bus.call(call, QDBus::Block, longCallTimeoutMs);
                ok = reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toInt() == 0;
            } else {
                ok = runShell(script);
            }
            const double ns = watch.ns();
            const qint64 size = QFileInfo(archive).size();
            if (!ok || size <= 0) {
                err() << "copylogs: the " << (daemonTurn ? "daemon" : "shell") << " run failed" << Qt::endl;
                return 1;
            }
            if (i < 0)
                continue;
            (daemonTurn ? daemon : shell) << ns;
            (daemonTurn ? daemonArchive : shellArchive) = size;
        }
    }
    // Both must have done the same work: archives of the same size, give or
    // take the time stamps zip stores.
    if (qAbs(daemonArchive - shellArchive) > daemonArchive / 100) {
        err() << "copylogs: archives differ: daemon " << daemonArchive << ", shell " << shellArchive << Qt::endl;
        return 1;
    }
    BenchResult result;
    result.key = QStringLiteral("copylogs");
    result.floor = median(shell);
    result.measured = median(daemon);
    result.unit = QStringLiteral("ns");
    result.goal = 1.2;
    result.samples = runs;
    const double mebibytes = double(treeBytes(dataDir) + treeBytes(runtimeLog)) / (1024 * 1024);
    result.label = QStringLiteral("copyLogFiles on %1 MiB of logs vs the same tools run by a shell")
                       .arg(mebibytes, 0, 'f', 0);
    printResult(result);

    // How fast the daemon answers while it collects: the gated call, which
    // passes its main thread and the caller check (a Peer.Ping is answered
    // by the bus library on its own thread and would show nothing), back to
    // back during a few collections, against the same call idle just before
    // each, so that both meet the machine in the same mood.
    QVector<double> idle;
    QVector<double> during;
    for (int i = 0; i < qMax(1, runs / 2); ++i) {
        if (!resetCollection(logDir, *account))
            return 1;
        for (int k = 0; k < 1000; ++k) {
            Stopwatch watch;
            if (!gatedCall(bus)) {
                err() << "copylogs: the idle call failed" << Qt::endl;
                return 1;
            }
            idle << watch.ns();
        }
        QDBusPendingCall pending = bus.asyncCall(call, longCallTimeoutMs);
        while (!pending.isFinished()) {
            Stopwatch watch;
            if (!gatedCall(bus)) {
                err() << "copylogs: a call during the collection failed" << Qt::endl;
                return 1;
            }
            during << watch.ns();
            QCoreApplication::processEvents();
        }
        const QDBusMessage reply = pending.reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().value(0).toInt() != 0) {
            err() << "copylogs: the collection beside the calls failed" << Qt::endl;
            return 1;
        }
    }
    BenchResult answers;
    answers.key = QStringLiteral("copylogs-p99");
    answers.floor = percentile(idle, 0.99);
    answers.measured = percentile(during, 0.99);
    answers.unit = QStringLiteral("ns");
    answers.goal = 3;
    answers.samples = during.size();
    answers.label = QStringLiteral("p99 of a gated call during copyLogFiles vs idle");
    printResult(answers);
    return 0;
}

int usage()
{
    err() << "usage: vexa-bench-client gate RUNS\n"
             "       vexa-bench-client whitelist PATH ENTRIES RUNS\n"
             "       vexa-bench-client gen-logs DATADIR RUNTIMELOG MEGABYTES\n"
             "       vexa-bench-client copylogs USER UID DATADIR RUNTIMELOG LOGDIR RUNS"
          << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString command = args.first();

    if (command == QLatin1String("gen-logs") && args.size() == 4)
        return genLogs(args.at(1), args.at(2), args.at(3).toInt());

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        err() << "no system bus: " << bus.lastError().message() << Qt::endl;
        return 1;
    }
    if (command == QLatin1String("gate") && args.size() == 2)
        return benchGate(bus, args.at(1).toInt());
    if (command == QLatin1String("whitelist") && args.size() == 4)
        return benchWhitelist(bus, args.at(1), args.at(2).toInt(), args.at(3).toInt());
    if (command == QLatin1String("copylogs") && args.size() == 7)
        return benchCopyLogs(bus, args.at(1), args.at(2), args.at(3), args.at(4), args.at(5), args.at(6).toInt());
    return usage();
}
