// Switches one thread's file-system identity to a user's and back.
#include "fsidentity.h"

#include "rawids.h"

#include <sys/fsuid.h>
#include <unistd.h>

ThreadFsIdentity::ThreadFsIdentity(const LogCollectionUser &user)
{
    if (::geteuid() != 0) {
        m_ok = user.uid == ::geteuid();
        return;
    }
    const int count = ::getgroups(0, nullptr);
    if (count < 0)
        return;
    m_oldGroups.resize(count);
    if (::getgroups(count, m_oldGroups.data()) != count)
        return;
    if (setThreadGroups(user.groups) != 0)
        return;
    m_switched = true;
    ::setfsgid(user.gid);
    ::setfsuid(user.uid);
    // Both calls answer the identity in force, here after the change.
    m_ok = uid_t(::setfsuid(uid_t(-1))) == user.uid && gid_t(::setfsgid(gid_t(-1))) == user.gid;
}

ThreadFsIdentity::~ThreadFsIdentity()
{
    if (!m_switched)
        return;
    ::setfsuid(::geteuid());
    ::setfsgid(::getegid());
    setThreadGroups(m_oldGroups);
}
