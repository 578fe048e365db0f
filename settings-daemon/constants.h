#pragma once

#include <QMutex>
#include <QString>

// Daemon-wide constants. They are defined together in constants.cpp so that
// they are built in this order before main() runs.
extern QMutex logMutex;
extern const QString gamesJsonPath;
extern const QString dockerDaemonJsonPath;
extern const QString warningJsonPath;
extern const QString settingsProgramPath;
extern const QString windowProgramPath;
extern const QString managerProgramPath;

// Fixed paths used by single groups of methods.
extern const QString daemonLogPath;
extern const QString autoStartEntryPath;
// The runtime's data folder (set at build time): property files and the
// containers' log folders lie beneath it.
extern const QString runtimeDataDir;

// Log collection: where it reads, the tools it runs, and the folder only the
// daemon uses to stage the copies (the unit's RuntimeDirectory=).
extern const QString containerDataPattern;
extern const QString runtimeLogPath;
extern const QString logStagingPath;
extern const QString cpProgramPath;
extern const QString chmodProgramPath;
extern const QString zipProgramPath;
extern const QString zipFallbackProgramPath;
extern const QString chownProgramPath;
