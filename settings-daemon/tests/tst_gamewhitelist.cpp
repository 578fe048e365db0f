#include "fileio.h"
#include "gamewhitelist.h"
#include "heaptrim.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using TestUtil::absent;
using TestUtil::readFile;
using TestUtil::writeFile;

// A whitelist of n entries "pkg.0" ... in the daemon's own form.
QByteArray bigWhiteList(int n)
{
    QJsonArray games;
    for (int i = 0; i < n; ++i)
        games.append(QJsonObject {{QStringLiteral("appname"), QStringLiteral("Game %1").arg(i)},
                                  {QStringLiteral("pkgname"), QStringLiteral("pkg.%1").arg(i)}});
    return QJsonDocument(QJsonObject {{QStringLiteral("games"), games}}).toJson();
}

// A compact list of size bytes that lists "a", padded in its display name.
QByteArray listOfSize(qint64 size)
{
    const QByteArray frame = R"({"games":[{"pkgname":"a","appname":""}]})";
    QByteArray list = frame;
    return list.insert(frame.size() - 4, QByteArray(int(size - frame.size()), 'x'));
}

// Marks a case in which the file must not exist before or after the call.
const QByteArray noFile;
// Marks a case in which the file must be left byte for byte as it was.
const QByteArray unchanged("<unchanged>");

const QByteArray twoGames = R"({"games": [
  {"pkgname": "com.a.game", "appname": "A Game"},
  {"appname": "B Game", "pkgname": "com.b.game"}
]})";

} // namespace

