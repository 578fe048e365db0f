// The daemon's D-Bus object: thin slots that check the caller, then do one thing.
#pragma once

#include "callercache.h"
#include "collectionqueue.h"

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// The daemon's one exported object. Every slot opens with the caller check
// (after the guard that gives a large call's heap back, heaptrim.h) and then
// hands its work to a plain function that takes the file's path.
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
    // The caller's uid as the bus reports it; false when it cannot tell.
    bool callerUid(uint *uid);
    // A file method's work for the caller (its uid passed on): a caller
    // other than root may not use the room kept back for root.
    bool asCaller(const std::function<bool(uint)> &work);

    // Log collections in progress; quilt waits for those running.
    CollectionQueue m_collections;
    bool m_toolsContained = false;

    CallerPidCache m_callerPids;
};
