#include "app/Pipeline.h"
#include "files/FolderWatcher.h"
#include "platform/InotifyWatcher.h"
#include "platform/NotificationCenter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kivo;
using namespace std::chrono_literals;

namespace {

// Short latency and no flush ticks, so batches depend only on what the test does.
InotifyWatcherOptions quick() {
    InotifyWatcherOptions o;
    o.latency = 300ms;
    o.flushInterval = -1ms;
    return o;
}

void put(const QString& path) {
    ASSERT_TRUE(test::writeFile(path, "photo bytes")) << path.toStdString();
}

const QString kGone = QStringLiteral("(gone)");
const QString kBack = QStringLiteral("(back)");

// Runs a watcher on its own thread and records the folders it reports, and kGone / kBack when
// the root goes and comes back, in the order the watcher reports them.
class Watch {
public:
    explicit Watch(const QString& root, InotifyWatcherOptions options = quick(),
                   std::function<void(const QString&)> also = {})
        : fWatcher(
              root,
              [this, also](const QString& folder) {
                  {
                      std::lock_guard<std::mutex> g(fLock);
                      fSeen << folder;
                  }
                  if (also)
                      also(folder);
              },
              withPresence(std::move(options))) {
        QString error;
        EXPECT_TRUE(fWatcher.open(&error)) << error.toStdString();
        fThread = std::thread([this] { fWatcher.run(); });
    }
    ~Watch() {
        fWatcher.stop();
        fThread.join();
    }
    QStringList seen() const {
        std::lock_guard<std::mutex> g(fLock);
        return fSeen;
    }
    int count(const QString& folder) const { return int(seen().count(folder)); }
    bool waitFor(const QString& folder, int after = 0) {
        return test::waitUntil([&] { return count(folder) > after; }, 15000);
    }

private:
    InotifyWatcherOptions withPresence(InotifyWatcherOptions options) {
        options.onRootPresence = [this](bool present) {
            std::lock_guard<std::mutex> g(fLock);
            fSeen << (present ? kBack : kGone);
        };
        return options;
    }

    mutable std::mutex fLock;
    QStringList fSeen;
    InotifyWatcher fWatcher;
    std::thread fThread;
};

} // namespace

TEST(InotifyWatcher, CoalescesABurstIntoOneCallbackPerFolder) {
    const QString root = test::makeTempFolder("watched");
    for (const char* f : {"A", "B", "C"})
        QDir(root).mkdir(f);
    InotifyWatcherOptions options = quick();
    options.latency = 1000ms;
    Watch w(root, options);
    for (int i = 0; i < 10; ++i)
        put(root + QStringLiteral("/A/%1.jpg").arg(i));
    put(root + "/B/b.jpg");
    put(root + "/C/c.jpg");
    ASSERT_TRUE(w.waitFor(root + "/C"));
    // Written after the burst was delivered: anything still owed for the burst comes first.
    put(root + "/marker.jpg");
    ASSERT_TRUE(w.waitFor(root));
    EXPECT_EQ(w.seen(), QStringList({root + "/A", root + "/B", root + "/C", root}));
}

TEST(InotifyWatcher, ASteadyStreamIsDeliveredWhileItLasts) {
    const QString root = test::makeTempFolder("watched");
    Watch w(root, InotifyWatcherOptions());
    QFile stream(root + "/stream.jpg");
    ASSERT_TRUE(stream.open(QIODevice::WriteOnly));
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(stream.write("0123456789"), 10);
        ASSERT_TRUE(stream.flush());
        std::this_thread::sleep_for(100ms);
    }
    // A watcher that waits for quiet would have reported nothing yet.
    EXPECT_GE(w.seen().size(), 2);
    stream.close();

    // The flush tick delivers long before a latency of a minute.
    const QString other = test::makeTempFolder("watched");
    InotifyWatcherOptions slow;
    slow.latency = 60s;
    slow.flushInterval = 300ms;
    Watch flushed(other, slow);
    put(other + "/a.jpg");
    EXPECT_TRUE(flushed.waitFor(other));
}

