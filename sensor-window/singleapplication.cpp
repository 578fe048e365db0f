// The single-instance application: its socket's place, the start lock, the
// messages on the wire.

#include "singleapplication.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QWidget>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A message on the wire: 4-byte big-endian length, then that many UTF-8 bytes.
// The running instance answers with one byte once it has the whole message.
constexpr int headerSize = 4;
constexpr quint32 maxMessageSize = 1024 * 1024;
constexpr char ackByte = '\x01';
// A client that connects and then stalls must not keep a socket open forever.
constexpr int incompleteMessageTimeoutMs = 10000;
constexpr int probeTimeoutMs = 1000;

// The text of errno, in the locale's encoding.
QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Whether the folder described by info is one in which only this user can
// create anything: a real folder (not a link to one), owned by the user,
// closed to group and others.
bool isPrivate(const struct stat &info, QString *why)
{
    if (!S_ISDIR(info.st_mode)) {
        *why = QStringLiteral("not a folder");
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        *why = QStringLiteral("owned by uid %1").arg(info.st_uid);
        return false;
    }
    if (info.st_mode & 077) {
        *why = QStringLiteral("mode %1 lets others in").arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    return true;
}

bool isPrivateFolder(const QString &path, QString *why)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        *why = errnoText();
        return false;
    }
    return isPrivate(info, why);
}

// Whether the folder at path (a link followed: a home may have been moved) is
// this user's and closed to writes by others, so that nobody else can replace
// or make anything in it. A missing folder counts when missingIsFine is set.
bool isOwnFolder(const QString &path, bool missingIsFine)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return missingIsFine && errno == ENOENT;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && !(info.st_mode & 022);
}

// Where the socket named name lives, and the folder to make before its own
// folder (empty: none). One place per user, found from the uid and the home
// folder alone: every start of the user has to meet there whatever else its
// environment says (XDG_RUNTIME_DIR and TMPDIR differ between sudo, env -i,
// autostart and ssh sessions).
struct SocketPlace
{
    QString path;
    QString parentToMake;
};

SocketPlace socketPlace(const QString &name)
{
    const uint uid = ::geteuid();
    // The login manager's runtime folder, when the user has one.
    const QString runtimeFolder = QStringLiteral("/run/user/%1").arg(uid);
    QString why;
    if (isPrivateFolder(runtimeFolder, &why))
        return {runtimeFolder + QLatin1Char('/') + name, QString()};
    // Else below the user's own home, where no other user can make the folder
    // first, however long its path: the socket is reached through the
    // folder's descriptor.
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home)) {
        const QString cache = QDir::cleanPath(home) + QStringLiteral("/.cache");
        if (isOwnFolder(home, false) && isOwnFolder(cache, true))
            return {cache + QStringLiteral("/vexa-single/") + name, cache};
    }
    // Last, for a user without a home of her own, a folder in /tmp. Another
    // user may have made it first; startOrJoin refuses it then.
    return {QStringLiteral("/tmp/vexa-single-%1/").arg(uid) + name, QString()};
}

SocketPlace placeFor(const QString &appId)
{
    // Hashing keeps the path short (socket paths are limited to about 100
    // bytes) and free of the slashes a display name could carry.
    const QByteArray hash =
        QCryptographicHash::hash(appId.toUtf8(), QCryptographicHash::Sha1).toHex().left(24);
    return socketPlace(QStringLiteral("vexa-single-%1").arg(QString::fromLatin1(hash)));
}

// Makes folder (and parent first, unless empty) if missing and tells whether
// folder is private to this user.
bool makePrivateFolder(const QString &parent, const QString &folder, QString *why)
{
    for (const QString &each : {parent, folder}) {
        if (!each.isEmpty() && ::mkdir(QFile::encodeName(each).constData(), 0700) != 0 && errno != EEXIST) {
            *why = errnoText();
            return false;
        }
    }
    return isPrivateFolder(folder, why);
}

// Whether the process at the other end of socket runs as this user. The
// folder check already keeps others out; this also covers a socket that
// someone with more rights put there.
bool peerIsThisUser(const QLocalSocket &socket)
{
    struct ucred peer;
    socklen_t size = sizeof(peer);
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return false;
    return peer.uid == ::geteuid();
}

} // namespace

SingleApplication::SingleApplication(const QString &appId, int &argc, char **argv, int startLockTimeoutMs)
    : QApplication(argc, argv)
    , m_id(appId)
{
    const SocketPlace place = placeFor(appId);
    m_serverPath = place.path;
    startOrJoin(place.parentToMake, startLockTimeoutMs);
}

SingleApplication::~SingleApplication()
{
    // The server removes its socket through the folder's descriptor.
    delete m_server;
    if (m_folder >= 0)
        ::close(m_folder);
}

QString SingleApplication::id() const
{
    return m_id;
}

QString SingleApplication::serverPath() const
{
    return m_serverPath;
}

