// Stages a collection's sources, as root, in the daemon's private folder.
#pragma once

#include "fileio.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <sys/statvfs.h>

struct LogCollectionSetup;

// The daemon's part of a collection: copies the runtime's log and the
// container's log folders (containerData beneath setup.containerRoot) into a
// new folder staging in the private staging root, which only the daemon can
// enter. *staged gets the names the user's copies take from it. Returns the
// folder as an O_PATH descriptor for the user's tools, or none when nothing
// could be staged.
//
// The staging file system (/run) is memory shared with the whole system and
// with the other collections: each collection may hold at most its share of
// the room the daemon may use there (three quarters of it, split among
// maxCollectionsAtOnce), and reserves each entry before it copies it, so
// collections side by side never pass the quarter kept free together.
Fd stageSources(const LogCollectionSetup &setup, const QString &containerData, const QString &staging,
                const QDeadlineTimer &deadline, QStringList *staged);

// Removes path, a folder inside the private staging root, links not followed.
void removeStaged(const QString &path);

// Removes whatever an earlier process left in the staging root (when it is
// private, as collectLogs requires). Run at start, before any collection.
void removeStaleStaging(const QString &stagingRoot);

// What the collections side by side have reserved of the staging file system
// and not yet written: the file system's own count does not show it yet.
struct StagingRoom
{
    QMutex lock;
    qint64 pendingBytes = 0;
    qint64 pendingInodes = 0;
};

// How a folder's file system is read: fstatvfs, or a test's stand-in.
using RoomReader = int (*)(int folder, struct statvfs *space);

// One collection's share of the staging file system (three quarters of it are
// the daemon's to use, a maxCollectionsAtOnce-th of that each collection's),
// and what it holds, reading the file system of folder with read.
class StagingShare
{
public:
    StagingShare(StagingRoom &room, int folder, RoomReader read);

    // Reserves an entry of size bytes in the open folder; a null reason when
    // it fits, else why not. release() gives the reservation back once the
    // entry is written (the file system counts it then).
    const char *reserve(int folder, qint64 size);
    void release();

private:
    StagingRoom &m_room;
    RoomReader m_read;
    qint64 m_bytes = 0;
    qint64 m_inodes = 0;
    qint64 m_bytesUsed = 0;
    qint64 m_inodesUsed = 0;
    qint64 m_pending = 0;
};