class TestGameWhiteList : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

    void putFile(const QByteArray &bytes)
    {
        QFile::remove(m_path);
        if (!bytes.isNull())
            QVERIFY(writeFile(m_path, bytes));
    }
    void expectFile(const QByteArray &before, const QByteArray &after)
    {
        const QByteArray expected = after == unchanged ? before : after;
        if (expected.isNull())
            QVERIFY(!QFile::exists(m_path));
        else
            QCOMPARE(readFile(m_path, absent), expected);
        // No temporary file is left next to the list.
        QCOMPARE(TestUtil::entries(m_dir.path()),
                 QFile::exists(m_path) ? QStringList {QStringLiteral("games.json")} : QStringList());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("games.json"));
        std::signal(SIGXFSZ, SIG_IGN);
    }
    void cleanup()
    {
        // Each case starts with an empty directory.
        TestUtil::emptyDirectory(m_dir.path());
    }

    void lookup_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("pkgName");
        QTest::addColumn<bool>("listed");

        QTest::newRow("first entry") << twoGames << QStringLiteral("com.a.game") << true;
        QTest::newRow("second entry") << twoGames << QStringLiteral("com.b.game") << true;
        QTest::newRow("other letter case") << twoGames << QStringLiteral("com.A.game") << false;
        QTest::newRow("surrounding blank") << twoGames << QStringLiteral("com.a.game ") << false;
        QTest::newRow("matches appname only") << twoGames << QStringLiteral("A Game") << false;
        QTest::newRow("empty name, all entries named") << twoGames << QString() << false;
        QTest::newRow("non-ASCII name") << QStringLiteral(R"({"games":[{"pkgname":"游戏.é"}]})").toUtf8()
                                        << QStringLiteral("游戏.é") << true;
        // Entries without a usable name count as named "".
        QTest::newRow("empty name, pkgname missing")
            << QByteArray(R"({"games":[{"pkgname":"x"},{"appname":"y"}]})") << QString() << true;
        QTest::newRow("empty name, pkgname a number")
            << QByteArray(R"({"games":[{"pkgname":7}]})") << QString() << true;
        QTest::newRow("empty name, element not an object")
            << QByteArray(R"({"games":["com.a.game"]})") << QString() << true;
        QTest::newRow("string element is not a name")
            << QByteArray(R"({"games":["com.a.game"]})") << QStringLiteral("com.a.game") << false;
        QTest::newRow("pkgName key with capital N")
            << QByteArray(R"({"games":[{"pkgName":"com.a.game"}]})") << QStringLiteral("com.a.game") << false;
        QTest::newRow("games not an array")
            << QByteArray(R"({"games":{"pkgname":"com.a.game"}})") << QStringLiteral("com.a.game") << false;
        QTest::newRow("no games member")
            << QByteArray(R"({"pay":[{"pkgname":"com.a.game"}]})") << QStringLiteral("com.a.game") << false;
        QTest::newRow("top level an array") << QByteArray(R"([{"games":[{"pkgname":"com.a.game"}]}])")
                                            << QStringLiteral("com.a.game") << false;
        QTest::newRow("empty file") << QByteArray("") << QString() << false;
        QTest::newRow("truncated") << twoGames.left(60) << QStringLiteral("com.a.game") << false;
        QTest::newRow("missing file") << noFile << QString() << false;
        // The text ends at the first NUL byte.
        QTest::newRow("NUL after the object")
            << twoGames + QByteArray("\0garbage", 8) << QStringLiteral("com.b.game") << true;
        QTest::newRow("NUL inside the object")
            << QByteArray(R"({"games":[{"pkgname":"a"}])") + '\0' + "]}" << QStringLiteral("a") << false;
        // Bytes that are not UTF-8 read as U+FFFD.
        QTest::newRow("not UTF-8") << QByteArray("{\"games\":[{\"pkgname\":\"\xff\"}]}")
                                   << QString(QChar(0xFFFD)) << true;
        QTest::newRow("CRLF line ends")
            << QByteArray("{\r\n\"games\": [\r\n{\"pkgname\": \"a\"}\r\n]\r\n}\r\n") << QStringLiteral("a")
            << true;
    }
    void lookup()
    {
        // An add finds a listed package: true, and nothing is written.
        QFETCH(QByteArray, file);
        QFETCH(QString, pkgName);
        QFETCH(bool, listed);
        putFile(file);
        const bool added = addGameToWhiteListFile(m_path, QStringLiteral("A"), pkgName);
        QCOMPARE(added && readFile(m_path, absent) == (file.isNull() ? absent : file), listed);
    }

    void add_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("pkgName");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("to an empty object")
            << QByteArray("{}") << QStringLiteral("Zed") << QStringLiteral("z.z") << true
            << QByteArray(
                   R"({
    "games": [
        {
            "appname": "Zed",
            "pkgname": "z.z"
        }
    ]
}
)");
        // Appended last; every entry comes out with its members sorted and
        // unknown entry members kept.
        QTest::newRow("after the existing entries") << QByteArray(
            R"({"games":[{"pkgname":"b","score":[1,true],"appname":"B"},{"pkgname":"a","appname":"A"}]})")
                                                    << QStringLiteral("C") << QStringLiteral("c") << true
                                                    << QByteArray(
                                                           R"({
    "games": [
        {
            "appname": "B",
            "pkgname": "b",
            "score": [
                1,
                true
            ]
        },
        {
            "appname": "A",
            "pkgname": "a"
        },
        {
            "appname": "C",
            "pkgname": "c"
        }
    ]
}
)");
        QTest::newRow("other top-level members are kept")
            << QByteArray(R"({"version":2,"games":[],"comment":"hand-made"})") << QStringLiteral("A")
            << QStringLiteral("a") << true
            << QByteArray(
                   R"({
    "comment": "hand-made",
    "games": [
        {
            "appname": "A",
            "pkgname": "a"
        }
    ],
    "version": 2
}
)");
        QTest::newRow("games not an array is replaced")
            << QByteArray(R"({"games":"none"})") << QStringLiteral("A") << QStringLiteral("a") << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"appname\": \"A\",\n"
                   "            \"pkgname\": \"a\"\n        }\n    ]\n}\n");
        QTest::newRow("empty names are accepted")
            << QByteArray(R"({"games":[{"pkgname":"a","appname":"A"}]})") << QString() << QString() << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"appname\": \"A\",\n"
                   "            \"pkgname\": \"a\"\n        },\n        {\n            \"appname\": \"\",\n"
                   "            \"pkgname\": \"\"\n        }\n    ]\n}\n");
        QTest::newRow("non-ASCII and escapes")
            << QByteArray("{}") << QStringLiteral("重力 \"Game\"\\") << QStringLiteral("é.\t") << true
            << QStringLiteral(
                   "{\n    \"games\": [\n        {\n            \"appname\": \"重力 \\\"Game\\\"\\\\\",\n"
                   "            \"pkgname\": \"é.\\t\"\n        }\n    ]\n}\n")
                   .toUtf8();
        QTest::newRow("bytes after a NUL are dropped")
            << QByteArray("{}\0{\"junk\":1}", 13) << QStringLiteral("A") << QStringLiteral("a") << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"appname\": \"A\",\n"
                   "            \"pkgname\": \"a\"\n        }\n    ]\n}\n");

        // The lookup takes the bytes as they are, the edit reads them again
        // in text mode, without carriage returns: "a\r" is not "a" to the
        // lookup, and a value cut by a carriage return is whole to the edit.
        QTest::newRow("carriage return in a name")
            << QByteArray("{\"games\":[{\"pkgname\":\"a\r\"}]}") << QStringLiteral("A") << QStringLiteral("a")
            << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"pkgname\": \"a\"\n        },\n"
                   "        {\n            \"appname\": \"A\",\n            \"pkgname\": \"a\"\n"
                   "        }\n    ]\n}\n");
        QTest::newRow("carriage return in a literal")
            << QByteArray("{\"games\":[],\"x\":tr\rue}") << QStringLiteral("A") << QStringLiteral("a") << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"appname\": \"A\",\n"
                   "            \"pkgname\": \"a\"\n        }\n    ],\n    \"x\": true\n}\n");

        // Listed already: no write, even under another display name.
        QTest::newRow("listed, other appname")
            << twoGames << QStringLiteral("Renamed") << QStringLiteral("com.b.game") << true << unchanged;
        QTest::newRow("empty name matches a non-object")
            << QByteArray(R"({"games":[1]})") << QStringLiteral("A") << QString() << true << unchanged;

        // Nothing usable to edit: no write, and no file is created.
        QTest::newRow("missing file")
            << noFile << QStringLiteral("A") << QStringLiteral("a") << false << noFile;
        QTest::newRow("empty file") << QByteArray("") << QStringLiteral("A") << QStringLiteral("a") << false
                                    << unchanged;
        QTest::newRow("blank file") << QByteArray(" \n") << QStringLiteral("A") << QStringLiteral("a")
                                    << false << unchanged;
        QTest::newRow("top level an array")
            << QByteArray("[]") << QStringLiteral("A") << QStringLiteral("a") << false << unchanged;
        QTest::newRow("truncated") << twoGames.left(70) << QStringLiteral("A") << QStringLiteral("a") << false
                                   << unchanged;
        // Kept byte for byte or not rewritten at all: never with U+FFFD.
        QTest::newRow("another member not UTF-8")
            << QByteArray("{\"games\":[],\"vendor\":\"caf\xe9\"}") << QStringLiteral("A")
            << QStringLiteral("a") << false << unchanged;
        QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << QStringLiteral("A")
                                << QStringLiteral("a") << false << unchanged;

        // Past its cap a list is not even read; at it, no entry fits.
        QTest::newRow("listed, list past its cap") << listOfSize(maxListFileSize + 1) << QStringLiteral("A")
                                                   << QStringLiteral("a") << false << unchanged;
        QTest::newRow("list at its cap") << listOfSize(maxListFileSize) << QStringLiteral("B")
                                         << QStringLiteral("b") << false << unchanged;
    }
    void add()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, appName);
        QFETCH(QString, pkgName);
        QFETCH(bool, result);
        QFETCH(QByteArray, after);
        putFile(before);
        QCOMPARE(addGameToWhiteListFile(m_path, appName, pkgName), result);
        expectFile(before, after);
    }

    void remove_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("pkgName");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("first of two") << twoGames << QStringLiteral("com.a.game") << true
                                      << QByteArray(
                                             R"({
    "games": [
        {
            "appname": "B Game",
            "pkgname": "com.b.game"
        }
    ]
}
)");
        QTest::newRow("the only entry, other members kept")
            << QByteArray(R"({"games":[{"pkgname":"a"}],"extra":{"k":null}})") << QStringLiteral("a") << true
            << QByteArray("{\n    \"extra\": {\n        \"k\": null\n    },\n    \"games\": [\n    ]\n}\n");
        // Only the first of two equal entries goes; the rest keep their order.
        QTest::newRow("duplicate") << QByteArray(
            R"({"games":[{"pkgname":"x","appname":"1"},{"pkgname":"a"},{"pkgname":"x","appname":"2"}]})")
                                   << QStringLiteral("x") << true
                                   << QByteArray(
                                          "{\n    \"games\": [\n        {\n            \"pkgname\": \"a\"\n  "
                                          "      },\n"
                                          "        {\n            \"appname\": \"2\",\n            "
                                          "\"pkgname\": \"x\"\n        }\n    ]\n}\n");
        QTest::newRow("empty name takes a non-object")
            << QByteArray(R"({"games":[{"pkgname":"a"},[],{"pkgname":""}]})") << QString() << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"pkgname\": \"a\"\n        },\n"
                   "        {\n            \"pkgname\": \"\"\n        }\n    ]\n}\n");

        // Listed to the lookup, but not in the text the edit reads.
        QTest::newRow("carriage return in a name") << QByteArray("{\"games\":[{\"pkgname\":\"a\r\"}]}")
                                                   << QStringLiteral("a\r") << false << unchanged;

        // Not listed, whatever the file holds: true without a write.
        QTest::newRow("not listed") << twoGames << QStringLiteral("com.c.game") << true << unchanged;
        QTest::newRow("other letter case") << twoGames << QStringLiteral("COM.A.GAME") << true << unchanged;
        QTest::newRow("missing file") << noFile << QStringLiteral("a") << true << noFile;
        QTest::newRow("empty file") << QByteArray("") << QStringLiteral("a") << true << unchanged;
        QTest::newRow("another member not UTF-8")
            << QByteArray("{\"games\":[{\"pkgname\":\"a\"}],\"vendor\":\"caf\xe9\"}") << QStringLiteral("a")
            << false << unchanged;
        QTest::newRow("malformed") << QByteArray("{\"games\":[{\"pkgname\":\"a\"}") << QStringLiteral("a")
                                   << true << unchanged;
        QTest::newRow("games not an array")
            << QByteArray(R"({"games":{"pkgname":"a"}})") << QStringLiteral("a") << true << unchanged;
        // Not read: whether it lists the package is not known.
        QTest::newRow("list past its cap")
            << listOfSize(maxListFileSize + 1) << QStringLiteral("a") << false << unchanged;
    }
    void remove()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, pkgName);
        QFETCH(bool, result);
        QFETCH(QByteArray, after);
        putFile(before);
        QCOMPARE(removeGameFromWhiteListFile(m_path, pkgName), result);
        expectFile(before, after);
    }

    void addThenRemoveRestoresTheList()
    {
        const QByteArray start = bigWhiteList(3);
        putFile(start);
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("New"), QStringLiteral("pkg.new")));
        QVERIFY(TestUtil::listsGame(m_path, QStringLiteral("pkg.new")));
        // A second add of the same package changes nothing.
        const QByteArray added = readFile(m_path, absent);
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("Other"), QStringLiteral("pkg.new")));
        QCOMPARE(readFile(m_path, absent), added);
        QVERIFY(removeGameFromWhiteListFile(m_path, QStringLiteral("pkg.new")));
        QCOMPARE(readFile(m_path, absent), start);
    }

    void namesStartingWithByteOrderMarkReadBack()
    {
        // U+FEFF is an ordinary character inside a name, also as the first.
        const QString mark(QChar(0xfeff));
        const QString name = mark + QStringLiteral("pkg.mark");
        putFile(twoGames);
        QVERIFY(addGameToWhiteListFile(m_path, mark + QStringLiteral("App"), name));
        QVERIFY(TestUtil::listsGame(m_path, name));
        QVERIFY(!TestUtil::listsGame(m_path, QStringLiteral("pkg.mark")));
        // Found, so not added twice.
        const QByteArray added = readFile(m_path, absent);
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("Other"), name));
        QCOMPARE(readFile(m_path, absent), added);

        // A later edit keeps the app name as it was given.
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("C"), QStringLiteral("com.c.game")));
        const QJsonArray games = QJsonDocument::fromJson(readFile(m_path, absent))
                                     .object()
                                     .value(QStringLiteral("games"))
                                     .toArray();
        QCOMPARE(games.size(), 4);
        QCOMPARE(games.at(2).toObject().value(QStringLiteral("appname")).toString(),
                 mark + QStringLiteral("App"));

        QVERIFY(removeGameFromWhiteListFile(m_path, name));
        QVERIFY(!TestUtil::listsGame(m_path, name));
    }

    void unopenableFileWarns()
    {
        // A directory in the file's place exists but cannot be opened.
        QVERIFY(QDir().mkdir(m_path));
        const QString warning = QStringLiteral("\"Failed to open %1\"").arg(m_path);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        QVERIFY(!addGameToWhiteListFile(m_path, QStringLiteral("A"), QStringLiteral("a")));
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        QVERIFY(removeGameFromWhiteListFile(m_path, QStringLiteral("a")));
        QVERIFY(QFileInfo(m_path).isDir());
        QCOMPARE(TestUtil::entries(m_path), QStringList());

        // Neither is a file in a directory that does not exist created.
        const QString missing = m_dir.filePath(QStringLiteral("missing/games.json"));
        QVERIFY(!addGameToWhiteListFile(missing, QStringLiteral("A"), QStringLiteral("a")));
        QVERIFY(removeGameFromWhiteListFile(missing, QStringLiteral("a")));
        QVERIFY(!QFileInfo::exists(QFileInfo(missing).path()));
    }

    void failedWriteKeepsTheOldFile_data()
    {
        QTest::addColumn<bool>("adding");
        QTest::newRow("add") << true;
        QTest::newRow("remove") << false;
    }
    void failedWriteKeepsTheOldFile()
    {
        QFETCH(bool, adding);
        // The new list needs more room than the file system (here: the file
        // size limit) grants.
        const QByteArray before = bigWhiteList(100);
        QVERIFY(before.size() > 4096);
        putFile(before);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to write ")));
        struct rlimit old;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit lowered = old;
        lowered.rlim_cur = 4096;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
        const bool result = adding ? addGameToWhiteListFile(m_path, QStringLiteral("A"), QStringLiteral("a"))
                                   : removeGameFromWhiteListFile(m_path, QStringLiteral("pkg.0"));
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &old), 0);

        QVERIFY(!result);
        expectFile(before, unchanged);
    }

    void hugeFiles()
    {
        // A list of megabytes, near its cap, is edited like a small one.
        const int count = 80000;
        const QByteArray big = bigWhiteList(count);
        QVERIFY(big.size() > 6 * 1024 * 1024 && big.size() <= maxListFileSize);
        putFile(big);
        const QString last = QStringLiteral("pkg.%1").arg(count - 1);
        QVERIFY(removeGameFromWhiteListFile(m_path, last));
        QVERIFY(!TestUtil::listsGame(m_path, last));
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("Game %1").arg(count - 1), last));
        QCOMPARE(readFile(m_path, absent), big);

        // Megabytes of noise are no list: nothing is changed.
        QByteArray noise(maxListFileSize, Qt::Uninitialized);
        QRandomGenerator generator(4711);
        generator.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        noise.replace('\0', '\1'); // no NUL ends the text early
        noise[0] = '{'; // starts like an object
        putFile(noise);
        QVERIFY(!addGameToWhiteListFile(m_path, QStringLiteral("A"), QStringLiteral("a")));
        QVERIFY(removeGameFromWhiteListFile(m_path, QString()));
        expectFile(noise, unchanged);
    }

    void heapReturnedAfterLargeEdit()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("built with AddressSanitizer: its own allocator, not glibc's heap, holds the memory");
