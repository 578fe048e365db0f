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
// becomes a single "\n"; new values are written as UTF-8. A missing file reads as empty and is created.
// A value holding CR, LF or NUL, an existing path that is not a readable
// regular file, or a failed write answers false with the file left as it was.
bool setPhoneInfoInFile(const QString &path, const PhoneIdentity &identity);
