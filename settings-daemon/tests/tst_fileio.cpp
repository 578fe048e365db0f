#include "fileio.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using TestUtil::absent;
using TestUtil::readFile;
using TestUtil::writeFile;

struct stat statOf(const QString &path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

void expectWriteWarning(const QString &path)
{
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(QStringLiteral("^Failed to write \"%1\"").arg(QRegularExpression::escape(path))));
}

class Umask
{
public:
    explicit Umask(mode_t mask)
        : m_old(::umask(mask))
    { }
    ~Umask() { ::umask(m_old); }

private:
    mode_t m_old;
};

} // namespace

class TestFileIo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Past the file size limit the kernel would otherwise end the process.
        std::signal(SIGXFSZ, SIG_IGN);
        // A reader that stops at the cap leaves a FIFO's writer without a reader.
        std::signal(SIGPIPE, SIG_IGN);
    }

    void readsWholeFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<int>("failure");
        const qint64 mib = 1024 * 1024;
        const int none = int(ReadFailure::None), tooLarge = int(ReadFailure::TooLarge);
        QTest::newRow("regular file") << QStringLiteral("regular") << 4 * mib << none;
        QTest::newRow("empty file") << QStringLiteral("empty") << 0LL << none;
        // /proc reports size 0: only reading to the end gets the bytes.
        QTest::newRow("proc file") << QStringLiteral("proc") << maxProcessEnvironmentSize << none;
        // No size at all, and more than the first buffer holds.
        QTest::newRow("FIFO") << QStringLiteral("fifo") << mib << none;
        // No size either: the cap holds while the bytes come.
        QTest::newRow("FIFO past its cap") << QStringLiteral("fifo") << 100000LL << tooLarge;
        // A sparse file costs nothing on disk: its size alone refuses it,
        // before any memory is taken.
        QTest::newRow("sparse file past its cap") << QStringLiteral("sparse") << mib << tooLarge;
        QTest::newRow("sparse file at its cap") << QStringLiteral("at cap") << mib << none;
        // Qt's readAll() gives an empty array, without an error, past 2 GiB.
        QTest::newRow("too large for a QByteArray")
            << QStringLiteral("sparse") << (qint64(1) << 40) << tooLarge;
        QTest::newRow("missing") << QStringLiteral("missing") << mib << int(ReadFailure::Missing);
        QTest::newRow("directory") << QStringLiteral("directory") << mib << int(ReadFailure::Other);
    }
    void readsWholeFiles()
    {
        QFETCH(QString, kind);
        QFETCH(qint64, cap);
        QFETCH(int, failure);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("file"));
        QByteArray expected;
        std::thread writer;
        if (kind == QLatin1String("regular")) {
            for (int i = 0; expected.size() < 3 * 1024 * 1024; ++i)
                expected += QByteArray::number(i) + "\r\n";
            QVERIFY(writeFile(path, expected));
        } else if (kind == QLatin1String("empty")) {
            QVERIFY(writeFile(path, expected));
        } else if (kind == QLatin1String("proc")) {
            path = QStringLiteral("/proc/self/environ");
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            expected = file.readAll();
            QVERIFY(!expected.isEmpty());
        } else if (kind == QLatin1String("fifo")) {
            expected = QByteArray(300000, 'f');
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            writer = std::thread([path, expected] { writeFile(path, expected); });
        } else if (kind == QLatin1String("sparse")) {
            QVERIFY(TestUtil::makeSparseFile(path, qMin(cap + 1, qint64(0x7fffffff))));
        } else if (kind == QLatin1String("at cap")) {
            expected = QByteArray(int(cap), '\0');
            QVERIFY(TestUtil::makeSparseFile(path, cap));
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkdir(path));
        }
        QByteArray content = "stale";
        QString reason;
        ReadFailure why = ReadFailure::Other;
        const bool read = readWholeFile(path, &content, &reason, cap, &why);
        if (writer.joinable())
            writer.join();
        QCOMPARE(int(why), failure);
        QCOMPARE(read, failure == int(ReadFailure::None));
        QCOMPARE(content, read ? expected : QByteArray());
        QCOMPARE(reason.isEmpty(), read);
    }

    void newFileFollowsUmask_data()
    {
        QTest::addColumn<uint>("mask");
        QTest::addColumn<uint>("expectedMode");
        QTest::newRow("022") << 022u << 0644u;
        QTest::newRow("077") << 077u << 0600u;
        QTest::newRow("002") << 002u << 0664u;
    }
    void newFileFollowsUmask()
    {
        QFETCH(uint, mask);
        QFETCH(uint, expectedMode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("new.json"));
        {
            const Umask umask(mask);
            QVERIFY(writeFileAtomically(path, "{}\n"));
        }
        QCOMPARE(readFile(path, absent), QByteArray("{}\n"));
        const struct stat st = statOf(path);
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(uint(st.st_mode & 07777), expectedMode);
        QCOMPARE(TestUtil::entries(dir.path()), QStringList {QStringLiteral("new.json")});
    }

    void existingFileKeepsMode_data()
    {
        QTest::addColumn<uint>("mode");
        QTest::newRow("0640") << 0640u;
        QTest::newRow("0600") << 0600u;
        QTest::newRow("0604") << 0604u;
        // Special bits are kept too, and are not lost to the change of owner.
        QTest::newRow("04750 set-user-id") << 04750u;
        QTest::newRow("02770 set-group-id") << 02770u;
        QTest::newRow("01644 sticky") << 01644u;
    }
    void existingFileKeepsMode()
    {
        QFETCH(uint, mode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("list.json"));
        QVERIFY(writeFile(path, "old content that is longer than the new one\n"));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
        QCOMPARE(uint(statOf(path).st_mode & 07777), mode);

        QVERIFY(writeFileAtomically(path, "new\n"));
        QCOMPARE(readFile(path, absent), QByteArray("new\n"));
        QCOMPARE(uint(statOf(path).st_mode & 07777), mode);
        QCOMPARE(TestUtil::entries(dir.path()), QStringList {QStringLiteral("list.json")});
    }

    void existingFileKeepsOwnerAndGroup()
    {
        if (::geteuid() != 0) {
            if (qgetenv("CI") == "true")
                QFAIL("CI=true: this check needs root to give a file to another user");
            QSKIP("only root can give a file to another user");
        }
        const struct passwd *nobody = ::getpwnam("nobody");
        const struct group *nogroup = ::getgrnam("nogroup");
        if (!nobody || !nogroup)
            QSKIP("no user nobody or group nogroup here");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("owned.json"));
        QVERIFY(writeFile(path, "old\n"));
        const QByteArray native = QFile::encodeName(path);
        QCOMPARE(::chown(native.constData(), nobody->pw_uid, nogroup->gr_gid), 0);
        QCOMPARE(::chmod(native.constData(), 0640), 0);

        QVERIFY(writeFileAtomically(path, "new\n"));
        const struct stat st = statOf(path);
        QCOMPARE(st.st_uid, nobody->pw_uid);
        QCOMPARE(st.st_gid, nogroup->gr_gid);
        QCOMPARE(uint(st.st_mode & 07777), 0640u);
        QCOMPARE(readFile(path, absent), QByteArray("new\n"));
    }

    void failedWriteKeepsOldFile_data()
    {
        QTest::addColumn<int>("newSize");
        QTest::addColumn<bool>("killed");
        // Small content waits in the write buffer and fails only when flushed;
        // large content fails in the write itself.
        QTest::newRow("buffered") << 6000 << false;
        QTest::newRow("direct") << 300000 << false;
        // The kernel ends the writer in the middle of its write: the file it
        // was writing had no name yet.
        QTest::newRow("writer killed midway") << 300000 << true;
    }
    void failedWriteKeepsOldFile()
    {
        QFETCH(int, newSize);
        QFETCH(bool, killed);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("list.json"));
        QByteArray old;
        for (int i = 0; i < 200; ++i)
            old += "line " + QByteArray::number(i) + '\n';
        QVERIFY(writeFile(path, old));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0640), 0);

        if (killed) {
            const pid_t writer = ::fork();
            if (writer == 0) {
                const struct rlimit noCore = {0, 0};
                ::setrlimit(RLIMIT_CORE, &noCore);
                const TestUtil::FileSizeLimit limit(4096);
                std::signal(SIGXFSZ, SIG_DFL);
                writeFileAtomically(path, QByteArray(newSize, 'x'));
                ::_exit(0);
            }
            int status = 0;
            QCOMPARE(::waitpid(writer, &status, 0), writer);
            QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ, qPrintable(QString::number(status)));
        } else {
            // The warning says why, as the system said it.
            QTest::ignoreMessage(QtWarningMsg,
                                 qPrintable(QStringLiteral("Failed to write \"%1\" \"%2\"")
                                                .arg(path, QString::fromLocal8Bit(std::strerror(EFBIG)))));
            bool written;
            {
                const TestUtil::FileSizeLimit limit(4096);
                QVERIFY(limit.ok());
                written = writeFileAtomically(path, QByteArray(newSize, 'x'));
            }
            QVERIFY(!written);
        }
        QCOMPARE(readFile(path, absent), old);
        QCOMPARE(uint(statOf(path).st_mode & 07777), 0640u);
        QCOMPARE(TestUtil::entries(dir.path()), QStringList {QStringLiteral("list.json")});
    }

    void failedWriteCreatesNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("new.json"));
        expectWriteWarning(path);
        bool written;
        {
            const TestUtil::FileSizeLimit limit(1024);
            QVERIFY(limit.ok());
            written = writeFileAtomically(path, QByteArray(8000, 'x'));
        }
        QVERIFY(!written);
        QCOMPARE(TestUtil::entries(dir.path()), QStringList());
    }

    void unusablePathIsRefused()
    {
        QTemporaryDir dir;
        // A directory in the file's place is neither replaced nor entered.
        const QString folder = dir.filePath(QStringLiteral("games.json"));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(writeFile(folder + QStringLiteral("/inside"), "kept"));
        expectWriteWarning(folder);
        QVERIFY(!writeFileAtomically(folder, "{}\n"));
        QVERIFY(S_ISDIR(statOf(folder).st_mode));
        QCOMPARE(TestUtil::entries(folder), QStringList {QStringLiteral("inside")});

        // A missing directory is not created.
        const QString missing = dir.filePath(QStringLiteral("missing/games.json"));
        expectWriteWarning(missing);
        QVERIFY(!writeFileAtomically(missing, "{}\n"));
        QCOMPARE(TestUtil::entries(dir.path()), QStringList {QStringLiteral("games.json")});
    }

    // The caller read the file at the name; by the write, the name may hold
    // another file (say a link to a set-user-id program, planted in a folder
    // its user can write), whose owner and mode must not be copied.
    void writeAtChecksWhatWasRead_data()
    {
        QTest::addColumn<bool>("readExisting");
        QTest::addColumn<QString>("now"); // what the name holds at the write
        QTest::addColumn<bool>("result");
        QTest::newRow("same file") << true << QStringLiteral("unchanged") << true;
        QTest::newRow("missing, still missing") << false << QStringLiteral("unchanged") << true;
        QTest::newRow("another file now") << true << QStringLiteral("another file") << false;
        QTest::newRow("missing then, a file now") << false << QStringLiteral("another file") << false;
        QTest::newRow("a file then, missing now") << true << QStringLiteral("missing") << false;
    }
    void writeAtChecksWhatWasRead()
    {
        QFETCH(bool, readExisting);
        QFETCH(QString, now);
        QFETCH(bool, result);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("build.prop"));
        const QString other = dir.filePath(QStringLiteral("other"));
        QVERIFY(writeFile(other, "planted\n"));
        FileIdentity read;
        if (readExisting) {
            QVERIFY(writeFile(path, "read\n"));
            const struct stat st = statOf(path);
            read = FileIdentity {true, st.st_dev, st.st_ino};
        }
        if (now != QLatin1String("unchanged")) {
            QFile::remove(path);
            if (now == QLatin1String("another file"))
                QVERIFY(QFile::rename(other, path));
        }
        const QByteArray before = readFile(path, absent);

        const int dirFd = ::open(QFile::encodeName(dir.path()).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirFd >= 0);
        if (!result)
            expectWriteWarning(path);
        QCOMPARE(writeFileAtomicallyAt(dirFd, QStringLiteral("build.prop"), "new\n", path, &read), result);
        ::close(dirFd);
        QCOMPARE(readFile(path, absent), result ? QByteArray("new\n") : before);
    }

    void symbolicLinkStaysALink()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("real.json"));
        const QString link = dir.filePath(QStringLiteral("link.json"));
        QVERIFY(writeFile(target, "old\n"));
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0640), 0);
        QVERIFY(QFile::link(target, link));

        QVERIFY(writeFileAtomically(link, "new\n"));
        QVERIFY(S_ISLNK(statOf(link).st_mode));
        QCOMPARE(readFile(target, absent), QByteArray("new\n"));
        QCOMPARE(uint(statOf(target).st_mode & 07777), 0640u);
        QCOMPARE(TestUtil::entries(dir.path()),
                 QStringList({QStringLiteral("link.json"), QStringLiteral("real.json")}));
    }
};

QTEST_GUILESS_MAIN(TestFileIo)
#include "tst_fileio.moc"
