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
bool setPhoneInfoInFile(const QString &path, const PhoneIdentity &identity);
