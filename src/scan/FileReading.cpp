#include "scan/FileReading.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::scan_internal {

namespace {

void xmpLock(void* data, bool lock) {
    auto* m = static_cast<std::recursive_mutex*>(data);
    if (lock)
        m->lock();
    else
        m->unlock();
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Only regular files: a FIFO or a device in the source folder could block or never end.
bool isRegularFile(const QByteArray& native, QString* error) {
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        *error = errnoText();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = QStringLiteral("not a regular file");
        return false;
    }
    return true;
}

} // namespace

void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        // Never destroyed: scans on detached threads may still use it at exit.
        static auto* lock = new std::recursive_mutex;
        Exiv2::XmpParser::initialize(xmpLock, lock);
    });
}

std::unique_ptr<Exiv2::Image> openExivImage(const QString& path, QString* error) {
    prepareExiv2();
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) {
        *error = QStringLiteral("empty path");
        return nullptr;
    }
    if (!isRegularFile(native, error))
        return nullptr;
    try {
        std::unique_ptr<Exiv2::Image> image(
            Exiv2::ImageFactory::open(native.toStdString()).release());
        if (!image)
            *error = QStringLiteral("unknown image type");
        return image;
    } catch (const std::exception& e) {
        *error = QString::fromUtf8(e.what());
    } catch (...) {
        *error = QStringLiteral("unknown error");
    }
    return nullptr;
}

std::optional<QByteArray> readTail(const QString& path, qint64 n, qint64* size, QString* error) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) {
        *error = QStringLiteral("empty path");
        return std::nullopt;
    }
    int fd;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = errnoText();
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = S_ISREG(st.st_mode) ? errnoText() : QStringLiteral("not a regular file");
        ::close(fd);
        return std::nullopt;
    }
    *size = st.st_size;
    if (st.st_size < n) {
        ::close(fd);
        return QByteArray();
    }
    QByteArray tail(n, Qt::Uninitialized);
    qint64 done = 0;
    while (done < n) {
        const ssize_t got =
            ::pread(fd, tail.data() + done, size_t(n - done), st.st_size - n + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // Shortened while we read: treat like a file still being written.
            *error = got < 0 ? errnoText() : QStringLiteral("file shrank while reading");
            ::close(fd);
            return std::nullopt;
        }
        done += got;
    }
    ::close(fd);
    return tail;
}

} // namespace kivo::scan_internal
