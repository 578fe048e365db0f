#include "processrunner.h"

#include <QProcess>

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

namespace {

// Takes on the user's identity in the child, between fork and exec, so that
// the tool runs with exactly the user's rights. Only system calls here: the
// parent has threads.
class ToolProcess : public QProcess
{
public:
    explicit ToolProcess(const ToolRun &run)
        : m_keepFd(run.keepFd)
        , m_switch(run.switchUser)
        , m_uid(run.uid)
        , m_gid(run.gid)
        , m_groups(run.groups)
    { }

protected:
    void setupChildProcess() override
    {
        if (m_keepFd >= 0 && ::fcntl(m_keepFd, F_SETFD, 0) != 0)
            ::_exit(126);
        if (!m_switch)
            return;
        // A daemon that is not root (the unit tests) can only be itself.
        if (::geteuid() != 0) {
            if (::geteuid() != m_uid)
                ::_exit(126);
            return;
        }
        if (::setgroups(size_t(m_groups.size()), m_groups.constData()) != 0 || ::setgid(m_gid) != 0
            || ::setuid(m_uid) != 0)
            ::_exit(126);
        if (m_uid != 0 && (::setuid(0) == 0 || ::geteuid() == 0))
            ::_exit(126);
    }

private:
    int m_keepFd = -1;
    bool m_switch = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QVector<gid_t> m_groups;
};

} // namespace

bool runTool(const ToolRun &run)
{
    ToolProcess process(run);
    process.setProgram(run.program);
    process.setArguments(run.args);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QIODevice::ReadWrite);
    // Nothing is ever written to the tools; a tool that reads its input gets
    // end-of-file instead of holding the daemon forever.
    process.closeWriteChannel();
    // False as well when the program never started: QProcess then still
    // reports a normal exit with code 0.
    if (!process.waitForFinished(run.timeoutMs > 0 ? run.timeoutMs : -1)) {
        if (process.state() == QProcess::NotRunning)
            return false; // never started
        process.kill();
        process.waitForFinished(-1);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool runProcess(const QString &program, const QStringList &args)
{
    ToolRun run;
    run.program = program;
    run.args = args;
    return runTool(run);
}
