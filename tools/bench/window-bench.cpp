// The sensor window's benchmarks on an X server (DISPLAY) with a session bus
// and the stand-in sensor service running.
//
//   vexa-bench-window start RUNS PROGRAM FLOORPROGRAM
//       from starting the program until its top-level window is mapped,
//       against FLOORPROGRAM (a minimal QWidget program), alternately
//   vexa-bench-window click RUNS PROGRAM RECORDFILE
//       from a pointer click on the pad's middle button until the stand-in
//       service has appended the text to RECORDFILE, against one plain call
//       of the service's method on the session bus
//
// Each prints one RESULT line (see benchreport.h) on stdout.

#include "benchcommon.h"
#include "benchreport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QTextStream>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const int mapTimeoutMs = 20000;
const int receiveTimeoutMs = 5000;
// The middle button of the pad, in window coordinates, and what it sends.
const int padMiddleX = 210;
const int padMiddleY = 190;
const char padMiddleText[] = "0.0:0.0:9.8";

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

double nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

void sleepMs(int ms)
{
    timespec ts {ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

void printResult(const BenchResult &result)
{
    QTextStream(stdout) << formatResultLine(result) << Qt::endl;
}

// Pointer events through the XTEST extension, which the X server treats like
// a real device: Qt takes them through XInput 2 as it takes a user's clicks.
// The library is opened at run time; it comes with xdotool, its headers do not.
class FakeInput
{
public:
    bool load()
    {
        m_library = dlopen("libXtst.so.6", RTLD_NOW);
        if (!m_library)
            return false;
        m_motion = reinterpret_cast<MotionFn>(dlsym(m_library, "XTestFakeMotionEvent"));
        m_button = reinterpret_cast<ButtonFn>(dlsym(m_library, "XTestFakeButtonEvent"));
        return m_motion && m_button;
    }
    void moveTo(Display *display, int x, int y) { m_motion(display, -1, x, y, CurrentTime); }
    void button(Display *display, bool press) { m_button(display, 1, press ? True : False, CurrentTime); }

private:
    using MotionFn = int (*)(Display *, int, int, int, unsigned long);
    using ButtonFn = int (*)(Display *, unsigned int, Bool, unsigned long);
    void *m_library = nullptr;
    MotionFn m_motion = nullptr;
    ButtonFn m_button = nullptr;
};

class XSession
{
public:
    bool open()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            return false;
        m_root = DefaultRootWindow(m_display);
        m_pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
        // Every map of a top-level window is reported to the root's
        // substructure listeners.
        XSelectInput(m_display, m_root, SubstructureNotifyMask);
        XSync(m_display, False);
        return true;
    }

    Display *display() const { return m_display; }
    Window root() const { return m_root; }

    void drain()
    {
        XSync(m_display, False);
        while (XPending(m_display)) {
            XEvent event;
            XNextEvent(m_display, &event);
        }
    }

    // Waits for a top-level window of process pid to be mapped; its id, and
    // the moment the map was seen in *when, or 0 on time-out.
    Window waitForMap(pid_t pid, double *when)
    {
        const double deadline = nowNs() + mapTimeoutMs * 1e6;
        for (;;) {
            while (XPending(m_display)) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type != MapNotify || event.xmap.event != m_root || event.xmap.override_redirect)
                    continue;
                const double seen = nowNs();
                if (windowPid(event.xmap.window) == pid) {
                    *when = seen;
                    return event.xmap.window;
                }
            }
            const double left = deadline - nowNs();
            if (left <= 0)
                return 0;
            pollfd fd {ConnectionNumber(m_display), POLLIN, 0};
            poll(&fd, 1, int(left / 1e6) + 1);
        }
    }

private:
    pid_t windowPid(Window window)
    {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        pid_t pid = 0;
        if (XGetWindowProperty(m_display, window, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                               &after, &data)
                == Success
            && data && format == 32 && count == 1) {
            pid = pid_t(*reinterpret_cast<unsigned long *>(data));
        }
        if (data)
            XFree(data);
        return pid;
    }

    Display *m_display = nullptr;
    Window m_root = 0;
    Atom m_pidAtom = None;
};

