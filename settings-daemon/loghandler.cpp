#include "loghandler.h"

#include "constants.h"

#include <QFile>
#include <QMutexLocker>

QtMessageHandler previousMessageHandler = nullptr;

static QString levelPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("[QDEBUG]:");
    case QtWarningMsg:
        return QStringLiteral("[QWARN]:");
    case QtCriticalMsg:
        return QStringLiteral("[QCRITICAL]:");
    case QtFatalMsg:
        return QStringLiteral("[QFATAL]:");
    case QtInfoMsg:
        return QStringLiteral("[QINFO]:");
    }
    return QString();
}

QString composeLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString prefix = levelPrefix(type);
    if (prefix.isNull())
        return QString();
    // One substitution pass: a "%2" inside the message must stay literal
    // instead of being filled by a later field.
    return prefix
        + QStringLiteral("msg-[%1], file-[%2], func-[%3], category-[%4]\n")
              .arg(message, QString::fromUtf8(context.file), QString::fromUtf8(context.function),
                   QString::fromUtf8(context.category));
}

bool appendToLogFile(const QString &path, const QByteArray &bytes)
{
    QMutexLocker locker(&logMutex);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return false;
    file.write(bytes);
    file.close();
    return true;
}

void handleLogMessage(const QString &path, QtMsgType type, const QMessageLogContext &context,
                      const QString &message)
{
    const QString line = composeLogLine(type, context, message);
    if (line.isNull())
        return;
    // UTF-8 whatever the locale: under the C locale a local 8-bit conversion
    // would turn every non-ASCII character into '?'.
    if (!appendToLogFile(path, line.toUtf8()))
        return;
    if (previousMessageHandler)
        previousMessageHandler(type, context, line);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    handleLogMessage(daemonLogPath, type, context, message);
}
