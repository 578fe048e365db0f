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
    }
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
        if (kind == QLatin1String("gone")) {
            process.kill();
            QVERIFY(process.waitForFinished(TestUtil::waitLimitMs));
        }

        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 qPrintable(QString(warning)
                                                .replace(QLatin1String("%1"), m_caller)
                                                .replace(QLatin1String("%2"), QString::number(pid))));
        const QStringList list {kind == QLatin1String("other") ? m_other : m_caller};
        const bool passed = callerEnvironmentIsClean(int(pid)) && callerExecutableIsPermitted(int(pid), list);
        process.kill();
        process.waitForFinished(TestUtil::waitLimitMs);
        QCOMPARE(passed, permitted);
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
        second.kill();
        second.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestCallerProcess)
#include "tst_callerprocess.moc"
