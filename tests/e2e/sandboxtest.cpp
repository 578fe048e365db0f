#include "sandboxtest.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SandboxTest {

const QString settingsCaller = QStringLiteral("/usr/bin/tarvo-vexa-settings");
const QString windowCaller = QStringLiteral("/usr/bin/tarvo-vexa-window");
const QString managerCaller = QStringLiteral("/usr/bin/tarvo-vexa-manager");
const QString unpermittedCaller = QStringLiteral("/usr/bin/vexa-pref-call");
const QString daemonProgram = QStringLiteral("/usr/bin/tarvo-vexa-settings-daemon");
const QString daemonLog = QStringLiteral("/var/log/tarvo-vexa-settings-daemon.log");

bool insideSandbox()
{
    return qEnvironmentVariableIsSet("VEXA_SANDBOX");
}

QString stateDir()
{
    return qEnvironmentVariable("VEXA_SANDBOX_STATE");
}

Reply call(const QString &program, const QString &method, const QStringList &args, const QStringList &wrapper,
           const QProcessEnvironment &env)
{
    QStringList command = wrapper;
    command << program << method << args;
    const ProcessResult result = runProcess(command.takeFirst(), command, waitLimitMs, env);
    Reply reply;
    reply.exitCode = result.exitCode;
    reply.output = result.output;
    if (result.timedOut)
        return reply;
    const QString firstLine = reply.output.section(QLatin1Char('\n'), 0, 0);
    if (firstLine.startsWith(QLatin1String("error: "))) {
        const QString rest = firstLine.mid(7);
        reply.errorName = rest.section(QLatin1String(": "), 0, 0);
        reply.errorText = rest.section(QLatin1String(": "), 1);
    } else {
        reply.value = firstLine;
    }
    return reply;
}

QStringList asNobody()
{
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
            QStringLiteral("--clear-groups"), QStringLiteral("--")};
}

QStringList asUser(const QString &name)
{
    const struct passwd *entry = ::getpwnam(name.toLocal8Bit().constData());
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=") + name,
            QStringLiteral("--regid=%1").arg(entry ? entry->pw_gid : gid_t(-1)),
            QStringLiteral("--init-groups"), QStringLiteral("--")};
}

QString userProcess(const QString &name, uid_t uid)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray text = readFile(QStringLiteral("/proc/%1/status").arg(pid));
        if (text.startsWith("Name:\t" + name.toLatin1() + '\n')
            && text.contains("\nUid:\t" + QByteArray::number(uid) + '\t'))
            return pid;
    }
    return QString();
}

QString startHeldCollection(const QString &caller, const QString &user, const QString &dir,
                            QProcess *collection)
{
    const struct passwd *entry = ::getpwnam(user.toLocal8Bit().constData());
    const QByteArray fifo = QFile::encodeName(dir + QStringLiteral("/vexa.log"));
    if (!entry || ::mkfifo(fifo.constData(), 0600) != 0
        || ::chown(fifo.constData(), entry->pw_uid, entry->pw_gid) != 0)
        return QString();
    const QStringList wrapper = asUser(user);
    collection->start(wrapper.first(),
                      wrapper.mid(1)
                          + QStringList {caller, QStringLiteral("copyLogFiles"), user,
                                         QString::number(entry->pw_uid), dir});
    QDeadlineTimer deadline(waitLimitMs);
    QString cp;
    // A call that ends early has refused the collection.
    // The one that copies onto the FIFO: a cp of another source, or of an
    // earlier collection, may be ending as it is found.
    while (cp.isEmpty() && !deadline.hasExpired() && !collection->waitForFinished(50)) {
        cp = userProcess(QStringLiteral("cp"), entry->pw_uid);
        if (!cp.isEmpty() && !readFile(QStringLiteral("/proc/%1/cmdline").arg(cp)).contains("/vexa.log"))
            cp.clear();
    }
    return cp;
}

