// Switches the runtime's desktop autostart entry on and off.
#pragma once

#include <QString>

// "true" writes the runtime's autostart entry at path (the directory is not
// created), "false" removes it and answers true only when an entry existed
// and is gone; anything else changes nothing and answers false.
bool setAutoStartEntry(const QString &path, const QString &checked);
