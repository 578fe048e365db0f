#pragma once

#include "callercache.h"

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

// The daemon's one exported object. Every slot opens with the caller check
// and then hands its work to a plain function that takes the file's path.
class PrefManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "cn.selvane.Vexa.Pref")

public:
    explicit PrefManager(QObject *parent = nullptr);

signals:
    void aboutToQuit();

public slots:
    bool setDockerDefaultIpAddress(const QString &value);
    bool addGameToWhiteList(const QString &appName, const QString &pkgName);
    bool removeGameFromWhiteList(const QString &pkgName);
    bool removeAppFromWarningList(const QString &pkgName);
    bool setVexaAutoStart(const QString &checked);
    bool setPhoneInfo(const QString &localpath, const QString &vendor, const QString &brand,
                      const QString &name, const QString &model, const QString &equip,
                      const QString &serialno, const QString &imei);
    int copyLogFiles(const QString &username, const QString &userid, const QString &logPath);
    void quilt();

private slots:
    // The bus's NameOwnerChanged; not a method of the interface, as QtDBus
    // exports public slots only.
    void forgetCaller(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    // The caller check: defined in callercheck.cpp, its tests of the calling process in callerprocess.*.
    bool checkCallerPermission(const QStringList &permittedCallers);
    // The sender's pid, kept in m_callerPids with a pidfd of its process.
    int callerPid(const QString &sender);

    CallerPidCache m_callerPids;
};
