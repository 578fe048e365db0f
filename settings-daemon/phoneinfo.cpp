#include "phoneinfo.h"
// TODO(file methods): implemented in its own change.
bool setPhoneInfoInFile(const QString &, const PhoneIdentity &) { return false; }
