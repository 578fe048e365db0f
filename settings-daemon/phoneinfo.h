#pragma once

#include <QString>

// The seven identity values, in the order of the property keys they fill.
struct PhoneIdentity
{
    QString vendor;
    QString brand;
    QString name;
    QString model;
    QString equip;
    QString serialno;
    QString imei;
};

// Rewrites the identity properties in the property file at path: matching
// lines get the new value in place, missing keys are appended in key order.
// Other lines keep their bytes (a leading byte order mark too); every line end
// becomes a single "\n"; new values are written as UTF-8. A missing file
// reads as empty and is created.
//
// The path must lie beneath dataRoot (absolute, no symbolic link anywhere
// below dataRoot) and name a regular file with a single link, or a missing
// one in an existing directory; the file is replaced through its directory's
// descriptor. Any other path, a value holding CR, LF or NUL, a file that
// cannot be read whole, a file past maxPropertyFileSize (or an edit that
// would take it past), or a failed write answers false with nothing created
// or changed; a refused path logs a warning naming it.
bool setPhoneInfoInFile(const QString &dataRoot, const QString &path, const PhoneIdentity &identity);

// For tests: true makes every lookup take the component walk that stands in
// for openat2 where the kernel or a seccomp filter refuses that call.
void setPropertyLookupWalksAlways(bool walk);
