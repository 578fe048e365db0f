#include "gamewhitelist.h"

#include "fileio.h"
#include "jsonfile.h"

#include <QDebug>
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
    return writeFileAtomically(path, jsonObjectFileBytes(object));
}

// What the lookup read and made of it, so that the method that goes on to
// edit need not parse the very same bytes a second time.
struct Lookup
{
    bool read = false;   // false when the file was missing or could not be read whole
    QByteArray bytes;
    bool usable = false; // the bytes hold a JSON object
    QJsonObject object;
    int index = -1;      // of the first matching entry
};

Lookup lookUp(const QString &path, const QString &pkgName)
{
    Lookup lookup;
    QString reason;
    bool missing = false;
    if (!readWholeFile(path, &lookup.bytes, &reason, &missing)) {
        if (!missing)
            qWarning() << QStringLiteral("Failed to open %1").arg(path);
        return lookup;
    }
    lookup.read = true;

    lookup.usable = parseJsonObject(lookup.bytes, &lookup.object);
    if (!lookup.usable)
        return lookup;
    const QJsonValue games = lookup.object.value(gamesKey);
    if (games.isArray())
        lookup.index = indexOfGame(games.toArray(), pkgName);
    return lookup;
}

// Reads the file again for the edit. Parsing depends on nothing but the
// bytes, so when they equal the lookup's (the usual case: no carriage
// return, no change in between) its result stands and *same is set; a large
// list is then parsed once per call instead of twice.
bool readAgain(const QString &path, const Lookup &lookup, QJsonObject *object, bool *same)
{
    const QByteArray bytes = readJsonFileText(path);
    *same = lookup.read && bytes == lookup.bytes;
    if (!*same)
        return parseJsonObject(bytes, object);
    if (lookup.usable)
        *object = lookup.object;
    return lookup.usable;
}

} // namespace

bool isGameInWhiteList(const QString &path, const QString &pkgName)
{
    return lookUp(path, pkgName).index >= 0;
}

bool addGameToWhiteListFile(const QString &path, const QString &appName, const QString &pkgName)
{
    // A listed package keeps its entry as it is, even under another appName.
    Lookup lookup = lookUp(path, pkgName);
    if (lookup.index >= 0)
        return true;

    // The daemon edits an existing object only; it never creates the file
    // nor replaces one it cannot understand.
    QJsonObject object;
    bool same = false;
    if (!readAgain(path, lookup, &object, &same))
        return false;
    lookup = Lookup();

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
    Lookup lookup = lookUp(path, pkgName);
    if (lookup.index < 0)
        return true;

    // The file is read again: it may have changed since the lookup.
    QJsonObject object;
    bool same = false;
    if (!readAgain(path, lookup, &object, &same))
        return false;
    const QJsonValue value = object.value(gamesKey);
    if (!value.isArray())
        return false;
    QJsonArray games = value.toArray();
    const int index = same ? lookup.index : indexOfGame(games, pkgName);
    lookup = Lookup();
    if (index < 0)
        return false;
    // Later duplicates stay; each call takes out one entry.
    games.removeAt(index);
    return writeGames(path, object, games);
}
