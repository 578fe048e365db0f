// Switches the runtime's desktop autostart entry on and off.
#include "autostart.h"

#include "fileio.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>

// Starts the runtime silently at every desktop login. The entry ends with an
// empty line.
static const char autoStartEntry[] =
    "[Desktop Entry]\n"
    "Name=bootlane\n"
    "Comment=Start Vexa\n"
    "Exec=/usr/bin/bootlane start_vexa_silently\n"
    "Terminal=false\n"
    "Type=Application\n"
    "StartupNotify=false\n"
    "X-GNOME-Autostart-Phase=Applications\n"
    "X-GNOME-Autostart-Notify=true\n"
    "X-GNOME-Autostart-Delay=8\n"
    "NoDisplay=true\n"
    "Categories=\n"
    "\n";

bool setAutoStartEntry(const QString &path, const QString &checked)
{
    if (checked == QLatin1String("true"))
        return writeFileAtomically(path, QByteArray(autoStartEntry, int(sizeof(autoStartEntry) - 1)));

    if (checked == QLatin1String("false")) {
        QFile entry(path);
        if (!entry.exists())
            return false;
        // An entry that stays would still start the runtime at the next login.
        if (!entry.remove()) {
            qWarning() << "Failed to remove" << path << entry.errorString();
            return false;
        }
        return true;
    }
    return false;
}
