#include "platform/SingleInstance.h"

#include "platform/Console.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

// A message is a 4-byte big-endian length and that many bytes: a tag and then the items, each
// ended by a NUL (paths cannot hold one).
constexpr int kHeaderSize = 4;
constexpr quint32 kMaxPayload = 64 * 1024;
const QByteArray kOpenTag = QByteArrayLiteral("open/1");
const QByteArray kAckTag = QByteArrayLiteral("ack/1");

constexpr int kRetryPauseMs = 100;
// A later start that connects and then says nothing must not hold a connection for ever.
constexpr int kMessageTimeLimitMs = 5000;
constexpr int kMaxConnections = 16;

QString errorText(int err) {
    return QString::fromLocal8Bit(strerror(err));
}

QByteArray frame(const QByteArray& tag, const QStringList& items) {
    QByteArray payload = tag;
    payload.append('\0');
    for (const QString& item : items) {
        payload += item.toUtf8();
        payload.append('\0');
    }
    QByteArray out(kHeaderSize, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), out.data());
    return out + payload;
}

enum class Parse { Incomplete, Done, Malformed };

Parse parseFrame(const QByteArray& buffer, const QByteArray& tag, QStringList* items,
                 QString* why) {
    if (buffer.size() < kHeaderSize)
        return Parse::Incomplete;
    const quint32 size = qFromBigEndian<quint32>(buffer.constData());
    if (size > kMaxPayload) {
        *why = QStringLiteral("a message of %1 bytes is too long").arg(size);
        return Parse::Malformed;
    }
    const qsizetype whole = kHeaderSize + qsizetype(size);
    if (buffer.size() < whole)
        return Parse::Incomplete;
    if (buffer.size() > whole) {
        *why = QStringLiteral("bytes after the message");
        return Parse::Malformed;
    }
    const QByteArray payload = buffer.mid(kHeaderSize);
    if (!payload.endsWith('\0')) {
        *why = QStringLiteral("the message is not terminated");
        return Parse::Malformed;
    }
    QList<QByteArray> parts = payload.chopped(1).split('\0');
    if (parts.takeFirst() != tag) {
        *why = QStringLiteral("not a message of this program");
        return Parse::Malformed;
    }
    items->clear();
    for (const QByteArray& part : parts) {
        QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decode(part);
        if (part.isEmpty() || decode.hasError()) {
            *why = QStringLiteral("an item that is empty or not UTF-8 text");
            return Parse::Malformed;
        }
        items->append(text);
    }
    return Parse::Done;
}

int remainingMs(const QDeadlineTimer& deadline) {
    return deadline.isForever() ? -1 : int(std::max<qint64>(deadline.remainingTime(), 0));
}

// Sends one message and waits for the acknowledgement; problem says why not.
bool handOver(const QString& socketPath, const QByteArray& message, const QDeadlineTimer& deadline,
              QString* problem, qint64* pid) {
    if (message.size() > kHeaderSize + qsizetype(kMaxPayload)) {
        *problem = QStringLiteral("the paths are too long to hand over");
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(remainingMs(deadline))) {
        *problem = QStringLiteral("no answer on %1 (%2)").arg(socketPath, socket.errorString());
        return false;
    }
    if (socket.write(message) != message.size()) {
        *problem = QStringLiteral("cannot send: %1").arg(socket.errorString());
        return false;
    }
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline))) {
            *problem = QStringLiteral("cannot send: %1").arg(socket.errorString());
            return false;
        }
    }
    QByteArray reply;
    for (;;) {
        QStringList items;
        QString why;
        const Parse parsed = parseFrame(reply, kAckTag, &items, &why);
        if (parsed == Parse::Done && items.size() == 1) {
            bool ok = false;
            const qint64 answeredPid = items.front().toLongLong(&ok);
            if (ok)
                *pid = answeredPid;
            return true;
        }
        if (parsed != Parse::Incomplete) {
            *problem = QStringLiteral("unexpected answer (%1)").arg(why);
            return false;
        }
        if (!socket.waitForReadyRead(remainingMs(deadline))) {
            *problem = socket.state() == QLocalSocket::UnconnectedState
                           ? QStringLiteral("the connection was closed without an answer")
                           : QStringLiteral("no acknowledgement");
            return false;
        }
        reply += socket.readAll();
    }
}

