#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The handler that was installed before ours; set once in main().
extern QtMessageHandler previousMessageHandler;

// The full log line for one message: level prefix, the filled-in fields and a
// trailing line feed. A null string for a message type the log does not know.
QString composeLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Appends bytes to the file at path under logMutex, opening and closing the
// file for this one write so that a rotated or removed log is created anew.
bool appendToLogFile(const QString &path, const QByteArray &bytes);

// Writes one message to the log file at path and, once written, passes the
// composed line on to previousMessageHandler. A message that cannot be written
// is dropped and not passed on.
void handleLogMessage(const QString &path, QtMsgType type, const QMessageLogContext &context,
                      const QString &message);

// Installed with qInstallMessageHandler: writes every message to the daemon's
// log file, then passes the composed line on to previousMessageHandler.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
