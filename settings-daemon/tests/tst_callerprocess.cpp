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
#include <QTest>
#include <QThread>

#include <csignal>

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
    }
    void loaderOverride()
    {
        QFETCH(QByteArray, environment);
        QFETCH(bool, found);
        QCOMPARE(environmentHasLoaderOverride(environment), found);
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
        // tells them apart (by the pid alone the newcomer passes).
        QTest::newRow("pid reused by a permitted program")
            << QStringLiteral("reused") << false
            << QStringLiteral("open env file failed:  \"/proc/%2/environ\"");
    }
    // Each case by the pid alone and through a pidfd of the caller, with the
    // same answers and log lines.
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
        const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
        QVERIFY(pidfd >= 0);
        QCOMPARE(pidOfPidfd(pidfd), int(pid));
        pid_t newcomer = 0;
        if (kind == QLatin1String("gone") || kind == QLatin1String("reused")) {
            process.kill();
            QVERIFY(process.waitForFinished(TestUtil::waitLimitMs));
            QCOMPARE(pidOfPidfd(pidfd), 0);
        }
        if (kind == QLatin1String("reused")) {
            newcomer = startWithPid(m_caller, pid_t(pid));
            if (newcomer == 0 && qgetenv("CI") != "true") {
                ::close(pidfd);
                QSKIP("choosing a new process's pid needs root (CAP_SYS_ADMIN) and Linux 5.5");
            }
            QCOMPARE(qint64(newcomer), pid);
            const QString link = QStringLiteral("/proc/%1/exe").arg(pid);
            QDeadlineTimer deadline(TestUtil::waitLimitMs);
            while (QFileInfo(link).canonicalFilePath() != m_caller && !deadline.hasExpired())
                QThread::msleep(10);
        }

        const QStringList list {kind == QLatin1String("other") ? m_other : m_caller};
        const auto check = [&](int fd) {
            const CallerProcess caller(int(pid), fd);
            return callerEnvironmentIsClean(caller) && callerExecutableIsPermitted(caller, list);
        };
        const auto expectWarning = [&] {
            if (!warning.isEmpty())
                QTest::ignoreMessage(QtWarningMsg,
                                     qPrintable(QString(warning)
                                                    .replace(QLatin1String("%1"), m_caller)
                                                    .replace(QLatin1String("%2"), QString::number(pid))));
        };
        if (kind != QLatin1String("reused"))
            expectWarning();
        const bool byPid = check(-1);
        expectWarning();
        const bool throughPidfd = check(pidfd);
        ::close(pidfd);
        process.kill();
        process.waitForFinished(TestUtil::waitLimitMs);
        if (newcomer > 0) {
            ::kill(newcomer, SIGKILL);
            ::waitpid(newcomer, nullptr, 0);
        }
        QCOMPARE(throughPidfd, permitted);
        QCOMPARE(byPid, kind == QLatin1String("reused") ? true : permitted);
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
        QCOMPARE(cache.size(), 2);
        QCOMPARE(cache.pid(QStringLiteral(":1.1")), 0);
        QCOMPARE(cache.pid(QStringLiteral(":1.2")), b);
        cache.remove(QStringLiteral(":1.2"));
        QCOMPARE(cache.pid(QStringLiteral(":1.2")), 0);
        // A pid whose process has ended may be another's by now.
        first.kill();
        QVERIFY(first.waitForFinished());
        QCOMPARE(cache.pid(QStringLiteral(":1.3")), 0);
        QCOMPARE(cache.size(), 0);
        QVERIFY(!cache.insert(QStringLiteral(":1.4"), a));
        // The bus's pidfd is kept instead of one of the cache's own.
        const int given = int(::syscall(SYS_pidfd_open, pid_t(b), 0));
        QVERIFY(cache.insert(QStringLiteral(":1.5"), b, given));
        QCOMPARE(cache.pidfd(QStringLiteral(":1.5")), given);
        second.kill();
        second.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestCallerProcess)
#include "tst_callerprocess.moc"
