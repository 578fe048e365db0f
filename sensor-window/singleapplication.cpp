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

#include <unistd.h>

namespace {

// A message on the wire: 4-byte big-endian length, then that many UTF-8 bytes.
// The running instance answers with one byte once it has the whole message.
constexpr int kHeaderSize = 4;
constexpr quint32 kMaxMessageSize = 1024 * 1024;
constexpr char kAck = '\x01';
// A client that connects and then stalls must not keep a socket open forever.
constexpr int kIncompleteMessageTimeoutMs = 10000;
constexpr int kStartLockTimeoutMs = 10000;
constexpr int kProbeTimeoutMs = 1000;

QString socketDirectory()
{
    // The runtime directory is private to the user, so nobody else can take
    // the name first. Without one, fall back to the shared temporary directory;
    // the uid in the name and the socket's access mode still keep users apart.
    const QString runtimeDir = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtimeDir.isEmpty()) {
        const QFileInfo info(runtimeDir);
        if (info.isDir() && info.isWritable() && info.ownerId() == ::getuid())
            return info.absoluteFilePath();
    }
    return QDir::tempPath();
}

} // namespace

SingleApplication::SingleApplication(const QString &appId, int &argc, char **argv)
    : QApplication(argc, argv)
    , m_id(appId)
    , m_serverPath(serverPathFor(appId))
{
    startOrJoin();
}

SingleApplication::~SingleApplication() = default;

QString SingleApplication::serverPathFor(const QString &appId)
{
    // Hashing keeps the path short (socket paths are limited to about 100
    // bytes) and free of the slashes a display name could carry.
    const QByteArray hash = QCryptographicHash::hash(appId.toUtf8(), QCryptographicHash::Sha1).toHex().left(24);
    return socketDirectory() + QStringLiteral("/vexa-single-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
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

void SingleApplication::startOrJoin()
{
    QLockFile startLock(m_serverPath + QStringLiteral(".lock"));
    const bool locked = startLock.tryLock(kStartLockTimeoutMs);
    if (!locked)
        qWarning("SingleApplication: could not take the start lock, going on without it");

    QLocalSocket probe;
    probe.connectToServer(m_serverPath);
    if (probe.waitForConnected(kProbeTimeoutMs)) {
        m_running = true;
        probe.abort();
        return;
    }

    // Nobody answers: whatever is at the path is left over from an instance
    // that died, so it can go.
    QLocalServer::removeServer(m_serverPath);
    if (!listen())
        qWarning("SingleApplication: cannot listen on %s: %s", qPrintable(m_serverPath),
                 qPrintable(m_server->errorString()));
}

bool SingleApplication::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleApplication::onNewConnection);
    return m_server->listen(m_serverPath);
}

void SingleApplication::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QTimer::singleShot(kIncompleteMessageTimeoutMs, socket, [socket] { socket->abort(); });
        // Data may have arrived together with the connection.
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void SingleApplication::onReadyRead(QLocalSocket *socket)
{
    if (socket->property("vexaDone").toBool() || socket->bytesAvailable() < kHeaderSize)
        return;
    uchar header[kHeaderSize];
    if (socket->peek(reinterpret_cast<char *>(header), kHeaderSize) != kHeaderSize)
        return;
    const quint32 size = qFromBigEndian<quint32>(header);
    if (size > kMaxMessageSize) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < qint64(kHeaderSize) + size)
        return;
    socket->read(kHeaderSize);
    const QString message = QString::fromUtf8(socket->read(size));
    socket->setProperty("vexaDone", true);
    // Answer before the receivers run, so the sender does not wait on them.
    socket->write(&kAck, 1);
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
    Q_EMIT messageReceived(message);
}

bool SingleApplication::sendMessage(const QString &message, int timeout)
{
    if (!m_running)
        return false;
    const QByteArray payload = message.toUtf8();
    if (quint32(payload.size()) > kMaxMessageSize)
        return false;

    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    socket.connectToServer(m_serverPath);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;

    uchar header[kHeaderSize];
    qToBigEndian<quint32>(quint32(payload.size()), header);
    socket.write(reinterpret_cast<const char *>(header), kHeaderSize);
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
    return socket.getChar(&answer) && answer == kAck;
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
