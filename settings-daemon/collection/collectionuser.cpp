// Resolves the account a log collection is for, and who may ask for it.
#include "collectionuser.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <vector>

namespace {

// The name must equal the user database's entry anyway (a directory service
// may hold "alice@corp.example", non-ASCII or a trailing "$"); refused is
// only what is unsafe as a path component under /var/lib or in chown's
// owner argument.
bool isLoginName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('-')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char(':')) && !name.contains(QChar(0)) && name != QLatin1String(".")
        && name != QLatin1String("..");
}

bool isUserId(const QString &id)
{
    if (id.isEmpty())
        return false;
    for (const QChar c : id) {
        if (c.unicode() < '0' || c.unicode() > '9')
            return false;
    }
    return true;
}

// Looks up an account by name (byName) or by uid, with the reentrant calls:
// collections run on a worker thread.
bool lookUpAccount(bool byName, const QByteArray &name, uid_t uid, struct passwd *entry,
                   std::vector<char> *buffer)
{
    for (size_t size = 16384; size <= 1 << 20; size *= 2) {
        buffer->resize(size);
        struct passwd *found = nullptr;
        const int error = byName ? ::getpwnam_r(name.constData(), entry, buffer->data(), size, &found)
                                 : ::getpwuid_r(uid, entry, buffer->data(), size, &found);
        if (error != ERANGE)
            return error == 0 && found;
    }
    return false;
}

} // namespace

bool resolveCollectionUser(uint callerUid, const QString &username, const QString &userid,
                           LogCollectionUser *user)
{
    if (!isLoginName(username) || !isUserId(userid))
        return false;
    struct passwd entry;
    std::vector<char> buffer;
    const QByteArray name = QFile::encodeName(username);
    if (callerUid != 0) {
        if (userid != QString::number(callerUid)
            || !lookUpAccount(false, QByteArray(), callerUid, &entry, &buffer) || name != entry.pw_name)
            return false;
    } else if (!lookUpAccount(true, name, 0, &entry, &buffer) || userid != QString::number(entry.pw_uid)) {
        return false;
    }
    int count = 32;
    QVector<gid_t> groups(count);
    while (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        if (count <= groups.size())
            return false;
        groups.resize(count);
    }
    groups.resize(count);
    user->name = username;
    user->uid = entry.pw_uid;
    user->gid = entry.pw_gid;
    user->groups = groups;
    return true;
}
