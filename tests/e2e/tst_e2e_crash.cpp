// Crash safety: a permitted caller streams writes through every writing
// method while the daemon is killed with SIGKILL at random moments and started
// again, 200 times. After each kill every file must hold either its content
// from before the interrupted call or from after it - complete, parseable,
// never torn - and whatever a killed write left behind must not disturb the
// calls that follow. Where the file system has unnamed files (O_TMPFILE), a
// killed write leaves nothing behind.
//
// The randomness is seeded; the seed is printed, and VEXA_CRASH_SEED repeats
// a run.

#include "sandboxtest.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

using namespace SandboxTest;

namespace {

const QString phoneDir = QStringLiteral("/var/lib/vexa/crash");
const QString phonePath = QStringLiteral("/var/lib/vexa/crash/build.prop");

const int rounds = 200;
// Big enough lists that a write takes a while, so that many kills land in
// the middle of one.
const int baseGames = 2000;
const int warningNames = 1500;
const int maxKillDelayUsecs = 250000;
// About five changes per writing call (create, write, attributes, close,
// rename): this spreads the kills over the first few calls of a round.
const int maxKillChanges = 30;

// Left in every directory as a killed write would leave its temporary file
// (torn content, no rights), so that later calls meet one even when no kill
// happens to leave one.
const QString staleSuffix = QStringLiteral(".St4le1");
const QByteArray staleBytes = "{\"games\": [{\"pkgname\": \"com.torn";

enum FileId { GamesFile, WarningFile, DockerFile, PhoneFile, AutoStartFile, FileCount };
const char *const fileNames[FileCount] = {"games.json", "warning.json", "daemon.json", "build.prop",
                                          "bootlane.desktop"};

enum Kind { AddGame, RemoveGame, RemoveWarning, SetBridge, SetPhone, SetAutoStart, KindCount };

// What the files hold after the calls that have been answered.
struct Model
{
    QVector<QPair<QString, QString>> games; // pkgname, appname
    QStringList warningGames;
    QStringList warningPay;
    QString bridge; // empty: no "bip" yet
    QStringList phone;
    bool autoStart = false;
};

struct Op
{
    QString method;
    QStringList args;
    QString expected; // the reply
    FileId file = GamesFile;
    Model after; // the files once the call is done
};

QByteArray phoneBytes(const QStringList &values)
{
    QByteArray bytes = "# phone identity\nro.build.id=CRASH1\n";
    for (int i = 0; i < values.size(); ++i)
        bytes += phoneKeys[i] + values.at(i).toUtf8() + '\n';
    return bytes + "# end\n";
}

QJsonArray namedEntries(const QStringList &names)
{
    QJsonArray entries;
    for (const QString &name : names)
        entries.append(QJsonObject {{QStringLiteral("pkgName"), name}});
    return entries;
}

QByteArray expectedState(FileId file, const Model &model)
{
    switch (file) {
    case GamesFile: {
        QJsonArray games;
        for (const auto &game : model.games)
            games.append(QJsonObject {{QStringLiteral("pkgname"), game.first},
                                      {QStringLiteral("appname"), game.second}});
        return canonicalJson(QJsonObject {{QStringLiteral("version"), 1}, {QStringLiteral("games"), games}});
    }
    case WarningFile:
        return canonicalJson(QJsonObject {{QStringLiteral("games"), namedEntries(model.warningGames)},
                                          {QStringLiteral("pay"), namedEntries(model.warningPay)}});
    case DockerFile: {
        QJsonObject config {{QStringLiteral("log-level"), QStringLiteral("warn")}};
        if (!model.bridge.isEmpty())
            config.insert(QStringLiteral("bip"), model.bridge);
        return canonicalJson(config);
    }
    case PhoneFile:
        return phoneBytes(model.phone);
    case AutoStartFile:
        return model.autoStart ? autoStartBytes : absent;
    case FileCount:
        break;
    }
    return QByteArray();
}

QByteArray actualState(FileId file)
{
    switch (file) {
    case GamesFile:
        return canonicalJson(readFile(gamesPath, absent));
    case WarningFile:
        return canonicalJson(readFile(warningPath, absent));
    case DockerFile:
        return canonicalJson(readFile(dockerPath, absent));
    case PhoneFile:
        return readFile(phonePath, absent);
    case AutoStartFile:
        return readFile(autoStartPath, absent);
    case FileCount:
        break;
    }
    return QByteArray();
}

Model initialModel()
{
    Model model;
    for (int i = 0; i < baseGames; ++i)
        model.games.append(
            {QStringLiteral("com.base.g%1").arg(i), QStringLiteral("Base %1 \u6e38\u620f").arg(i)});
    for (int i = 0; i < warningNames; ++i) {
        const QString name = QStringLiteral("com.warn.a%1").arg(i);
        model.warningGames << name;
        if (i % 3 == 0)
            model.warningPay << name;
    }
    for (int i = 0; i < 7; ++i)
        model.phone << QStringLiteral("initial%1").arg(i);
    return model;
}

bool writeModel(const Model &model)
{
    const QByteArray games = expectedState(GamesFile, model);
    const QByteArray warning = expectedState(WarningFile, model);
    const QByteArray docker = expectedState(DockerFile, model);
    return writeFile(gamesPath, games) && writeFile(warningPath, warning) && writeFile(dockerPath, docker)
        && writeFile(phonePath, phoneBytes(model.phone))
        && (!QFile::exists(autoStartPath) || QFile::remove(autoStartPath));
}

class OpSource
{
public:
    explicit OpSource(quint32 seed)
        : m_random(seed)
    { }

