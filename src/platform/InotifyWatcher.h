#pragma once
// Recursive change notification for one folder tree over inotify, coalesced like an event
// stream with a latency: the folders in which something changed are collected and delivered
// together, one callback per folder, a latency after the first change of the batch, and never
// later than the next tick of the flush interval. When the root itself goes (deleted, moved
// away, its disk unmounted) the watcher waits for a folder to appear at the same path again,
// watches that one and reports the root as changed.
#include <QByteArray>
#include <QSet>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

struct inotify_event;

namespace kivo {

struct InotifyWatcherOptions {
    std::chrono::milliseconds latency{1000};
    // Pending changes are also delivered at every multiple of this after run() starts.
    // Zero or negative: no flush.
    std::chrono::milliseconds flushInterval{3000};
    // While the root is gone its path is also looked at this often, for returns that raise no
    // event we can watch (a network share coming back). Zero or negative: only on events.
    std::chrono::milliseconds rootRecheckInterval{5000};
    // Called on the thread in run() when the root goes (false) and when it is watched again
    // (true). Without it the watcher writes console lines of its own.
    std::function<void(bool present)> onRootPresence;
    // Called once, on the thread in open()/run(), when a folder cannot be watched because the
    // watch table is full (the folder named is the first one left out).
    std::function<void(const QString& folder)> onWatchLimit;
    // Stands in for inotify_add_watch(2), so tests can simulate a full watch table.
    std::function<int(int fd, const char* path, uint32_t mask)> addWatch;
};

class InotifyWatcher {
public:
    // Called on the thread in run(), once per folder of a delivered batch. The root stands for
    // "something changed somewhere" when changes were lost (queue overflow, watch limit).
    using ChangeHandler = std::function<void(const QString& folder)>;

    InotifyWatcher(const QString& root, ChangeHandler onChange,
                   InotifyWatcherOptions options = InotifyWatcherOptions());
    ~InotifyWatcher();
    InotifyWatcher(const InotifyWatcher&) = delete;
    InotifyWatcher& operator=(const InotifyWatcher&) = delete;

    // Creates the inotify instance and watches every folder of the tree (symbolic links below
    // the root are not followed). False with a reason when the root cannot be watched.
    bool open(QString* error = nullptr);
    // Waits for changes and delivers them until stop(); returns at once when open() failed.
    void run();
    // Any thread, any time, also from the change handler: run() returns promptly.
    void stop();

    const QString& root() const { return fRoot; }

private:
    using Clock = std::chrono::steady_clock;

    // Watches top and every folder below it; true when anything was found in them.
    bool addTree(const QByteArray& top, bool isRoot, int* topError);
    int addWatch(int dirFd, const QByteArray& path, bool follow);
    int addWatchOn(const QByteArray& path, uint32_t mask);
    void forgetTree(const QByteArray& path);
    void rootGone();
    // While the root is gone: watches it again when it is back, else the nearest ancestor.
    void lookForRoot();
    void watchNearestAncestor();
    void dropAncestorWatch();
    void handleAncestorEvent(const inotify_event& ev);
    // The root counts as gone once its path names another folder or none (after a mount
    // change, or events lost).
    void checkRoot();
    void announceRoot(bool present);
    void readEvents();
    void handleEvent(const inotify_event& ev);
    void markChanged(const QByteArray& folder);
    Clock::time_point dueTime() const;
    int pollTimeoutMs() const;
    void deliver();
    void reportWatchLimit(const QByteArray& path);
    void reportOverflow();

    QString fRoot;
    QByteArray fRootPath;
    ChangeHandler fOnChange;
    InotifyWatcherOptions fOptions;
    int fInotifyFd = -1;
    int fWakeFd = -1;
    int fRootWd = -1;
    int fMountsFd = -1; // /proc/self/mountinfo: readable for poll(POLLPRI) on mount changes
    std::atomic<bool> fStopRequested{false};

    // Touched only by the thread in open()/run().
    std::unordered_map<int, QByteArray> fPaths; // watch descriptor -> folder
    std::vector<QByteArray> fPending;           // changed folders, in order of first change
    QSet<QByteArray> fPendingSet;
    Clock::time_point fBatchStart;
    Clock::time_point fRunStart;
    bool fReportedWatchLimit = false;
    bool fReportedOverflow = false;

    // The folder the root path named when it was watched, to notice another one taking its
    // place (a disk mounted over it).
    bool fHaveRootId = false;
    dev_t fRootDev = 0;
    ino_t fRootIno = 0;
    bool fRootGone = false;
    int fAncestorWd = -1;
    QByteArray fAncestorPath;
    QByteArray fAncestorChild; // the next component of the root path below fAncestorPath
    Clock::time_point fNextRecheck;
};

} // namespace kivo
