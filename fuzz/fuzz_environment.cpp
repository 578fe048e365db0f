// The caller check's environment parser on any bytes, as /proc/PID/environ
// could hold them.
//
// Invariants: the verdict is true exactly when, once every CR is taken out,
// one of the three loader names followed by "=" starts the text or follows a
// NUL or a line feed; and hiding a forbidden entry behind any input (after a
// NUL) is always found.

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray environment(reinterpret_cast<const char *>(data), int(size));
    const bool verdict = environmentHasLoaderOverride(environment);
    FUZZ_CHECK(verdict == expectedVerdict(environment), environment.toHex());
    FUZZ_CHECK(environmentHasLoaderOverride(environment + QByteArrayLiteral("\0LD_AUDIT=")),
               environment.toHex());
    return 0;
}
