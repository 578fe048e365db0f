#include "callercache.h"
#include "callerprocess.h"
#include "testutil.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <csignal>

#include <fcntl.h>

#include <linux/sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A byte literal that may hold NUL bytes.
template<int size> QByteArray bytes(const char (&literal)[size])
{
    return QByteArray(literal, size - 1);
}

// Waits until process runs the program at path (it may still be on its way
// through unshare and a shell); false when it ends first.
bool waitForExecutable(QProcess &process, const QString &path)
{
    const QString link = QStringLiteral("/proc/%1/exe").arg(process.processId());
    QDeadlineTimer deadline(TestUtil::waitLimitMs);
    while (QFileInfo(link).canonicalFilePath() != path) {
        if (deadline.hasExpired() || process.waitForFinished(10))
            return false;
    }
    return true;
}

// Starts program (with the argument 30) as process pid, which must be free:
// root may choose a new process's pid. 0 when the kernel does not let it.
pid_t startWithPid(const QString &program, pid_t pid)
{
    const QByteArray path = QFile::encodeName(program);
    clone_args args {};
    args.exit_signal = SIGCHLD;
    args.set_tid = quint64(quintptr(&pid));
    args.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
        ::execl(path.constData(), path.constData(), "30", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    return child > 0 ? pid_t(child) : 0;
}

} // namespace

