// The property file's rewrite on temporary folders, through both lookups.
#include "phoneinfo.h"
#include "fileio.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <QRegularExpression>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using TestUtil::entries;
using TestUtil::readFile;
using TestUtil::writeFile;

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
// Qt 5 lets a program change the encoding of the locale for its lifetime;
// Qt 6 always takes it as UTF-8, so there is nothing to change.
class LocaleEncoding
{
public:
    explicit LocaleEncoding(const char *name)
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(name));
    }
    ~LocaleEncoding() { QTextCodec::setCodecForLocale(m_saved); }

private:
    QTextCodec *const m_saved = QTextCodec::codecForLocale();
};
#else
class LocaleEncoding
{
public:
    explicit LocaleEncoding(const char *) { }
};
#endif

namespace {
// How this run of every case looks paths up (see main).
BeneathLookup lookup = BeneathLookup::Kernel;

// A byte literal that may hold NUL bytes.
template<int size> QByteArray bytes(const char (&literal)[size])
{
    return QByteArray(literal, size - 1);
}

const PhoneIdentity identity {QStringLiteral("V"), QStringLiteral("B"), QStringLiteral("P"),
                              QStringLiteral("M"), QStringLiteral("D"), QStringLiteral("S"),
                              QStringLiteral("I")};

// The lines written for identity, in key order, leaving out those named.
QByteArray newLines(const QList<QByteArray> &except = {})
{
    static const QList<QByteArray> lines = {
        "ro.custom.manufacturer=V\n", "ro.custom.brand=B\n", "ro.custom.product=P\n", "ro.custom.model=M\n",
        "ro.custom.device=D\n",       "ro.serialno=S\n",     "ro.custom.imei=I\n"};
    QByteArray text;
    for (const QByteArray &line : lines) {
        if (!except.contains(line.left(line.indexOf('=') + 1)))
            text += line;
    }
    return text;
}
} // namespace

class TestPhoneInfo : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

    // The edit of target beneath the test's data folder, for callerUid.
    bool set(const QString &target, const PhoneIdentity &values = identity, uint callerUid = 0)
    {
        PropertyFileSetup setup;
        setup.dataRoot = m_dir.path();
        setup.callerUid = callerUid;
        setup.lookup = lookup;
        return setPhoneInfoInFile(setup, target, values);
    }

