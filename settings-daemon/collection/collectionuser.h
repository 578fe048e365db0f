// The account a log collection is for, as the user database has it.
#pragma once

#include <QString>
#include <QVector>

#include <sys/types.h>

// An account as the user database has it, with every group it belongs to.
struct LogCollectionUser
{
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
    QVector<gid_t> groups;
};

// The account a caller may collect for, or false. A caller other than root
// (callerUid as the bus reports it) may only name itself: userid must be its
// uid and username that uid's login name. Root may name any account whose
// name and uid agree in the user database.
bool resolveCollectionUser(uint callerUid, const QString &username, const QString &userid,
                           LogCollectionUser *user);
