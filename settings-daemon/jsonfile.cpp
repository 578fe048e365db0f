#include "jsonfile.h"

#include <QFile>
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

bool readJsonObjectFile(const QString &path, QJsonObject *object)
{
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        bytes = file.readAll();
    file.close();
    return parseJsonObject(bytes, object);
}
