// The caller check's environment scan on any bytes, as /proc/PID/environ
// could hold them, whole and in pieces.
//
// Input: a plan of piece sizes, the byte 0x1e, then the environment; without
// a 0x1e the whole input is the environment, scanned in one piece. Each
// byte b of the plan is a piece of b + 1 bytes, the plan taken again from
// its start until the environment is used up.
//
// Invariants: the verdict is true exactly when, once every CR is taken out,
// one of the three loader names followed by "=" starts the text or follows a
// NUL or a line feed; the pieces give the verdict of the whole; and hiding a
// forbidden entry behind any input (after a NUL) is always found.

#include "callerprocess.h"
#include "fuzzhelpers.h"

static bool startsAnEntry(const QByteArray &text, int at)
{
    return at == 0 || text.at(at - 1) == '\0' || text.at(at - 1) == '\n';
}

// Looks for the names where they stand instead of splitting into entries.
static bool expectedVerdict(const QByteArray &environment)
{
    const QByteArray text = QByteArray(environment).replace('\r', QByteArray());
    for (const QByteArray &name : {QByteArrayLiteral("LD_PRELOAD="), QByteArrayLiteral("LD_LIBRARY_PATH="),
                                   QByteArrayLiteral("LD_AUDIT=")}) {
        for (int at = text.indexOf(name); at >= 0; at = text.indexOf(name, at + 1)) {
            if (startsAnEntry(text, at))
                return true;
        }
    }
    return false;
}

static bool verdictInPieces(const QByteArray &environment, const QByteArray &plan)
{
    LoaderOverrideScanner scanner;
    int at = 0;
    for (int step = 0; at < environment.size(); ++step) {
        const int size = plan.isEmpty() ? environment.size() : quint8(plan.at(step % plan.size())) + 1;
        const int piece = qMin(size, environment.size() - at);
        scanner.scan(environment.constData() + at, piece);
        at += piece;
    }
    return scanner.found();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> fields = Fuzz::split(data, size, 2);
    const QByteArray plan = fields.size() == 2 ? fields.first() : QByteArray();
    const QByteArray environment = fields.last();
    const bool verdict = environmentHasLoaderOverride(environment);
    FUZZ_CHECK(verdict == expectedVerdict(environment), environment.toHex());
    FUZZ_CHECK(verdictInPieces(environment, plan) == verdict, plan.toHex() + ' ' + environment.toHex());
    FUZZ_CHECK(environmentHasLoaderOverride(environment + QByteArrayLiteral("\0LD_AUDIT=")),
               environment.toHex());
    return 0;
}
