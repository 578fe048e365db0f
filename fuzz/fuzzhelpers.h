#pragma once

// Shared by the fuzz targets: splitting an input into fields, a scratch
// directory for the file under test, and invariant checks that abort so
// libFuzzer records the input.
//
// Input format (readable, so seeds can be written by hand): fields separated
// by the byte 0x1e (ASCII record separator). A field that starts with the
// byte 0xff is taken as raw UTF-16 (little endian) after that byte, so lone
// surrogates and other odd strings reach the functions; any other field is
// UTF-8. The last field a target asks for takes the whole rest of the input,
// separators included, and is usually the file's content.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Fuzz {

[[noreturn]] inline void fail(const char *what, const QByteArray &detail = QByteArray())
{
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n%s\n", what, detail.constData());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                                        \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            Fuzz::fail(#condition, (detail));                                                                \
    } while (0)

// Splits data into at most count fields; fewer come back when the input has
// fewer separators, which targets use to mean "no file at all".
inline QList<QByteArray> split(const uint8_t *data, size_t size, int count)
{
    const QByteArray all(reinterpret_cast<const char *>(data), int(size));
    QList<QByteArray> fields;
    int start = 0;
    while (fields.size() < count - 1) {
        const int end = all.indexOf('\x1e', start);
        if (end < 0)
            break;
        fields << all.mid(start, end - start);
        start = end + 1;
    }
    fields << all.mid(start);
    return fields;
}

inline QString text(const QByteArray &field)
{
    if (field.startsWith('\xff')) {
        const QByteArray raw = field.mid(1);
        return QString(reinterpret_cast<const QChar *>(raw.constData()), raw.size() / 2);
    }
    return QString::fromUtf8(field);
}

// One directory for the whole run, on a memory file system when there is one:
// the functions sync every write, which on a disk would dominate the run.
class Scratch
{
public:
    Scratch()
        : m_dir(QDir(QStringLiteral("/dev/shm")).exists()
                    ? QStringLiteral("/dev/shm/vexa-fuzz-XXXXXX")
                    : QDir::tempPath() + QStringLiteral("/vexa-fuzz-XXXXXX"))
    {
        if (!m_dir.isValid())
            fail("cannot create the scratch directory");
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Empties the directory, then writes the file when content is given.
    void reset(const QString &name, const QByteArray *content)
    {
        QDir dir(m_dir.path());
        for (const QString &entry : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
            dir.remove(entry);
        if (!content)
            return;
        QFile file(path(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(*content) != content->size())
            fail("cannot write the input file");
    }

    // The file's bytes; exists is false when there is no file.
    QByteArray read(const QString &name, bool *exists) const
    {
        QFile file(path(name));
        *exists = file.exists();
        if (!*exists)
            return QByteArray();
        if (!file.open(QIODevice::ReadOnly))
            fail("cannot read the file back");
        return file.readAll();
    }

    // Everything in the directory but the file itself: a temporary file left
    // behind by a write.
    QStringList strays(const QString &name) const
    {
        QStringList entries = QDir(m_dir.path())
                                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                             | QDir::NoDotAndDotDot);
        entries.removeAll(name);
        return entries;
    }

private:
    QTemporaryDir m_dir;
};

// The file functions read JSON as UTF-8 text that ends at the first NUL byte.
inline QJsonDocument parseAsTheDaemonDoes(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    const QByteArray text = QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul)).toUtf8();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (document.isNull() || error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonDocument();
    return document;
}

// Whether the text up to the first NUL byte is well-formed UTF-8: no stray
// continuation byte, no overlong form, no surrogate, nothing past U+10FFFF,
// no sequence cut short. Only such a list may be rewritten.
inline bool isUtf8UpToNul(const QByteArray &bytes)
{
    const int end = bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0');
    for (int i = 0; i < end;) {
        const uchar lead = uchar(bytes.at(i));
        const int length = lead < 0x80     ? 1
            : lead >= 0xc2 && lead <= 0xdf ? 2
            : lead >= 0xe0 && lead <= 0xef ? 3
            : lead >= 0xf0 && lead <= 0xf4 ? 4
                                           : 0;
        if (length == 0 || i + length > end)
            return false;
        uint code = length == 1 ? lead : lead & (0x7f >> length);
        for (int k = 1; k < length; ++k) {
            const uchar next = uchar(bytes.at(i + k));
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3f);
        }
        const uint least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += length;
    }
    return true;
}

inline bool parsesAsObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    return error.error == QJsonParseError::NoError && document.isObject();
}

// The messages the functions log on failure are expected; keep the run quiet.
inline void silentHandler(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace Fuzz
