#include "platform/SingleInstance.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kivo;
using Role = SingleInstance::Role;

namespace {

const QString kName = QStringLiteral("com.quandril.KivoUploader");

int modeOf(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QString privateFolder() {
    const QString folder = test::makeTempFolder("rt");
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return folder;
}

// Another start, on a worker thread, while this thread serves the first instance's socket.
SingleInstance::Claim claimFromAnotherStart(const QString& folder, const QStringList& paths,
                                            int timeoutMs) {
    SingleInstance::Claim claim;
    EXPECT_TRUE(test::runOnWorker(
        [&] {
            SingleInstance later(kName, folder);
            claim = later.claim(paths, timeoutMs);
        },
        timeoutMs + 5000));
    return claim;
}

QByteArray framed(const QByteArray& payload) {
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), header.data());
    return header + payload;
}

sockaddr_un addressOf(const QString& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    EXPECT_LT(size_t(native.size()), sizeof addr.sun_path);
    memcpy(addr.sun_path, native.constData(),
           std::min(size_t(native.size()), sizeof addr.sun_path - 1));
    return addr;
}

// Talks to the socket as any local program could, without our client code.
class RawClient {
public:
    explicit RawClient(const QString& path)
        : fFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        const sockaddr_un addr = addressOf(path);
        fConnected =
            fFd >= 0 && ::connect(fFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() {
        if (fFd >= 0)
            ::close(fFd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fConnected; }
    bool send(const QByteArray& bytes) {
        return ::send(fFd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    void hangUp() { ::shutdown(fFd, SHUT_WR); }
    // Serves the event loop until the other side closes; what it answered is in reply().
    bool waitForClose(int timeoutMs) {
        return test::waitUntil(
            [this] {
                char buf[256];
                for (;;) {
                    const ssize_t n = ::recv(fFd, buf, sizeof buf, 0);
                    if (n > 0) {
                        fReply.append(buf, n);
                        continue;
                    }
                    return n == 0 || (errno != EAGAIN && errno != EINTR);
                }
            },
            timeoutMs);
    }
    QByteArray reply() const { return fReply; }

private:
    int fFd;
    bool fConnected = false;
    QByteArray fReply;
};

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(first.claim({}).role, Role::First);
        QObject::connect(&first, &SingleInstance::pathsReceived,
                         [this](const QStringList& paths) { received << paths; });
    }
    QString folder = privateFolder();
    SingleInstance first{kName, folder};
    QList<QStringList> received;
};

TEST_F(SingleInstanceTest, LaterStartsHandTheirPathsToTheFirstAndLearnItsPid) {
    ASSERT_TRUE(first.listen());
    EXPECT_EQ(modeOf(first.lockPath()), 0600);
    EXPECT_EQ(modeOf(first.socketPath()) & 077, 0) << "only this user may connect";

    const QStringList odd{QString::fromUtf8("/photos/Gala 2024/\u00E9t\u00E9"), "/with\nnewline",
                          "/a"};
    SingleInstance::Claim claim = claimFromAnotherStart(folder, odd, 5000);
    EXPECT_EQ(claim.role, Role::HandedOver) << claim.error.toStdString();
    EXPECT_EQ(claim.ownerPid, qint64(getpid()));
    ASSERT_TRUE(test::waitUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], odd);
}

TEST_F(SingleInstanceTest, AStartingHolderIsWaitedForAndASilentOneReported) {
    // Locked, not listening yet: still setting up.
    SingleInstance::Claim claim = claimFromAnotherStart(folder, {"/a"}, 300);
    EXPECT_EQ(claim.role, Role::NoAnswer);
    EXPECT_EQ(claim.ownerPid, qint64(getpid())) << "read from the lock file";
    EXPECT_FALSE(claim.error.isEmpty());
    EXPECT_TRUE(received.isEmpty());

    QTimer::singleShot(300, &first, [this] { first.listen(); });
    claim = claimFromAnotherStart(folder, {"/a"}, 5000);
    EXPECT_EQ(claim.role, Role::HandedOver) << claim.error.toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], QStringList{"/a"});
}

TEST(SingleInstance, AStartDuringAnEndingInstanceBecomesTheFirst) {
    const QString folder = privateFolder();
    auto ending = std::make_unique<SingleInstance>(kName, folder);
    ASSERT_EQ(ending->claim({}).role, Role::First);
    ASSERT_TRUE(ending->listen());
    // Quitting: paths handed over now would be lost, so later starts wait for the lock.
    ending->stopListening();
    int delivered = 0;
    QObject::connect(ending.get(), &SingleInstance::pathsReceived, [&] { ++delivered; });
    QTimer::singleShot(300, [&] { ending.reset(); });

    const SingleInstance::Claim claim = claimFromAnotherStart(folder, {"/a"}, 5000);
    EXPECT_EQ(claim.role, Role::First) << claim.error.toStdString();
    EXPECT_EQ(delivered, 0);
}

