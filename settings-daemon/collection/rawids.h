// The raw id system calls, which act on the calling thread alone.
#pragma once

#include <QVector>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// On i386 and armhf the plain numbers are the old 16-bit calls and the
// 32-bit ones carry the suffix. (glibc's setfsuid, setfsgid, getgroups and
// geteuid wrappers choose the 32-bit calls themselves.)
#ifdef SYS_setgroups32
constexpr long setgroupsCall = SYS_setgroups32;
constexpr long setresgidCall = SYS_setresgid32;
constexpr long setresuidCall = SYS_setresuid32;
#else
constexpr long setgroupsCall = SYS_setgroups;
constexpr long setresgidCall = SYS_setresgid;
constexpr long setresuidCall = SYS_setresuid;
#endif

// Sets the calling thread's groups alone (glibc's setgroups changes every
// thread of the process); 0 or -1 with errno.
inline int setThreadGroups(const QVector<gid_t> &groups)
{
    return int(::syscall(setgroupsCall, size_t(groups.size()), groups.constData()));
}
