// Reads a calling process's start-up environment and executable from /proc.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The two tests of the caller check on the calling process, as plain
// functions so that they run without a bus. Each logs why it refuses.

// True when the environment (entries separated by NUL bytes, as
// /proc/PID/environ holds it) sets LD_PRELOAD, LD_LIBRARY_PATH or LD_AUDIT,
// even to an empty value. It is taken as a text-mode read gives it (no CR),
// and a line feed inside a value also starts an entry, which errs on the
// side of refusing.
bool environmentHasLoaderOverride(const QByteArray &environment);

// True when the start-up environment of process pid can be read whole and
// sets no loader override. Logs "open env file failed: " with the path, or
// "access limited!".
bool callerEnvironmentIsClean(int pid);

// True when the executable of process pid is one of permittedCallers: its
// canonical path is in the list and it is the very file at that path, by
// device and inode, so that a program mounted over a permitted path in
// another mount namespace does not pass. Logs "invalid pid:" with the pid,
// or "checkWhiteList failed: " with the canonical path.
bool callerExecutableIsPermitted(int pid, const QStringList &permittedCallers);
