// SingleApplication across real processes: the helper program is started as
// running instance and as later starts, with a home of the test's own. Where
// the user has a runtime folder the sockets live there, so the ids carry this
// test's process id to keep concurrent runs apart.

#include "testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

class TestSingleApplication : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void messageReachesRunningInstanceAfterActivation();
    void secondStartIsNotPrimary();
    void differentIdsDoNotMeet();
    void sendWithoutRunningInstanceFails();
    void largeMessageArrivesWhole();
    void staleSocketOfKilledInstanceIsReplaced();
    void simultaneousStartsHaveOneWinner();
    void stalledInstanceMakesSendTimeOut();
    void instanceIsFoundWhateverTheRuntimeDir_data();
    void instanceIsFoundWhateverTheRuntimeDir();

private:
    static QString testId(const char *suffix);
    QProcess *startHelper(const QStringList &arguments);
    QString readLine(QProcess *process, int timeoutMs = TestUtil::waitLimitMs);
    QProcess *startServer(const QString &id, QString *serverPath = nullptr, int lockTimeoutMs = -1);
    int send(const QString &id, const QString &text, int timeoutMs = 5000);

    std::unique_ptr<QTemporaryDir> m_home;
    // HOME of the helpers started next: m_home, or a folder deep below it.
    QString m_homePath;
    std::unique_ptr<QTemporaryDir> m_runtimeDir;
    // XDG_RUNTIME_DIR of the helpers started next; empty: not set.
    QString m_runtimeDirValue;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestSingleApplication::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    m_homePath = m_home->path();
    m_runtimeDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtimeDir->isValid());
    m_runtimeDirValue = m_runtimeDir->path();
}

QString TestSingleApplication::testId(const char *suffix)
{
    return QStringLiteral("vexa-test-%1%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QLatin1String(suffix));
}

void TestSingleApplication::cleanup()
{
    for (auto &process : m_processes) {
        ::kill(pid_t(process->processId()), SIGCONT);
        process->closeWriteChannel();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    m_processes.clear();
    m_runtimeDir.reset();
    m_home.reset();
}

QProcess *TestSingleApplication::startHelper(const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (m_runtimeDirValue.isEmpty())
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    else
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDirValue);
    env.insert(QStringLiteral("HOME"), m_homePath);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(SINGLEAPP_HELPER), arguments);
    QProcess *raw = process.get();
    m_processes.push_back(std::move(process));
    return raw;
}

QString TestSingleApplication::readLine(QProcess *process, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!process->canReadLine()) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0 || (!process->waitForReadyRead(left) && process->state() == QProcess::NotRunning))
            break;
    }
    if (!process->canReadLine())
        return QString();
    return QString::fromUtf8(process->readLine()).chopped(1);
}

QProcess *TestSingleApplication::startServer(const QString &id, QString *serverPath, int lockTimeoutMs)
{
    QStringList arguments {id, QStringLiteral("serve")};
    if (lockTimeoutMs >= 0)
        arguments << QString::number(lockTimeoutMs);
    QProcess *server = startHelper(arguments);
    const QString line = readLine(server);
    if (!line.startsWith(QLatin1String("primary ")))
        return nullptr;
    if (serverPath)
        *serverPath = line.mid(8);
    return server;
}

int TestSingleApplication::send(const QString &id, const QString &text, int timeoutMs)
{
    QProcess *sender = startHelper({id, QStringLiteral("send"), text, QString::number(timeoutMs)});
    if (!sender->waitForFinished(timeoutMs + TestUtil::waitLimitMs))
        return -1;
    return sender->exitStatus() == QProcess::NormalExit ? sender->exitCode() : -1;
}

void TestSingleApplication::messageReachesRunningInstanceAfterActivation()
{
    QProcess *server = startServer(testId(":1"));
    QVERIFY(server);

    const QString text = QStringLiteral("hello w\u00f6rld \u91cd\u529b / --flag");
    QCOMPARE(send(testId(":1"), text), 0);
    // 0: the window was no longer minimized when the receivers ran.
    QCOMPARE(readLine(server), QStringLiteral("received:0:") + text);

    // The instance keeps serving: a second message arrives the same way.
    QCOMPARE(send(testId(":1"), QStringLiteral("again")), 0);
    QCOMPARE(readLine(server), QStringLiteral("received:0:again"));
}

