#include "benchcommon.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

double median(QVector<double> samples)
{
    if (samples.isEmpty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const int middle = samples.size() / 2;
    if (samples.size() % 2 == 1)
        return samples.at(middle);
    return (samples.at(middle - 1) + samples.at(middle)) / 2;
}

double percentile(QVector<double> samples, double fraction)
{
    if (samples.isEmpty())
        return 0;
    std::sort(samples.begin(), samples.end());
    // Less a hair, so that 0.99 * 100 is rank 99 whatever the rounding.
    const int rank = qBound(1, int(std::ceil(fraction * samples.size() - 1e-9)), samples.size());
    return samples.at(rank - 1);
}

QString benchPackageName(int index)
{
    return QStringLiteral("com.example.game%1").arg(index, 6, 10, QLatin1Char('0'));
}

QString benchAppName(int index)
{
    // Display names are often not English: every other one takes the
    // decoder's slower path for non-ASCII text.
    return (index % 2 ? QStringLiteral("游戏 %1") : QStringLiteral("Game %1")).arg(index);
}

bool writeBenchWhitelist(const QString &path, int count)
{
    QJsonArray games;
    for (int i = 0; i < count; ++i) {
        QJsonObject entry;
        entry.insert(QStringLiteral("pkgname"), benchPackageName(i));
        entry.insert(QStringLiteral("appname"), benchAppName(i));
        games.append(entry);
    }
    QJsonObject object;
    object.insert(QStringLiteral("games"), games);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(object).toJson());
    return file.commit();
}

namespace {

// A small fixed generator: the same tree in every run and on every machine.
class LineMaker
{
public:
    QByteArray next()
    {
        static const char *const tags[] = {"ActivityManager", "WindowManager",  "InputDispatcher",
                                           "SurfaceFlinger",  "PackageManager", "dalvikvm"};
        static const char *const levels = "VDIWE";
        const quint32 a = step();
        const quint32 b = step();
        QByteArray line = QByteArray::number(1 + a % 12).rightJustified(2, '0');
        line += '-' + QByteArray::number(1 + b % 28).rightJustified(2, '0');
        line += ' ' + QByteArray::number(a % 24).rightJustified(2, '0') + ':'
            + QByteArray::number(b % 60).rightJustified(2, '0') + ':'
            + QByteArray::number((a >> 8) % 60).rightJustified(2, '0') + '.'
            + QByteArray::number((b >> 8) % 1000).rightJustified(3, '0');
        line += ' ' + QByteArray::number(100 + a % 30000) + ' ' + QByteArray::number(100 + b % 30000);
        line += ' ';
        line += levels[a % 5];
        line += ' ';
        line += tags[b % 6];
        line += ": event " + QByteArray::number(step(), 16) + " state=" + QByteArray::number(step() % 977)
            + " took " + QByteArray::number(step() % 5000) + "ms\n";
        return line;
    }

private:
    quint32 step()
    {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 4;
    }
    quint32 m_state = 12345;
};

bool writeLogFile(const QString &path, qint64 bytes, LineMaker *maker)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    qint64 written = 0;
    QByteArray chunk;
    while (written < bytes) {
        chunk.clear();
        while (chunk.size() < 64 * 1024 && written + chunk.size() < bytes)
            chunk += maker->next();
        if (file.write(chunk) != chunk.size())
            return false;
        written += chunk.size();
    }
    return file.flush();
}

} // namespace

qint64 generateBenchLogs(const QString &dataDir, const QString &runtimeLog, qint64 totalBytes)
{
    // Shares of the total, roughly as a busy runtime leaves them: many small
    // kernel log pieces, some traces and dropbox entries, a few tombstones.
    struct Part
    {
        const char *dir;
        const char *prefix;
        int files;
        int percent;
    };
    static const Part parts[] = {
        {"klog", "klog", 20, 40},
        {"anr", "anr", 10, 15},
        {"system/dropbox", "dropbox", 40, 15},
        {"tombstones", "tombstone", 5, 10},
    };
    LineMaker maker;
    qint64 total = 0;
    for (const Part &part : parts) {
        const QString dir = dataDir + QLatin1Char('/') + QLatin1String(part.dir);
        if (!QDir().mkpath(dir))
            return -1;
        const qint64 perFile = totalBytes * part.percent / 100 / part.files;
        for (int i = 0; i < part.files; ++i) {
            const QString path = QStringLiteral("%1/%2_%3.txt")
                                     .arg(dir, QLatin1String(part.prefix))
                                     .arg(i, 2, 10, QLatin1Char('0'));
            if (!writeLogFile(path, perFile, &maker))
                return -1;
            total += QFileInfo(path).size();
        }
    }
    // The rest is the runtime's own log.
    const qint64 rest = totalBytes - total;
    if (!QDir().mkpath(QFileInfo(runtimeLog).absolutePath()) || !writeLogFile(runtimeLog, rest, &maker))
        return -1;
    return total + QFileInfo(runtimeLog).size();
}

QByteArray logCollectionScript(const QString &user, const QString &dataDir, const QString &runtimeLog,
                               const QString &logDir)
{
    const QString script = QStringLiteral(
                               "cp -a '%1/klog/' '%3'; cp -a '%1/anr/' '%3'; cp -a '%1/system/dropbox/' '%3';"
                               " cp -a '%1/tombstones/' '%3'; cp -a '%2' '%3'; chmod 777 -R '%3';"
                               " zip -r -q -j -y '%3.zip' '%3'; chown -hR '%4:%4' '%3.zip'")
                               .arg(dataDir, runtimeLog, logDir, user);
    return script.toUtf8();
}

qint64 parseResidentKiB(const QByteArray &statusText)
{
    for (const QByteArray &line : statusText.split('\n')) {
        if (!line.startsWith("VmRSS:"))
            continue;
        // "VmRSS:	    1234 kB"
        const QList<QByteArray> fields = line.mid(6).simplified().split(' ');
        if (fields.size() != 2 || fields.at(1) != "kB")
            return -1;
        bool ok = false;
        const qint64 value = fields.at(0).toLongLong(&ok);
        return ok ? value : -1;
    }
    return -1;
}

qint64 residentKiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return parseResidentKiB(file.readAll());
}
