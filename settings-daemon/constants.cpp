#include "constants.h"

// One translation unit keeps the construction order fixed: the log mutex
// first, then the path strings.
QMutex logMutex;
const QString gamesJsonPath = QStringLiteral("/usr/share/vexa/games.json");
const QString dockerDaemonJsonPath = QStringLiteral("/etc/docker/daemon.json");
const QString warningJsonPath = QStringLiteral("/usr/share/vexa/warning.json");
const QString settingsProgramPath = QStringLiteral("/usr/bin/tarvo-vexa-settings");
const QString windowProgramPath = QStringLiteral("/usr/bin/tarvo-vexa-window");
const QString managerProgramPath = QStringLiteral("/usr/bin/tarvo-vexa-manager");

const QString daemonLogPath = QStringLiteral("/var/log/tarvo-vexa-settings-daemon.log");
const QString autoStartEntryPath = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
const QString runtimeDataDir = QStringLiteral(VEXA_RUNTIME_DATA_DIR);
