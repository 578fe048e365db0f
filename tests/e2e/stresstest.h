#pragma once

// Small helpers shared by the end-to-end tests that hammer the daemon (kills
// and load): batch lines for vexa-pref-call, file snapshots and the daemon's
// process figures from /proc.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <unistd.h>

namespace StressTest {

// One line for `vexa-pref-call --batch`: the method and its arguments as a
// JSON array of strings.
inline QByteArray batchLine(const QString &method, const QStringList &args)
{
    QJsonArray call{method};
    for (const QString &arg : args)
        call.append(arg);
    return QJsonDocument(call).toJson(QJsonDocument::Compact) + '\n';
}

// The file's bytes; absentMarker when it does not exist or cannot be read.
inline QByteArray readBytes(const QString &path, const QByteArray &absentMarker = QByteArrayLiteral("<absent>"))
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : absentMarker;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()
        && file.flush();
}

// A JSON object in one canonical form (keys sorted, no blanks), so that two
// files compare by meaning; a marker with the size when the bytes are not a
// complete JSON object, which matches no expected state.
inline QByteArray canonicalJson(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return "<not a JSON object: " + QByteArray::number(bytes.size()) + " bytes: "
            + error.errorString().toUtf8() + '>';
    return QJsonDocument(document.object()).toJson(QJsonDocument::Compact);
}

inline QByteArray canonicalJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Entries of dir other than the known names, sorted.
inline QStringList otherEntries(const QString &dir, const QStringList &known)
{
    QStringList entries =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : known)
        entries.removeAll(name);
    return entries;
}

// The open descriptors of a process, as "fd -> target" lines, sorted.
inline QStringList openFiles(qint64 pid)
{
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    QStringList lines;
    const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : fds)
    {
        char target[4096];
        const QByteArray link = QFile::encodeName(fdDir + QLatin1Char('/') + fd);
        const ssize_t size = ::readlink(link.constData(), target, sizeof(target));
        lines << fd + QStringLiteral(" -> ") + QFile::decodeName(QByteArray(target, size > 0 ? int(size) : 0));
    }
    lines.sort();
    return lines;
}

// Resident memory of a process in KiB (VmRSS), or -1.
inline qint64 residentKiB(qint64 pid)
{
    const QByteArray status = readBytes(QStringLiteral("/proc/%1/status").arg(pid), QByteArray());
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace StressTest