    int bounded(int limit) { return int(m_random.bounded(quint32(limit))); }

    // The next call and its effect; kind < 0 picks one at random, the game
    // list edits twice as often as the others.
    Op next(const Model &model, int kind = -1)
    {
        if (kind < 0) {
            kind = bounded(KindCount + 2);
            if (kind >= KindCount)
                kind -= KindCount;
        }
        Op op;
        op.after = model;
        op.expected = QStringLiteral("true");
        const QString serial = QString::number(++m_serial);
        switch (Kind(kind)) {
        case AddGame: {
            const QString pkg = QStringLiteral("com.crash.g") + serial;
            const QString app = QStringLiteral("Crash \u91cd\u529b ") + serial;
            op.method = QStringLiteral("addGameToWhiteList");
            op.args = QStringList {app, pkg};
            op.after.games.append({pkg, app});
            op.file = GamesFile;
            break;
        }
        case RemoveGame: {
            op.method = QStringLiteral("removeGameFromWhiteList");
            op.file = GamesFile;
            // One in ten takes out a package that is not listed: true, no write.
            if (model.games.isEmpty() || bounded(10) == 0) {
                op.args = QStringList {QStringLiteral("com.crash.absent")};
                break;
            }
            const int index = bounded(model.games.size());
            op.args = QStringList {model.games.at(index).first};
            op.after.games.removeAt(index);
            break;
        }
        case RemoveWarning: {
            const QString name = bounded(10) == 0 ? QStringLiteral("com.warn.none")
                                                  : QStringLiteral("com.warn.a%1").arg(bounded(warningNames));
            op.method = QStringLiteral("removeAppFromWarningList");
            op.args = QStringList {name};
            op.file = WarningFile;
            const bool fromGames = op.after.warningGames.removeOne(name);
            const bool fromPay = op.after.warningPay.removeOne(name);
            op.expected = QLatin1String(fromGames || fromPay ? "true" : "false");
            break;
        }
        case SetBridge:
            op.method = QStringLiteral("setDockerDefaultIpAddress");
            op.after.bridge = QStringLiteral("10.%1.%2.1/16").arg(bounded(256)).arg(bounded(256));
            op.args = QStringList {op.after.bridge};
            op.file = DockerFile;
            break;
        case SetPhone:
            op.method = QStringLiteral("setPhoneInfo");
            op.args = QStringList {phonePath};
            for (int i = 0; i < 7; ++i)
                op.after.phone[i] = QStringLiteral("v%1.%2-\u00eb").arg(serial).arg(i);
            op.args << op.after.phone;
            op.file = PhoneFile;
            break;
        case SetAutoStart: {
            const bool on = bounded(2) == 1;
            op.method = QStringLiteral("setVexaAutoStart");
            op.args = QStringList {QLatin1String(on ? "true" : "false")};
            // Removing an entry that is not there answers false.
            op.expected = QLatin1String(on || model.autoStart ? "true" : "false");
            op.after.autoStart = on;
            op.file = AutoStartFile;
            break;
        }
        case KindCount:
            break;
        }
        return op;
    }

private:
    QRandomGenerator m_random;
    int m_serial = 0;
};

// Sends SIGKILL to pid from a thread of its own, so that the kill falls
// anywhere in the stream of calls: after a delay, or at a given change in the
// directories of the daemon's files (the creation, write, rename or removal
// of a file whose name starts with one of fileNames). The latter puts many
// kills right inside a write, where a random delay only seldom lands.
class Killer
{
public:
    Killer(qint64 pid, int delayUsecs, int changes, const QStringList &dirs)
    {
        m_watch = changes > 0 ? ::inotify_init1(IN_CLOEXEC) : -1;
        for (const QString &dir : dirs) {
            if (m_watch >= 0)
                ::inotify_add_watch(m_watch, QFile::encodeName(dir).constData(),
                                    IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO
                                        | IN_DELETE);
        }
        m_thread = std::thread([this, pid, delayUsecs, changes] {
            if (m_watch >= 0)
                waitForChanges(changes);
            else
                ::usleep(useconds_t(delayUsecs));
            // Set first: an error seen while this is still false was not caused by us.
            m_fired = true;
            ::kill(pid_t(pid), SIGKILL);
        });
    }
    ~Killer()
    {
        join();
        if (m_watch >= 0)
            ::close(m_watch);
    }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool fired() const { return m_fired; }
    // The change the kill followed, empty for a kill after a delay.
    QString trigger() const { return m_trigger; }

private:
    void waitForChanges(int changes)
    {
        alignas(struct inotify_event) char buffer[8192];
        int seen = 0;
        while (seen < changes) {
            struct pollfd ready = {m_watch, POLLIN, 0};
            // Nothing changes for a while (a run of calls that write nothing): kill anyway.
            if (::poll(&ready, 1, 2000) <= 0)
                return;
            const ssize_t size = ::read(m_watch, buffer, sizeof(buffer));
            for (ssize_t at = 0; at < size && seen < changes;) {
                const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
                at += ssize_t(sizeof(struct inotify_event) + event->len);
                const QString name = event->len ? QFile::decodeName(event->name) : QString();
                for (const char *file : fileNames) {
                    if (name.startsWith(QLatin1String(file)) && !name.endsWith(staleSuffix)) {
                        if (++seen == changes)
                            m_trigger = name;
                        break;
                    }
                }
            }
        }
    }

