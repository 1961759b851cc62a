#include "platform/InotifyWatcher.h"

#include "platform/Console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace kivo {

namespace {

constexpr uint32_t kEventMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK;
// What an ancestor of a missing root shows when the root (or the next folder on its way)
// appears, becomes readable, or when the ancestor itself goes.
constexpr uint32_t kAncestorMask =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Gone or replaced between the event and our look at it: its parent's event covers it.
bool vanished(int err) {
    return err == ENOENT || err == ENOTDIR || err == ELOOP;
}

QByteArray join(const QByteArray& folder, const QByteArray& name) {
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

QString display(const QByteArray& path) {
    return QFile::decodeName(path);
}

// Opens a folder for listing. A path longer than PATH_MAX is opened one component at a time.
int openFolder(const QByteArray& path, bool followLast) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLast ? 0 : O_NOFOLLOW);
    int fd = ::open(path.constData(), flags);
    if (fd >= 0 || errno != ENAMETOOLONG)
        return fd;
    const QList<QByteArray> parts = path.split('/');
    qsizetype last = parts.size() - 1;
    while (last > 0 && parts[last].isEmpty())
        --last;
    fd = ::open(path.startsWith('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (qsizetype i = 0; fd >= 0 && i <= last; ++i) {
        if (parts[i].isEmpty())
            continue;
        const int next = ::openat(fd, parts[i].constData(),
                                  i == last ? flags : O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int err = errno;
        ::close(fd);
        errno = err;
        fd = next;
    }
    return fd;
}

bool isFolderEntry(DIR* dir, const dirent* e) {
    if (e->d_type != DT_UNKNOWN)
        return e->d_type == DT_DIR;
    struct stat st;
    return fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

InotifyWatcher::InotifyWatcher(const QString& root, ChangeHandler onChange,
                               InotifyWatcherOptions options)
    : fRoot(QDir::cleanPath(QFileInfo(root).absoluteFilePath())),
      fRootPath(QFile::encodeName(fRoot)), fOnChange(std::move(onChange)),
      fOptions(std::move(options)) {
    // Made here so that stop() works at any time, even before open().
    fWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

InotifyWatcher::~InotifyWatcher() {
    if (fInotifyFd >= 0)
        ::close(fInotifyFd);
    if (fMountsFd >= 0)
        ::close(fMountsFd);
    if (fWakeFd >= 0)
        ::close(fWakeFd);
}

bool InotifyWatcher::open(QString* error) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (fInotifyFd >= 0)
        return true;
    if (fWakeFd < 0)
        return fail(QStringLiteral("cannot make a wake-up descriptor: %1").arg(qt_error_string()));
    fInotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fInotifyFd < 0) {
        const int err = errno;
        if (err == EMFILE)
            return fail(QStringLiteral("no more inotify instances; raise "
                                       "fs.inotify.max_user_instances, e.g. "
                                       "sysctl fs.inotify.max_user_instances=512"));
        return fail(QStringLiteral("inotify: %1").arg(qt_error_string(err)));
    }
    int rootError = 0;
    addTree(fRootPath, true, &rootError);
    if (fRootWd >= 0) {
        // Without it a disk mounted again over a missing root is only found by the re-check.
        fMountsFd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        return true;
    }
    ::close(fInotifyFd);
    fInotifyFd = -1;
    fPaths.clear();
    fPending.clear();
    fPendingSet.clear();
    if (rootError == ENOSPC) {
        // The caller reports the error; the callback still hears of the limit.
        if (fOptions.onWatchLimit)
            fOptions.onWatchLimit(fRoot);
        return fail(QStringLiteral("no more inotify watches; raise fs.inotify.max_user_watches, "
                                   "e.g. sysctl fs.inotify.max_user_watches=524288"));
    }
    return fail(qt_error_string(rootError));
}

int InotifyWatcher::addWatchOn(const QByteArray& path, uint32_t mask) {
    if (fOptions.addWatch)
        return fOptions.addWatch(fInotifyFd, path.constData(), mask);
    return inotify_add_watch(fInotifyFd, path.constData(), mask);
}

int InotifyWatcher::addWatch(int dirFd, const QByteArray& path, bool follow) {
    uint32_t mask = kEventMask | (follow ? 0 : IN_DONT_FOLLOW);
    QByteArray target = path;
    if (path.size() >= PATH_MAX) {
        // The kernel refuses such a path; the open folder stands for it (a link to follow).
        target = "/proc/self/fd/" + QByteArray::number(dirFd);
        mask &= ~uint32_t(IN_DONT_FOLLOW);
    }
    return addWatchOn(target, mask);
}

bool InotifyWatcher::addTree(const QByteArray& top, bool isRoot, int* topError) {
    bool found = false;
    std::vector<QByteArray> todo{top};
    // Watch descriptors name inodes, so a folder reached twice (bind mounts) ends the descent.
    std::unordered_set<int> visited;
    bool atTop = true;
    while (!todo.empty()) {
        const QByteArray folder = std::move(todo.back());
        todo.pop_back();
        const bool follow = isRoot && atTop;
        const bool wasTop = atTop;
        atTop = false;

        const int fd = openFolder(folder, follow);
        int wd = -1;
        int err = 0;
        if (fd < 0)
            err = errno;
        else if ((wd = addWatch(fd, folder, follow)) < 0)
            err = errno;
        if (err != 0) {
            if (fd >= 0)
                ::close(fd);
            if (wasTop && topError) {
                *topError = err;
            } else if (err == ENOSPC) {
                reportWatchLimit(folder);
                markChanged(folder);
            } else if (!vanished(err)) {
                consoleLine(QStringLiteral("Folder watcher: cannot watch [%1]: %2")
                                .arg(display(folder), qt_error_string(err)));
            }
            continue;
        }
        if (follow) {
            fRootWd = wd;
            struct stat st;
            fHaveRootId = ::fstat(fd, &st) == 0;
            if (fHaveRootId) {
                fRootDev = st.st_dev;
                fRootIno = st.st_ino;
            }
        }
        if (!visited.insert(wd).second) {
            ::close(fd);
            continue;
        }
        fPaths[wd] = folder;

        DIR* dir = fdopendir(fd);
        if (!dir) {
            ::close(fd);
            continue;
        }
        while (const dirent* e = readdir(dir)) {
            const QByteArray name(e->d_name);
            if (name == "." || name == "..")
                continue;
            found = true;
            if (isFolderEntry(dir, e))
                todo.push_back(join(folder, name));
        }
        closedir(dir);
    }
    return found;
}

void InotifyWatcher::forgetTree(const QByteArray& path) {
    const QByteArray inside = join(path, QByteArray());
    for (auto it = fPaths.begin(); it != fPaths.end();) {
        if (it->second == path || it->second.startsWith(inside)) {
            inotify_rm_watch(fInotifyFd, it->first);
            it = fPaths.erase(it);
        } else {
            ++it;
        }
    }
}

void InotifyWatcher::handleEvent(const inotify_event& ev) {
    if (ev.mask & IN_Q_OVERFLOW) {
        reportOverflow();
        // The root's own removal may be among the lost events.
        checkRoot();
        if (fRootGone)
            return;
        // Folders made while events were lost have no watch yet.
        addTree(fRootPath, true, nullptr);
        markChanged(fRootPath);
        return;
    }
    if (fAncestorWd >= 0 && ev.wd == fAncestorWd) {
        handleAncestorEvent(ev);
        return;
    }
    const auto it = fPaths.find(ev.wd);
    if (it == fPaths.end())
        return; // a watch we already dropped
    const QByteArray folder = it->second;
    if (ev.wd == fRootWd && (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        rootGone();
        return;
    }
    if (ev.mask & IN_IGNORED) {
        fPaths.erase(it);
        return;
    }
    if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        // A sub-folder's own removal shows in its parent as well.
        return;
    }
    markChanged(folder);
    if (!(ev.mask & IN_ISDIR) || ev.len == 0)
        return;
    const QByteArray child = join(folder, QByteArray(ev.name));
    if (ev.mask & IN_MOVED_FROM) {
        // Gone from the tree, or coming back under a new name with its own IN_MOVED_TO.
        forgetTree(child);
    } else if (ev.mask & (IN_CREATE | IN_MOVED_TO)) {
        // What the folder held before its watch existed was never reported.
        if (addTree(child, false, nullptr))
            markChanged(child);
    }
}

void InotifyWatcher::rootGone() {
    // A moved-away tree still reports under its old names; none of it is ours any more.
    for (const auto& [wd, path] : fPaths)
        inotify_rm_watch(fInotifyFd, wd);
    fPaths.clear();
    fRootWd = -1;
    fHaveRootId = false;
    // Changes inside the folder went with it; a pass over a missing folder finds nothing.
    fPending.clear();
    fPendingSet.clear();
    fRootGone = true;
    announceRoot(false);
    fNextRecheck = Clock::now() + fOptions.rootRecheckInterval;
    lookForRoot();
}

void InotifyWatcher::lookForRoot() {
    // Bounded: a path that keeps changing under us is left to the next event or re-check.
    for (int round = 0; fRootGone && round < 64; ++round) {
        int error = 0;
        addTree(fRootPath, true, &error);
        if (fRootWd >= 0) {
            fRootGone = false;
            dropAncestorWatch();
            announceRoot(true);
            // Whatever it holds now has never been seen.
            markChanged(fRootPath);
            return;
        }
        const int watchedBefore = fAncestorWd;
        const QByteArray pathBefore = fAncestorPath;
        watchNearestAncestor();
        // A folder made between our look and the new watch raised no event we could see.
        if (fAncestorWd == watchedBefore && fAncestorPath == pathBefore)
            return;
    }
}

void InotifyWatcher::watchNearestAncestor() {
    QByteArray path = fRootPath;
    while (path.size() > 1) {
        const qsizetype slash = path.lastIndexOf('/');
        if (slash < 0)
            break;
        const QByteArray parent = slash == 0 ? QByteArray("/") : path.left(slash);
        const int wd = addWatchOn(parent, kAncestorMask);
        if (wd >= 0) {
            if (fAncestorWd >= 0 && fAncestorWd != wd)
                inotify_rm_watch(fInotifyFd, fAncestorWd);
            fAncestorWd = wd;
            fAncestorPath = parent;
            fAncestorChild = path.mid(slash + 1);
            return;
        }
        path = parent;
    }
    // Nothing above can be watched: the re-check and mount changes are all that is left.
    dropAncestorWatch();
}

void InotifyWatcher::dropAncestorWatch() {
    if (fAncestorWd >= 0)
        inotify_rm_watch(fInotifyFd, fAncestorWd);
    fAncestorWd = -1;
    fAncestorPath.clear();
    fAncestorChild.clear();
}

void InotifyWatcher::handleAncestorEvent(const inotify_event& ev) {
    if (ev.mask & IN_IGNORED) {
        fAncestorWd = -1; // the kernel dropped it; a higher folder takes over
        fAncestorPath.clear();
        fAncestorChild.clear();
    } else if (ev.len > 0 && QByteArray(ev.name) != fAncestorChild) {
        return; // a sibling: the ancestor may be a busy folder such as /tmp
    }
    lookForRoot();
}

void InotifyWatcher::checkRoot() {
    if (fRootGone) {
        lookForRoot();
        return;
    }
    // A disk mounted over the root (or taken from under it) puts another folder at its path
    // without an event on the watched one.
    struct stat st;
    if (::stat(fRootPath.constData(), &st) != 0) {
        if (vanished(errno))
            rootGone();
    } else if (!fHaveRootId || st.st_dev != fRootDev || st.st_ino != fRootIno) {
        rootGone();
    }
}

void InotifyWatcher::readEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fInotifyFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // EAGAIN: drained
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + ev->len);
            handleEvent(*ev);
        }
    }
}

