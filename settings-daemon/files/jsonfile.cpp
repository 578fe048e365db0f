// Reads and writes the runtime's JSON list files, within their caps.
#include "jsonfile.h"

#include "fileio.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>

bool parseJsonObject(QByteArray bytes, QJsonObject *object)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QString::fromUtf8(bytes).toUtf8(), &error);
    if (document.isNull() || error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *object = document.object();
    return true;
}

QByteArray readListFile(const QString &path, ListRead *status)
{
    QByteArray bytes;
    QString reason;
    ReadFailure failure = ReadFailure::None;
    ListRead read = ListRead::Read;
    if (!readWholeFile(path, &bytes, &reason, maxListFileSize, &failure)) {
        read = failure == ReadFailure::Missing ? ListRead::Missing
            : failure == ReadFailure::TooLarge ? ListRead::TooLarge
                                               : ListRead::Failed;
        if (read == ListRead::TooLarge)
            qWarning() << "Left unchanged:" << path << reason;
    }
    if (status)
        *status = read;
    return bytes;
}

bool isRewritable(const QString &path, QByteArray bytes)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    // Only UTF-8 comes back from the round trip byte for byte.
    if (QString::fromUtf8(bytes).toUtf8() == bytes)
        return true;
    qWarning() << "Left unchanged:" << path << "holds bytes that are not UTF-8";
    return false;
}

QByteArray jsonObjectFileBytes(const QJsonObject &object)
{
    // Qt's parser drops a raw U+FEFF that starts a string, as it would a byte
    // order mark before a text, so a package name that starts with one would
    // never be found again. The escaped form reads back whole. In Qt's UTF-8
    // output these bytes only ever encode that character, inside a string.
    return QJsonDocument(object).toJson().replace("\xef\xbb\xbf", "\\ufeff");
}

bool writeListFile(const QString &path, const QJsonObject &object)
{
    const QByteArray bytes = jsonObjectFileBytes(object);
    return editFitsCap(path, bytes, maxListFileSize) && writeFileAtomically(path, bytes);
}
