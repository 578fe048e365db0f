#include "logcollection.h"
// TODO(log collection): implemented in its own change.
bool runProcess(const QString &, const QStringList &) { return false; }
int collectLogs(const LogCollectionSetup &, const QString &, const QString &, const QString &) { return -1; }