    int m_watch = -1;
    QString m_trigger;
    std::atomic<bool> m_fired {false};
    std::thread m_thread;
};

// Whether the folder's file system has unnamed files, which the daemon's
// writes use until their file is complete.
bool hasUnnamedFiles(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// The daemon is gone: the call was lost with it, or found no one to take it.
bool isGoneError(const QString &reply)
{
    return reply.startsWith(QLatin1String("error: org.freedesktop.DBus.Error.NoReply:"))
        || reply.startsWith(QLatin1String("error: org.freedesktop.DBus.Error.ServiceUnknown:"))
        || reply.startsWith(QLatin1String("error: org.freedesktop.DBus.Error.NameHasNoOwner:"));
}

QString readReply(QProcess *caller)
{
    while (!caller->canReadLine()) {
        if (!caller->waitForReadyRead(waitLimitMs))
            return QStringLiteral("<no reply from the caller: %1>").arg(caller->errorString());
    }
    return QString::fromUtf8(caller->readLine()).chopped(1);
}

QString describe(const Op &op)
{
    return op.method + QLatin1Char('(') + op.args.join(QStringLiteral(", ")).left(200) + QLatin1Char(')');
}

} // namespace

class TestE2eCrash : public QObject
{
    Q_OBJECT

    Daemon m_daemon;
    QStringList m_staleFiles;
    const QStringList m_fileDirs {listDir, dockerDir, autoStartDir, phoneDir};
    QStringList m_entriesBefore;

