// The daemon's fixed paths and names, built in order before main().
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

// Daemon-wide constants. They are defined together in constants.cpp so that
// they are built in this order before main() runs.
extern QMutex logMutex;
extern const QString gamesJsonPath;
extern const QString dockerDaemonJsonPath;
extern const QString warningJsonPath;
extern const QString settingsProgramPath;
extern const QString windowProgramPath;
extern const QString managerProgramPath;

// The bus name the daemon owns and the path of its one object.
extern const QString dbusServiceName;
extern const QString dbusObjectPath;

// Fixed paths used by single groups of methods.
extern const QString daemonLogPath;
extern const QString autoStartEntryPath;
// The runtime's data folder (set at build time): property files and the
// containers' log folders lie beneath it.
extern const QString runtimeDataDir;

// The caller check: where the kernel shows a process's start-up environment
// (%1 is the pid), as its log lines name it.
extern const QString processEnvironmentPattern;

// Log collection: where it reads, the tools it runs, and the folder only the
// daemon uses to stage the copies (the unit's RuntimeDirectory=).
extern const QString containerDataPattern;
// The container's log folders, beneath its data folder.
extern const QStringList containerLogFolders;
extern const QString runtimeLogPath;
extern const QString logStagingPath;
// A collection's folder inside logStagingPath (%1 is the uid it is for: one
// collection at a time per user).
extern const QString logStagingFolderPattern;
// How a tool reaches a staged copy: through the folder's descriptor that it
// inherits (%1 is the descriptor, %2 a name in the folder).
extern const QString inheritedFolderPattern;
// A collection folder lies strictly inside a folder of this name.
extern const QString collectionPathMarker;
extern const QString cpProgramPath;
extern const QString chmodProgramPath;
extern const QString zipProgramPath;
extern const QString zipFallbackProgramPath;
extern const QString chownProgramPath;
