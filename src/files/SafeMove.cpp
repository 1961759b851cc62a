#include "files/SafeMove.h"

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kivo::safemove {

namespace {

Result failure(int error, const char* operation) {
    Result r;
    r.error = error;
    r.operation = QString::fromLatin1(operation);
    return r;
}

QByteArray parentOf(const QByteArray& path) {
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

// Some file systems cannot sync (EINVAL): nothing more can be done there, so it is no failure.
bool syncFd(int fd) {
    return ::fsync(fd) == 0 || errno == EINVAL;
}

bool syncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = syncFd(fd);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

QByteArray nameOf(const QByteArray& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

// Whether two paths name one directory entry (not merely one file).
bool sameEntry(const QByteArray& a, const QByteArray& b) {
    struct stat pa {
    }, pb{};
    return nameOf(a) == nameOf(b) && ::stat(parentOf(a).constData(), &pa) == 0 &&
           ::stat(parentOf(b).constData(), &pb) == 0 && pa.st_dev == pb.st_dev &&
           pa.st_ino == pb.st_ino;
}

bool proceed(const Options& options, Stage stage) {
    if (options.proceed && !options.proceed(stage)) {
        errno = ECANCELED;
        return false;
    }
    return true;
}

QByteArray temporaryName(const QByteArray& folder) {
    return folder + "/" + kTemporaryPrefix +
           QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

// Copies being written by this process, so a quit can take them away.
std::mutex gUnderWayMutex;
QSet<QByteArray> gUnderWay;
bool gCopyingStopped = false; // under gUnderWayMutex

// False once the process is quitting: the copy must not go on.
bool copyStarted(const QByteArray& temp) {
    std::lock_guard<std::mutex> g(gUnderWayMutex);
    if (gCopyingStopped)
        return false;
    gUnderWay.insert(temp);
    return true;
}

void copyEnded(const QByteArray& temp) {
    std::lock_guard<std::mutex> g(gUnderWayMutex);
    gUnderWay.remove(temp);
}

// Makes a whole, synced copy of the regular file at a fresh hidden name in `folder`; returns
// that name, or an empty one (errno set, nothing left behind) on failure.
QByteArray copyRegularFile(const QByteArray& from, const QByteArray& folder, const Options& options,
                           const char*& failedStep) {
    failedStep = "open source";
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return {};
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int saved = (st.st_mode == 0) ? errno : EINVAL;
        ::close(in);
        errno = saved;
        return {};
    }

    failedStep = "create temporary copy";
    QByteArray temp;
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        temp = temporaryName(folder);
        out = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST)
            break;
    }
    if (out < 0) {
        const int saved = errno;
        ::close(in);
        errno = saved;
        return {};
    }
    if (!copyStarted(temp)) {
        ::close(out);
        ::close(in);
        ::unlink(temp.constData());
        errno = ECANCELED;
        return {};
    }

    bool ok = true;
    failedStep = "copy";
    std::vector<char> buffer(1 << 20);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
        } else if (n == 0) {
            break;
        } else {
            ok = writeAll(out, buffer.data(), size_t(n)) && proceed(options, Stage::CopyChunk);
        }
    }
    if (ok) {
        failedStep = "set attributes";
        // The copy stands in for the original: same permissions and times (the mirror's
        // clean-up goes by age). Ownership only matters, and only works, for root.
        ok = ::fchmod(out, st.st_mode & 07777) == 0;
        if (ok && ::geteuid() == 0 && ::fchown(out, st.st_uid, st.st_gid) != 0) {
            // Not fatal: the file is whole and readable by its new owner.
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ok = ok && ::futimens(out, times) == 0;
    }
    if (ok) {
        failedStep = "sync copy";
        ok = syncFd(out);
    }
    int saved = errno;
    if (::close(out) != 0 && ok) {
        ok = false;
        failedStep = "close copy";
        saved = errno;
    }
    ::close(in);
    if (!ok) {
        ::unlink(temp.constData());
        copyEnded(temp);
        errno = saved;
        return {};
    }
    return temp;
}

QByteArray copySymlink(const QByteArray& from, const QByteArray& folder, const char*& failedStep) {
    failedStep = "read link";
    QByteArray target(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink(from.constData(), target.data(), size_t(target.size()));
        if (n < 0)
            return {};
        if (n < target.size()) {
            target.truncate(int(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    failedStep = "create temporary link";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray temp = temporaryName(folder);
        if (::symlink(target.constData(), temp.constData()) == 0)
            return temp;
        if (errno != EEXIST)
            break;
    }
    return {};
}

Result moveByCopying(const QByteArray& from, const QByteArray& to, const struct stat& st,
                     const Options& options) {
    const QByteArray folder = parentOf(to);
    const char* step = "copy";
    QByteArray temp;
    if (S_ISREG(st.st_mode))
        temp = copyRegularFile(from, folder, options, step);
    else if (S_ISLNK(st.st_mode))
        temp = copySymlink(from, folder, step);
    else
        errno = ENOTSUP; // devices, pipes and sockets are never photos
    if (temp.isEmpty())
        return failure(errno, step);

    auto abandon = [&](const char* operation) {
        const int saved = errno;
        ::unlink(temp.constData());
        copyEnded(temp);
        return failure(saved, operation);
    };
    if (!proceed(options, Stage::BeforePlacing))
        return abandon("place copy");
    const int placed = options.overwrite ? ::rename(temp.constData(), to.constData())
                                         : renameNoReplace(temp.constData(), to.constData());
    if (placed != 0)
        return abandon("place copy");
    copyEnded(temp);

    // The copy must be durable under its final name before the original goes.
    bool ok = syncFolder(folder);
    const char* failedStep = "sync destination folder";
    if (ok) {
        failedStep = "remove source";
        ok = proceed(options, Stage::BeforeRemovingSource) && ::unlink(from.constData()) == 0;
    }
    if (!ok) {
        const int saved = errno;
        // A name we claimed goes back to being free; a replaced file cannot come back, and
        // the copy that replaced it is whole, so it stays.
        if (!options.overwrite)
            ::unlink(to.constData());
        return failure(saved, failedStep);
    }
    syncFolder(parentOf(from));
    Result r;
    r.ok = true;
    return r;
}

bool sameBytes(int a, int b, qint64 size) {
    std::vector<char> left(1 << 20), right(1 << 20);
    for (qint64 done = 0; done < size;) {
        const size_t chunk = size_t(std::min<qint64>(qint64(left.size()), size - done));
        const ssize_t na = ::pread(a, left.data(), chunk, off_t(done));
        const ssize_t nb = ::pread(b, right.data(), chunk, off_t(done));
        if (na <= 0 || na != nb || std::memcmp(left.data(), right.data(), size_t(na)) != 0)
            return false;
        done += na;
    }
    return true;
}

} // namespace

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

int stopCopying() {
    std::lock_guard<std::mutex> g(gUnderWayMutex);
    gCopyingStopped = true;
    int removed = 0;
    for (const QByteArray& temp : std::as_const(gUnderWay))
        removed += ::unlink(temp.constData()) == 0 ? 1 : 0;
    gUnderWay.clear();
    return removed;
}

int sweepUnfinishedCopies(const QString& folder) {
    int removed = 0;
    QDirIterator it(folder, {QString::fromLatin1(kTemporaryPrefix) + QLatin1Char('*')},
                    QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        // Only our own plain files; a copy of this process still under way is left alone.
        const QByteArray native = QFile::encodeName(path);
        struct stat st {};
        if (::lstat(native.constData(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
            continue;
        {
            std::lock_guard<std::mutex> g(gUnderWayMutex);
            if (gUnderWay.contains(native))
                continue;
        }
        removed += ::unlink(native.constData()) == 0 ? 1 : 0;
    }
    return removed;
}

bool sameFile(const QString& a, const QString& b) {
    const int fa = ::open(QFile::encodeName(a).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fa < 0)
        return false;
    const int fb = ::open(QFile::encodeName(b).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fb < 0) {
        ::close(fa);
        return false;
    }
    struct stat sa {
    }, sb{};
    const bool same =
        ::fstat(fa, &sa) == 0 && ::fstat(fb, &sb) == 0 && S_ISREG(sa.st_mode) &&
        S_ISREG(sb.st_mode) && sa.st_size == sb.st_size && sa.st_mtim.tv_sec == sb.st_mtim.tv_sec &&
        sa.st_mtim.tv_nsec == sb.st_mtim.tv_nsec && sameBytes(fa, fb, qint64(sa.st_size));
    ::close(fa);
    ::close(fb);
    return same;
}

int renameNoReplace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
    // File systems without the flag: a hard link claims the name, or fails when it is taken.
    if (::link(from, to) != 0)
        return -1;
    if (::unlink(from) == 0)
        return 0;
    const int saved = errno;
    ::unlink(to);
    errno = saved;
    return -1;
}

Result moveEntry(const QString& fromPath, const QString& toPath, const Options& options) {
    const QByteArray from = QFile::encodeName(fromPath);
    const QByteArray to = QFile::encodeName(toPath);
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0)
        return failure(errno, "inspect source");
    if (S_ISDIR(st.st_mode))
        return failure(EISDIR, "inspect source");

    if (!options.forceCopy) {
        const int rc = options.overwrite ? ::rename(from.constData(), to.constData())
                                         : renameNoReplace(from.constData(), to.constData());
        if (rc == 0) {
            // Renaming one of two hard links of a file onto the other leaves both names.
            struct stat left {};
            if (::lstat(from.constData(), &left) == 0 && left.st_ino == st.st_ino &&
                left.st_dev == st.st_dev) {
                // One entry under two spellings: the file never left the source.
                if (sameEntry(from, to))
                    return failure(EINVAL, "rename");
                if (::unlink(from.constData()) != 0)
                    return failure(errno, "remove source");
            }
            syncFolder(parentOf(to));
            Result r;
            r.ok = true;
            return r;
        }
        if (errno != EXDEV)
            return failure(errno, "rename");
    }
    return moveByCopying(from, to, st, options);
}

} // namespace kivo::safemove