TEST(InotifyWatcher, FoldersMadeOrMovedInAreWatchedWithTheirContents) {
    const QString root = test::makeTempFolder("watched");
    const QString outside = test::makeTempFolder("outside");
    Watch w(root);

    // The file may land before the new folders have watches.
    ASSERT_TRUE(QDir().mkpath(root + "/a/b/c"));
    put(root + "/a/b/c/first.jpg");
    ASSERT_TRUE(w.waitFor(root));
    ASSERT_TRUE(w.waitFor(root + "/a"));
    put(root + "/a/b/c/second.jpg");
    EXPECT_TRUE(w.waitFor(root + "/a/b/c"));

    ASSERT_TRUE(QDir().mkpath(outside + "/tree/sub"));
    put(outside + "/tree/sub/old.jpg");
    ASSERT_EQ(::rename(QFile::encodeName(outside + "/tree"), QFile::encodeName(root + "/tree")), 0);
    ASSERT_TRUE(w.waitFor(root + "/tree"));
    put(root + "/tree/sub/new.jpg");
    EXPECT_TRUE(w.waitFor(root + "/tree/sub"));
}

TEST(InotifyWatcher, FollowsRenamedFoldersAndDropsFoldersMovedOut) {
    const QString root = test::makeTempFolder("watched");
    const QString outside = test::makeTempFolder("outside");
    ASSERT_TRUE(QDir().mkpath(root + "/a/sub"));
    Watch w(root);

    ASSERT_EQ(::rename(QFile::encodeName(root + "/a"), QFile::encodeName(root + "/b")), 0);
    ASSERT_TRUE(w.waitFor(root));
    put(root + "/b/sub/f.jpg");
    ASSERT_TRUE(w.waitFor(root + "/b/sub"));
    EXPECT_EQ(w.count(root + "/a/sub"), 0);

    ASSERT_EQ(::rename(QFile::encodeName(root + "/b"), QFile::encodeName(outside + "/b")), 0);
    ASSERT_TRUE(w.waitFor(root, 1));
    const qsizetype before = w.seen().size();
    put(outside + "/b/sub/g.jpg");
    put(root + "/marker.jpg");
    ASSERT_TRUE(w.waitFor(root, 2));
    EXPECT_EQ(w.seen().mid(before), QStringList{root});
}

TEST(InotifyWatcher, SymbolicLinksAreNotFollowed) {
    const QString root = test::makeTempFolder("watched");
    const QString outside = test::makeTempFolder("outside");
    ASSERT_EQ(::symlink(QFile::encodeName(outside), QFile::encodeName(root + "/out")), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(root), QFile::encodeName(root + "/loop")), 0);
    Watch w(root);
    put(outside + "/f.jpg");
    put(root + "/marker.jpg");
    ASSERT_TRUE(w.waitFor(root));
    EXPECT_EQ(w.seen(), QStringList{root});
}

TEST(InotifyWatcher, WatchesFoldersBeyondPathMax) {
    const QString root = test::makeTempFolder("deep");
    QByteArray path = QFile::encodeName(root);
    const QByteArray name(200, 'd');
    int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY);
    while (fd >= 0 && path.size() < PATH_MAX + 500) {
        ASSERT_EQ(::mkdirat(fd, name.constData(), 0700), 0);
        const int next = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        path += '/' + name;
    }
    ASSERT_GE(fd, 0);
    Watch w(root);
    const int file = ::openat(fd, "photo.jpg", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    ::close(file);
    ::close(fd);
    EXPECT_TRUE(w.waitFor(QFile::decodeName(path)));
}

TEST(InotifyWatcher, AFullWatchTableIsReportedOnceAndCountsAsAChange) {
    const QString root = test::makeTempFolder("watched");
    QDir(root).mkdir("full1");
    QDir(root).mkdir("full2");
    std::atomic<int> refused{0};
    InotifyWatcherOptions options = quick();
    options.addWatch = [&](int fd, const char* path, uint32_t mask) {
        if (QByteArray(path).contains("/full")) {
            ++refused;
            errno = ENOSPC;
            return -1;
        }
        return inotify_add_watch(fd, path, mask);
    };
    QStringList limitFolders; // written on the watcher's thread, read after it has ended
    options.onWatchLimit = [&](const QString& folder) { limitFolders << folder; };
    test::FdCapture err;
    {
        // Nothing changes on disk: the folders left without a watch are reported anyway.
        Watch w(root, options);
        EXPECT_TRUE(w.waitFor(root + "/full1"));
        EXPECT_TRUE(w.waitFor(root + "/full2"));
        QDir(root).mkdir("full3");
        EXPECT_TRUE(w.waitFor(root + "/full3"));
    }
    EXPECT_EQ(refused.load(), 3);
    ASSERT_EQ(limitFolders.size(), 1);
    EXPECT_TRUE(limitFolders[0].startsWith(root + "/full")) << limitFolders[0].toStdString();
    EXPECT_EQ(err.text().count("sysctl fs.inotify.max_user_watches=524288"), 1)
        << err.text().data();

    options.addWatch = [](int, const char*, uint32_t) {
        errno = ENOSPC;
        return -1;
    };
    InotifyWatcher none(root, {}, options);
    QString error;
    EXPECT_FALSE(none.open(&error));
    EXPECT_TRUE(error.contains("fs.inotify.max_user_watches")) << error.toStdString();
    EXPECT_EQ(limitFolders, QStringList({limitFolders.value(0), root}))
        << "a root left without a watch is the limit too";
}

