// Sets the container engine's bridge address in its daemon.json.
#include "dockerconfig.h"

#include "fileio.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QList>
#include <QStringView>

// A decimal number 0..max in ASCII digits, without sign, blanks or a leading
// zero. QString::toInt would accept "+8", " 8" and non-ASCII digits.
static bool isPlainNumber(QStringView text, int max)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    if (text.size() > 1 && text.at(0) == QLatin1Char('0'))
        return false;
    int number = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + (c.unicode() - '0');
    }
    return number <= max;
}

bool isValidBridgeAddress(const QString &value)
{
    const int slash = value.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return false;
    const QList<QStringView> octets = QStringView(value).left(slash).split(QLatin1Char('.'));
    if (octets.size() != 4)
        return false;
    for (const QStringView octet : octets) {
        if (!isPlainNumber(octet, 255))
            return false;
    }
    return isPlainNumber(QStringView(value).mid(slash + 1), 32);
}

bool setBridgeAddressInFile(const QString &path, const QString &value)
{
    // The engine refuses to start with an invalid "bip": never write one.
    if (!isValidBridgeAddress(value))
        return false;

    QJsonObject config;
    const QFileInfo info(path);
    if (info.exists()) {
        if (!info.isFile()) {
            qWarning() << "Not a regular file:" << path;
            return false;
        }
        QByteArray text;
        QString reason;
        if (!readWholeFile(path, &text, &reason, maxDockerConfigSize)) {
            qWarning() << "Failed to read" << path << reason;
            return false;
        }
        if (!text.isEmpty()) {
            // The file belongs to the engine; anything we cannot merge into is left alone.
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(text, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject()) {
                qWarning() << "Not a JSON object, left unchanged:" << path;
                return false;
            }
            config = document.object();
        }
    }
    config.insert(QStringLiteral("bip"), value);
    const QByteArray bytes = QJsonDocument(config).toJson(QJsonDocument::Indented);
    // The indented form can outgrow a compact file near the cap.
    return editFitsCap(path, bytes, maxDockerConfigSize) && writeFileAtomically(path, bytes);
}
