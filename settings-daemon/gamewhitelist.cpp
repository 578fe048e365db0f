#include "gamewhitelist.h"

#include "atomicfile.h"
#include "jsonfile.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString gamesKey = QStringLiteral("games");
const QString pkgNameKey = QStringLiteral("pkgname");
const QString appNameKey = QStringLiteral("appname");

// Index of the first entry whose "pkgname" equals pkgName, or -1. A missing
// or non-string "pkgname", and an element that is no object, read as "".
int indexOfGame(const QJsonArray &games, const QString &pkgName)
{
    for (int i = 0; i < games.size(); ++i) {
        if (games.at(i).toObject().value(pkgNameKey).toString() == pkgName)
            return i;
    }
    return -1;
}

// Replaces only "games": members this daemon does not manage are kept.
bool writeGames(const QString &path, QJsonObject object, const QJsonArray &games)
{
    object.insert(gamesKey, games);
    return writeFileAtomically(path, QJsonDocument(object).toJson());
}

} // namespace

bool isGameInWhiteList(const QString &path, const QString &pkgName)
{
    if (!QFile::exists(path))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << QStringLiteral("Failed to open %1").arg(path);
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();

    QJsonObject object;
    if (!parseJsonObject(bytes, &object))
        return false;
    const QJsonValue games = object.value(gamesKey);
    if (!games.isArray())
        return false;
    return indexOfGame(games.toArray(), pkgName) >= 0;
}

bool addGameToWhiteListFile(const QString &path, const QString &appName, const QString &pkgName)
{
    // A listed package keeps its entry as it is, even under another appName.
    if (isGameInWhiteList(path, pkgName))
        return true;

    // The daemon edits an existing object only; it never creates the file
    // nor replaces one it cannot understand.
    QJsonObject object;
    if (!readJsonObjectFile(path, &object))
        return false;

    // A "games" of another type is replaced by the new one-entry list.
    QJsonArray games = object.value(gamesKey).toArray();
    QJsonObject entry;
    entry.insert(pkgNameKey, pkgName);
    entry.insert(appNameKey, appName);
    games.append(entry);
    return writeGames(path, object, games);
}

bool removeGameFromWhiteListFile(const QString &path, const QString &pkgName)
{
    // Nothing to take out, whatever state the file is in.
    if (!isGameInWhiteList(path, pkgName))
        return true;

    // The file is read again: it may have changed since the lookup.
    QJsonObject object;
    if (!readJsonObjectFile(path, &object))
        return false;
    const QJsonValue value = object.value(gamesKey);
    if (!value.isArray())
        return false;
    QJsonArray games = value.toArray();
    const int index = indexOfGame(games, pkgName);
    if (index < 0)
        return false;
    // Later duplicates stay; each call takes out one entry.
    games.removeAt(index);
    return writeGames(path, object, games);
}
