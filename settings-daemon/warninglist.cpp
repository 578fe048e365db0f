#include "warninglist.h"
// TODO(file methods): implemented in its own change.
bool removeAppFromWarningListFile(const QString &, const QString &) { return false; }
