// The daemon's fixed paths and names, built in order before main().
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

const QString dbusServiceName = QStringLiteral("cn.selvane.Vexa.Pref");
const QString dbusObjectPath = QStringLiteral("/cn/selvane/Vexa/Pref");

const QString daemonLogPath = QStringLiteral("/var/log/tarvo-vexa-settings-daemon.log");
const QString autoStartEntryPath = QStringLiteral("/etc/xdg/autostart/bootlane.desktop");
const QString runtimeDataDir = QStringLiteral(VEXA_RUNTIME_DATA_DIR);

const QString processEnvironmentPattern = QStringLiteral("/proc/%1/environ");

const QString containerDataPattern = QStringLiteral("vexa-%1-%2/data");
const QStringList containerLogFolders = {QStringLiteral("klog"), QStringLiteral("anr"),
                                         QStringLiteral("system/dropbox"), QStringLiteral("tombstones")};
const QString runtimeLogPath = QStringLiteral("/var/log/vexa.log");
const QString logStagingPath = QStringLiteral("/run/tarvo-vexa-settings-daemon");
const QString logStagingFolderPattern = QStringLiteral("collection-%1");
const QString inheritedFolderPattern = QStringLiteral("/proc/self/fd/%1/%2");
const QString collectionPathMarker = QStringLiteral("/VexaLog/");
const QString cpProgramPath = QStringLiteral("/bin/cp");
const QString chmodProgramPath = QStringLiteral("/bin/chmod");
const QString zipProgramPath = QStringLiteral("/bin/zip");
const QString zipFallbackProgramPath = QStringLiteral("/usr/bin/zip");
const QString chownProgramPath = QStringLiteral("/bin/chown");