QByteArray leaveDetachedProcess(const QString &user, const QString &pid, const QByteArray &mark)
{
    const QStringList wrapper = asUser(user);
    const struct passwd *entry = ::getpwnam(user.toLocal8Bit().constData());
    QString target = pid;
    QByteArray output;
    // On a loaded machine the attach has been seen to find no process while
    // the tool still ran: the tool is looked up again and the attach tried
    // once more, a few times at most.
    for (int attempt = 0; attempt < 5 && !target.isEmpty(); ++attempt) {
        // The tool may run in the service's mounts, which the user may not
        // enter: the debugger reads the same files from ours.
        const QStringList commands = {
            QStringLiteral("set sysroot /"), QStringLiteral("file /bin/cp"),
            QStringLiteral("attach ") + target,
            QStringLiteral("call (int)system(\"echo '%1' >&2; setsid sleep 6543 <&- >&- 2>&- &\")")
                .arg(QString::fromLatin1(mark)),
            QStringLiteral("detach")};
        QStringList args = wrapper.mid(1)
            + QStringList {QStringLiteral("gdb"), QStringLiteral("-nx"), QStringLiteral("-batch")};
        for (const QString &command : commands)
            args << QStringLiteral("-ex") << command;
        output = runProcess(wrapper.first(), args, waitLimitMs, QProcessEnvironment::systemEnvironment(),
                            QProcess::MergedChannels)
                     .bytes;
        if (!output.contains("ptrace: No such process") || !entry)
            break;
        output += "status of " + target.toLatin1() + ": "
            + readFile(QStringLiteral("/proc/%1/status").arg(target)).left(400) + '\n';
        QThread::msleep(100);
        target = userProcess(QStringLiteral("cp"), entry->pw_uid);
    }
    return output;
}

static bool nameOwned()
{
    QProcess probe;
    probe.start(unpermittedCaller, {QStringLiteral("--wait-name"), QStringLiteral("0")});
    return probe.waitForFinished(waitLimitMs) && probe.exitStatus() == QProcess::NormalExit
        && probe.exitCode() == 0;
}

bool waitForName(bool owned, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (nameOwned() != owned) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

Daemon::~Daemon()
{
    stop();
    delete m_process;
}

bool Daemon::start()
{
    stop();
    delete m_process;
    m_process = new QProcess;
    // The daemon's own output (and that of the tools it runs) is kept for
    // reading after a failure.
    m_process->setStandardOutputFile(stateDir() + QStringLiteral("/daemon.out"), QIODevice::Append);
    m_process->setStandardErrorFile(stateDir() + QStringLiteral("/daemon.out"), QIODevice::Append);
    // A system service starts without the user's locale.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LANG"));
    env.remove(QStringLiteral("LANGUAGE"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    m_process->setProcessEnvironment(env);
    m_process->start(daemonProgram, QStringList());
    if (!m_process->waitForStarted(waitLimitMs))
        return false;
    return waitForName(true);
}

void Daemon::stop()
{
    if (!isRunning())
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(waitLimitMs)) {
        m_process->kill();
        m_process->waitForFinished(waitLimitMs);
    }
}

bool Daemon::waitForExit(int msecs)
{
    return m_process && m_process->waitForFinished(msecs);
}

qint64 Daemon::pid() const
{
    return m_process ? m_process->processId() : 0;
}

int Daemon::exitCode() const
{
    return m_process ? m_process->exitCode() : -1;
}

QProcess::ExitStatus Daemon::exitStatus() const
{
    return m_process ? m_process->exitStatus() : QProcess::CrashExit;
}

bool Daemon::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

int runSecondDaemon(int msecs)
{
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(daemonProgram, QStringList());
    if (!second.waitForFinished(msecs)) {
        second.kill();
        second.waitForFinished(waitLimitMs);
        return -2;
    }
    return second.exitCode();
}

QByteArray readDaemonLog()
{
    QFile file(daemonLog);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void clearDaemonLog()
{
    QFile::remove(daemonLog);
}

} // namespace SandboxTest
