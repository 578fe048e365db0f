// The game whitelist's edits on the JSON file.

#include "gamewhitelist.h"

#include "fileio.h"
#include "jsonfile.h"

#include <QDebug>
#include <QJsonArray>
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
    return writeListFile(path, object);
}

// The file's bytes as one call reads them, once: the daemon serves one call
// at a time, so a second read would find the same bytes. A file that cannot
// be read reads as empty, which is never usable; only a file that exists
// logs why.
//
// Whether a package is listed is judged on the bytes as they are, the edit
// on what a read in text mode gives, without carriage returns. The two
// differ only when the file holds a CR (inside a string or a literal it
// changes what parses), so only then is the text parsed a second time.
QByteArray readWhiteList(const QString &path, bool *tooLarge = nullptr)
{
    ListRead status = ListRead::Read;
    const QByteArray bytes = readListFile(path, &status);
    if (status == ListRead::Failed)
        qWarning() << QStringLiteral("Failed to open %1").arg(path);
    if (tooLarge)
        *tooLarge = status == ListRead::TooLarge;
    return bytes;
}

// Index of the first entry of the object's "games" whose "pkgname" equals
// pkgName, or -1, also when "games" is missing or not an array.
int indexInObject(const QJsonObject &object, const QString &pkgName)
{
    const QJsonValue games = object.value(gamesKey);
    return games.isArray() ? indexOfGame(games.toArray(), pkgName) : -1;
}

} // namespace

bool addGameToWhiteListFile(const QString &path, const QString &appName, const QString &pkgName)
{
    bool tooLarge = false;
    const QByteArray bytes = readWhiteList(path, &tooLarge);
    if (tooLarge)
        return false;
    QJsonObject object;
    bool usable = parseJsonObject(bytes, &object);
    // A listed package keeps its entry as it is, even under another appName.
    if (usable && indexInObject(object, pkgName) >= 0)
        return true;

    if (bytes.contains('\r'))
        usable = parseJsonObject(withoutCarriageReturns(bytes), &object);
    // The daemon edits an existing object only; it never creates the file
    // nor replaces one it cannot understand.
    if (!usable || !isRewritable(path, withoutCarriageReturns(bytes)))
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
    // A file past its cap is left alone, and the call says so: it is not
    // known whether the package is listed.
    bool tooLarge = false;
    const QByteArray bytes = readWhiteList(path, &tooLarge);
    if (tooLarge)
        return false;
    QJsonObject object;
    int index = parseJsonObject(bytes, &object) ? indexInObject(object, pkgName) : -1;
    // Nothing to take out, whatever state the file is in.
    if (index < 0)
        return true;

    if (bytes.contains('\r')) {
        // The text the edit reads may list the package elsewhere or not at all.
        if (!parseJsonObject(withoutCarriageReturns(bytes), &object))
            return false;
        index = indexInObject(object, pkgName);
        if (index < 0)
            return false;
    }
    if (!isRewritable(path, withoutCarriageReturns(bytes)))
        return false;
    QJsonArray games = object.value(gamesKey).toArray();
    // Later duplicates stay; each call takes out one entry.
    games.removeAt(index);
    return writeGames(path, object, games);
}
