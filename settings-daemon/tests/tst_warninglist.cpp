#include "warninglist.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using TestUtil::absent;
using TestUtil::readFile;
using TestUtil::writeFile;

// Marks a case in which the file must be left byte for byte as it was.
const QByteArray unchanged("<unchanged>");

const QByteArray bothLists = R"({"games": [{"pkgName": "g.one"}, {"pkgName": "both", "note": 1}],
 "pay": [{"pkgName": "both"}, {"pkgName": "p.one"}]})";

} // namespace

class TestWarningList : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("warning.json"));
        std::signal(SIGXFSZ, SIG_IGN);
    }
    void cleanup()
    {
        // Each case starts with an empty directory.
        TestUtil::emptyDirectory(m_dir.path());
    }

    void remove_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("pkgName");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("after");

        // Both lists lose their first match in one call; entry members and
        // the order of the rest are kept.
        QTest::newRow("in both lists") << bothLists << QStringLiteral("both") << true
                                       << QByteArray(
                                              R"({
    "games": [
        {
            "pkgName": "g.one"
        }
    ],
    "pay": [
        {
            "pkgName": "p.one"
        }
    ]
}
)");
        QTest::newRow("in games only, pay missing")
            << QByteArray(R"({"games":[{"pkgName":"a","x":[]}]})") << QStringLiteral("a") << true
            << QByteArray("{\n    \"games\": [\n    ],\n    \"pay\": [\n    ]\n}\n");
        QTest::newRow("in pay only, games not an array")
            << QByteArray(R"({"games":"none","pay":[{"pkgName":"a"},{"pkgName":"b"}]})")
            << QStringLiteral("a") << true
            << QByteArray(
                   "{\n    \"games\": [\n    ],\n    \"pay\": [\n        {\n"
                   "            \"pkgName\": \"b\"\n        }\n    ]\n}\n");
        QTest::newRow("pay not an array is emptied")
            << QByteArray(R"({"pay":{"pkgName":"a"},"games":[{"pkgName":"a"}]})") << QStringLiteral("a")
            << true << QByteArray("{\n    \"games\": [\n    ],\n    \"pay\": [\n    ]\n}\n");
        QTest::newRow("first of two in one list")
            << QByteArray(R"({"games":[{"pkgName":"a","n":1},{"pkgName":"a","n":2}],"pay":[]})")
            << QStringLiteral("a") << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"n\": 2,\n            \"pkgName\": \"a\"\n"
                   "        }\n    ],\n    \"pay\": [\n    ]\n}\n");
        QTest::newRow("other top-level members are kept")
            << QByteArray(R"({"zeta":true,"games":[{"pkgName":"a"}],"alpha":"x"})") << QStringLiteral("a")
            << true
            << QByteArray(
                   "{\n    \"alpha\": \"x\",\n    \"games\": [\n    ],\n    \"pay\": [\n    ],\n"
                   "    \"zeta\": true\n}\n");
        // Written escaped, as the whitelist does: Qt's parser drops a raw
        // U+FEFF that starts a string, and the name would never match again.
        QTest::newRow("name starting with U+FEFF kept")
            << QByteArray(R"({"games":[{"pkgName":"\ufeffa"},{"pkgName":"b"}]})") << QStringLiteral("b")
            << true
            << QByteArray(
                   "{\n    \"games\": [\n        {\n            \"pkgName\": \"\\ufeffa\"\n        }\n    "
                   "],\n"
                   "    \"pay\": [\n    ]\n}\n");
        QTest::newRow("non-ASCII name")
            << QStringLiteral(R"({"games":[{"pkgName":"应用"}],"pay":[{"pkgName":"应用"}]})").toUtf8()
            << QStringLiteral("应用") << true
            << QByteArray("{\n    \"games\": [\n    ],\n    \"pay\": [\n    ]\n}\n");

        // Nothing removed: false, and the file is not written.
        QTest::newRow("in neither list") << bothLists << QStringLiteral("c") << false << unchanged;
        QTest::newRow("other letter case") << bothLists << QStringLiteral("BOTH") << false << unchanged;
        QTest::newRow("in pay, no games member")
            << QByteArray(R"({"pay":[{"pkgName":"a"}]})") << QStringLiteral("a") << false << unchanged;
        QTest::newRow("lower-case pkgname key")
            << QByteArray(R"({"games":[{"pkgname":"a"}],"pay":[{"pkgname":"a"}]})") << QStringLiteral("a")
            << false << unchanged;
        QTest::newRow("empty name, nameless entries")
            << QByteArray(R"({"games":[{},1],"pay":[{"pkgName":""}]})") << QString() << false << unchanged;
        QTest::newRow("empty file") << QByteArray("") << QStringLiteral("a") << false << unchanged;
        QTest::newRow("top level an array")
            << QByteArray(R"([{"games":[{"pkgName":"a"}]}])") << QStringLiteral("a") << false << unchanged;
        QTest::newRow("truncated") << bothLists.left(50) << QStringLiteral("g.one") << false << unchanged;
        QTest::newRow("cut off by a NUL") << QByteArray(R"({"games":[{"pkgName":"a"}]})").insert(10, '\0')
                                          << QStringLiteral("a") << false << unchanged;
        // Kept byte for byte or not rewritten at all: never with U+FFFD.
        QTest::newRow("another member not UTF-8")
            << QByteArray("{\"games\":[{\"pkgName\":\"a\"}],\"vendor\":\"caf\xe9\"}") << QStringLiteral("a")
            << false << unchanged;
        QTest::newRow("binary") << QByteArray(
            "\x7f"
            "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0",
            16) << QStringLiteral("a")
                                << false << unchanged;
    }
    void remove()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, pkgName);
        QFETCH(bool, result);
        QFETCH(QByteArray, after);
        QVERIFY(writeFile(m_path, before));
        QCOMPARE(removeAppFromWarningListFile(m_path, pkgName), result);
        QCOMPARE(readFile(m_path, absent), after == unchanged ? before : after);
        QCOMPARE(TestUtil::entries(m_dir.path()), QStringList {QStringLiteral("warning.json")});
    }

    void bothListsAreWrittenOnce()
    {
        QVERIFY(writeFile(m_path, bothLists));
        // Every replacement of the file is a rename into the directory. The
        // creation of each temporary file is watched too: it sits between two
        // renames, which the kernel would otherwise merge into one event.
        const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watcher >= 0);
        QVERIFY(
            ::inotify_add_watch(watcher, QFile::encodeName(m_dir.path()).constData(), IN_MOVED_TO | IN_CREATE)
            >= 0);
        QVERIFY(removeAppFromWarningListFile(m_path, QStringLiteral("both")));

        int replacements = 0;
        alignas(struct inotify_event) char buffer[4096];
        ssize_t length;
        while ((length = ::read(watcher, buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + length;) {
                const auto *event = reinterpret_cast<const struct inotify_event *>(p);
                if (event->len > 0 && QByteArray(event->name) == "warning.json")
                    ++replacements;
                p += sizeof(struct inotify_event) + event->len;
            }
        }
        ::close(watcher);
        QCOMPARE(replacements, 1);
        QVERIFY(!readFile(m_path, absent).contains("both"));
    }

    void unusablePathChangesNothing()
    {
        // Missing file, missing directory, a directory in the file's place.
        QVERIFY(!removeAppFromWarningListFile(m_path, QStringLiteral("a")));
        QVERIFY(!removeAppFromWarningListFile(m_dir.filePath(QStringLiteral("missing/warning.json")),
                                              QStringLiteral("a")));
        QCOMPARE(TestUtil::entries(m_dir.path()), QStringList());
        QVERIFY(QDir().mkdir(m_path));
        QVERIFY(!removeAppFromWarningListFile(m_path, QStringLiteral("a")));
        QVERIFY(QFileInfo(m_path).isDir());
        QCOMPARE(TestUtil::entries(m_path), QStringList());
    }

    void failedWriteKeepsTheOldFile()
    {
        QByteArray before = R"({"games":[{"pkgName":"a"}],"pay":[)";
        for (int i = 0; i < 200; ++i)
            before += "{\"pkgName\":\"pay." + QByteArray::number(i) + "\"},";
        before += "{\"pkgName\":\"a\"}]}";
        QVERIFY(writeFile(m_path, before));

        // The rewritten list needs more room than the file size limit grants.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to write ")));
        struct rlimit old;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit lowered = old;
        lowered.rlim_cur = 2048;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
        const bool result = removeAppFromWarningListFile(m_path, QStringLiteral("a"));
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &old), 0);

        QVERIFY(!result);
        QCOMPARE(readFile(m_path, absent), before);
        QCOMPARE(TestUtil::entries(m_dir.path()), QStringList {QStringLiteral("warning.json")});
    }

    void hugeFile()
    {
        // Megabytes, rewritten within the cap: the one match near the end
        // of each list goes.
        QByteArray games = "{\"games\":[";
        QByteArray pay = "],\"pay\":[";
        for (int i = 0; i < 40000; ++i) {
            games += "{\"pkgName\":\"g." + QByteArray::number(i) + "\",\"note\":\"................\"},";
            pay += "{\"pkgName\":\"p." + QByteArray::number(i) + "\"},";
        }
        const QByteArray before = games + "{\"pkgName\":\"x\"}" + pay + "{\"pkgName\":\"x\"},{}]}";
        QVERIFY(before.size() > 2 * 1024 * 1024);
        QVERIFY(writeFile(m_path, before));
        QVERIFY(removeAppFromWarningListFile(m_path, QStringLiteral("x")));
        const QByteArray after = readFile(m_path, absent);
        QVERIFY(!after.contains("\"x\""));
        QVERIFY(after.endsWith(
            "            \"pkgName\": \"p.39999\"\n        },\n        {\n        }\n    ]\n}\n"));
        QVERIFY(!removeAppFromWarningListFile(m_path, QStringLiteral("x")));
        QCOMPARE(readFile(m_path, absent), after);
    }
};

QTEST_GUILESS_MAIN(TestWarningList)
#include "tst_warninglist.moc"
