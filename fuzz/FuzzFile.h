#pragma once
// The readers take a path: each input is written to one file per process and read back.
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace kivo::fuzz {

inline QString inputPath(const char* extension) {
    return QStringLiteral("/tmp/kivo-fuzz-%1.%2")
        .arg(qint64(getpid()))
        .arg(QLatin1String(extension));
}

inline void writeInput(const QString& path, const uint8_t* data, size_t size) {
    const int fd =
        ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += size_t(n);
    }
    ::close(fd);
}

// Removes the per-process file at exit.
struct InputFile {
    QString path;
    explicit InputFile(const char* extension) : path(inputPath(extension)) {}
    ~InputFile() { ::unlink(path.toLocal8Bit().constData()); }
};

} // namespace kivo::fuzz
