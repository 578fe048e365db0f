// Rewrites the phone's identity properties in a property file of the runtime.
#pragma once

#include "constants.h"
#include "fileio.h"

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

// Who asks for an edit, and where a property file may lie.
struct PropertyFileSetup
{
    // The runtime's data folder: every property file lies beneath it.
    QString dataRoot = runtimeDataDir;
    // The caller as the bus reports it; one other than root may neither
    // write inside another account's container folder or folder, nor change
    // another account's file, nor make a file straight in dataRoot.
    uint callerUid = 0;
    // Tests take the walk that stands in for openat2 where it is refused.
    BeneathLookup lookup = BeneathLookup::Kernel;
};

// Rewrites the identity properties in the property file at path: matching
// lines get the new value in place, missing keys are appended in key order.
// Other lines keep their bytes (a leading byte order mark too); every line end
// becomes a single "\n"; new values are written as UTF-8. A missing file
// reads as empty and is created.
//
// The path must lie beneath setup.dataRoot (absolute, no symbolic link
// anywhere below it) and name a regular file with a single link, or a missing
// one in an existing directory; the file is replaced through its directory's
// descriptor (a temporary file made there exclusively, then renamed over it,
// so a folder its owner can write still cannot lead the write elsewhere).
// Any other path, one the caller may not write (see PropertyFileSetup), a
// value holding CR, LF or NUL, a file that cannot be read whole, a sparse one
// (past 64 KiB with fewer blocks than half its bytes), a file past
// maxPropertyFileSize (or an edit that would take it past), or a failed write
// answers false with nothing created or changed; a refused path logs a
// warning naming it.
bool setPhoneInfoInFile(const PropertyFileSetup &setup, const QString &path, const PhoneIdentity &identity);
