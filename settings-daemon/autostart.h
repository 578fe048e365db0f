#pragma once

#include <QString>

// "true" writes the runtime's autostart entry at path, "false" removes it;
// anything else changes nothing and answers false.
bool setAutoStartEntry(const QString &path, const QString &checked);