// Ours alone, so nobody else can put a socket or lock file there.
bool isPrivateFolder(const QString& path, bool followLinks, QString* why) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    const int rc = followLinks ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st);
    if (rc != 0) {
        *why = QStringLiteral("%1: %2").arg(path, errorText(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        *why = QStringLiteral("%1 is not a folder of this user").arg(path);
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        *why = QStringLiteral("%1 can be reached by other users").arg(path);
        return false;
    }
    if (::access(native.constData(), W_OK | X_OK) != 0) {
        *why = QStringLiteral("%1: %2").arg(path, errorText(errno));
        return false;
    }
    return true;
}

struct Incoming {
    QByteArray bytes;
    bool finished = false;
};

} // namespace

SingleInstance::SingleInstance(const QString& name, const QString& folder, QObject* parent)
    : QObject(parent), fFolder(folder), fName(name) {
    if (fFolder.isEmpty())
        fFolder = runtimeFolder(&fFolderError);
}

SingleInstance::~SingleInstance() {
    // The socket goes first: once the lock is free a new holder may already have its own there.
    stopListening();
    // The lock file stays: removing it would let two processes lock two different files.
    if (fLockFd >= 0 && ::close(fLockFd) != 0)
        consoleLine(QStringLiteral("Cannot close [%1]: %2").arg(lockPath(), errorText(errno)));
}

QString SingleInstance::lockPath() const {
    return fFolder + QLatin1Char('/') + fName + QStringLiteral(".lock");
}

QString SingleInstance::socketPath() const {
    return fFolder + QLatin1Char('/') + fName + QStringLiteral(".socket");
}

QString SingleInstance::runtimeFolder(QString* error) {
    QString why;
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (runtime.startsWith(QLatin1Char('/')) && isPrivateFolder(runtime, true, &why))
        return runtime;

    const QString fallback = QStringLiteral("/tmp/kivo-%1").arg(geteuid());
    const QByteArray native = QFile::encodeName(fallback);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(fallback, errorText(errno));
        return {};
    }
    struct stat st {};
    // Ours from an earlier run but too open: nobody else can swap an entry we own in /tmp.
    if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        if (error)
            *error = QStringLiteral("cannot make %1 private: %2").arg(fallback, errorText(errno));
        return {};
    }
    if (!isPrivateFolder(fallback, false, &why)) {
        if (error)
            *error = why;
        return {};
    }
    return fallback;
}

bool SingleInstance::tryLock(QString* error, bool* held) {
    *held = false;
    if (fLocked) {
        *held = true;
        return true;
    }
    if (fLockFd < 0) {
        // Close-on-exec: a child such as the relaunch helper must not keep the lock alive.
        fLockFd = ::open(QFile::encodeName(lockPath()).constData(),
                         O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fLockFd < 0) {
            *error = QStringLiteral("cannot open %1: %2").arg(lockPath(), errorText(errno));
            return false;
        }
    }
    while (::flock(fLockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            return true;
        *error = QStringLiteral("cannot lock %1: %2").arg(lockPath(), errorText(errno));
        return false;
    }
    fLocked = true;
    *held = true;
    // Only for the messages of later starts; the lock itself is what counts.
    const QByteArray pid = QByteArray::number(qint64(getpid())) + '\n';
    if (::ftruncate(fLockFd, 0) != 0 ||
        ::pwrite(fLockFd, pid.constData(), size_t(pid.size()), 0) != pid.size())
        consoleLine(QStringLiteral("Cannot note the process id in [%1]: %2")
                        .arg(lockPath(), errorText(errno)));
    return true;
}

qint64 SingleInstance::readOwnerPid() const {
    if (fLockFd < 0)
        return 0;
    char text[32] = {};
    const ssize_t n = ::pread(fLockFd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    bool ok = false;
    const qint64 pid = QByteArray(text, int(n)).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

SingleInstance::Claim SingleInstance::claim(const QStringList& paths, int timeoutMs) {
    Claim result;
    if (fFolder.isEmpty()) {
        result.error = fFolderError;
        return result;
    }
    QStringList absolute;
    for (const QString& path : paths)
        absolute << QFileInfo(path).absoluteFilePath();
    const QByteArray message = frame(kOpenTag, absolute);

    const QDeadlineTimer deadline(timeoutMs);
    QString problem = QStringLiteral("no attempt was made");
    for (;;) {
        bool held = false;
        QString error;
        if (!tryLock(&error, &held)) {
            result.role = Role::Unguarded;
            result.error = error;
            return result;
        }
        if (held) {
            result.role = Role::First;
            result.ownerPid = qint64(getpid());
            return result;
        }
        qint64 pid = readOwnerPid();
        if (handOver(socketPath(), message, deadline, &problem, &pid)) {
            result.role = Role::HandedOver;
            result.ownerPid = pid;
            return result;
        }
        if (deadline.hasExpired())
            break;
        QThread::msleep(ulong(
            deadline.isForever() ? kRetryPauseMs : std::min(kRetryPauseMs, remainingMs(deadline))));
    }
    result.role = Role::NoAnswer;
    result.ownerPid = readOwnerPid();
    result.error = problem;
    return result;
}

bool SingleInstance::listen(QString* error) {
    if (fServer)
        return true;
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!fLocked)
        return fail(QStringLiteral("the lock is not held"));
    // Whatever is there was left by an instance that died: nobody else holds the lock.
    const QByteArray path = QFile::encodeName(socketPath());
    if (::unlink(path.constData()) != 0 && errno != ENOENT)
        return fail(QStringLiteral("cannot remove %1: %2").arg(socketPath(), errorText(errno)));
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath())) {
        const QString why =
            QStringLiteral("cannot listen on %1: %2").arg(socketPath(), server->errorString());
        delete server;
        return fail(why);
    }
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    fServer = server;
    return true;
}

