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
// The runtime's data folder (set at build time): property files lie beneath it.
extern const QString runtimeDataDir;
