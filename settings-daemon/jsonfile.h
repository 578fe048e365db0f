#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// How the runtime's JSON lists are read: as UTF-8 text that ends at the
// first NUL byte, with what cannot be decoded taken as U+FFFD. Only a JSON
// object is usable; anything else answers false.
bool parseJsonObject(QByteArray bytes, QJsonObject *object);

// The bytes of the file at path as the lists are read: in text mode, so
// without carriage returns. A file that cannot be read whole reads as empty,
// which no list accepts.
QByteArray readJsonFileText(const QString &path);

// Reads and parses the file at path. A file that cannot be read whole reads
// as empty, hence unusable.
bool readJsonObjectFile(const QString &path, QJsonObject *object);

// The object as the lists are written: Qt's indented JSON, with U+FEFF
// escaped so that a string that starts with it reads back whole.
QByteArray jsonObjectFileBytes(const QJsonObject &object);