#else
        // About 5 MB: the edit reads it whole, parses and rewrites it.
        putFile(bigWhiteList(70000));
        releaseHeap();
        const qint64 pid = QCoreApplication::applicationPid();
        const qint64 idle = TestUtil::residentKiB(pid);
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("New"), QStringLiteral("pkg.new")));
        const qint64 held = TestUtil::residentKiB(pid);
        // glibc keeps the freed blocks of the parse: the case at stake.
        QVERIFY2(held - idle > 8 * 1024,
                 qPrintable(QStringLiteral("idle %1 KiB, after the edit %2 KiB").arg(idle).arg(held)));
        QVERIFY(releaseHeapAfterLargeCall());
        const qint64 released = TestUtil::residentKiB(pid);
        QVERIFY2(released - idle <= 2 * 1024,
                 qPrintable(QStringLiteral("idle %1 KiB, after the edit %2 KiB, released %3 KiB")
                                .arg(idle)
                                .arg(held)
                                .arg(released)));

        // A small list's edit is no large call.
        putFile(twoGames);
        QVERIFY(addGameToWhiteListFile(m_path, QStringLiteral("New"), QStringLiteral("pkg.new")));
        QVERIFY(!releaseHeapAfterLargeCall());
#endif
    }
};

QTEST_GUILESS_MAIN(TestGameWhiteList)
#include "tst_gamewhitelist.moc"
