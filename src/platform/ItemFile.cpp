#include "platform/ItemFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kivo {

namespace {

FileIdentity fromStat(const struct stat& st) {
    FileIdentity id;
    id.device = std::uint64_t(st.st_dev);
    id.inode = std::uint64_t(st.st_ino);
    id.size = std::int64_t(st.st_size);
    id.mtimeNs = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString FileIdentity::describe() const {
    return QStringLiteral("inode %1, %2 bytes, modified %3 ns").arg(inode).arg(size).arg(mtimeNs);
}

std::optional<FileIdentity> identityOfPath(const QString& path) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || ::lstat(native.constData(), &st) != 0)
        return std::nullopt;
    return fromStat(st);
}

std::optional<FileIdentity> identityOfFd(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return std::nullopt;
    return fromStat(st);
}

WriterState writerState(int fd) {
    // The kernel refuses a read lease while any descriptor has the file open for writing.
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return WriterState::None;
    }
    return errno == EAGAIN ? WriterState::Writing : WriterState::Unknown;
}

ItemFile::~ItemFile() {
    if (fFd >= 0)
        ::close(fFd);
}

ItemFile::ItemFile(ItemFile&& other) noexcept
    : fFd(std::exchange(other.fFd, -1)), fFailure(other.fFailure),
      fFailureText(std::move(other.fFailureText)), fIdentity(other.fIdentity) {}

ItemFile& ItemFile::operator=(ItemFile&& other) noexcept {
    if (this != &other) {
        if (fFd >= 0)
            ::close(fFd);
        fFd = std::exchange(other.fFd, -1);
        fFailure = other.fFailure;
        fFailureText = std::move(other.fFailureText);
        fIdentity = other.fIdentity;
    }
    return *this;
}

ItemFile ItemFile::open(const QString& path) {
    ItemFile file;
    const QByteArray native = QFile::encodeName(path);
    int fd = -1;
    if (!native.isEmpty()) {
        // O_NONBLOCK: a FIFO put in the folder must not block the scan.
        do {
            fd = ::open(native.constData(),
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
    } else {
        errno = ENOENT;
    }
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP) {
            file.fFailure = Failure::SymbolicLink;
            file.fFailureText = QStringLiteral("is a symbolic link");
        } else {
            file.fFailure = error == ENOENT ? Failure::Missing : Failure::Unreadable;
            file.fFailureText = errnoText(error);
        }
        return file;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool statFailed = st.st_mode == 0;
        file.fFailure = statFailed ? Failure::Unreadable : Failure::NotRegular;
        file.fFailureText = statFailed ? errnoText(errno) : QStringLiteral("is not a regular file");
        ::close(fd);
        return file;
    }
    // Reads from here on are ordinary blocking reads.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file.fFd = fd;
    file.fIdentity = fromStat(st);
    return file;
}

std::optional<FileIdentity> ItemFile::currentIdentity() const {
    return identityOfFd(fFd);
}

bool ItemFile::unchangedAt(const QString& path) const {
    const std::optional<FileIdentity> now = currentIdentity();
    const std::optional<FileIdentity> named = identityOfPath(path);
    return now && named && *now == fIdentity && *named == fIdentity;
}

bool ItemFile::readAt(char* buffer, std::int64_t length, std::int64_t offset) const {
    std::int64_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fFd, buffer + done, size_t(length - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace kivo
