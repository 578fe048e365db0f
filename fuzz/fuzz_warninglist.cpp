// Warning list removal on arbitrary file content and package names. Input
// fields: pkgName, file content (no content field: no file).
//
// Invariants: false leaves the file byte for byte (or missing); the answer is
// true exactly when a usable file with a "games" member lists the package in
// "games" or "pay" and is UTF-8 throughout (no other file is rewritten); the written file is Qt's indented JSON of the old object
// with the first match taken off each list, "games" and "pay" as arrays and
// every other top-level member kept; no temporary file stays.

#include "fuzzhelpers.h"
#include "warninglist.h"

#include <QJsonArray>
#include <QJsonObject>

static const QString fileName = QStringLiteral("warning.json");

static bool removeFirst(QJsonArray &list, const QString &pkgName)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).toObject().value(QStringLiteral("pkgName")).toString() == pkgName) {
            list.removeAt(i);
            return true;
        }
    }
    return false;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(Fuzz::silentHandler);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fuzz::Scratch scratch;
    const QList<QByteArray> fields = Fuzz::split(data, size, 2);
    const QString pkgName = Fuzz::text(fields.at(0));
    const QByteArray content = fields.value(1);
    const bool existed = fields.size() > 1;
    scratch.reset(fileName, existed ? &content : nullptr);

    // What the daemon should do, from the file as it reads it.
    bool expectedResult = false;
    QByteArray expectedBytes = content;
    // The file is read in text mode, which drops every CR byte.
    const QJsonDocument document = existed
        ? Fuzz::parseAsTheDaemonDoes(QByteArray(content).replace('\r', QByteArray()))
        : QJsonDocument();
    if (!pkgName.isEmpty() && !document.isNull() && document.object().contains(QStringLiteral("games"))) {
        QJsonObject object = document.object();
        QJsonArray games = object.value(QStringLiteral("games")).toArray();
        QJsonArray pay = object.value(QStringLiteral("pay")).toArray();
        const bool fromGames = object.value(QStringLiteral("games")).isArray() && removeFirst(games, pkgName);
        const bool fromPay = object.value(QStringLiteral("pay")).isArray() && removeFirst(pay, pkgName);
        if ((fromGames || fromPay) && Fuzz::isUtf8UpToNul(QByteArray(content).replace('\r', QByteArray()))) {
            expectedResult = true;
            object.insert(QStringLiteral("games"), games);
            object.insert(QStringLiteral("pay"), pay);
            expectedBytes = QJsonDocument(object).toJson();
        }
    }

    const bool result = removeAppFromWarningListFile(scratch.path(fileName), pkgName);

    bool exists = false;
    const QByteArray after = scratch.read(fileName, &exists);
    FUZZ_CHECK(exists == existed, content);
    FUZZ_CHECK(scratch.strays(fileName).isEmpty(), scratch.strays(fileName).join(QLatin1Char(' ')).toUtf8());
    FUZZ_CHECK(result == expectedResult, content);
    FUZZ_CHECK(after == expectedBytes, after + "\n---- expected ----\n" + expectedBytes);
    if (result)
        FUZZ_CHECK(Fuzz::parsesAsObject(after), after);
    return 0;
}
