#include "dockerconfig.h"
#include "fileio.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using TestUtil::entries;
using TestUtil::readFile;
using TestUtil::writeFile;

namespace {
QByteArray onlyBip(const QByteArray &value)
{
    return "{\n    \"bip\": \"" + value + "\"\n}\n";
}
} // namespace

class TestDockerConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void init() { QVERIFY(TestUtil::startAfresh(m_dir, QStringLiteral("daemon.json"), &m_path)); }

    void valueRules_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("valid");
        const auto row = [](const char *value, bool valid) {
            const QString text = QString::fromUtf8(value);
            QTest::newRow(qPrintable(QString(text).replace(QLatin1Char('\n'), QLatin1String("\\n"))))
                << text << valid;
        };
        row("172.17.0.1/16", true);
        row("0.0.0.0/0", true);
        row("255.255.255.255/32", true);
        row("10.0.0.1/8", true);
        row("", false);
        row("/", false);
        row("172.17.0.1", false);
        row("172.17.0.1/", false);
        row("/16", false);
        row(" 172.17.0.1/16", false);
        row("172.17.0.1/16 ", false);
        row("172.17.0.1 /16", false);
        row("172.17.0.1/ 16", false);
        row("172.17.0.1/16\n", false);
        row("256.17.0.1/16", false);
        row("172.17.0.1/33", false);
        row("172.17.0.1/-1", false);
        row("172.17.0.1/+8", false);
        row("172.17.0.1/16/16", false);
        row("172.17.0/16", false);
        row("172.17.0.1.5/16", false);
        row("172..0.1/16", false);
        row("172.17.0.1./16", false);
        row("0x7f.0.0.1/8", false);
        row("010.0.0.1/8", false); // octal to some parsers
        row("10.0.0.1/08", false);
        row("1000.0.0.1/8", false);
        row("4294967297.0.0.1/8", false);
        row("10.0.0.1/4294967304", false);
        row("fd00::1/64", false);
        row("１0.0.0.1/8", false); // full-width digit
    }
    void valueRules()
    {
        QFETCH(QString, value);
        QFETCH(bool, valid);
        QCOMPARE(isValidBridgeAddress(value), valid);
        // A refused value creates no file; an accepted one is written as given.
        QCOMPARE(setBridgeAddressInFile(m_path, value), valid);
        QCOMPARE(QFile::exists(m_path), valid);
        if (valid)
            QCOMPARE(readFile(m_path), onlyBip(value.toUtf8()));
    }

    void mergesIntoFile_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        const QByteArray bip = onlyBip("192.168.5.1/24");
        QTest::newRow("missing") << false << QByteArray() << bip;
        QTest::newRow("zero length") << true << QByteArray() << bip;
        QTest::newRow("empty object") << true << QByteArray("{}") << bip;
        QTest::newRow("old bip of another type") << true << QByteArray("{\"bip\": [1]}") << bip;
        // Nothing of a longer old text may survive the new, shorter one.
        QTest::newRow("long old text")
            << true << QByteArray("{ \"bip\" : \"10.200.200.200/30\"" + QByteArray(500, ' ') + "}\n") << bip;
        QTest::newRow("byte-order mark")
            << true << QByteArray("\xef\xbb\xbf{\"debug\":false}")
            << QByteArray("{\n    \"bip\": \"192.168.5.1/24\",\n    \"debug\": false\n}\n");
        QTest::newRow("other members kept, keys sorted")
            << true
            << QByteArray(
                   "{\"log-driver\":\"json-file\",\"dns\":[\"8.8.8.8\"],\"bip\":\"10.0.0.1/8\","
                   "\"log-opts\":{\"max-size\":\"10m\"},\"label\":\"Gr\xc3\xbc\xc3\x9f\x65\"}")
            << QByteArray(
                   "{\n"
                   "    \"bip\": \"192.168.5.1/24\",\n"
                   "    \"dns\": [\n"
                   "        \"8.8.8.8\"\n"
                   "    ],\n"
                   "    \"label\": \"Gr\xc3\xbc\xc3\x9f\x65\",\n"
                   "    \"log-driver\": \"json-file\",\n"
                   "    \"log-opts\": {\n"
                   "        \"max-size\": \"10m\"\n"
                   "    }\n"
                   "}\n");
    }
    void mergesIntoFile()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        if (exists)
            QVERIFY(writeFile(m_path, before));
        QVERIFY(setBridgeAddressInFile(m_path, QStringLiteral("192.168.5.1/24")));
        QCOMPARE(readFile(m_path), after);
        QCOMPARE(entries(m_dir.path()), QStringList {QStringLiteral("daemon.json")});
        // A second call replaces the value and keeps the rest.
        QVERIFY(setBridgeAddressInFile(m_path, QStringLiteral("10.1.0.1/16")));
        QCOMPARE(readFile(m_path), after.replace("192.168.5.1/24", "10.1.0.1/16"));
    }

    void foreignContentLeftAlone_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("array") << QByteArray("[{\"bip\":\"10.0.0.1/8\"}]");
        QTest::newRow("string") << QByteArray("\"10.0.0.1/8\"");
        QTest::newRow("null") << QByteArray("null");
        QTest::newRow("number") << QByteArray("42");
        QTest::newRow("blanks only") << QByteArray(" \n");
        QTest::newRow("truncated") << QByteArray("{\"debug\": tr");
        QTest::newRow("trailing garbage") << QByteArray("{} {}");
        QTest::newRow("not JSON") << QByteArray("bip=10.0.0.1/8\n");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{}", 5);
        QTest::newRow("invalid UTF-8 in a string") << QByteArray("{\"a\":\"\xff\"}");
        QTest::newRow("nested too deeply") << QByteArray(200000, '[');
    }
    void foreignContentLeftAlone()
    {
        QFETCH(QByteArray, before);
        QVERIFY(writeFile(m_path, before));
        QVERIFY(!setBridgeAddressInFile(m_path, QStringLiteral("172.17.0.1/16")));
        QCOMPARE(readFile(m_path), before);
        QCOMPARE(entries(m_dir.path()), QStringList {QStringLiteral("daemon.json")});
    }

    void invalidValueLeavesFile()
    {
        const QByteArray before = "{\"bip\": \"10.0.0.1/8\"}";
        QVERIFY(writeFile(m_path, before));
        QVERIFY(!setBridgeAddressInFile(m_path, QStringLiteral("/")));
        QCOMPARE(readFile(m_path), before);
    }

    void unusablePath_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("directory") << QStringLiteral("directory");
        QTest::newRow("fifo") << QStringLiteral("fifo");
        QTest::newRow("missing directory") << QStringLiteral("missing directory");
        // A sparse file costs nothing on disk: past its cap it is never read.
        QTest::newRow("past its cap") << QStringLiteral("too large");
    }
    void unusablePath()
    {
        QFETCH(QString, kind);
        QString target = m_path;
        if (kind == QLatin1String("directory"))
            QVERIFY(QDir().mkdir(m_path));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
        else if (kind == QLatin1String("too large"))
            QVERIFY(TestUtil::makeSparseFile(m_path, maxDockerConfigSize + 1));
        else
            target = m_dir.filePath(QStringLiteral("docker/daemon.json"));
        // A FIFO must not block the call.
        QVERIFY(!setBridgeAddressInFile(target, QStringLiteral("172.17.0.1/16")));
        QCOMPARE(entries(m_dir.path()),
                 kind == QLatin1String("missing directory") ? QStringList()
                                                            : QStringList {QStringLiteral("daemon.json")});
        if (kind == QLatin1String("too large"))
            QCOMPARE(QFileInfo(m_path).size(), maxDockerConfigSize + 1);
    }

    void failedWriteKeepsOldFile()
    {
        const QByteArray before = "{\"debug\":true}";
        QVERIFY(writeFile(m_path, before));
        QVERIFY(!TestUtil::withFileSizeLimit(
            before.size(), [&] { return setBridgeAddressInFile(m_path, QStringLiteral("172.17.0.1/16")); }));
        QCOMPARE(readFile(m_path), before);
        QCOMPARE(entries(m_dir.path()), QStringList {QStringLiteral("daemon.json")});
    }

    void modeAndOwnerKept()
    {
        QVERIFY(writeFile(m_path, "{}"));
        QVERIFY(TestUtil::giveForeignModeAndOwner(m_path));
        QVERIFY(setBridgeAddressInFile(m_path, QStringLiteral("172.17.0.1/16")));
        QCOMPARE(TestUtil::modeAndOwner(m_path), TestUtil::foreignModeAndOwner());
    }
};

QTEST_GUILESS_MAIN(TestDockerConfig)
#include "tst_dockerconfig.moc"
