#pragma once

#include <QByteArray>
#include <QString>

// Replaces the file at path with content atomically: the bytes go to a
// temporary file in the same directory, are synced, and the temporary file is
// renamed over the old one. An existing file keeps its permission bits, owner
// and group; a new one gets the default mode (0666 less the umask). On any
// failure the old file is left byte for byte as it was, no temporary file is
// left behind, a warning naming the file is logged, and false is returned.
bool writeFileAtomically(const QString &path, const QByteArray &content);