void TestSingleApplication::secondStartIsNotPrimary()
{
    QVERIFY(startServer(testId(":1")));
    QProcess *second = startHelper({testId(":1"), QStringLiteral("serve")});
    QCOMPARE(readLine(second), QStringLiteral("secondary"));
    QVERIFY(second->waitForFinished(TestUtil::waitLimitMs));
    QCOMPARE(second->exitCode(), 0);
}

void TestSingleApplication::differentIdsDoNotMeet()
{
    QVERIFY(startServer(testId(":1")));
    QCOMPARE(send(testId(":2"), QStringLiteral("x")), 2);
    QCOMPARE(send(testId(""), QStringLiteral("x")), 2);
    QVERIFY(startServer(testId(":2")));
}

void TestSingleApplication::sendWithoutRunningInstanceFails()
{
    QCOMPARE(send(testId(":1"), QStringLiteral("x")), 2);
    // The failed sender was the instance for a moment; it must not block the next one.
    QVERIFY(startServer(testId(":1")));
}

void TestSingleApplication::largeMessageArrivesWhole()
{
    QProcess *server = startServer(testId(":1"));
    QVERIFY(server);
    QProcess *sender = startHelper({testId(":1"), QStringLiteral("send-size"), QStringLiteral("300000")});
    QVERIFY(sender->waitForFinished(TestUtil::waitLimitMs));
    QCOMPARE(sender->exitCode(), 0);
    QCOMPARE(readLine(server), QStringLiteral("received:0:") + QString(300000, QLatin1Char('x')));
}

void TestSingleApplication::staleSocketOfKilledInstanceIsReplaced()
{
    QString path;
    QProcess *server = startServer(testId(":1"), &path);
    QVERIFY(server);
    server->kill();
    QVERIFY(server->waitForFinished(TestUtil::waitLimitMs));
    QVERIFY2(QFileInfo::exists(path), "a killed instance should leave its socket behind");

    // While another start holds the start lock past the time limit (here a
    // short one), a start neither removes what is there nor listens: the
    // holder may be about to.
    {
        QLockFile held(path + QStringLiteral(".lock"));
        QVERIFY(held.tryLock(0));
        struct stat before;
        QCOMPARE(::lstat(QFile::encodeName(path).constData(), &before), 0);
        QVERIFY(startServer(testId(":1"), nullptr, 100));
        struct stat after;
        QCOMPARE(::lstat(QFile::encodeName(path).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QLocalSocket probe;
        probe.connectToServer(path);
        QVERIFY(!probe.waitForConnected(1000));
    }

    QProcess *next = startServer(testId(":1"));
    QVERIFY(next);
    QCOMPARE(send(testId(":1"), QStringLiteral("after crash")), 0);
    QCOMPARE(readLine(next), QStringLiteral("received:0:after crash"));
}

void TestSingleApplication::simultaneousStartsHaveOneWinner()
{
    for (int round = 0; round < 4; ++round) {
        const QString id = testId(":race") + QString::number(round);
        std::vector<QProcess *> starts;
        for (int i = 0; i < 6; ++i)
            starts.push_back(startHelper({id, QStringLiteral("serve")}));
        int primaries = 0;
        int secondaries = 0;
        for (QProcess *start : starts) {
            const QString line = readLine(start);
            if (line.startsWith(QLatin1String("primary ")))
                ++primaries;
            else if (line == QLatin1String("secondary"))
                ++secondaries;
        }
        QCOMPARE(primaries, 1);
        QCOMPARE(secondaries, 5);
    }
}

void TestSingleApplication::stalledInstanceMakesSendTimeOut()
{
    QProcess *server = startServer(testId(":1"));
    QVERIFY(server);
    QCOMPARE(::kill(pid_t(server->processId()), SIGSTOP), 0);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(send(testId(":1"), QStringLiteral("nobody answers"), 500), 3);
    // Generous bound: only a sender that ignores its timeout takes this long.
    QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));

    // Once the instance runs again it takes the message that was already written.
    QCOMPARE(::kill(pid_t(server->processId()), SIGCONT), 0);
    QCOMPARE(send(testId(":1"), QStringLiteral("awake")), 0);
    QStringList lines {readLine(server), readLine(server)};
    QVERIFY2(lines.contains(QStringLiteral("received:0:awake")), qPrintable(lines.join(QLatin1Char('|'))));
}

