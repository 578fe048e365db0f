// The game whitelist's two edits: add a game, remove one.

#pragma once

#include <QString>

// The game whitelist: a JSON object whose "games" array lists entries with
// "appname" and "pkgname". Each call reads the file at path afresh, once.
// A file past maxListFileSize is never edited: add and remove answer false
// and log it, as they do for an edit that would take the file past the cap.

// Appends an entry unless an entry's "pkgname" equals pkgName exactly (then
// true, no write). False when the file is missing or unusable, or the write
// fails. A file that exists but cannot be read whole logs "Failed to open
// <path>", here and in the removal.
bool addGameToWhiteListFile(const QString &path, const QString &appName, const QString &pkgName);

// Removes the first entry matching pkgName. True when the package was not
// listed or was removed; false when the text the edit reads (without carriage
// returns) does not list it, or the write fails.
bool removeGameFromWhiteListFile(const QString &path, const QString &pkgName);
