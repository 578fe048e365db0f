#include "autostart.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
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
const QByteArray &entry = TestUtil::autoStartBytes;
} // namespace

class TestAutoStart : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

    void expectOnlyEntry(const QByteArray &content)
    {
        QCOMPARE(readFile(m_path), content);
        QCOMPARE(entries(m_dir.path()), QStringList {QStringLiteral("bootlane.desktop")});
    }

private slots:
    void init() { QVERIFY(TestUtil::startAfresh(m_dir, QStringLiteral("bootlane.desktop"), &m_path)); }

    void switchOnWritesEntry_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("no entry") << false << QByteArray();
        QTest::newRow("entry already there") << true << entry;
        QTest::newRow("longer other content") << true << QByteArray(4096, 'x');
        QTest::newRow("empty file") << true << QByteArray();
    }
    void switchOnWritesEntry()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, before);
        QCOMPARE(entry.size(), 265);
        if (exists)
            QVERIFY(writeFile(m_path, before));
        QVERIFY(setAutoStartEntry(m_path, QStringLiteral("true")));
        expectOnlyEntry(entry);
        QVERIFY(setAutoStartEntry(m_path, QStringLiteral("true")));
        expectOnlyEntry(entry);
    }

    void switchOffRemovesEntry()
    {
        QVERIFY(writeFile(m_path, "anything"));
        QVERIFY(setAutoStartEntry(m_path, QStringLiteral("false")));
        QCOMPARE(entries(m_dir.path()), QStringList());
        QVERIFY(!setAutoStartEntry(m_path, QStringLiteral("false")));
        QCOMPARE(entries(m_dir.path()), QStringList());
    }

    void otherWordsChangeNothing_data()
    {
        QTest::addColumn<QString>("checked");
        for (const char *word : {"TRUE", "True", "FALSE", "False", "1", "0", "", "yes", " true", "false "})
            QTest::newRow(word) << QString::fromLatin1(word);
        QTest::newRow("true + line feed") << QStringLiteral("true\n");
    }
    void otherWordsChangeNothing()
    {
        QFETCH(QString, checked);
        QVERIFY(!setAutoStartEntry(m_path, checked));
        QCOMPARE(entries(m_dir.path()), QStringList());
        QVERIFY(writeFile(m_path, "old"));
        QVERIFY(!setAutoStartEntry(m_path, checked));
        expectOnlyEntry("old");
    }

    void unusablePath_data()
    {
        QTest::addColumn<QString>("checked");
        QTest::addColumn<bool>("directoryAtPath");
        QTest::newRow("on, directory missing") << QStringLiteral("true") << false;
        QTest::newRow("on, directory at path") << QStringLiteral("true") << true;
        // It exists but cannot be removed: reporting success would be a lie.
        QTest::newRow("off, directory at path") << QStringLiteral("false") << true;
    }
    void unusablePath()
    {
        QFETCH(QString, checked);
        QFETCH(bool, directoryAtPath);
        QString target = m_path;
        if (directoryAtPath)
            QVERIFY(QDir().mkdir(m_path));
        else
            target = m_dir.filePath(QStringLiteral("autostart/bootlane.desktop"));
        QVERIFY(!setAutoStartEntry(target, checked));
        QCOMPARE(entries(m_dir.path()),
                 directoryAtPath ? QStringList {QStringLiteral("bootlane.desktop")} : QStringList());
        QCOMPARE(QFileInfo(m_path).isDir(), directoryAtPath);
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
        const QByteArray before = "[Desktop Entry]\nName=old\n";
        if (exists)
            QVERIFY(writeFile(m_path, before));
        QVERIFY(!TestUtil::withFileSizeLimit(
            before.size(), [&] { return setAutoStartEntry(m_path, QStringLiteral("true")); }));
        if (exists)
            expectOnlyEntry(before);
        else
            QCOMPARE(entries(m_dir.path()), QStringList());
    }

    void modeAndOwnerKept()
    {
        QVERIFY(writeFile(m_path, "old"));
        QVERIFY(TestUtil::giveForeignModeAndOwner(m_path));
        QVERIFY(setAutoStartEntry(m_path, QStringLiteral("true")));
        QCOMPARE(TestUtil::modeAndOwner(m_path), TestUtil::foreignModeAndOwner());
    }
};

QTEST_GUILESS_MAIN(TestAutoStart)
#include "tst_autostart.moc"