void SingleInstance::stopListening() {
    // Deleting the server also cuts the connections it accepted.
    delete fServer;
    fServer = nullptr;
}

void SingleInstance::acceptConnections() {
    while (fServer && fServer->hasPendingConnections()) {
        QLocalSocket* socket = fServer->nextPendingConnection();
        if (!socket)
            break;
        if (fServer->findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly).size() >
            kMaxConnections) {
            consoleLine(QStringLiteral("Ignoring a start of the program: too many at once"));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto incoming = std::make_shared<Incoming>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, incoming] {
            if (incoming->finished)
                return;
            incoming->bytes += socket->readAll();
            QStringList paths;
            QString why;
            switch (parseFrame(incoming->bytes, kOpenTag, &paths, &why)) {
            case Parse::Incomplete:
                return;
            case Parse::Malformed:
                incoming->finished = true;
                drop(socket, why);
                return;
            case Parse::Done:
                break;
            }
            for (const QString& path : paths) {
                if (!path.startsWith(QLatin1Char('/'))) {
                    incoming->finished = true;
                    drop(socket, QStringLiteral("[%1] is not an absolute path").arg(path));
                    return;
                }
            }
            incoming->finished = true;
            socket->write(frame(kAckTag, {QString::number(qint64(getpid()))}));
            // A sender that stopped waiting has reported failure: acting now would go behind
            // its back (it may even have become the first instance itself by then).
            if (!socket->flush() || socket->state() != QLocalSocket::ConnectedState) {
                drop(socket, QStringLiteral("its sender gave up waiting"));
                return;
            }
            // Leaves once the answer is out.
            socket->disconnectFromServer();
            // From the event loop: a receiver that opens a panel must not run inside this
            // handler, nor keep the sender waiting for its answer.
            QMetaObject::invokeMethod(
                this, [this, paths] { emit pathsReceived(paths); }, Qt::QueuedConnection);
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, incoming] {
            if (!incoming->finished) {
                incoming->finished = true;
                drop(socket, QStringLiteral("the connection ended before a whole message"));
            }
            socket->deleteLater();
        });
        QTimer::singleShot(kMessageTimeLimitMs, socket, [this, socket, incoming] {
            if (!incoming->finished) {
                incoming->finished = true;
                drop(
                    socket,
                    QStringLiteral("no whole message within %1 s").arg(kMessageTimeLimitMs / 1000));
            }
        });
    }
}

void SingleInstance::drop(QLocalSocket* socket, const QString& why) {
    consoleLine(
        QStringLiteral("Ignoring a message from another start of the program: %1").arg(why));
    socket->abort();
    socket->deleteLater();
}

} // namespace kivo
