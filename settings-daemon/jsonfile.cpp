#include "jsonfile.h"

#include "fileio.h"

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

QByteArray readJsonFileText(const QString &path)
{
    QByteArray bytes;
    QString reason;
    if (!readWholeFile(path, &bytes, &reason))
        return QByteArray();
    return withoutCarriageReturns(bytes);
}

bool readJsonObjectFile(const QString &path, QJsonObject *object)
{
    return parseJsonObject(readJsonFileText(path), object);
}

QByteArray jsonObjectFileBytes(const QJsonObject &object)
{
    // Qt's parser drops a raw U+FEFF that starts a string, as it would a byte
    // order mark before a text, so a package name that starts with one would
    // never be found again. The escaped form reads back whole. In Qt's UTF-8
    // output these bytes only ever encode that character, inside a string.
    return QJsonDocument(object).toJson().replace("\xef\xbb\xbf", "\\ufeff");
}
