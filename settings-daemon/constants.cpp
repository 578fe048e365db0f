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

const QString containerDataPattern = QStringLiteral("vexa-%1-%2/data");
const QString runtimeLogPath = QStringLiteral("/var/log/vexa.log");
const QString logStagingPath = QStringLiteral("/run/tarvo-vexa-settings-daemon");
const QString cpProgramPath = QStringLiteral("/bin/cp");
const QString chmodProgramPath = QStringLiteral("/bin/chmod");
const QString zipProgramPath = QStringLiteral("/bin/zip");
const QString zipFallbackProgramPath = QStringLiteral("/usr/bin/zip");
const QString chownProgramPath = QStringLiteral("/bin/chown");
