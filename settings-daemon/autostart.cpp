#include "autostart.h"
// TODO(file methods): implemented in its own change.
bool setAutoStartEntry(const QString &, const QString &) { return false; }
