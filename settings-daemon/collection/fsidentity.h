// A thread's file-system identity switched to a user's for a while.
#pragma once

#include "collectionuser.h"

#include <QVector>

#include <sys/types.h>

// Takes on the user's file system identity (fsuid, fsgid, groups) on this
// thread only: the groups with the raw system call (glibc's setgroups would
// change every thread of the daemon); setfsuid and setfsgid act on the
// calling thread anyway. The kernel then judges every path lookup of this
// thread as the user's own. The old identity comes back with the object.
class ThreadFsIdentity
{
public:
    explicit ThreadFsIdentity(const LogCollectionUser &user);
    ~ThreadFsIdentity();
    ThreadFsIdentity(const ThreadFsIdentity &) = delete;
    ThreadFsIdentity &operator=(const ThreadFsIdentity &) = delete;

    bool ok() const { return m_ok; }

private:
    QVector<gid_t> m_oldGroups;
    bool m_switched = false;
    bool m_ok = false;
};