TEST(SingleInstance, ASocketLeftByAKilledInstanceDoesNotBlockTheNextOne) {
    const QString folder = privateFolder();
    const QString socketPath = SingleInstance(kName, folder).socketPath();
    // What a killed instance leaves: its socket file with nobody behind it, and its pid.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_un addr = addressOf(socketPath);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(socketPath));
    ASSERT_TRUE(test::writeFile(folder + "/" + kName + ".lock", "999999\n"));

    SingleInstance next(kName, folder);
    ASSERT_EQ(next.claim({}, 0).role, Role::First);
    QString error;
    ASSERT_TRUE(next.listen(&error)) << error.toStdString();
    int delivered = 0;
    QObject::connect(&next, &SingleInstance::pathsReceived, [&] { ++delivered; });
    const SingleInstance::Claim claim = claimFromAnotherStart(folder, {"/a"}, 5000);
    EXPECT_EQ(claim.role, Role::HandedOver) << claim.error.toStdString();
    EXPECT_EQ(claim.ownerPid, qint64(getpid()));
    EXPECT_TRUE(test::waitUntil([&] { return delivered == 1; }));
}

TEST_F(SingleInstanceTest, MalformedMessagesAreIgnoredAndLeaveTheListenerWorking) {
    ASSERT_TRUE(first.listen());
    test::FdCapture err;
    // One that connects and never says anything is cut off after a while.
    RawClient silent(first.socketPath());
    ASSERT_TRUE(silent.connected());

    // Answers what came back before the server hung up.
    auto send = [&](const QByteArray& bytes, bool hangUpEarly = false) {
        RawClient client(first.socketPath());
        EXPECT_TRUE(client.connected());
        EXPECT_TRUE(client.send(bytes));
        if (hangUpEarly)
            client.hangUp();
        EXPECT_TRUE(client.waitForClose(8000)) << "the server closes the connection";
        return client.reply();
    };
    const QList<QByteArray> bad{
        framed(QByteArray("open/1\0rel/dir\0", 15)),
        framed(QByteArray("something/1\0/a\0", 15)),
        framed(QByteArray("open/1\0/\xff\xfe\0", 11)),
        framed(QByteArray("open/1\0\0", 8)),
        framed(QByteArray("open/1\0/a", 9)),
        framed(QByteArray("open/1\0/a\0", 10)) + "extra",
        QByteArray("\x40\0\0\0", 4) + QByteArray(1000, 'x'),
    };
    for (const QByteArray& bytes : bad)
        EXPECT_TRUE(send(bytes).isEmpty()) << "no acknowledgement for " << bytes.toHex().data();
    // Half a message, then gone.
    send(framed(QByteArray("open/1\0/a\0", 10)).left(7), true);
    EXPECT_TRUE(silent.waitForClose(10000));

    EXPECT_FALSE(send(framed(QByteArray("open/1\0/ok\0", 11))).isEmpty()) << "still answering";
    ASSERT_TRUE(test::waitUntil([&] { return !received.isEmpty(); }));
    EXPECT_EQ(received, QList<QStringList>{QStringList{"/ok"}});
    EXPECT_EQ(err.text().count("Ignoring a message from another start"), bad.size() + 2)
        << err.text().toStdString();
}

TEST(SingleInstanceFolder, OnlyAPrivateRuntimeFolderIsUsedElseOneInTmp) {
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const QString fallback = QStringLiteral("/tmp/kivo-%1").arg(geteuid());

    const QString mine = privateFolder();
    setenv("XDG_RUNTIME_DIR", mine.toUtf8().constData(), 1);
    EXPECT_EQ(SingleInstance::runtimeFolder(), mine);

    const QString open = test::makeTempFolder("open");
    QFile::setPermissions(open, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);
    setenv("XDG_RUNTIME_DIR", open.toUtf8().constData(), 1);
    EXPECT_EQ(SingleInstance::runtimeFolder(), fallback);
    EXPECT_EQ(modeOf(fallback), 0700);

    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::runtimeFolder(), fallback);
    if (saved.isNull())
        unsetenv("XDG_RUNTIME_DIR");
    else
        setenv("XDG_RUNTIME_DIR", saved.constData(), 1);
}

} // namespace
