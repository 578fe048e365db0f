#pragma once

// Small file helpers shared by the unit tests of the daemon's file functions.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <csignal>
#include <sys/resource.h>

namespace FileTest {

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

// A file of size bytes that takes no room on disk, for sizes past what a
// whole-file read takes.
inline bool makeSparseFile(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// Every entry of dir, hidden ones included, sorted by name: shows leftover
// temporary files.
inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// Empties dir, so that each test case starts afresh.
inline void emptyDirectory(const QString &dir)
{
    for (const QString &entry : entries(dir)) {
        const QString path = dir + QLatin1Char('/') + entry;
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
    }
}

// Lowers the file size limit for its lifetime, so that a write beyond it
// fails with EFBIG as on a full disk (SIGXFSZ is ignored meanwhile).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool ok() const { return m_ok; }

private:
    struct rlimit m_old = {};
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};

} // namespace FileTest
