// Removes an application from the runtime's warning list.
#pragma once

#include <QString>

// The warning list: a JSON object with the arrays "games" and "pay" of
// entries keyed "pkgName". Takes the first matching entry off each list and
// writes the file once; true when anything was removed and written. A file
// past maxListFileSize (or a rewrite that would be) answers false, logged,
// and stays as it was.
bool removeAppFromWarningListFile(const QString &path, const QString &pkgName);