TEST(InotifyWatcher, QueueOverflowIsReportedOnceAndRescansTheTree) {
    const int queueLimit =
        test::readFile("/proc/sys/fs/inotify/max_queued_events").trimmed().toInt();
    if (queueLimit <= 0 || queueLimit > 100000)
        GTEST_SKIP() << "event queue limit " << queueLimit;
    const QString root = test::makeTempFolder("watched");
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};
    test::FdCapture err;
    {
        // Holding the watcher thread in its callback lets the kernel queue fill up.
        Watch w(root, quick(), [&](const QString&) {
            while (hold.load()) {
                held = true;
                std::this_thread::sleep_for(2ms);
            }
        });
        struct Release {
            std::atomic<bool>& flag;
            ~Release() { flag = false; }
        } release{hold};
        for (int round = 0; round < 2; ++round) {
            const QString bulk = root + QStringLiteral("/bulk%1").arg(round);
            const QString late = root + QStringLiteral("/late%1").arg(round);
            const int rootBefore = w.count(root);
            ASSERT_TRUE(QDir().mkdir(bulk));
            ASSERT_TRUE(w.waitFor(root, rootBefore)); // bulk is watched from here on
            hold = true;
            held = false;
            put(bulk + "/trigger.jpg");
            ASSERT_TRUE(test::waitUntil([&] { return held.load(); }, 15000));
            // Two events per file.
            for (int i = 0; i < queueLimit / 2 + 100; ++i) {
                const int fd = ::open(QFile::encodeName(bulk + "/" + QString::number(i)),
                                      O_CREAT | O_WRONLY, 0600);
                ASSERT_GE(fd, 0);
                ::close(fd);
            }
            ASSERT_TRUE(QDir().mkdir(late)); // its creation is lost with the overflow
            const int rootSeen = w.count(root);
            hold = false;
            ASSERT_TRUE(w.waitFor(root, rootSeen));
            put(late + "/x.jpg");
            EXPECT_TRUE(w.waitFor(late));
        }
    }
    EXPECT_EQ(err.text().count("sysctl fs.inotify.max_queued_events=65536"), 1)
        << err.text().data();
}

TEST(InotifyWatcher, ARootTakenAwayIsWatchedAgainOnceItIsBack) {
    const QString base = test::makeTempFolder("hot");
    const QString root = base + "/a/watched";
    const QString outside = test::makeTempFolder("outside");
    ASSERT_TRUE(QDir().mkpath(root));
    Watch w(root);

    // Deleted with its parent and made again in steps: each level is watched on the way down.
    ASSERT_TRUE(QDir(base + "/a").removeRecursively());
    ASSERT_TRUE(w.waitFor(kGone));
    ASSERT_TRUE(QDir().mkdir(base + "/a"));
    ASSERT_TRUE(QDir().mkpath(root + "/Smith"));
    ASSERT_TRUE(w.waitFor(kBack));
    put(root + "/Smith/new.jpg");
    ASSERT_TRUE(w.waitFor(root + "/Smith"));

    // Moved away, it is no longer ours.
    ASSERT_EQ(::rename(QFile::encodeName(root), QFile::encodeName(outside + "/old")), 0);
    ASSERT_TRUE(w.waitFor(kGone, 1));
    const int rootSeen = w.count(root);
    put(outside + "/old/Smith/late.jpg");
    // Made again empty: its return alone asks for a pass.
    ASSERT_TRUE(QDir().mkpath(root));
    ASSERT_TRUE(w.waitFor(kBack, 1));
    ASSERT_TRUE(w.waitFor(root, rootSeen));
    ASSERT_TRUE(QDir().mkpath(root + "/Garcia"));
    put(root + "/Garcia/new.jpg");
    ASSERT_TRUE(w.waitFor(root + "/Garcia"));
    const QStringList seen = w.seen();
    EXPECT_EQ(seen.filter(outside).size(), 0) << seen.join(' ').toStdString();
    // Nothing between going and coming back: a pass over a missing folder finds nothing.
    EXPECT_EQ(seen.at(seen.indexOf(kGone) + 1), kBack) << seen.join(' ').toStdString();
}

