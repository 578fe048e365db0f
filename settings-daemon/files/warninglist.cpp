// Removes an application from the runtime's warning list.
#include "warninglist.h"

#include "fileio.h"
#include "jsonfile.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

const QString gamesKey = QStringLiteral("games");
const QString payKey = QStringLiteral("pay");
// Capital N here, unlike the game whitelist's "pkgname".
const QString pkgNameKey = QStringLiteral("pkgName");

// Takes the first entry whose "pkgName" equals pkgName off the list. A
// missing or non-string "pkgName", and an element that is no object, read as "".
bool removeFirst(QJsonArray *list, const QString &pkgName)
{
    for (int i = 0; i < list->size(); ++i) {
        if (list->at(i).toObject().value(pkgNameKey).toString() == pkgName) {
            list->removeAt(i);
            return true;
        }
    }
    return false;
}

} // namespace

bool removeAppFromWarningListFile(const QString &path, const QString &pkgName)
{
    // An empty name would match entries that have no name at all.
    if (pkgName.isEmpty())
        return false;

    // Read in text mode, without carriage returns.
    const QByteArray bytes = withoutCarriageReturns(readListFile(path));
    QJsonObject object;
    if (!parseJsonObject(bytes, &object))
        return false;
    // Without "games" nothing is removed, even from "pay".
    if (!object.contains(gamesKey))
        return false;

    // A list that is missing or not an array is empty, and is written so.
    QJsonArray games = object.value(gamesKey).toArray();
    QJsonArray pay = object.value(payKey).toArray();
    const bool fromGames = removeFirst(&games, pkgName);
    const bool fromPay = removeFirst(&pay, pkgName);
    if ((!fromGames && !fromPay) || !isRewritable(path, bytes))
        return false;

    // One write carries both removals; other top-level members are kept.
    object.insert(gamesKey, games);
    object.insert(payKey, pay);
    return writeListFile(path, object);
}
