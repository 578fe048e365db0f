#include "gamewhitelist.h"
// TODO(file methods): implemented in its own change.
bool isGameInWhiteList(const QString &, const QString &) { return false; }
bool addGameToWhiteListFile(const QString &, const QString &, const QString &) { return false; }
bool removeGameFromWhiteListFile(const QString &, const QString &) { return false; }
