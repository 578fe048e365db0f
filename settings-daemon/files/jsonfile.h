// Reads and writes the runtime's JSON list files, within their caps.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// How the runtime's JSON lists are read: as UTF-8 text that ends at the
// first NUL byte, with what cannot be decoded taken as U+FFFD. Only a JSON
// object is usable; anything else answers false.
bool parseJsonObject(QByteArray bytes, QJsonObject *object);

// How reading a list file went.
enum class ListRead { Read, Missing, TooLarge, Failed };

// The bytes of the list file at path, read whole, at most maxListFileSize of
// them. A file that cannot be read reads as empty, which no list accepts; one
// past the cap is left alone and logged. *status (when given) tells which.
QByteArray readListFile(const QString &path, ListRead *status = nullptr);

// Whether the list file at path, which holds bytes, may be rewritten: its
// text up to the first NUL must be UTF-8 throughout. The edit goes through
// Qt's strings, which would put U+FFFD in place of any other byte in members
// it claims to keep; such a file is no JSON text and stays as it is: this
// logs why.
bool isRewritable(const QString &path, QByteArray bytes);

// The object as the lists are written: Qt's indented JSON, with U+FEFF
// escaped so that a string that starts with it reads back whole.
QByteArray jsonObjectFileBytes(const QJsonObject &object);

// Replaces the list file at path with the object as the lists are written,
// unless the text would pass maxListFileSize: then it logs why and answers
// false, and the file stays as it was.
bool writeListFile(const QString &path, const QJsonObject &object);