class TestCallerProcess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_caller; // stands for a permitted program
    QString m_other; // the same program as another file

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_caller = QFileInfo(m_dir.filePath(QStringLiteral("caller"))).absoluteFilePath();
        m_other = m_dir.filePath(QStringLiteral("other"));
        const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        QVERIFY(!sleep.isEmpty());
        for (const QString &copy : {m_caller, m_other}) {
            QVERIFY(QFile::copy(sleep, copy));
            QVERIFY(QFile::setPermissions(copy,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ReadOther | QFile::ExeOther));
        }
    }

    void loaderOverride_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<bool>("found");
        // The end-to-end gate test shows the usual cases; these are the edges.
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("first entry, no NUL after") << bytes("LD_AUDIT=x") << true;
        // As a text-mode read gives it: the CR is gone.
        QTest::newRow("CR inside the name") << bytes("LD_PRE\rLOAD=1\0") << true;
        QTest::newRow("no value, or the name in a value")
            << bytes("LD_PRELOAD\0X=LD_PRELOAD=1\0=LD_AUDIT=\0") << false;
        QTest::newRow("a name one byte longer, then the longest")
            << bytes("LD_LIBRARY_PATHX=\0LD_LIBRARY_PATH=") << true;
        QTest::newRow("CRs in a long name") << bytes("LD_LIBRARY_\r\rPATH\r=\nX") << true;
        QTest::newRow("a line feed ends a name, not a CR") << bytes("X\nLD_AUDIT\r=") << true;
    }
    // Whole, and in pieces cut at every place (inside a name, at '=', at a
    // NUL, beside a CR) and a byte at a time.
    void loaderOverride()
    {
        QFETCH(QByteArray, environment);
        QFETCH(bool, found);
        QCOMPARE(environmentHasLoaderOverride(environment), found);
        for (int cut = 0; cut <= environment.size(); ++cut) {
            LoaderOverrideScanner scanner;
            scanner.scan(environment.constData(), cut);
            scanner.scan(environment.constData() + cut, environment.size() - cut);
            QVERIFY2(scanner.found() == found, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        }
        LoaderOverrideScanner byteByByte;
        for (const char &c : environment)
            byteByByte.scan(&c, 1);
        QCOMPARE(byteByByte.found(), found);
    }

    // The environment as a file read a piece at a time, against a cap of
    // two and a half pieces.
    void environmentFile_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("nameAt"); // where "LD_AUDIT=" starts; -1 for nowhere
        QTest::addColumn<int>("verdict");
        constexpr int piece = environmentPieceSize;
        constexpr int cap = 5 * piece / 2;
        const int clean = int(EnvironmentVerdict::Clean);
        const int overridden = int(EnvironmentVerdict::Overridden);
        const int unreadable = int(EnvironmentVerdict::Unreadable);
        QTest::newRow("clean, three pieces") << cap << -1 << clean;
        QTest::newRow("name across a piece edge") << cap << piece - 4 << overridden;
        QTest::newRow("'=' first in a piece") << cap << 2 * piece - 8 << overridden;
        QTest::newRow("name at the very end, at the cap") << cap << cap - 9 << overridden;
        QTest::newRow("a byte past the cap, name first") << cap + 1 << 1 << unreadable;
    }
    void environmentFile()
    {
        QFETCH(int, size);
        QFETCH(int, nameAt);
        QFETCH(int, verdict);
        // Entries of 99 bytes each, as "Vnn=xxx...\0".
        QByteArray environment;
        while (environment.size() < size)
            environment += "V" + QByteArray::number(environment.size() % 89) + "=" + QByteArray(93, 'x')
                + '\0';
        environment.truncate(size);
        if (nameAt >= 0) {
            environment[nameAt - 1] = '\0';
            environment.replace(nameAt, 9, "LD_AUDIT=");
        }
        QTemporaryFile file;
        QVERIFY(file.open());
        QCOMPARE(file.write(environment), qint64(size));
        QVERIFY(file.flush());
        const int fd = ::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const EnvironmentVerdict found = scanEnvironment(fd, 5 * environmentPieceSize / 2);
        ::close(fd);
        QCOMPARE(int(found), verdict);
    }

    void callerProcess_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("permitted");
        QTest::addColumn<QString>("warning"); // %1: the caller's path, %2: its pid
        QTest::newRow("permitted program") << QStringLiteral("permitted") << true << QString();
        QTest::newRow("not in the list")
            << QStringLiteral("other") << false << QStringLiteral("checkWhiteList failed:  \"%1\"");
        // Another program mounted over the permitted path, in the caller's own
        // mount namespace: the path reads as permitted, the file is not.
        QTest::newRow("bind mount in another namespace")
            << QStringLiteral("bind mount") << false << QStringLiteral("checkWhiteList failed:  \"%1\"");
        QTest::newRow("process gone") << QStringLiteral("gone") << false
                                      << QStringLiteral("open env file failed:  \"/proc/%2/environ\"");
        // The caller ended and a permitted program got its pid: only a pidfd
        // tells them apart, so the sender keeps the one of its first call,
        // or none when its process had ended by then.
        QTest::newRow("pid reused by a permitted program")
            << QStringLiteral("reused") << false
            << QStringLiteral("open env file failed:  \"/proc/%2/environ\"");
        QTest::newRow("pid reused, gone at the sender's first call")
            << QStringLiteral("reused, gone first") << false
            << QStringLiteral("open env file failed:  \"/proc/%2/environ\"");
    }
    // Each case through the pidfd kept for the sender; without one nothing
    // is read, whatever runs at the pid, and every case is refused as a
    // process gone.
    void callerProcess()
    {
        QFETCH(QString, kind);
        QFETCH(bool, permitted);
        QFETCH(QString, warning);
        QProcess process;
        if (kind == QLatin1String("bind mount")) {
            process.start(QStringLiteral("unshare"),
                          {QStringLiteral("-Urm"), QStringLiteral("sh"), QStringLiteral("-c"),
                           QStringLiteral("mount --bind \"$1\" \"$2\" && exec \"$2\" 30"),
                           QStringLiteral("sh"), m_other, m_caller});
        } else {
            process.start(m_caller, {QStringLiteral("30")});
        }
        QVERIFY(process.waitForStarted(TestUtil::waitLimitMs));
        const qint64 pid = process.processId();
        if (kind == QLatin1String("bind mount") && !waitForExecutable(process, m_caller)) {
            process.kill();
            process.waitForFinished(TestUtil::waitLimitMs);
            QSKIP("unshare -Urm with a bind mount is not allowed here");
        }
        QVERIFY(waitForExecutable(process, m_caller));
        CallerPidCache cache;
        const QString sender = QStringLiteral(":1.1");
        const bool goneFirst = kind == QLatin1String("reused, gone first");
        if (!goneFirst) {
            QVERIFY(cache.insert(sender, int(pid)));
            QCOMPARE(pidOfPidfd(cache.pidfd(sender)), int(pid));
        }
        pid_t newcomer = 0;
        if (kind == QLatin1String("gone") || kind.startsWith(QLatin1String("reused"))) {
            process.kill();
            QVERIFY(process.waitForFinished(TestUtil::waitLimitMs));
            QCOMPARE(pidOfPidfd(cache.pidfd(sender)), 0);
        }
        if (goneFirst)
            QVERIFY(!cache.insert(sender, int(pid)));
        if (kind.startsWith(QLatin1String("reused"))) {
            newcomer = startWithPid(m_caller, pid_t(pid));
            if (newcomer == 0 && qgetenv("CI") != "true")
                QSKIP("choosing a new process's pid needs root (CAP_SYS_ADMIN) and Linux 5.5");
            QCOMPARE(qint64(newcomer), pid);
            const QString link = QStringLiteral("/proc/%1/exe").arg(pid);
            QDeadlineTimer deadline(TestUtil::waitLimitMs);
            while (QFileInfo(link).canonicalFilePath() != m_caller && !deadline.hasExpired())
                QThread::msleep(10);
        }

        const QStringList list {kind == QLatin1String("other") ? m_other : m_caller};
        const auto check = [&](int fd) {
            const CallerProcess caller(cache.pid(sender), fd);
            return callerEnvironmentIsClean(caller, cache.keptEnvironment(sender))
                && callerExecutableIsPermitted(caller, list);
        };
        const auto expectWarning = [&] {
            if (!warning.isEmpty())
                QTest::ignoreMessage(QtWarningMsg,
                                     qPrintable(QString(warning)
                                                    .replace(QLatin1String("%1"), m_caller)
                                                    .replace(QLatin1String("%2"), QString::number(pid))));
        };
        QTest::ignoreMessage(
            QtWarningMsg, qPrintable(QStringLiteral("open env file failed:  \"/proc/%1/environ\"").arg(pid)));
        const bool byPid = check(-1);
        expectWarning();
        const bool throughPidfd = check(cache.pidfd(sender));
        process.kill();
        process.waitForFinished(TestUtil::waitLimitMs);
        if (newcomer > 0) {
            ::kill(newcomer, SIGKILL);
            ::waitpid(newcomer, nullptr, 0);
        }
        QCOMPARE(throughPidfd, permitted);
        QVERIFY(!byPid);
    }

    void pidCache()
    {
        QProcess first;
        QProcess second;
        for (QProcess *process : {&first, &second}) {
            process->start(m_caller, {QStringLiteral("30")});
            QVERIFY(process->waitForStarted());
        }
        const int a = int(first.processId());
        const int b = int(second.processId());
        CallerPidCache cache(2);
        QVERIFY(cache.insert(QStringLiteral(":1.1"), a));
        QVERIFY(cache.insert(QStringLiteral(":1.2"), b));
        QVERIFY(!cache.insert(QStringLiteral(":1.9"), 0));
        QCOMPARE(cache.pid(QStringLiteral(":1.1")), a);
        QCOMPARE(cache.pid(QStringLiteral(":1.9")), 0);
        QCOMPARE(cache.pidfd(QStringLiteral(":1.9")), -1);
        // Full: the oldest sender goes.
        QVERIFY(cache.insert(QStringLiteral(":1.3"), a));
        QCOMPARE(cache.pid(QStringLiteral(":1.3")), a);
        QCOMPARE(cache.pid(QStringLiteral(":1.1")), 0);
        QCOMPARE(cache.pid(QStringLiteral(":1.2")), b);
        cache.remove(QStringLiteral(":1.2"));
        QCOMPARE(cache.pid(QStringLiteral(":1.2")), 0);
        // A sender stays with its process after the process has ended
        // (below), and a process that cannot be held is kept as gone.
        first.kill();
        QVERIFY(first.waitForFinished());
        QCOMPARE(cache.pid(QStringLiteral(":1.3")), a);
        QVERIFY(!cache.insert(QStringLiteral(":1.4"), a));
        QCOMPARE(cache.pid(QStringLiteral(":1.4")), a);
        QCOMPARE(cache.pidfd(QStringLiteral(":1.4")), -1);
        // The bus's pidfd is kept instead of one of the cache's own.
        const int given = int(::syscall(SYS_pidfd_open, pid_t(b), 0));
        QVERIFY(cache.insert(QStringLiteral(":1.5"), b, given));
        QCOMPARE(cache.pidfd(QStringLiteral(":1.5")), given);
        second.kill();
        second.waitForFinished();
    }

    // The verdict on a sender's environment is kept while its process runs
    // the same executable; an exec of another file is scanned again.
    void keptVerdictFollowsTheExecutable_data()
    {
        QTest::addColumn<bool>("sameFile");
        QTest::newRow("exec of another file with a loader override") << false;
        QTest::newRow("exec of the same file with a loader override") << true;
    }
    void keptVerdictFollowsTheExecutable()
    {
        QFETCH(bool, sameFile);
        const QString shell = QFileInfo(QStringLiteral("/bin/sh")).canonicalFilePath();
        const QString next = sameFile ? shell : m_caller;
        QProcess process;
        process.start(shell,
                      {QStringLiteral("-c"),
                       QStringLiteral("read line; exec env LD_PRELOAD= \"$1\" %1")
                           .arg(sameFile ? QStringLiteral("-c 'read line'") : QStringLiteral("30")),
                       QStringLiteral("sh"), next});
        QVERIFY(process.waitForStarted(TestUtil::waitLimitMs));
        QVERIFY(waitForExecutable(process, shell));
        const int pid = int(process.processId());
        const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
        QVERIFY(pidfd >= 0);
        KeptEnvironment kept;
        {
            const CallerProcess caller(pid, pidfd);
            QVERIFY(callerEnvironmentIsClean(caller, &kept));
        }
        QVERIFY(kept.kept && !kept.overridden);

        process.write("\n");
        QVERIFY(process.waitForBytesWritten(TestUtil::waitLimitMs));
        const QString environ = QStringLiteral("/proc/%1/environ").arg(pid);
        QDeadlineTimer deadline(TestUtil::waitLimitMs);
        while (!(bytes("\0") + TestUtil::readFile(environ)).contains(bytes("\0LD_PRELOAD="))
               && !deadline.hasExpired())
            QThread::msleep(10);
        QVERIFY(waitForExecutable(process, next));

        const CallerProcess caller(pid, pidfd);
        if (!sameFile)
            QTest::ignoreMessage(QtWarningMsg, "access limited!");
        // The same file keeps the verdict of its first environment: only code
        // already running in the process can make it exec itself that way.
        QCOMPARE(callerEnvironmentIsClean(caller, &kept), sameFile);
        // A sender new to this process sees the override, and keeps it.
        KeptEnvironment fresh;
        QTest::ignoreMessage(QtWarningMsg, "access limited!");
        QVERIFY(!callerEnvironmentIsClean(caller, &fresh));
        QVERIFY(fresh.kept && fresh.overridden);
        QTest::ignoreMessage(QtWarningMsg, "access limited!");
        QVERIFY(!callerEnvironmentIsClean(caller, &fresh));
        ::close(pidfd);
        process.kill();
        process.waitForFinished(TestUtil::waitLimitMs);
    }
};

QTEST_GUILESS_MAIN(TestCallerProcess)
#include "tst_callerprocess.moc"
