#pragma once
// One instance per user. The first start holds an exclusive lock and listens on a local socket
// beside it; a later start sends its paths there, waits for the acknowledgement and leaves.
#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

namespace kivo {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        First,      // this process holds the lock
        HandedOver, // the running instance acknowledged the paths
        NoAnswer,   // the lock stayed taken and nobody acknowledged within the time limit
        Unguarded,  // no lock can be had here (no private folder, lock file unusable)
    };
    struct Claim {
        Role role = Role::Unguarded;
        qint64 ownerPid = 0; // of the instance holding the lock, when known
        QString error;       // why, for NoAnswer and Unguarded
    };

    // name: of the lock and socket files (the bundle identifier); folder: where they live,
    // runtimeFolder() when empty.
    explicit SingleInstance(const QString& name, const QString& folder = QString(),
                            QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock, or hands paths (absolute ones; possibly none) to the instance holding it.
    // The holder may be starting (not listening yet) or ending (a relaunch waits for it), so
    // both are tried again until timeoutMs has passed. Blocks; needs no event loop.
    Claim claim(const QStringList& paths, int timeoutMs = 10000);

    // Once the lock is held: takes messages from later starts. False, with the reason, when the
    // socket cannot be set up.
    bool listen(QString* error = nullptr);
    // Later starts then wait for the lock instead of handing over to an instance that is ending.
    void stopListening();

    QString lockPath() const;
    QString socketPath() const;

    // $XDG_RUNTIME_DIR when it is a private folder of ours, else /tmp/kivo-<uid> (made 0700).
    // Empty, with the reason, when neither can be used.
    static QString runtimeFolder(QString* error = nullptr);

signals:
    // The paths of one acknowledged message, in their order; emitted from the event loop of the
    // object's thread, never from inside the socket's own handlers.
    void pathsReceived(const QStringList& paths);

private:
    bool tryLock(QString* error, bool* held);
    qint64 readOwnerPid() const;
    void acceptConnections();
    void drop(QLocalSocket* socket, const QString& why);

    QString fFolder;
    QString fFolderError;
    QString fName;
    int fLockFd = -1;
    bool fLocked = false;
    QLocalServer* fServer = nullptr;
};

} // namespace kivo
