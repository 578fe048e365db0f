// Game whitelist edits on arbitrary file content and package names. Input
// fields: operation (first byte: add, remove, or add then remove), appName,
// pkgName, file content (no content field: no file).
//
// Invariants: a false result leaves the file byte for byte (or missing); a
// usable file always gets its answer (add true, remove true), but one that is
// not UTF-8 throughout is never rewritten (false); a written file
// is exactly Qt's indented JSON (U+FEFF escaped) of the old object with "games" edited as the
// lookup says, every other top-level member kept; an added package is listed
// in the file afterwards; no temporary file stays.

#include "fuzzhelpers.h"
#include "gamewhitelist.h"

#include <QJsonArray>
#include <QJsonObject>

static const QString fileName = QStringLiteral("games.json");

// Index of the first entry matching pkgName, -1 when none.
static int firstMatch(const QJsonArray &games, const QString &pkgName)
{
    for (int i = 0; i < games.size(); ++i) {
        if (games.at(i).toObject().value(QStringLiteral("pkgname")).toString() == pkgName)
            return i;
    }
    return -1;
}

struct Parsed
{
    bool usable = false;
    QJsonObject object;
    QJsonArray games; // empty when "games" is missing or not an array
    bool gamesIsArray = false;
};

// The lookup reads the file as it is; the edits read it in text mode, which
// drops every CR byte (it only matters inside strings, where strict JSON
// allows no raw CR anyway, but Qt's parser accepts one).
static Parsed parse(bool exists, QByteArray bytes, bool textMode)
{
    Parsed parsed;
    if (!exists)
        return parsed;
    if (textMode)
        bytes.replace('\r', QByteArray());
    const QJsonDocument document = Fuzz::parseAsTheDaemonDoes(bytes);
    if (document.isNull())
        return parsed;
    parsed.usable = true;
    parsed.object = document.object();
    const QJsonValue games = parsed.object.value(QStringLiteral("games"));
    parsed.gamesIsArray = games.isArray();
    parsed.games = games.toArray();
    return parsed;
}

// The file format: Qt's indented JSON with U+FEFF escaped (Qt's parser would
// drop it at the start of a string).
static QByteArray withGames(QJsonObject object, const QJsonArray &games)
{
    object.insert(QStringLiteral("games"), games);
    return QJsonDocument(object).toJson().replace("\xef\xbb\xbf", "\\ufeff");
}

static void checkAdd(Fuzz::Scratch &scratch, const QString &appName, const QString &pkgName)
{
    bool existed = false;
    const QByteArray before = scratch.read(fileName, &existed);
    const Parsed lookup = parse(existed, before, false);
    const bool listed = lookup.gamesIsArray && firstMatch(lookup.games, pkgName) >= 0;
    const Parsed old = parse(existed, before, true);

    const bool result = addGameToWhiteListFile(scratch.path(fileName), appName, pkgName);

    bool exists = false;
    const QByteArray after = scratch.read(fileName, &exists);
    FUZZ_CHECK(exists == existed, before);
    FUZZ_CHECK(scratch.strays(fileName).isEmpty(), scratch.strays(fileName).join(QLatin1Char(' ')).toUtf8());
    // The text the edit reads: without carriage returns.
    const bool rewritable = Fuzz::isUtf8UpToNul(QByteArray(before).replace('\r', QByteArray()));
    FUZZ_CHECK(result == (listed || (old.usable && rewritable)), before);
    if (!result || listed) {
        FUZZ_CHECK(after == before, "add changed a file it should not have:\n" + before + "\n----\n" + after);
        return;
    }
    QJsonArray games = old.games;
    games.append(QJsonObject {{QStringLiteral("appname"), appName}, {QStringLiteral("pkgname"), pkgName}});
    const QByteArray expected = withGames(old.object, games);
    FUZZ_CHECK(after == expected, after + "\n---- expected ----\n" + expected);
    FUZZ_CHECK(Fuzz::parsesAsObject(after), after);
    const Parsed written = parse(true, after, false);
    FUZZ_CHECK(written.gamesIsArray && firstMatch(written.games, pkgName) >= 0, after);
}

static void checkRemove(Fuzz::Scratch &scratch, const QString &pkgName)
{
    bool existed = false;
    const QByteArray before = scratch.read(fileName, &existed);
    const Parsed lookup = parse(existed, before, false);
    const bool listed = lookup.gamesIsArray && firstMatch(lookup.games, pkgName) >= 0;
    const Parsed old = parse(existed, before, true);
    const int match = old.gamesIsArray ? firstMatch(old.games, pkgName) : -1;

    const bool result = removeGameFromWhiteListFile(scratch.path(fileName), pkgName);

    bool exists = false;
    const QByteArray after = scratch.read(fileName, &exists);
    FUZZ_CHECK(exists == existed, before);
    FUZZ_CHECK(scratch.strays(fileName).isEmpty(), scratch.strays(fileName).join(QLatin1Char(' ')).toUtf8());
    // Not listed: true, nothing written. Listed: the entry goes, unless the
    // second read no longer finds it (only a CR inside a string does that here).
    const bool rewritable = Fuzz::isUtf8UpToNul(QByteArray(before).replace('\r', QByteArray()));
    FUZZ_CHECK(result == (!listed || (match >= 0 && rewritable)), before);
    if (!listed || match < 0 || !rewritable) {
        FUZZ_CHECK(after == before,
                   "remove changed a file it should not have:\n" + before + "\n----\n" + after);
        return;
    }
    QJsonArray games = old.games;
    games.removeAt(match);
    const QByteArray expected = withGames(old.object, games);
    FUZZ_CHECK(after == expected, after + "\n---- expected ----\n" + expected);
    FUZZ_CHECK(Fuzz::parsesAsObject(after), after);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(Fuzz::silentHandler);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fuzz::Scratch scratch;
    const QList<QByteArray> fields = Fuzz::split(data, size, 4);
    if (fields.size() < 3)
        return 0;
    const char operation = fields.at(0).isEmpty() ? 'a' : fields.at(0).at(0);
    const QString appName = Fuzz::text(fields.at(1));
    const QString pkgName = Fuzz::text(fields.at(2));
    const QByteArray content = fields.value(3);
    scratch.reset(fileName, fields.size() > 3 ? &content : nullptr);

    switch (operation) {
    case 'r':
        checkRemove(scratch, pkgName);
        break;
    case 'b': {
        // Add then remove: an entry that was not there comes and goes, and
        // the rest of the object is as after a plain rewrite.
        checkAdd(scratch, appName, pkgName);
        checkRemove(scratch, pkgName);
        break;
    }
    default:
        checkAdd(scratch, appName, pkgName);
        break;
    }
    return 0;
}
