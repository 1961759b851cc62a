#include "platform/Trash.h"

#include "platform/Bundle.h"
#include "platform/Console.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

QString errorText(int err) {
    return QString::fromLocal8Bit(strerror(err));
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Deletable the way a file browser sees it: the folder holding it can be written, and a sticky
// folder only lets the owners remove entries.
bool isDeletable(const QByteArray& path, const QByteArray& parent) {
    struct stat item {};
    struct stat folder {};
    if (::lstat(path.constData(), &item) != 0 || ::stat(parent.constData(), &folder) != 0)
        return false;
    if (::access(parent.constData(), W_OK | X_OK) != 0)
        return false;
    const uid_t me = geteuid();
    if ((folder.st_mode & S_ISVTX) && me != 0 && item.st_uid != me && folder.st_uid != me)
        return false;
    return true;
}

// Copy for a move across file systems: contents, mode and times, on disk before the original
// goes away.
bool copyAcross(const QByteArray& from, const QByteArray& to, QString* error) {
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        *error = errorText(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        QByteArray target(qsizetype(st.st_size) + 1, '\0');
        const ssize_t n = ::readlink(from.constData(), target.data(), size_t(target.size()));
        if (n < 0 || n >= target.size()) {
            *error = n < 0 ? errorText(errno) : QStringLiteral("link changed while copying");
            return false;
        }
        target.truncate(n);
        if (::symlink(target.constData(), to.constData()) != 0) {
            *error = errorText(errno);
            return false;
        }
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = QStringLiteral("only files and links can be moved across file systems");
        return false;
    }
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        *error = errorText(errno);
        return false;
    }
    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        *error = errorText(errno);
        ::close(in);
        return false;
    }
    int err = 0;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || !writeAll(out, buffer, size_t(n))) {
            err = errno ? errno : EIO;
            break;
        }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!err && (::fchmod(out, st.st_mode & 07777) != 0 || ::futimens(out, times) != 0 ||
                 ::fsync(out) != 0))
        err = errno;
    if (::close(out) != 0 && !err)
        err = errno;
    ::close(in);
    if (err) {
        *error = errorText(err);
        ::unlink(to.constData());
        return false;
    }
    return true;
}

enum class MoveResult { Moved, NameTaken, Failed };

MoveResult moveInto(const QByteArray& from, const QByteArray& to, QString* error) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return MoveResult::Moved;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // File systems without no-replace renames: check first, accept the small window.
        struct stat st {};
        if (::lstat(to.constData(), &st) == 0)
            return MoveResult::NameTaken;
        if (::rename(from.constData(), to.constData()) == 0)
            return MoveResult::Moved;
        err = errno;
    }
    if (err == EEXIST)
        return MoveResult::NameTaken;
    if (err == EXDEV) {
        if (!copyAcross(from, to, error))
            return MoveResult::Failed;
        if (::unlink(from.constData()) != 0) {
            *error = errorText(errno);
            ::unlink(to.constData());
            return MoveResult::Failed;
        }
        return MoveResult::Moved;
    }
    *error = errorText(err);
    return MoveResult::Failed;
}

void reportFailure(const QString& path, const QString& reason) {
    if (!reason.isEmpty())
        consoleLine(QStringLiteral("moveFileToUserTrash -> %1: %2").arg(path, reason));
    consoleLine(QStringLiteral("moveFileToUserTrash -> Move operation did not succeed! for [%1]")
                    .arg(path));
}

} // namespace

QString userTrashFolder() {
    return bundle::dataHome() + QStringLiteral("/Trash");
}

bool makePrivateFolders(const QString& path, QString* error) {
    const QByteArray p = QFile::encodeName(QDir::cleanPath(path));
    if (p.isEmpty()) {
        if (error)
            *error = errorText(ENOENT);
        return false;
    }
    for (qsizetype i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p.at(i) != '/')
            continue;
        const QByteArray part = p.left(i);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            if (error)
                *error = errorText(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = errorText(ENOTDIR);
        return false;
    }
    return true;
}

bool moveFileToUserTrash(const QString& path, QString* trashedAs) {
    const QString source = QDir::cleanPath(QFileInfo(bundle::expandTilde(path)).absoluteFilePath());
    const QFileInfo sourceInfo(source);
    const QByteArray sourceBytes = QFile::encodeName(source);
    const QString name = sourceInfo.fileName();
    if (name.isEmpty() || !isDeletable(sourceBytes, QFile::encodeName(sourceInfo.path()))) {
        consoleLine(
            QStringLiteral("moveFileToUserTrash => item [%1] is NOT deletable...").arg(path));
        return false;
    }

    const QString trash = userTrashFolder();
    QString error;
    if (!makePrivateFolders(trash + QStringLiteral("/files"), &error) ||
        !makePrivateFolders(trash + QStringLiteral("/info"), &error)) {
        reportFailure(source, QStringLiteral("no Trash folder %1 (%2)").arg(trash, error));
        return false;
    }

    // Paths are stored the way URIs escape them; "/" stays readable.
    const QByteArray record =
        "[Trash Info]\nPath=" + sourceBytes.toPercentEncoding("/") + "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")).toLatin1() +
        "\n";

    QString stamp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString candidate = name;
        if (attempt > 0) {
            if (stamp.isEmpty())
                stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss"));
            candidate += QLatin1Char(' ') + stamp;
            // Two items of one name within the same second must not meet either.
            if (attempt > 1)
                candidate += QLatin1Char(' ') + QString::number(attempt);
        }
        const QString target = trash + QStringLiteral("/files/") + candidate;
        const QByteArray targetBytes = QFile::encodeName(target);
        struct stat st {};
        if (::lstat(targetBytes.constData(), &st) == 0)
            continue;

        // The record is the claim on the name: whoever creates it first owns it.
        const QByteArray infoBytes =
            QFile::encodeName(trash + QStringLiteral("/info/") + candidate) + ".trashinfo";
        const int fd = ::open(infoBytes.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            reportFailure(source, errorText(errno));
            return false;
        }
        const bool written = writeAll(fd, record.constData(), size_t(record.size()));
        const int writeErr = errno;
        if (::close(fd) != 0 || !written) {
            ::unlink(infoBytes.constData());
            reportFailure(source, errorText(written ? EIO : writeErr));
            return false;
        }

        const MoveResult moved = moveInto(sourceBytes, targetBytes, &error);
        if (moved == MoveResult::Moved) {
            if (trashedAs)
                *trashedAs = target;
            return true;
        }
        ::unlink(infoBytes.constData());
        if (moved == MoveResult::Failed) {
            reportFailure(source, error);
            return false;
        }
    }
    reportFailure(source, QStringLiteral("no free name in the Trash"));
    return false;
}

} // namespace kivo