bool SingleApplication::isRunning() const
{
    return m_running;
}

void SingleApplication::startOrJoin(const QString &parentToMake, int startLockTimeoutMs)
{
    // Falling back to a shared place would let another user pose as the
    // running instance or hold up the start lock, so an unsafe folder means no
    // instance is looked for or offered; the caller's own checks still apply.
    const QString folder = QFileInfo(m_serverPath).path();
    QString why;
    // The socket and its lock are reached through the folder's descriptor:
    // an address that fits a socket's, whatever the folder's path, and a
    // folder that is the one checked.
    struct stat info;
    if (makePrivateFolder(parentToMake, folder, &why)) {
        m_folder = ::open(QFile::encodeName(folder).constData(),
                          O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (m_folder < 0 || ::fstat(m_folder, &info) != 0)
            why = errnoText();
    }
    if (m_folder < 0 || !why.isEmpty() || !isPrivate(info, &why)) {
        qWarning(
            "SingleApplication: refusing %s for the single-instance socket (%s): "
            "another instance can be neither found nor told",
            qPrintable(folder), qPrintable(why));
        return;
    }
    m_address = QStringLiteral("/proc/self/fd/%1/").arg(m_folder) + QFileInfo(m_serverPath).fileName();

    QLockFile startLock(m_address + QStringLiteral(".lock"));
    const bool locked = startLock.tryLock(startLockTimeoutMs);

    QLocalSocket probe;
    probe.connectToServer(m_address);
    if (probe.waitForConnected(probeTimeoutMs)) {
        const bool ours = peerIsThisUser(probe);
        probe.abort();
        if (ours) {
            m_running = true;
        } else {
            qWarning("SingleApplication: refusing %s: it is served by another user",
                     qPrintable(m_serverPath));
        }
        return;
    }

    // Without the lock another start may be between its own probe and listen:
    // removing its socket, or listening beside it, would leave two instances
    // of which one cannot be reached. So this one offers nothing.
    if (!locked) {
        qWarning(
            "SingleApplication: could not take the start lock of %s: "
            "this instance can be neither found nor told",
            qPrintable(m_serverPath));
        return;
    }

    // Nobody answers: whatever is at the path is left over from an instance
    // that died, so it can go.
    QLocalServer::removeServer(m_address);
    if (!listen())
        qWarning("SingleApplication: cannot listen on %s: %s", qPrintable(m_serverPath),
                 qPrintable(m_server->errorString()));
}

bool SingleApplication::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleApplication::onNewConnection);
    return m_server->listen(m_address);
}

void SingleApplication::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (!peerIsThisUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QTimer::singleShot(incompleteMessageTimeoutMs, socket, [socket] { socket->abort(); });
        // Data may have arrived together with the connection.
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void SingleApplication::onReadyRead(QLocalSocket *socket)
{
    if (socket->property("vexaDone").toBool() || socket->bytesAvailable() < headerSize)
        return;
    uchar header[headerSize];
    if (socket->peek(reinterpret_cast<char *>(header), headerSize) != headerSize)
        return;
    const quint32 size = qFromBigEndian<quint32>(header);
    if (size > maxMessageSize) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < qint64(headerSize) + size)
        return;
    socket->read(headerSize);
    const QString message = QString::fromUtf8(socket->read(size));
    socket->setProperty("vexaDone", true);
    // Answer before the receivers run, so the sender does not wait on them.
    socket->write(&ackByte, 1);
    socket->flush();
    socket->disconnectFromServer();
    deliver(message);
}

void SingleApplication::deliver(const QString &message)
{
    // Activate here rather than through a connection, so the window is up
    // before any slot connected to messageReceived runs.
    if (m_activateOnMessage)
        activateWindow();
    emit messageReceived(message);
}

bool SingleApplication::sendMessage(const QString &message, int timeout)
{
    if (!m_running)
        return false;
    const QByteArray payload = message.toUtf8();
    if (quint32(payload.size()) > maxMessageSize)
        return false;

    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    socket.connectToServer(m_address);
    if (!socket.waitForConnected(int(deadline.remainingTime())) || !peerIsThisUser(socket))
        return false;

    uchar header[headerSize];
    qToBigEndian<quint32>(quint32(payload.size()), header);
    socket.write(reinterpret_cast<const char *>(header), headerSize);
    socket.write(payload);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == ackByte;
}

void SingleApplication::setActivationWindow(QWidget *window, bool activateOnMessage)
{
    m_activationWindow = window;
    m_activateOnMessage = activateOnMessage;
}

QWidget *SingleApplication::activationWindow() const
{
    return m_activationWindow;
}

void SingleApplication::activateWindow()
{
    if (!m_activationWindow)
        return;
    m_activationWindow->setWindowState(m_activationWindow->windowState() & ~Qt::WindowMinimized);
    m_activationWindow->raise();
    m_activationWindow->activateWindow();
}