    static bool isOurFile(const QString &name)
    {
        for (const char *file : fileNames) {
            if (name == QLatin1String(file))
                return true;
        }
        return false;
    }

    // Every file must be in its state before the interrupted call or, for
    // the file that call writes, after it; the model follows the files.
    // Returns an empty text, or what is wrong.
    QString checkFiles(Model *model, const Op *interrupted, int *applied)
    {
        *applied = -1;
        for (int id = 0; id < FileCount; ++id) {
            const FileId file = FileId(id);
            const QByteArray actual = actualState(file);
            const QByteArray before = expectedState(file, *model);
            if (interrupted && interrupted->file == file) {
                const QByteArray after = expectedState(file, interrupted->after);
                if (before == after) {
                    *applied = 2;
                } else if (actual == after) {
                    *applied = 1;
                    *model = interrupted->after;
                    continue;
                } else {
                    *applied = 0;
                }
            }
            if (actual != before) {
                return QStringLiteral("%1 is neither its old nor its new content: %2")
                    .arg(QLatin1String(fileNames[file]), QString::fromUtf8(actual.left(160)));
            }
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        for (const QString &dir : m_fileDirs) {
            QVERIFY(QDir().mkpath(dir));
            m_entriesBefore << otherEntries(dir, {});
        }

        // Only the daemon this test starts may run: a call between a kill and
        // the restart would otherwise have the bus start one of its own.
        QVERIFY(!QFile::exists(activationFile) || QFile::remove(activationFile));
        const ProcessResult reload = runProcess(QStringLiteral("dbus-send"),
                                                {QStringLiteral("--system"), QStringLiteral("--print-reply"),
                                                 QStringLiteral("--dest=org.freedesktop.DBus"),
                                                 QStringLiteral("/org/freedesktop/DBus"),
                                                 QStringLiteral("org.freedesktop.DBus.ReloadConfig")},
                                                waitLimitMs);
        QVERIFY2(reload.exitCode == 0, qPrintable(reload.output));
        const Reply unowned = call(settingsCaller, QStringLiteral("setVexaAutoStart"),
                                   {QStringLiteral("maybe")});
        QCOMPARE(unowned.errorName, QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"));

        for (const QString &path : {gamesPath, warningPath, dockerPath, phonePath, autoStartPath}) {
            const QString stale = path + staleSuffix;
            QVERIFY(writeFile(stale, staleBytes));
            QVERIFY(QFile::setPermissions(stale, QFile::Permissions()));
            m_staleFiles << stale;
        }
    }

    void killedWhileWriting()
    {
        const quint32 seed = qEnvironmentVariableIsSet("VEXA_CRASH_SEED")
            ? quint32(qEnvironmentVariableIntValue("VEXA_CRASH_SEED"))
            : QRandomGenerator::system()->generate();
        qInfo("seed %u (VEXA_CRASH_SEED=%u repeats this run)", seed, seed);
        OpSource source(seed);

        Model model = initialModel();
        QVERIFY(writeModel(model));

        QProcess caller;
        caller.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        caller.start(settingsCaller, {QStringLiteral("--batch"), QStringLiteral("-")});
        QVERIFY(caller.waitForStarted(waitLimitMs));

        int answered = 0;
        int outcome[3] = {}; // interrupted call: not applied, applied, changes nothing
        int insideWrite = 0;
        for (int round = 0; round < rounds; ++round) {
            const QString where = QStringLiteral("seed %1, round %2: ").arg(seed).arg(round);
            QVERIFY2(m_daemon.start(), qPrintable(where + QStringLiteral("the daemon did not start")));
            // Even rounds kill after a random delay, odd ones at a random change
            // in the files' directories.
            const int delay = source.bounded(maxKillDelayUsecs);
            const int changes = round % 2 ? 1 + source.bounded(maxKillChanges) : 0;
            Killer killer(m_daemon.pid(), delay, changes, m_fileDirs);
            Op op;
            for (;;) {
                op = source.next(model);
                caller.write(batchLine(op.method, op.args));
                const QString reply = readReply(&caller);
                if (reply.startsWith(QLatin1String("error: ")) || reply.startsWith(QLatin1Char('<'))) {
                    QVERIFY2(killer.fired(),
                             qPrintable(where + describe(op) + QStringLiteral(" failed before the kill: ")
                                        + reply));
                    QVERIFY2(isGoneError(reply),
                             qPrintable(where + describe(op) + QStringLiteral(": ") + reply));
                    break;
                }
                QVERIFY2(reply == op.expected,
                         qPrintable(where + describe(op) + QStringLiteral(" answered ") + reply));
                model = op.after;
                ++answered;
            }
            killer.join();
            QVERIFY2(m_daemon.waitForExit(),
                     qPrintable(where + QStringLiteral("the daemon outlived SIGKILL")));
            QCOMPARE(m_daemon.exitStatus(), QProcess::CrashExit);

            int applied = -1;
            const QString problem = checkFiles(&model, &op, &applied);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(where + QStringLiteral("after killing ") + describe(op) + QStringLiteral(": ")
                                + problem));
            ++outcome[applied];
            // A kill that followed a change to a temporary file fell inside a write.
            if (!killer.trigger().isEmpty() && !isOurFile(killer.trigger()))
                ++insideWrite;
        }

        // With the leftovers of every killed write in place, each method
        // still works and writes exactly what it should.
        QVERIFY(m_daemon.start());
        for (int kind = 0; kind < KindCount; ++kind) {
            const Op op = source.next(model, kind);
            caller.write(batchLine(op.method, op.args));
            const QString reply = readReply(&caller);
            QVERIFY2(reply == op.expected, qPrintable(describe(op) + QStringLiteral(" answered ") + reply));
            model = op.after;
        }
        int ignored = 0;
        const QString problem = checkFiles(&model, nullptr, &ignored);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        m_daemon.stop();
        caller.closeWriteChannel();
        QVERIFY(caller.waitForFinished(waitLimitMs));

        for (const QString &stale : std::as_const(m_staleFiles)) {
            QFile::setPermissions(stale, QFile::ReadOwner);
            QCOMPARE(readFile(stale, absent), staleBytes);
        }
        QStringList known = m_entriesBefore;
        for (const char *name : fileNames)
            known << QLatin1String(name) << QLatin1String(name) + staleSuffix;
        QStringList leftovers;
        bool unnamedFiles = true;
        for (const QString &dir : m_fileDirs) {
            for (const QString &name : otherEntries(dir, known))
                leftovers << dir + QLatin1Char('/') + name;
            unnamedFiles = unnamedFiles && hasUnnamedFiles(dir);
        }
        qInfo(
            "%d kills (%d inside a write), %d calls answered; the interrupted call had taken effect %d "
            "times, "
            "had not %d times, changed nothing %d times; files left by killed writes: %d %s",
            rounds, insideWrite, answered, outcome[1], outcome[0], outcome[2], int(leftovers.size()),
            qPrintable(leftovers.join(QLatin1Char(' ')).left(300)));
        // Otherwise the kills missed what this test is about: calls cut off
        // before their file was replaced, after it, and in the middle.
        QVERIFY2(outcome[0] > 0 && outcome[1] > 0,
                 "the kills did not fall both before and after a replacement");
        QVERIFY2(insideWrite > 0, "no kill fell inside a write");
        // A file without a name until it is complete, named and renamed by
        // a child of the daemon's, leaves nothing behind.
        if (unnamedFiles)
            QVERIFY2(leftovers.isEmpty(), "a killed write left a file behind");
    }

    void cleanupTestCase() { m_daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eCrash)
#include "tst_e2e_crash.moc"