private slots:
    void init() { QVERIFY(TestUtil::startAfresh(m_dir, QStringLiteral("build.prop"), &m_path)); }

    void rewritesLines_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("missing") << false << QByteArray() << newLines();
        QTest::newRow("empty") << true << QByteArray() << newLines();
        QTest::newRow("one empty line") << true << QByteArray("\n") << "\n" + newLines();
        QTest::newRow("all present, in place")
            << true
            << QByteArray(
                   "# identity\n\nro.serialno=old\nro.build.id=X1\nro.custom.imei=0\n"
                   "ro.custom.device=d\nro.custom.model=m\nro.custom.product=p\n"
                   "ro.custom.brand=b\nro.custom.manufacturer=m\n")
            << QByteArray(
                   "# identity\n\nro.serialno=S\nro.build.id=X1\nro.custom.imei=I\n"
                   "ro.custom.device=D\nro.custom.model=M\nro.custom.product=P\n"
                   "ro.custom.brand=B\nro.custom.manufacturer=V\n");
        QTest::newRow("none present")
            << true << QByteArray("ro.build.id=X1\n#c\n") << "ro.build.id=X1\n#c\n" + newLines();
        QTest::newRow("near misses")
            << true
            << QByteArray(
                   " ro.custom.brand=x\nro.custom.brand =x\nRO.CUSTOM.BRAND=x\nro.custom.brand\n"
                   "ro.custom.brandx=1\nro.serialno\n")
            << " ro.custom.brand=x\nro.custom.brand =x\nRO.CUSTOM.BRAND=x\nro.custom.brand\n"
               "ro.custom.brandx=1\nro.serialno\n"
                + newLines();
        QTest::newRow("rest of the line dropped") << true << QByteArray("ro.custom.brand=old=x # y\n")
                                                  << "ro.custom.brand=B\n" + newLines({"ro.custom.brand="});
        QTest::newRow("duplicates both replaced")
            << true << QByteArray("ro.serialno=a\nx=1\nro.serialno=b\n")
            << "ro.serialno=S\nx=1\nro.serialno=S\n" + newLines({"ro.serialno="});
        QTest::newRow("CRLF becomes LF") << true << QByteArray("a=1\r\nro.custom.imei=9\r\n\r\nb=2\r\n")
                                         << "a=1\nro.custom.imei=I\n\nb=2\n" + newLines({"ro.custom.imei="});
        QTest::newRow("no final line end") << true << QByteArray("a=1\nro.custom.model=m")
                                           << "a=1\nro.custom.model=M\n" + newLines({"ro.custom.model="});
        QTest::newRow("lone CR ends the last line")
            << true << QByteArray("a=1\r\nlast=1\r") << "a=1\nlast=1\n" + newLines();
        // The mark is no part of the first line's key, and stays in front.
        QTest::newRow("byte order mark")
            << true << QByteArray("\xef\xbb\xbfro.custom.manufacturer=old\nx=1\n")
            << "\xef\xbb\xbfro.custom.manufacturer=V\nx=1\n" + newLines({"ro.custom.manufacturer="});
        // Lines we do not rewrite keep their bytes, whatever their encoding.
        QTest::newRow("other bytes kept")
            << true << bytes("a=x\ry\nname=Caf\xe9\nbin=\xff\xfe\x00z\n\t=tab\n")
            << bytes("a=x\ry\nname=Caf\xe9\nbin=\xff\xfe\x00z\n\t=tab\n") + newLines();
        QTest::newRow("invalid old value replaced")
            << true << bytes("ro.custom.device=\xff\x00\xfe\n")
            << "ro.custom.device=D\n" + newLines({"ro.custom.device="});
    }
    void rewritesLines()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        if (exists)
            QVERIFY(writeFile(m_path, before));
        QVERIFY(set(m_path));
        QCOMPARE(readFile(m_path), after);
        QCOMPARE(entries(m_dir.path()), QStringList {QStringLiteral("build.prop")});
    }

    void valuesWrittenAsUtf8()
    {
        // Whatever the locale's encoding, values go out as UTF-8.
        const PhoneIdentity values {
            QStringLiteral("Gr\u00fc\u00dfe"), QString(), QStringLiteral("\u91cd\u529b"),
            QStringLiteral("a=b #c\td"),       QString(), QStringLiteral("\U0001F600"),
            QString(100000, QLatin1Char('9'))};
        bool result = false;
        {
            const LocaleEncoding latin1("ISO-8859-1");
            result = set(m_path, values);
        }
        QVERIFY(result);
        QCOMPARE(readFile(m_path),
                 "ro.custom.manufacturer=Gr\xc3\xbc\xc3\x9f\x65\n"
                 "ro.custom.brand=\n"
                 "ro.custom.product=\xe9\x87\x8d\xe5\x8a\x9b\n"
                 "ro.custom.model=a=b #c\td\n"
                 "ro.custom.device=\n"
                 "ro.serialno=\xf0\x9f\x98\x80\n"
                 "ro.custom.imei="
                     + QByteArray(100000, '9') + "\n");
    }

    void lineBreakInValueRefused_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("value");
        QTest::newRow("LF in vendor") << 0 << QStringLiteral("x\nro.secure=0");
        QTest::newRow("CR in brand") << 1 << QStringLiteral("x\ry");
        QTest::newRow("CRLF in product") << 2 << QStringLiteral("x\r\n");
        QTest::newRow("LF alone in model") << 3 << QStringLiteral("\n");
        QTest::newRow("NUL in device") << 4 << QString(QChar(0));
        QTest::newRow("NUL in serial number") << 5 << (QStringLiteral("1") + QChar(0) + QStringLiteral("2"));
        QTest::newRow("LF at the end of imei") << 6 << QStringLiteral("123\n");
    }
    void lineBreakInValueRefused()
    {
        QFETCH(int, field);
        QFETCH(QString, value);
        PhoneIdentity values = identity;
        QString *const fields[] = {&values.vendor, &values.brand,    &values.name, &values.model,
                                   &values.equip,  &values.serialno, &values.imei};
        *fields[field] = value;
        QVERIFY(!set(m_path, values));
        QVERIFY(!QFile::exists(m_path));

        const QByteArray before = "ro.custom.brand=b\r\nx=1";
        QVERIFY(writeFile(m_path, before));
        QVERIFY(!set(m_path, values));
        QCOMPARE(readFile(m_path), before);
    }

    void unusablePath_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind :
             {"directory", "fifo", "missing directory", "file as directory", "device", "empty path",
              "unreadable file", "sparse file past its cap", "sparse file", "edit past its cap",
              // The caller names the path: anything but a
              // plain file beneath the data folder is refused.
              "outside the data folder", "relative path", "dot-dot out of the data folder",
              "symbolic link at the file", "symbolic link at a folder in between", "hard link"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void unusablePath()
    {
        QFETCH(QString, kind);
        QTemporaryDir outside;
        const QString victim = outside.filePath(QStringLiteral("victim.prop"));
        const QByteArray before = "ro.serialno=1\n";
        QVERIFY(writeFile(victim, before));
        QString target = m_path;
        QStringList after {QStringLiteral("build.prop")};
        if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkdir(m_path));
        } else if (kind == QLatin1String("fifo")) {
            // Reading it would block the daemon for good.
            QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
        } else if (kind == QLatin1String("missing directory")) {
            target = m_dir.filePath(QStringLiteral("system/build.prop"));
            after.clear();
        } else if (kind == QLatin1String("file as directory")) {
            QVERIFY(writeFile(m_path, before));
            target = m_path + QStringLiteral("/build.prop");
        } else if (kind == QLatin1String("device")) {
            // Endless input: it must be refused, not read.
            target = QStringLiteral("/dev/zero");
            after.clear();
        } else if (kind == QLatin1String("empty path")) {
            target.clear();
            after.clear();
        } else if (kind == QLatin1String("unreadable file")) {
            if (::geteuid() == 0)
                QSKIP("root reads any file; the mode cannot make it unreadable");
            QVERIFY(writeFile(m_path, before));
            QVERIFY(QFile::setPermissions(m_path, QFile::WriteOwner));
        } else if (kind == QLatin1String("sparse file past its cap")) {
            // Rewritten, it would take its whole size on disk and in memory.
            QVERIFY(TestUtil::makeSparseFile(m_path, maxPropertyFileSize + 1));
        } else if (kind == QLatin1String("sparse file")) {
            // Within the cap, but written back it would take a megabyte.
            QVERIFY(TestUtil::makeSparseFile(m_path, 1024 * 1024));
        } else if (kind == QLatin1String("edit past its cap")) {
            // At its cap, less than the seven new lines take.
            QVERIFY(TestUtil::makeSparseFile(m_path, maxPropertyFileSize - 8));
        } else if (kind == QLatin1String("outside the data folder")) {
            target = victim;
            after.clear();
        } else if (kind == QLatin1String("relative path")) {
            QVERIFY(QDir::setCurrent(m_dir.path()));
            target = QStringLiteral("build.prop");
            after.clear();
        } else if (kind == QLatin1String("dot-dot out of the data folder")) {
            target = m_dir.path() + QStringLiteral("/../") + QFileInfo(outside.path()).fileName()
                + QStringLiteral("/victim.prop");
            after.clear();
        } else if (kind == QLatin1String("symbolic link at the file")) {
            QVERIFY(QFile::link(victim, m_path));
        } else if (kind == QLatin1String("symbolic link at a folder in between")) {
            // A link to the folder above the victim's, so that a lookup
            // following a link anywhere but at the last folder reaches it.
            const QFileInfo folder(outside.path());
            QVERIFY(QFile::link(folder.absolutePath(), m_dir.filePath(QStringLiteral("system"))));
            target = m_dir.filePath(QStringLiteral("system/%1/victim.prop").arg(folder.fileName()));
            after = QStringList {QStringLiteral("system")};
        } else {
            QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(m_path).constData()), 0);
        }
        // The same error whichever lookup ran.
        if (kind == QLatin1String("symbolic link at a folder in between"))
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QString::fromLocal8Bit(std::strerror(ELOOP))));
        QVERIFY(!set(target));
        QCOMPARE(entries(m_dir.path()), after);
        QCOMPARE(entries(outside.path()), QStringList {QStringLiteral("victim.prop")});
        QCOMPARE(readFile(victim), before);
        if (kind == QLatin1String("file as directory") || kind == QLatin1String("unreadable file")) {
            QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner));
            QCOMPARE(readFile(m_path), before);
        }
        if (kind == QLatin1String("sparse file past its cap"))
            QCOMPARE(QFileInfo(m_path).size(), maxPropertyFileSize + 1);
        if (kind == QLatin1String("sparse file"))
            QVERIFY(TestUtil::bytesOnDisk(m_path) < 64 * 1024);
        if (kind == QLatin1String("edit past its cap"))
            QCOMPARE(QFileInfo(m_path).size(), maxPropertyFileSize - 8);
    }

    void failedWriteKeepsOldFile_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::newRow("existing") << true;
        QTest::newRow("missing") << false;
    }
    void failedWriteKeepsOldFile()
    {
        QFETCH(bool, exists);
        const QByteArray before = "ro.serialno=1\n";
        if (exists)
            QVERIFY(writeFile(m_path, before));
        QVERIFY(!TestUtil::withFileSizeLimit(before.size(), [&] { return set(m_path); }));
        QCOMPARE(entries(m_dir.path()), exists ? QStringList {QStringLiteral("build.prop")} : QStringList());
        if (exists)
            QCOMPARE(readFile(m_path), before);
    }

    void modeAndOwnerKept()
    {
        QVERIFY(writeFile(m_path, "ro.serialno=1\n"));
        QVERIFY(TestUtil::giveForeignModeAndOwner(m_path));
        QVERIFY(set(m_path));
        QCOMPARE(TestUtil::modeAndOwner(m_path), TestUtil::foreignModeAndOwner());
    }

    void hugeFile()
    {
        QByteArray filler;
        // Twice this, near the cap.
        for (int i = 0; filler.size() < 3 * maxPropertyFileSize / 8; ++i)
            filler += "ro.vendor.padding." + QByteArray::number(i) + "=abcdefghijklmnopqrstuvwxyz\n";
        QVERIFY(writeFile(m_path, filler + "ro.custom.brand=old\n" + filler));
        QVERIFY(set(m_path));
        QVERIFY(readFile(m_path) == filler + "ro.custom.brand=B\n" + filler + newLines({"ro.custom.brand="}));
    }

    // Where a seccomp filter refuses openat2 with EPERM (the unit's
    // SystemCallErrorNumber=), the walk stands in.
    void openat2RefusedByAFilter()
    {
        QVERIFY(writeFile(m_path, "ro.serialno=1\n"));
        const pid_t child = ::fork();
        if (child == 0) {
            struct sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            const struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
                || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                ::_exit(2);
            ::_exit(set(m_path) ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(readFile(m_path).contains("ro.serialno=S\n"));
    }

    // Who may write where, for a caller other than root (uid 4242; 4343 is
    // another account): a path of the data folder, the owner of its folder,
    // the owner of the file there (-1: none), and whether the edit is done.
    void callerIsConfined_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("folderOwner");
        QTest::addColumn<int>("fileOwner");
        QTest::addColumn<uint>("caller");
        QTest::addColumn<bool>("done");
        QTest::newRow("own container folder")
            << "vexa-4242-me/data/build.prop" << 4242 << -1 << 4242u << true;
        QTest::newRow("own file in a folder of root's") << "shared/build.prop" << 0 << 4242 << 4242u << true;
        QTest::newRow("existing file straight in the data folder") << "build.prop" << 0 << 0 << 4242u << true;
        QTest::newRow("another account's container folder")
            << "vexa-4343-bob/data/build.prop" << 0 << 0 << 4242u << false;
        QTest::newRow("its name taken before it is made") << "vexa-4343-bob" << 0 << -1 << 4242u << false;
        QTest::newRow("through own container folder into another's")
            << "vexa-4242-me/../vexa-4343-bob/data/build.prop" << 0 << 0 << 4242u << false;
        QTest::newRow("folder of another account") << "shared/bob/build.prop" << 4343 << -1 << 4242u << false;
        QTest::newRow("file of another account") << "shared/build.prop" << 0 << 4343 << 4242u << false;
        QTest::newRow("new file straight in the data folder") << "build.prop" << 0 << -1 << 4242u << false;
        // Root keeps what it could always do.
        QTest::newRow("root, another account's container folder")
            << "vexa-4343-bob/data/build.prop" << 4343 << 4343 << 0u << true;
        QTest::newRow("root, new file straight in the data folder") << "build.prop" << 0 << -1 << 0u << true;
    }
    void callerIsConfined()
    {
        QFETCH(QString, path);
        QFETCH(int, folderOwner);
        QFETCH(int, fileOwner);
        QFETCH(uint, caller);
        QFETCH(bool, done);
        if (::geteuid() != 0)
            QSKIP("needs root, to give folders and files to other accounts");
        const QString target = m_dir.filePath(QDir::cleanPath(path));
        const QString folder = QFileInfo(target).path();
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(::chown(QFile::encodeName(folder).constData(), uid_t(folderOwner), 0), 0);
        const QByteArray before = "ro.serialno=1\n";
        if (fileOwner >= 0) {
            QVERIFY(writeFile(target, before));
            QCOMPARE(::chown(QFile::encodeName(target).constData(), uid_t(fileOwner), 0), 0);
        }
        const QStringList entriesBefore = entries(folder);
        QCOMPARE(set(m_dir.path() + QLatin1Char('/') + path, identity, caller), done);
        if (done) {
            QVERIFY(readFile(target).contains("ro.serialno=S\n"));
        } else {
            QCOMPARE(entries(folder), entriesBefore);
            if (fileOwner >= 0)
                QCOMPARE(readFile(target), before);
        }
    }

    // A ".." that stays beneath the data folder is accepted, also while files
    // are renamed elsewhere: the kernel then asks for the lookup to be retried
    // (the walk never is).
    void dotDotInsideWhileFilesAreRenamed()
    {
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("system"))));
        const QString target = m_dir.path() + QStringLiteral("/system/../build.prop");
        QTemporaryDir elsewhere;
        QVERIFY(writeFile(elsewhere.filePath(QStringLiteral("a")), "x"));
        const QByteArray a = QFile::encodeName(elsewhere.filePath(QStringLiteral("a")));
        const QByteArray b = QFile::encodeName(elsewhere.filePath(QStringLiteral("b")));
        std::atomic<bool> stop {false};
        std::thread renamer([&] {
            while (!stop) {
                ::rename(a.constData(), b.constData());
                ::rename(b.constData(), a.constData());
            }
        });
        int refused = 0;
        for (int i = 0; i < (lookup == BeneathLookup::Kernel ? 300 : 3); ++i)
            refused += set(target) ? 0 : 1;
        stop = true;
        renamer.join();
        QCOMPARE(refused, 0);
    }
};

// Every case twice: with openat2, then with the walk that replaces it where
// openat2 is refused.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestPhoneInfo test;
    const int status = QTest::qExec(&test, argc, argv);
    lookup = BeneathLookup::Walk;
    return status | QTest::qExec(&test, argc, argv);
}
#include "tst_phoneinfo.moc"
