#include "dockerconfig.h"
// TODO(file methods): implemented in its own change.
bool isValidBridgeAddress(const QString &) { return false; }
bool setBridgeAddressInFile(const QString &, const QString &) { return false; }
