// Property file rewrite with the seven identity values. Input fields: the
// seven values in key order, then the file content (no content field: no
// file).
//
// Invariants: a value holding CR, LF or NUL is refused and the file is left
// byte for byte (or missing); otherwise the call succeeds and the file holds,
// in order, a leading byte order mark, then every old line byte for byte (a
// CRLF line end, or a CR that ends the file, becomes LF) with
// each identity line carrying its new value, then the keys the file lacked,
// in key order, each line ended by one line feed; no temporary file stays.

#include "fuzzhelpers.h"
#include "phoneinfo.h"

#include <QFileInfo>

static const QString fileName = QStringLiteral("build.prop");

static const char *const keys[7] = {
    "ro.custom.manufacturer=", "ro.custom.brand=", "ro.custom.product=", "ro.custom.model=",
    "ro.custom.device=",       "ro.serialno=",     "ro.custom.imei=",
};

static const QByteArray byteOrderMark = "\xef\xbb\xbf";

static QByteArray expectedRewrite(QByteArray old, const QStringList &values)
{
    QByteArray out;
    if (old.startsWith(byteOrderMark)) {
        out = byteOrderMark;
        old.remove(0, 3);
    }
    QList<QByteArray> lines;
    if (!old.isEmpty()) {
        lines = old.split('\n');
        if (old.endsWith('\n'))
            lines.removeLast();
    }
    bool seen[7] = {};
    for (int n = 0; n < lines.size(); ++n) {
        QByteArray line = lines.at(n);
        // A CR is part of the line end right before a LF or the file's end.
        if (line.endsWith('\r'))
            line.chop(1);
        int row = -1;
        for (int i = 0; i < 7 && row < 0; ++i) {
            if (line.startsWith(keys[i]))
                row = i;
        }
        if (row >= 0) {
            seen[row] = true;
            out += keys[row] + values.at(row).toUtf8() + '\n';
        } else {
            out += line + '\n';
        }
    }
    for (int i = 0; i < 7; ++i) {
        if (!seen[i])
            out += keys[i] + values.at(i).toUtf8() + '\n';
    }
    return out;
}

static int keyOf(const QByteArray &line)
{
    for (int i = 0; i < 7; ++i) {
        if (line.startsWith(keys[i]))
            return i;
    }
    return -1;
}

// The rewrite's promise, stated on its own: each key's line carries its new
// value, every key is there, and the other lines are the old file's lines
// (line ends aside), in their order.
static void checkLines(QByteArray old, QByteArray after, const QStringList &values)
{
    FUZZ_CHECK(after.endsWith('\n'), after);
    FUZZ_CHECK(old.startsWith(byteOrderMark) == after.startsWith(byteOrderMark), after);
    if (old.startsWith(byteOrderMark)) {
        old.remove(0, 3);
        after.remove(0, 3);
    }
    QList<QByteArray> kept;
    bool present[7] = {};
    for (const QByteArray &line : after.left(after.size() - 1).split('\n')) {
        const int key = keyOf(line);
        if (key < 0) {
            kept << line;
            continue;
        }
        FUZZ_CHECK(line == keys[key] + values.at(key).toUtf8(), line);
        present[key] = true;
    }
    for (int i = 0; i < 7; ++i)
        FUZZ_CHECK(present[i], keys[i]);
    QList<QByteArray> others;
    if (!old.isEmpty()) {
        QList<QByteArray> lines = QByteArray(old).replace("\r\n", "\n").split('\n');
        // After the last line feed stands a line only when it is not empty;
        // a CR that ends the file ends that line.
        QByteArray last = lines.takeLast();
        if (!last.isEmpty()) {
            if (last.endsWith('\r'))
                last.chop(1);
            lines << last;
        }
        for (const QByteArray &line : std::as_const(lines)) {
            if (keyOf(line) < 0)
                others << line;
        }
    }
    FUZZ_CHECK(kept == others, "other lines lost or moved:\n" + old + "\n----\n" + after);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(Fuzz::silentHandler);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fuzz::Scratch scratch;
    static const QString dataRoot = QFileInfo(scratch.path(fileName)).path();
    const QList<QByteArray> fields = Fuzz::split(data, size, 8);
    if (fields.size() < 7)
        return 0;
    QStringList values;
    bool injects = false;
    for (int i = 0; i < 7; ++i) {
        values << Fuzz::text(fields.at(i));
        injects = injects || values.last().contains(QLatin1Char('\r'))
            || values.last().contains(QLatin1Char('\n')) || values.last().contains(QChar(0));
    }
    const bool existed = fields.size() > 7;
    const QByteArray content = fields.value(7);
    scratch.reset(fileName, existed ? &content : nullptr);

    const PhoneIdentity identity {values.at(0), values.at(1), values.at(2), values.at(3),
                                  values.at(4), values.at(5), values.at(6)};
    PropertyFileSetup setup;
    setup.dataRoot = dataRoot;
    const bool result = setPhoneInfoInFile(setup, scratch.path(fileName), identity);

    bool exists = false;
    const QByteArray after = scratch.read(fileName, &exists);
    FUZZ_CHECK(scratch.strays(fileName).isEmpty(), scratch.strays(fileName).join(QLatin1Char(' ')).toUtf8());
    if (injects) {
        FUZZ_CHECK(!result, values.join(QLatin1Char('|')).toUtf8());
        FUZZ_CHECK(exists == existed && after == content,
                   "refused but changed:\n" + content + "\n----\n" + after);
        return 0;
    }
    FUZZ_CHECK(result, content);
    checkLines(content, after, values);
    const QByteArray expected = expectedRewrite(content, values);
    FUZZ_CHECK(after == expected, after + "\n---- expected ----\n" + expected);
    return 0;
}
