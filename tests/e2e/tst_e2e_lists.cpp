// The game whitelist and the warning list, through the real system bus, with
// the real daemon editing the files at their fixed paths.

#include "sandboxtest.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace SandboxTest;

static const QByteArray gamesBefore =
    R"({"version": 1, "games": [{"pkgname": "com.a.game", "appname": "A"}]})";
static const QByteArray warningBefore =
    R"({"games": [{"pkgName": "com.x.app"}, {"pkgName": "com.y.app"}], "pay": [{"pkgName": "com.x.app"}]})";

class TestE2eLists : public QObject
{
    Q_OBJECT

    Daemon m_daemon;
    bool m_mounted = false;

    static QString printed(const char *value) { return QLatin1String(value) + QLatin1Char('\n'); }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        QVERIFY(QDir().mkpath(listDir));
        QVERIFY(m_daemon.start());
    }

    void init()
    {
        clearDaemonLog();
        QVERIFY(writeFile(gamesPath, gamesBefore));
        QVERIFY(writeFile(warningPath, warningBefore));
    }

    void gameWhiteListAtItsPath()
    {
        // The file belongs to another user with a narrow mode; both are kept.
        const struct passwd *nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        const QByteArray native = QFile::encodeName(gamesPath);
        QCOMPARE(::chown(native.constData(), nobody->pw_uid, nobody->pw_gid), 0);
        QCOMPARE(::chmod(native.constData(), 0640), 0);

        QCOMPARE(call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                      {QStringLiteral("重力 Racer"), QStringLiteral("com.b.game")})
                     .output,
                 printed("true"));
        QCOMPARE(readFile(gamesPath, absent),
                 QStringLiteral(R"({
    "games": [
        {
            "appname": "A",
            "pkgname": "com.a.game"
        },
        {
            "appname": "重力 Racer",
            "pkgname": "com.b.game"
        }
    ],
    "version": 1
}
)")
                     .toUtf8());
        struct stat st = {};
        QCOMPARE(::stat(native.constData(), &st), 0);
        QCOMPARE(st.st_uid, nobody->pw_uid);
        QCOMPARE(st.st_gid, nobody->pw_gid);
        QCOMPARE(uint(st.st_mode & 07777), 0640u);

        QCOMPARE(call(windowCaller, QStringLiteral("removeGameFromWhiteList"), {QStringLiteral("com.a.game")})
                     .output,
                 printed("true"));
        QCOMPARE(readFile(gamesPath, absent), QByteArray(R"({
    "games": [
        {
            "appname": "重力 Racer",
            "pkgname": "com.b.game"
        }
    ],
    "version": 1
}
)"));
        QCOMPARE(entries(listDir),
                 QStringList({QStringLiteral("games.json"), QStringLiteral("warning.json")}));
        QCOMPARE(readDaemonLog(), QByteArray());
    }

    void warningListAtItsPath()
    {
        const QStringList app {QStringLiteral("com.x.app")};
        QCOMPARE(call(managerCaller, QStringLiteral("removeAppFromWarningList"), app).output,
                 printed("true"));
        QCOMPARE(readFile(warningPath, absent), QByteArray(R"({
    "games": [
        {
            "pkgName": "com.y.app"
        }
    ],
    "pay": [
    ]
}
)"));
        // Nothing more to remove: false, and the file stays as it is.
        const QByteArray after = readFile(warningPath, absent);
        QCOMPARE(call(managerCaller, QStringLiteral("removeAppFromWarningList"), app).output,
                 printed("false"));
        QCOMPARE(readFile(warningPath, absent), after);
    }

    void refusedCallerChangesNothing_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("add") << QStringLiteral("addGameToWhiteList")
                             << QStringList {QStringLiteral("B"), QStringLiteral("com.b.game")};
        QTest::newRow("remove game") << QStringLiteral("removeGameFromWhiteList")
                                     << QStringList {QStringLiteral("com.a.game")};
        QTest::newRow("remove app") << QStringLiteral("removeAppFromWarningList")
                                    << QStringList {QStringLiteral("com.x.app")};
    }
    void refusedCallerChangesNothing()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, args);
        const Reply reply = call(unpermittedCaller, method, args);
        QCOMPARE(reply.errorName, QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
        QCOMPARE(readFile(gamesPath, absent), gamesBefore);
        QCOMPARE(readFile(warningPath, absent), warningBefore);
        QCOMPARE(entries(listDir),
                 QStringList({QStringLiteral("games.json"), QStringLiteral("warning.json")}));
    }

    // Bounds: an argument over its limit, and a list past its cap (8 MiB),
    // are refused with one short log line and nothing written.
    void boundsChangeNothing_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("pastCap"); // the list made larger than its cap
        QTest::addColumn<QByteArray>("logged");
        const QString name256(256, QChar(1));
        QTest::newRow("package name")
            << QStringLiteral("addGameToWhiteList") << QStringList {QStringLiteral("B"), name256} << QString()
            << QByteArray(
                   "addGameToWhiteList: argument 2 refused: 256 characters, "
                   "over the limit of 255");
        QTest::newRow("app name") << QStringLiteral("addGameToWhiteList")
                                  << QStringList {QString(1025, QChar(1)), QStringLiteral("com.b.game")}
                                  << QString() << QByteArray("argument 1 refused: 1025 characters");
        QTest::newRow("whitelist past its cap")
            << QStringLiteral("addGameToWhiteList")
            << QStringList {QStringLiteral("B"), QStringLiteral("com.b.game")} << gamesPath
            << QByteArray("Left unchanged: \"/usr/share/vexa/games.json\" \"larger than its cap");
        QTest::newRow("warning list past its cap")
            << QStringLiteral("removeAppFromWarningList") << QStringList {QStringLiteral("com.x.app")}
            << warningPath << QByteArray("Left unchanged: \"/usr/share/vexa/warning.json\"");
    }
    void boundsChangeNothing()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, args);
        QFETCH(QString, pastCap);
        QFETCH(QByteArray, logged);
        // Valid JSON that lists the entries, padded with blanks past the cap.
        QByteArray games = gamesBefore, warning = warningBefore;
        QByteArray &big = pastCap == gamesPath ? games : warning;
        if (!pastCap.isEmpty()) {
            big += QByteArray(8 * 1024 * 1024 + 1 - big.size(), ' ');
            QVERIFY(writeFile(pastCap, big));
        }
        QCOMPARE(call(settingsCaller, method, args).output, printed("false"));
        QCOMPARE(readFile(gamesPath, absent), games);
        QCOMPARE(readFile(warningPath, absent), warning);
        QCOMPARE(entries(listDir),
                 QStringList({QStringLiteral("games.json"), QStringLiteral("warning.json")}));
        const QByteArray log = readDaemonLog();
        QVERIFY2(log.startsWith("[QWARN]:msg-[") && log.count('\n') == 1 && log.contains(logged),
                 log.constData());
    }

    void fullFileSystemKeepsTheOldFiles()
    {
        // A small file system of its own over the lists' directory, filled up.
        QCOMPARE(
            ::mount("vexa-full", QFile::encodeName(listDir).constData(), "tmpfs", 0, "size=64k,mode=0755"),
            0);
        m_mounted = true;
        QVERIFY(writeFile(gamesPath, gamesBefore));
        QVERIFY(writeFile(warningPath, warningBefore));
        const QByteArray filler = QFile::encodeName(listDir + QStringLiteral("/filler"));
        const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray block(4096, 'f');
        while (::write(fd, block.constData(), size_t(block.size())) > 0) { }
        const int error = errno;
        ::close(fd);
        QCOMPARE(error, ENOSPC);

        const Reply added = call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                                 {QStringLiteral("B"), QStringLiteral("com.b.game")});
        const Reply removedGame = call(settingsCaller, QStringLiteral("removeGameFromWhiteList"),
                                       {QStringLiteral("com.a.game")});
        const Reply removedApp = call(settingsCaller, QStringLiteral("removeAppFromWarningList"),
                                      {QStringLiteral("com.x.app")});
        const QByteArray gamesAfter = readFile(gamesPath, absent);
        const QByteArray warningAfter = readFile(warningPath, absent);
        const QStringList entriesAfter = entries(listDir);
        cleanup();

        QCOMPARE(added.output, printed("false"));
        QCOMPARE(removedGame.output, printed("false"));
        QCOMPARE(removedApp.output, printed("false"));
        QCOMPARE(gamesAfter, gamesBefore);
        QCOMPARE(warningAfter, warningBefore);
        QCOMPARE(entriesAfter,
                 QStringList({QStringLiteral("filler"), QStringLiteral("games.json"),
                              QStringLiteral("warning.json")}));
        const QByteArray log = readDaemonLog();
        QCOMPARE(log.count("[QWARN]:msg-[Failed to write \"/usr/share/vexa/games.json\""), 2);
        QCOMPARE(log.count("[QWARN]:msg-[Failed to write \"/usr/share/vexa/warning.json\""), 1);
    }

    // A file system that keeps half its blocks for root, filled up to that
    // half: root's edit may use the rest, a user's call may not make root
    // spend it on the user's behalf.
    void roomKeptForRootIsRootsOwn()
    {
        const QString image = stateDir() + QStringLiteral("/reserved.img");
        const auto run = [](const QString &program, const QStringList &args) {
            return runProcess(program, args, waitLimitMs, QProcessEnvironment::systemEnvironment(),
                              QProcess::MergedChannels);
        };
        QCOMPARE(
            run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("8M"), image}).exitCode, 0);
        QCOMPARE(run(QStringLiteral("mkfs.ext4"),
                     {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-m"), QStringLiteral("50"),
                      image})
                     .exitCode,
                 0);
        const ProcessResult mounted = run(QStringLiteral("mount"),
                                          {QStringLiteral("-o"), QStringLiteral("loop"), image, listDir});
        QVERIFY2(mounted.exitCode == 0, qPrintable(mounted.output));
        m_mounted = true;
        QVERIFY(writeFile(gamesPath, gamesBefore));
        const QByteArray filler = QFile::encodeName(listDir + QStringLiteral("/filler"));
        const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray block(4096, 'f');
        struct statvfs space;
        while (::fstatvfs(fd, &space) == 0 && space.f_bavail > 0
               && ::write(fd, block.constData(), size_t(block.size())) > 0)
            ::fsync(fd);
        ::close(fd);
        QVERIFY(space.f_bavail == 0 && space.f_bfree > 100);

        const Reply byUser = call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                                  {QStringLiteral("B"), QStringLiteral("com.b.game")}, asNobody());
        const QByteArray gamesAfterUser = readFile(gamesPath, absent);
        const QStringList entriesAfterUser = entries(listDir);
        const Reply byRoot = call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                                  {QStringLiteral("C"), QStringLiteral("com.c.game")});
        const QByteArray gamesAfterRoot = readFile(gamesPath, absent);
        cleanup();
        QCOMPARE(byUser.output, printed("false"));
        QCOMPARE(gamesAfterUser, gamesBefore);
        QCOMPARE(entriesAfterUser,
                 QStringList(
                     {QStringLiteral("filler"), QStringLiteral("games.json"), QStringLiteral("lost+found")}));
        QVERIFY(readDaemonLog().contains(
            "\"/usr/share/vexa/games.json\" \"not enough room left for users other than root\""));
        QCOMPARE(byRoot.output, printed("true"));
        QVERIFY(gamesAfterRoot.contains("com.c.game"));
    }

    void cleanup()
    {
        if (m_mounted && ::umount2(QFile::encodeName(listDir).constData(), MNT_DETACH) == 0)
            m_mounted = false;
    }

    void cleanupTestCase() { m_daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eLists)
#include "tst_e2e_lists.moc"
