// Stages a collection's sources, as root, in the daemon's private folder.
#pragma once

#include "fileio.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

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