TEST(InotifyWatcher, ADiskMountedAgainOverTheRootIsWatched) {
    const QString disk = test::makeTempFolder("disk");
    const QByteArray path = QFile::encodeName(disk);
    if (::mount("kivo-test", path.constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount here: " << strerror(errno);
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{path};
    Watch w(disk);
    // Unplugged, the empty mount point takes its place; plugged in again, the disk does.
    ASSERT_EQ(::umount2(path.constData(), 0), 0);
    ASSERT_TRUE(w.waitFor(kBack));
    ASSERT_EQ(::mount("kivo-test", path.constData(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_TRUE(w.waitFor(kBack, 1));
    // Only a watch on the new disk sees inside a folder made on it.
    ASSERT_TRUE(QDir().mkpath(disk + "/Smith"));
    put(disk + "/Smith/photo.jpg");
    EXPECT_TRUE(w.waitFor(disk + "/Smith"));
}

namespace {

// Records the watcher's notifications: how many, posted on which threads, with what attached.
struct Notes {
    Notes() {
        auto& center = NotificationCenter::defaultCenter();
        center.addObserver(this, kWatcherStarted, [this](const Notification& n) {
            note(n, started);
            std::lock_guard<std::mutex> g(lock);
            loop = n.userInfo ? n.userInfo->value("CFRunLoopRef") : QVariant();
        });
        center.addObserver(this, kWatcherItemChanged, [this](const Notification& n) {
            note(n, changed);
            decorated = decorated || n.object || n.userInfo;
        });
    }
    ~Notes() { NotificationCenter::defaultCenter().removeObserver(this); }
    void note(const Notification&, std::atomic<int>& count) {
        std::lock_guard<std::mutex> g(lock);
        posters.insert(std::this_thread::get_id());
        ++count;
    }
    std::mutex lock;
    std::set<std::thread::id> posters;
    QVariant loop;
    std::atomic<int> started{0};
    std::atomic<int> changed{0};
    std::atomic<bool> decorated{false};
};

// doInstallTheWatcher on a thread of its own, stopped and joined when done with.
class InstalledWatcher {
public:
    explicit InstalledWatcher(const QString& root)
        : fThread([this, root] {
              fResult = doInstallTheWatcher(root);
              fFinished = true;
          }) {}
    ~InstalledWatcher() {
        // A stop sent before it began waiting is not kept, so it is repeated.
        while (!fFinished) {
            stopTheWatcher();
            std::this_thread::sleep_for(10ms);
        }
        fThread.join();
    }
    std::thread::id id() const { return fThread.get_id(); }
    bool finished() const { return fFinished; }
    bool result() const { return fResult; }

private:
    std::atomic<bool> fFinished{false};
    std::atomic<bool> fResult{false};
    std::thread fThread;
};

} // namespace

TEST(FolderWatcher, AnnouncesItselfThenPostsChangesOnItsOwnThread) {
    const QString root = test::makeTempFolder("watched");
    Notes notes;
    InstalledWatcher watcher(root);
    ASSERT_TRUE(test::waitUntil([&] { return notes.started.load() == 1; }));
    put(root + "/a.jpg");
    EXPECT_TRUE(test::waitUntil([&] { return notes.changed.load() >= 1; }, 15000));
    stopTheWatcher();
    EXPECT_TRUE(test::waitUntil([&] { return watcher.finished(); }));
    EXPECT_TRUE(watcher.result());
    std::lock_guard<std::mutex> g(notes.lock);
    EXPECT_EQ(notes.started.load(), 1);
    EXPECT_NE(notes.loop.toULongLong(), 0u);
    EXPECT_FALSE(notes.decorated.load());
    EXPECT_EQ(notes.posters, std::set<std::thread::id>{watcher.id()});
}

TEST(FolderWatcher, RefusesWhatItCannotWatch) {
    Notes notes;
    const QString folder = test::makeTempFolder("refused");
    put(folder + "/file.jpg");
    test::FdCapture err;
    EXPECT_FALSE(doInstallTheWatcher(folder + "/missing"));
    EXPECT_FALSE(doInstallTheWatcher(folder + "/file.jpg"));
    EXPECT_FALSE(doInstallTheWatcher(QString()));
    EXPECT_TRUE(err.text().contains(QFile::encodeName(folder + "/missing"))) << err.text().data();
    EXPECT_EQ(notes.started.load(), 0);
}