void InotifyWatcher::markChanged(const QByteArray& folder) {
    if (fPendingSet.contains(folder))
        return;
    if (fPending.empty())
        fBatchStart = Clock::now();
    fPending.push_back(folder);
    fPendingSet.insert(folder);
}

InotifyWatcher::Clock::time_point InotifyWatcher::dueTime() const {
    auto due = fBatchStart + fOptions.latency;
    const auto interval = fOptions.flushInterval;
    if (interval.count() > 0) {
        // The first flush tick after the batch began; ticks run from the start of run().
        const auto ticks = (fBatchStart - fRunStart) / interval + 1;
        due = std::min(due, fRunStart + ticks * interval);
    }
    return due;
}

int InotifyWatcher::pollTimeoutMs() const {
    std::optional<Clock::time_point> due;
    if (!fPending.empty())
        due = dueTime();
    if (fRootGone && fOptions.rootRecheckInterval.count() > 0)
        due = due ? std::min(*due, fNextRecheck) : fNextRecheck;
    if (!due)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
    return int(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

void InotifyWatcher::deliver() {
    std::vector<QByteArray> batch;
    batch.swap(fPending);
    fPendingSet.clear();
    for (const QByteArray& folder : batch) {
        if (fStopRequested.load())
            return;
        if (fOnChange)
            fOnChange(display(folder));
    }
}

void InotifyWatcher::run() {
    if (fInotifyFd < 0)
        return;
    fRunStart = Clock::now();
    if (!fPending.empty())
        fBatchStart = fRunStart; // found by open(): count from now
    // poll skips a negative descriptor, so a missing mount table costs nothing.
    pollfd fds[3] = {{fWakeFd, POLLIN, 0}, {fInotifyFd, POLLIN, 0}, {fMountsFd, POLLPRI, 0}};
    while (!fStopRequested.load()) {
        // Blocks without a time-out while nothing is pending: an idle watcher costs nothing.
        const int rc = ::poll(fds, 3, pollTimeoutMs());
        if (rc < 0 && errno != EINTR) {
            consoleLine(QStringLiteral("Folder watcher: poll failed: %1").arg(qt_error_string()));
            return;
        }
        if (fStopRequested.load())
            return;
        if (rc > 0 && (fds[1].revents & POLLIN))
            readEvents();
        if (rc > 0 && (fds[2].revents & (POLLPRI | POLLERR)))
            checkRoot();
        if (fRootGone && fOptions.rootRecheckInterval.count() > 0 && Clock::now() >= fNextRecheck) {
            fNextRecheck = Clock::now() + fOptions.rootRecheckInterval;
            lookForRoot();
        }
        if (!fPending.empty() && Clock::now() >= dueTime())
            deliver();
    }
}

void InotifyWatcher::stop() {
    fStopRequested.store(true);
    if (fWakeFd < 0)
        return;
    const uint64_t one = 1;
    // Fails only when the counter is already huge, and then poll wakes anyway.
    [[maybe_unused]] const ssize_t written = ::write(fWakeFd, &one, sizeof one);
}

void InotifyWatcher::reportWatchLimit(const QByteArray& path) {
    if (fReportedWatchLimit)
        return;
    fReportedWatchLimit = true;
    if (fOptions.onWatchLimit)
        fOptions.onWatchLimit(display(path));
    consoleLine(
        QStringLiteral("Folder watcher: the inotify watch limit is reached at [%1]; changes "
                       "in folders without a watch are only seen by later scans. Raise "
                       "fs.inotify.max_user_watches, e.g. "
                       "sysctl fs.inotify.max_user_watches=524288")
            .arg(display(path)));
}

void InotifyWatcher::reportOverflow() {
    if (fReportedOverflow)
        return;
    fReportedOverflow = true;
    consoleLine(
        QStringLiteral("Folder watcher: the inotify event queue overflowed and changes were "
                       "lost; [%1] is scanned again. If this repeats, raise "
                       "fs.inotify.max_queued_events, e.g. "
                       "sysctl fs.inotify.max_queued_events=65536")
            .arg(fRoot));
}

void InotifyWatcher::announceRoot(bool present) {
    if (fOptions.onRootPresence) {
        fOptions.onRootPresence(present);
        return;
    }
    const QString text =
        present ? QStringLiteral("Folder watcher: [%1] is back; watching it again")
                : QStringLiteral("Folder watcher: [%1] is gone; watching for it to come back");
    consoleLine(text.arg(fRoot));
}

} // namespace kivo
