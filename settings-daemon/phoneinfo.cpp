#include "phoneinfo.h"

#include "fileio.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct IdentityKey
{
    const char *key;
    QString PhoneIdentity::*value;
};

// The order is both the order of the tests on a line and the order in which
// missing keys are appended. No key is a prefix of another.
const IdentityKey identityKeys[] = {
    {"ro.custom.manufacturer=", &PhoneIdentity::vendor},
    {"ro.custom.brand=", &PhoneIdentity::brand},
    {"ro.custom.product=", &PhoneIdentity::name},
    {"ro.custom.model=", &PhoneIdentity::model},
    {"ro.custom.device=", &PhoneIdentity::equip},
    {"ro.serialno=", &PhoneIdentity::serialno},
    {"ro.custom.imei=", &PhoneIdentity::imei},
};
constexpr int keyCount = int(sizeof(identityKeys) / sizeof(identityKeys[0]));

// A line break in a value would let the caller add properties of its own.
bool isSingleLine(const QString &value)
{
    return !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r'))
        && !value.contains(QChar(0));
}

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The path comes from the caller: a FIFO or a device there must neither block
// the daemon nor be read without end, so only a regular file is read. A
// missing file reads as empty.
bool readPropertyFile(const QString &path, QByteArray *content)
{
    content->clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        qWarning() << "Failed to read" << path << lastError();
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        qWarning() << "Not a regular file:" << path;
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        qWarning() << "Failed to read" << path << file.errorString();
        return false;
    }
    *content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qWarning() << "Failed to read" << path << file.errorString();
        return false;
    }
    return true;
}

} // namespace

bool setPhoneInfoInFile(const QString &path, const PhoneIdentity &identity)
{
    QByteArray values[keyCount];
    for (int row = 0; row < keyCount; ++row) {
        const QString &value = identity.*identityKeys[row].value;
        if (!isSingleLine(value))
            return false;
        values[row] = value.toUtf8();
    }

    QByteArray content;
    if (!readPropertyFile(path, &content))
        return false;

    // Works on bytes, not on a decoded text stream, so that lines we do not
    // rewrite keep whatever encoding (or invalid bytes) they have.
    QByteArray output;
    output.reserve(content.size() + 256);
    // A byte order mark is no part of the first line, but it stays in front.
    static const char byteOrderMark[] = "\xef\xbb\xbf";
    int start = 0;
    if (content.startsWith(byteOrderMark)) {
        output += byteOrderMark;
        start = 3;
    }
    bool seen[keyCount] = {};
    while (start < content.size()) {
        int end = content.indexOf('\n', start);
        if (end < 0)
            end = content.size();
        int length = end - start;
        // A CR right before the line's end (the LF, or the end of the file)
        // belongs to it; elsewhere it is part of the line.
        if (length > 0 && content.at(end - 1) == '\r')
            --length;
        const QByteArray line = QByteArray::fromRawData(content.constData() + start, length);

        int match = -1;
        for (int row = 0; row < keyCount && match < 0; ++row) {
            if (line.startsWith(identityKeys[row].key))
                match = row;
        }
        if (match >= 0) {
            output += identityKeys[match].key;
            output += values[match];
            seen[match] = true;
        } else {
            output += line;
        }
        output += '\n';
        start = end + 1;
    }
    for (int row = 0; row < keyCount; ++row) {
        if (!seen[row]) {
            output += identityKeys[row].key;
            output += values[row];
            output += '\n';
        }
    }
    return writeFileAtomically(path, output);
}