void TestSingleApplication::instanceIsFoundWhateverTheRuntimeDir_data()
{
    // "private": a 0700 folder of this user; empty: the variable is not set.
    QTest::addColumn<QString>("serverRuntimeDir");
    QTest::addColumn<QString>("senderRuntimeDir");
    // A home whose socket path would not fit a socket address, while another
    // user has taken the shared temporary folder's place first.
    QTest::addColumn<bool>("longHome");
    QTest::newRow("only the instance has one") << QStringLiteral("private") << QString() << false;
    QTest::newRow("only the later start has one") << QString() << QStringLiteral("private") << false;
    QTest::newRow("the instance names a shared one")
        << QStringLiteral("/tmp") << QStringLiteral("private") << false;
    QTest::newRow("neither has one") << QString() << QString() << false;
    QTest::newRow("long home, /tmp taken") << QString() << QString() << true;
}

void TestSingleApplication::instanceIsFoundWhateverTheRuntimeDir()
{
    QFETCH(QString, serverRuntimeDir);
    QFETCH(QString, senderRuntimeDir);
    QFETCH(bool, longHome);
    const bool ownRuntimeFolder = QFileInfo::exists(QStringLiteral("/run/user/%1").arg(::geteuid()));
    QString squatted;
    if (longHome) {
        if (ownRuntimeFolder)
            QSKIP("the user has /run/user/UID, where the socket goes whatever the home");
        m_homePath = m_home->path() + QLatin1Char('/') + QString(100, QLatin1Char('h'));
        QVERIFY(QDir().mkpath(m_homePath));
        // Another user's folder (or, without root, one open to all).
        squatted = QStringLiteral("/tmp/vexa-single-%1").arg(::geteuid());
        if (::mkdir(QFile::encodeName(squatted).constData(), 0777) != 0)
            squatted.clear();
        else if (::geteuid() == 0)
            QCOMPARE(::chown(QFile::encodeName(squatted).constData(), 65534, 65534), 0);
        else
            QCOMPARE(::chmod(QFile::encodeName(squatted).constData(), 0777), 0);
    }
    const auto removeSquat = qScopeGuard([&squatted] {
        if (!squatted.isEmpty())
            ::rmdir(QFile::encodeName(squatted).constData());
    });
    const auto runtimeDir = [this](const QString &row) {
        return row == QLatin1String("private") ? m_runtimeDir->path() : row;
    };
    m_runtimeDirValue = runtimeDir(serverRuntimeDir);
    QString path;
    QProcess *server = startServer(testId(":1"), &path);
    QVERIFY(server);
    m_runtimeDirValue = runtimeDir(senderRuntimeDir);
    QCOMPARE(send(testId(":1"), QStringLiteral("found")), 0);
    QCOMPARE(readLine(server), QStringLiteral("received:0:found"));

    // Nobody else can create in the socket's folder, or connect to the socket.
    struct stat folder;
    QCOMPARE(::lstat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder), 0);
    QVERIFY(S_ISDIR(folder.st_mode));
    QCOMPARE(folder.st_uid, ::geteuid());
    QCOMPARE(folder.st_mode & 077, 0u);
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
        | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(path).permissions() & others, QFile::Permissions());
    // Without the login manager's runtime folder it lies below the home, where
    // no other user can make it first (as in /tmp).
    if (!ownRuntimeFolder)
        QCOMPARE(QFileInfo(path).path(), m_homePath + QStringLiteral("/.cache/vexa-single"));
}

QTEST_GUILESS_MAIN(TestSingleApplication)
#include "tst_singleapplication.moc"