// Starts program with its output thrown away: the sensor window reports
// every click and every missing catalogue.
pid_t spawn(const QString &program)
{
    const QByteArray path = QFile::encodeName(program);
    const char *argv[] = {path.constData(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int status = posix_spawn(&pid, path.constData(), &actions, nullptr, const_cast<char **>(argv),
                                   environ);
    posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? pid : 0;
}

void stop(pid_t pid)
{
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

// One start of program: ns from spawn until its window is mapped, or -1.
double timeStart(XSession &x, const QString &program)
{
    x.drain();
    const double start = nowNs();
    const pid_t pid = spawn(program);
    if (pid <= 0)
        return -1;
    double mapped = 0;
    const Window window = x.waitForMap(pid, &mapped);
    stop(pid);
    // Lets the server and the single-instance lock of the last one settle.
    sleepMs(300);
    return window ? mapped - start : -1;
}

int benchStart(int runs, const QString &program, const QString &floorProgram)
{
    XSession x;
    if (!x.open()) {
        err() << "start: cannot open the display" << Qt::endl;
        return 1;
    }
    QVector<double> measured;
    QVector<double> floors;
    // The first round loads both programs' libraries into the cache and is not counted.
    for (int i = -1; i < runs; ++i) {
        const bool programFirst = i % 2 == 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool programTurn = (turn == 0) == programFirst;
            const double ns = timeStart(x, programTurn ? program : floorProgram);
            if (ns < 0) {
                err() << "start: no window of " << (programTurn ? program : floorProgram) << " was mapped"
                      << Qt::endl;
                return 1;
            }
            if (i >= 0)
                (programTurn ? measured : floors) << ns;
        }
    }
    BenchResult result;
    result.key = QStringLiteral("window-start");
    result.floor = median(floors);
    result.measured = median(measured);
    result.unit = QStringLiteral("ns");
    result.goal = 1.5;
    result.samples = runs;
    result.label = QStringLiteral("Sensor window start until mapped vs a minimal QWidget program");
    printResult(result);
    return 0;
}

// Notices each write the stand-in service makes to its record file.
class RecordWatch
{
public:
    bool open(const QString &path)
    {
        m_fd = inotify_init1(IN_CLOEXEC);
        return m_fd >= 0 && inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_MODIFY) >= 0;
    }
    // Drops notices of earlier writes.
    void drain()
    {
        while (waitMs(0)) { }
    }
    // True when a write was noticed within ms.
    bool waitMs(int ms)
    {
        pollfd fd {m_fd, POLLIN, 0};
        if (poll(&fd, 1, ms) <= 0)
            return false;
        char buffer[4096];
        return read(m_fd, buffer, sizeof buffer) > 0;
    }

private:
    int m_fd = -1;
};

int lineCount(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readAll().count('\n');
}

int benchClick(int runs, const QString &program, const QString &recordPath)
{
    FakeInput input;
    if (!input.load()) {
        err() << "click: cannot load libXtst.so.6" << Qt::endl;
        return 1;
    }
    XSession x;
    RecordWatch watch;
    if (!x.open() || !watch.open(recordPath)) {
        err() << "click: cannot open the display or watch " << recordPath << Qt::endl;
        return 1;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarvo.Vexa.sensor"), QStringLiteral("/"), QStringLiteral("com.tarvo.Vexa.sensor"),
        QStringLiteral("passAcceKey"));
    call.setArguments({QString::fromLatin1(padMiddleText)});

    const pid_t pid = spawn(program);
    double mapped = 0;
    const Window window = pid > 0 ? x.waitForMap(pid, &mapped) : 0;
    if (!window) {
        err() << "click: no window of " << program << " was mapped" << Qt::endl;
        if (pid > 0)
            stop(pid);
        return 1;
    }
    // Lets the window paint and settle before the pointer goes over it.
    sleepMs(1000);
    int rootX = 0;
    int rootY = 0;
    Window child = 0;
    XTranslateCoordinates(x.display(), window, x.root(), padMiddleX, padMiddleY, &rootX, &rootY, &child);
    input.moveTo(x.display(), rootX, rootY);
    XSync(x.display(), False);
    sleepMs(300);

    const int linesBefore = lineCount(recordPath);
    QVector<double> clicks;
    QVector<double> plain;
    bool ok = true;
    for (int i = -1; i < runs && ok; ++i) {
        watch.drain();
        const double clickStart = nowNs();
        input.button(x.display(), true);
        input.button(x.display(), false);
        XFlush(x.display());
        ok = watch.waitMs(receiveTimeoutMs);
        const double clickNs = nowNs() - clickStart;
        // Lets the window finish its call, so that the two never overlap.
        sleepMs(50);

        watch.drain();
        const double callStart = nowNs();
        QDBusPendingCall pending = bus.asyncCall(call);
        ok = ok && watch.waitMs(receiveTimeoutMs);
        const double callNs = nowNs() - callStart;
        pending.waitForFinished();
        ok = ok && !pending.isError();
        sleepMs(50);
        if (i >= 0) {
            clicks << clickNs;
            plain << callNs;
        }
    }
    stop(pid);
    // Each round must have given exactly one text from each side.
    const int received = lineCount(recordPath) - linesBefore;
    if (!ok || received != 2 * (runs + 1)) {
        err() << "click: the service did not receive every text (" << received << " of " << 2 * (runs + 1)
              << ")" << Qt::endl;
        return 1;
    }
    BenchResult result;
    result.key = QStringLiteral("window-click");
    result.floor = median(plain);
    result.measured = median(clicks);
    result.unit = QStringLiteral("ns");
    result.samples = runs;
    result.label = QStringLiteral("Click until the service has the text vs one plain session-bus call");
    printResult(result);
    return 0;
}

int usage()
{
    err() << "usage: vexa-bench-window start RUNS PROGRAM FLOORPROGRAM\n"
             "       vexa-bench-window click RUNS PROGRAM RECORDFILE"
          << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 4)
        return usage();
    const int runs = args.at(1).toInt();
    if (runs <= 0)
        return usage();
    if (args.at(0) == QLatin1String("start"))
        return benchStart(runs, args.at(2), args.at(3));
    if (args.at(0) == QLatin1String("click"))
        return benchClick(runs, args.at(2), args.at(3));
    return usage();
}
