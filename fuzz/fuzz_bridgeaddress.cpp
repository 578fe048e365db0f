// Bridge address merge into the container engine's configuration. Input
// fields: value, file content (no content field: no file).
//
// Invariants: only an IPv4 address with a prefix length 0..32 and nothing
// else is accepted (checked against an independent reading of the value);
// false leaves the file byte for byte (or missing); a missing or empty file
// becomes {"bip": value}; a JSON object keeps every other member; anything
// else is refused; the written file parses; no temporary file stays.

#include "dockerconfig.h"
#include "fuzzhelpers.h"

#include <QJsonObject>

static const QString fileName = QStringLiteral("daemon.json");

enum class Verdict { Invalid, Valid, Either };

// Strict dotted quad with a prefix, ASCII digits only. Leading zeros ("01")
// are read differently by different tools, so either answer is accepted.
static Verdict judge(const QString &value)
{
    const QStringList addressAndPrefix = value.split(QLatin1Char('/'));
    if (addressAndPrefix.size() != 2)
        return Verdict::Invalid;
    QStringList numbers = addressAndPrefix.at(0).split(QLatin1Char('.'));
    if (numbers.size() != 4)
        return Verdict::Invalid;
    numbers << addressAndPrefix.at(1);
    bool leadingZero = false;
    for (int i = 0; i < numbers.size(); ++i) {
        const QString &number = numbers.at(i);
        if (number.isEmpty() || number.size() > 3)
            return Verdict::Invalid;
        int n = 0;
        for (const QChar c : number) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Verdict::Invalid;
            n = n * 10 + (c.unicode() - '0');
        }
        if (n > (i == 4 ? 32 : 255))
            return Verdict::Invalid;
        if (number.size() > 1 && number.at(0) == QLatin1Char('0'))
            leadingZero = true;
    }
    return leadingZero ? Verdict::Either : Verdict::Valid;
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
    const QString value = Fuzz::text(fields.at(0));
    const QByteArray content = fields.value(1);
    const bool existed = fields.size() > 1;
    scratch.reset(fileName, existed ? &content : nullptr);

    const Verdict verdict = judge(value);
    const bool valid = isValidBridgeAddress(value);
    if (verdict != Verdict::Either)
        FUZZ_CHECK(valid == (verdict == Verdict::Valid), value.toUtf8());

    const bool result = setBridgeAddressInFile(scratch.path(fileName), value);

    bool exists = false;
    const QByteArray after = scratch.read(fileName, &exists);
    FUZZ_CHECK(scratch.strays(fileName).isEmpty(), scratch.strays(fileName).join(QLatin1Char(' ')).toUtf8());
    FUZZ_CHECK(!result || valid, value.toUtf8());
    if (!result) {
        FUZZ_CHECK(exists == existed && after == content,
                   "refused but changed:\n" + content + "\n----\n" + after);
    } else {
        FUZZ_CHECK(Fuzz::parsesAsObject(after), after);
        FUZZ_CHECK(QJsonDocument::fromJson(after).object().value(QStringLiteral("bip")).toString() == value,
                   after);
    }

    // What a usable file turns into; a NUL byte in the content is left to the
    // implementation (it may read the text up to it or refuse it).
    QJsonObject object;
    bool usable = !existed || content.isEmpty();
    if (!usable) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(content, &error);
        usable = error.error == QJsonParseError::NoError && document.isObject();
        object = document.object();
    }
    if (!valid || (!usable && content.contains('\0')))
        return 0;
    FUZZ_CHECK(result == usable, content);
    if (!result)
        return 0;
    object.insert(QStringLiteral("bip"), value);
    const QByteArray expected = QJsonDocument(object).toJson();
    FUZZ_CHECK(after == expected, after + "\n---- expected ----\n" + expected);
    return 0;
}
