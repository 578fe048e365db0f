// One instance per application id and user: the running one, found through a
// local socket, takes the texts that later starts hand it.

#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QWidget;

// A QApplication that lets one instance per application id and per user run.
// Later starts can hand a text to the running instance, which then brings its
// activation window up and emits messageReceived.
//
// The running instance listens on a local socket named after the id, in a
// folder found from the user id and home alone, so every start of the user
// meets there whatever else its environment says: /run/user/UID when it is the
// user's private folder, else ~/.cache/vexa-single (which no other user can
// make first, and reached through its descriptor, so that a long home path
// does not matter) when the home and its .cache are the user's and closed to
// writes by others, else /tmp/vexa-single-UID. The folder must be the user's own and
// closed to others, and the process at the other end must run as the user;
// otherwise the layer refuses with a warning and neither finds nor offers an
// instance. The check "is someone listening?" and the listen that follows are
// done under a lock file, so that of two processes starting at the same moment
// exactly one becomes the running instance; a start that cannot have the lock
// in time offers no instance either.
class SingleApplication : public QApplication
{
    Q_OBJECT

public:
    // How long a start waits for the lock that another start holds.
    static constexpr int defaultStartLockTimeoutMs = 10000;

    SingleApplication(const QString &appId, int &argc, char **argv,
                      int startLockTimeoutMs = defaultStartLockTimeoutMs);
    ~SingleApplication() override;

    QString id() const;
    // Full path of the local socket this id uses for the current user. It
    // creates nothing; the folder is made (and checked) by the constructor.
    QString serverPath() const;

    // True when another process with the same id and user already runs.
    bool isRunning() const;

    // Hands message to the running instance. True only when the running
    // instance confirmed that it took the message within timeout ms.
    bool sendMessage(const QString &message, int timeout = 5000);

    void setActivationWindow(QWidget *window, bool activateOnMessage = true);
    QWidget *activationWindow() const;

public slots:
    // Restores the activation window from minimized, raises and activates it.
    void activateWindow();

signals:
    void messageReceived(const QString &message);

private:
    void startOrJoin(const QString &parentToMake, int startLockTimeoutMs);
    bool listen();
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);
    void deliver(const QString &message);

    QString m_id;
    QString m_serverPath;
    // The folder of the socket, open, and the socket's address through it.
    int m_folder = -1;
    QString m_address;
    bool m_running = false;
    QLocalServer *m_server = nullptr;
    QPointer<QWidget> m_activationWindow;
    bool m_activateOnMessage = false;
};
