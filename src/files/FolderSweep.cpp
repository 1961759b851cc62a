#include "files/FolderSweep.h"

#include "files/QDI_FileManager.h"
#include "log/MessageLog.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/ItemFile.h"
#include "scan/CaptureDate.h"
#include "scan/ImageCheck.h"
#include "ui/StatusDisplay.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kivo {

namespace {

const char* const kSweepMethod =
    "deleteFolderIfEmpty:doNotDeleteImmediateChild:beforeDate:withProgressController:";
const QString kDsStore = QStringLiteral(".DS_Store");

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

void toErrorStream(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    fflush(stderr);
}

void reportMissing(const QString& path) {
    const QString line = QStringLiteral("testDirectory=> curItem does NOT exist: %1\n").arg(path);
    toErrorStream(line);
    MessageLog::LogMessage(line);
}

void showLine2(MaintenanceProgress* progress, const QString& text) {
    if (progress)
        progress->ibUpdateLine2TextField(text, true);
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(strerror(error));
}

// The names in a folder, sorted; none when it cannot be listed.
std::optional<std::vector<QString>> listFolder(const QString& path) {
    DIR* dir = ::opendir(native(path).constData());
    if (!dir)
        return std::nullopt;
    std::vector<QString> names;
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(QFile::decodeName(e->d_name));
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0)
        return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

struct Entry {
    QString path;
    QString relative;
    struct stat st {}; // of the entry itself, never through a link
};

enum class Step { Next, Descend, Stop };

// Visits every entry below root, each folder before its contents, siblings in name order.
// visit answers Descend to walk a folder's contents; links are never walked into, nor are
// folders of another file system.
template <typename Visit> void walk(const QString& root, dev_t device, Visit&& visit) {
    QString base = root;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (base == QLatin1String("/"))
        base.clear();
    std::vector<QString> pending; // relative paths, the next one last
    auto push = [&](const QString& folder, const QString& relative) {
        const std::optional<std::vector<QString>> names = listFolder(folder);
        if (!names)
            return;
        for (auto it = names->rbegin(); it != names->rend(); ++it)
            pending.push_back(relative.isEmpty() ? *it : relative + QLatin1Char('/') + *it);
    };
    push(root, QString());
    while (!pending.empty()) {
        Entry e;
        e.relative = pending.back();
        pending.pop_back();
        e.path = base + QLatin1Char('/') + e.relative;
        if (::lstat(native(e.path).constData(), &e.st) != 0) {
            reportMissing(e.path);
            continue;
        }
        const Step step = visit(e);
        if (step == Step::Stop)
            return;
        if (step == Step::Descend && S_ISDIR(e.st.st_mode) && e.st.st_dev == device)
            push(e.path, e.relative);
    }
}

// A link whose target is gone counts as a missing entry.
bool brokenLink(const Entry& e) {
    struct stat target {};
    return S_ISLNK(e.st.st_mode) && ::stat(native(e.path).constData(), &target) != 0;
}

QString parentText(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QString lastComponent(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Takes away only what an empty folder may hold. Emptiness is checked again here: a file that
// arrived since the folder was judged keeps it (rmdir refuses a folder that is not empty).
void removeEmptyFolder(const QString& path) {
    if (!isDirectoryEmpty(path))
        return;
    const int fd =
        ::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        consoleLine(
            QStringLiteral("Could not delete the empty folder %1: %2").arg(path, errnoText(errno)));
        return;
    }
    if (::unlinkat(fd, native(kDsStore).constData(), 0) != 0 && errno != ENOENT)
        consoleLine(
            QStringLiteral("Could not delete %1/%2: %3").arg(path, kDsStore, errnoText(errno)));
    ::close(fd);
    if (::rmdir(native(path).constData()) != 0)
        consoleLine(
            QStringLiteral("Could not delete the empty folder %1: %2").arg(path, errnoText(errno)));
}

// Reads a file front to back through one buffer.
class ByteStream {
public:
    explicit ByteStream(int fd) : fFd(fd), fBuffer(size_t(1) << 18) {}
    // The next byte, or -1 at the end or on a read error.
    int get() {
        if (fPos == fLen && !fill())
            return -1;
        return fBuffer[fPos++];
    }
    int get16() {
        const int hi = get();
        const int lo = get();
        return hi < 0 || lo < 0 ? -1 : (hi << 8) | lo;
    }
    bool skip(qint64 n) {
        while (n > 0) {
            if (fPos == fLen && !fill())
                return false;
            const qint64 step = std::min<qint64>(n, qint64(fLen - fPos));
            fPos += size_t(step);
            n -= step;
        }
        return true;
    }
    // Consumes everything up to and including the next 0xFF byte.
    bool passNextFF() {
        for (;;) {
            if (fPos == fLen && !fill())
                return false;
            const void* ff = std::memchr(fBuffer.data() + fPos, 0xFF, fLen - fPos);
            if (ff) {
                fPos = size_t(static_cast<const unsigned char*>(ff) - fBuffer.data()) + 1;
                return true;
            }
            fPos = fLen;
        }
    }

private:
    bool fill() {
        ssize_t n;
        do {
            n = ::read(fFd, fBuffer.data(), fBuffer.size());
        } while (n < 0 && errno == EINTR);
        fPos = 0;
        fLen = n > 0 ? size_t(n) : 0;
        return n > 0;
    }
    int fFd;
    std::vector<unsigned char> fBuffer;
    size_t fPos = 0;
    size_t fLen = 0;
};

bool isFrameMarker(int m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// The marker byte after 0xFF (fill bytes skipped); -1 when something else comes.
int nextMarker(ByteStream& in) {
    if (in.get() != 0xFF)
        return -1;
    int m = in.get();
    while (m == 0xFF)
        m = in.get();
    return m;
}

// From the start of the file: the whole JPEG stream is well formed up to its end-of-image
// marker (what follows that marker is not looked at).
bool jpegStreamIsWhole(int fd) {
    ByteStream in(fd);
    if (in.get() != 0xFF || in.get() != 0xD8)
        return false;
    bool frame = false;
    bool scanned = false;
    int m = nextMarker(in);
    for (;;) {
        if (m == 0xD9)
            return frame && scanned;
        if (m < 0 || m == 0x00 || (m >= 0xD0 && m <= 0xD8))
            return false;
        if (m == 0x01) { // standalone
            m = nextMarker(in);
            continue;
        }
        const int length = in.get16();
        if (length < 2)
            return false;
        if (isFrameMarker(m)) {
            const int precision = in.get();
            const int height = in.get16();
            const int width = in.get16();
            const int components = in.get();
            if (precision < 0 || height <= 0 || width <= 0 || components < 1 || components > 4 ||
                length != 8 + 3 * components || !in.skip(length - 8))
                return false;
            frame = true;
            m = nextMarker(in);
            continue;
        }
        if (!in.skip(length - 2))
            return false;
        if (m != 0xDA) {
            m = nextMarker(in);
            continue;
        }
        // Image data up to the next marker that is neither stuffing nor a restart marker.
        if (!frame)
            return false;
        scanned = true;
        int restart = 0;
        for (;;) {
            if (!in.passNextFF())
                return false;
            int b = in.get();
            while (b == 0xFF)
                b = in.get();
            if (b == 0x00)
                continue;
            if (b >= 0xD0 && b <= 0xD7) {
                if (b != 0xD0 + restart)
                    return false;
                restart = (restart + 1) & 7;
                continue;
            }
            m = b;
            break;
        }
    }
}

bool isCreationDateName(const QString& attributeName) {
    return attributeName.compare(QLatin1String("NSFileCreationDate"), Qt::CaseInsensitive) == 0;
}

} // namespace

bool isDirectoryEmpty(const QString& path) {
    const std::optional<std::vector<QString>> names = listFolder(path);
    return names && (names->empty() || (names->size() == 1 && names->front() == kDsStore));
}

bool itemIsEarlierThan(const QString& path, const QDateTime& date, const QString& attributeName) {
    std::optional<QDateTime> itemDate;
    if (isCreationDateName(attributeName)) {
        struct stat st {};
        if (::stat(native(path).constData(), &st) != 0)
            return false;
        itemDate = QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 +
                                                  st.st_mtim.tv_nsec / 1000000);
    } else {
        itemDate = GetAndUpdateFileCreationDate(path, false, false);
    }
    return itemDate && *itemDate < date;
}

bool isInvisibleFileAtPath2(const QString& path) {
    static const QString alwaysHidden[] = {QStringLiteral("/Network"), QStringLiteral("/mach"),
                                           QStringLiteral("/mach.sym"), QStringLiteral("/dev")};
    if (std::find(std::begin(alwaysHidden), std::end(alwaysHidden), path) != std::end(alwaysHidden))
        return true;
    return lastComponent(path).startsWith(QLatin1Char('.'));
}

bool isWholePhoto(const QString& path) {
    int fd;
    do {
        fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    struct stat st {};
    unsigned char head[2] = {0, 0};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool jpeg = regular && ::pread(fd, head, 2, 0) == 2 && head[0] == 0xFF && head[1] == 0xD8;
    const bool whole = jpeg && jpegStreamIsWhole(fd);
    ::close(fd);
    if (!regular)
        return false;
    return jpeg ? whole : IsValidImageObject(path);
}

void QDI_FileManager::deleteFolderIfEmpty(const QString& root, bool keepImmediateChildren,
                                          const std::optional<QDateTime>& cutoff,
                                          MaintenanceProgress* progress) {
    struct stat rootStat {};
    if (root.isEmpty() || ::stat(native(root).constData(), &rootStat) != 0) {
        MessageLog::LogMessage(
            QStringLiteral("Inside %1->[%2] ==> passed Invalid SourcePath: [%3]")
                .arg(QLatin1String("QDI_FileManager"), QLatin1String(kSweepMethod), root));
        return;
    }
    if (!S_ISDIR(rootStat.st_mode)) {
        MessageLog::LogMessage(
            QStringLiteral("Inside %1->[%2] ==> sourcePath is NOT a Directory: [%3]")
                .arg(QLatin1String("QDI_FileManager"), QLatin1String(kSweepMethod), root));
        return;
    }
    auto remove = [&](const Entry& e) {
        showLine2(progress, e.relative);
        toErrorStream(QStringLiteral("\n===>  DELETING an EMPTY Directory: %1\n\n").arg(e.path));
        removeEmptyFolder(e.path);
    };
    walk(root, rootStat.st_dev, [&](const Entry& e) {
        if (brokenLink(e)) {
            reportMissing(e.path);
            return Step::Next;
        }
        if (!S_ISDIR(e.st.st_mode))
            return Step::Next;
        if (::access(native(parentText(e.path)).constData(), W_OK | X_OK) != 0) {
            toErrorStream(
                QStringLiteral("testDirectory=> curItem can NOT be deleted: %1\n").arg(e.path));
            return Step::Descend;
        }
        if (!isDirectoryEmpty(e.path))
            return Step::Descend;
        if (keepImmediateChildren) {
            // The text of the root as given: a root written with a trailing "/" keeps nothing.
            if (parentText(e.path) == root) {
                MessageLog::LogMessage(
                    QStringLiteral("\nCANNOT DELETE same Root Path of [%1]\n").arg(e.path));
                return Step::Next;
            }
            MessageLog::LogMessage(QStringLiteral("\nOKAY to delete  Path of [%1]\n").arg(e.path));
            remove(e);
        } else if (cutoff) {
            if (!itemIsEarlierThan(e.path, *cutoff, QStringLiteral("NSFileModificationDate"))) {
                showLine2(progress, QStringLiteral("Will NOT Delete [%1]").arg(e.path));
                return Step::Next;
            }
            showLine2(progress, QStringLiteral("ITEM IS OLDDDDDDDD [%1]").arg(e.path));
            remove(e);
        } else {
            remove(e);
        }
        return Step::Next;
    });
}

void QDI_FileManager::deleteFolderIfEmpty(const QString& root, bool keepImmediateChildren) {
    deleteFolderIfEmpty(root, keepImmediateChildren, std::nullopt, nullptr);
}

void QDI_FileManager::deleteOLDFolderIfEmpty(const QString& root, bool keepImmediateChildren,
                                             qint16 daysOld) {
    const QDateTime cutoff = QDateTime::currentDateTime().addSecs(-qint64(daysOld) * 86400);
    deleteFolderIfEmpty(root, keepImmediateChildren, cutoff, nullptr);
}

std::optional<qint16> daysOldBeforeDeleting(const QVariant& stored) {
    constexpr qint16 kDefaultDays = 30;
    if (!stored.isValid()) {
        consoleLine(QStringLiteral("prefDaysOldBeforeDeleting is not set: using %1 days")
                        .arg(kDefaultDays));
        return kDefaultDays;
    }
    const qint64 days =
        std::clamp<qint64>(Defaults::integerFromValue(stored), std::numeric_limits<qint16>::min(),
                           std::numeric_limits<qint16>::max());
    if (days < 0) {
        consoleLine(
            QStringLiteral("prefDaysOldBeforeDeleting is %1: no photo is deleted").arg(days));
        return std::nullopt;
    }
    return qint16(days);
}

OldPhotoSweep::Outcome checkOldPhotoFolder(const QString& mirror) {
    struct stat st {};
    if (mirror.isEmpty() || ::stat(native(mirror).constData(), &st) != 0) {
        MessageLog::LogMessage(
            QStringLiteral("testDirectory=> source item FOLDER does NOT exist: %1\n").arg(mirror));
        return OldPhotoSweep::Outcome::MissingFolder;
    }
    if (!S_ISDIR(st.st_mode)) {
        MessageLog::LogMessage(
            QStringLiteral("testDirectory=> source item is NOT a Folder: %1\n").arg(mirror));
        return OldPhotoSweep::Outcome::NotAFolder;
    }
    return OldPhotoSweep::Outcome::Done;
}

OldPhotoSweep deleteOldPhotos(const QString& mirror, const OldPhotoRules& rules,
                              MaintenanceProgress* progress) {
    OldPhotoSweep result;
    result.outcome = checkOldPhotoFolder(mirror);
    struct stat rootStat {};
    if (result.outcome != OldPhotoSweep::Outcome::Done ||
        ::stat(native(mirror).constData(), &rootStat) != 0)
        return result;
    struct stat untouchable {};
    const bool guarded = !rules.untouchable.isEmpty() &&
                         ::stat(native(rules.untouchable).constData(), &untouchable) == 0;
    auto isUntouchable = [&](const struct stat& st) {
        return guarded && st.st_dev == untouchable.st_dev && st.st_ino == untouchable.st_ino;
    };
    if (isUntouchable(rootStat)) {
        consoleLine(QStringLiteral("Old photos are not deleted: the mirror folder %1 is the "
                                   "source folder")
                        .arg(mirror));
        return result;
    }
    auto skip = [&](const Entry& e) {
        ++result.skipped;
        if (!lastComponent(e.path).startsWith(QLatin1Char('.')))
            showLine2(progress, QStringLiteral("Skipping: %1").arg(e.relative));
    };
    walk(mirror, rootStat.st_dev, [&](const Entry& e) {
        if (S_ISDIR(e.st.st_mode))
            return isUntouchable(e.st) ? Step::Next : Step::Descend;
        if (S_ISLNK(e.st.st_mode)) {
            struct stat target {};
            if (::stat(native(e.path).constData(), &target) != 0)
                reportMissing(e.path);
            else if (!S_ISDIR(target.st_mode))
                skip(e);
            return Step::Next;
        }
        if (!S_ISREG(e.st.st_mode)) {
            skip(e);
            return Step::Next;
        }
        if (rules.stopping && rules.stopping()) {
            result.outcome = OldPhotoSweep::Outcome::Stopped;
            return Step::Stop;
        }
        const ItemFile file = ItemFile::open(e.path);
        if (!file.isOpen()) {
            if (file.failure() == ItemFile::Failure::Missing)
                reportMissing(e.path);
            else
                skip(e);
            return Step::Next;
        }
        // Checked and dated through the open file: what is judged is what gets removed.
        const QString opened = QStringLiteral("/proc/self/fd/%1").arg(file.fd());
        const bool image = rules.isImage ? rules.isImage(opened) : isWholePhoto(opened);
        if (!image) {
            skip(e);
            return Step::Next;
        }
        const std::optional<QDateTime> date = GetAndUpdateFileCreationDate(opened, false, false);
        if (!date || !(*date < rules.cutoff)) {
            ++result.kept;
            return Step::Next;
        }
        if (!file.unchangedAt(e.path)) {
            consoleLine(
                QStringLiteral("Not deleting %1: it changed while it was checked").arg(e.path));
            ++result.kept;
            return Step::Next;
        }
        showLine2(progress, QStringLiteral("Deleting: %1").arg(e.relative));
        if (::unlink(native(e.path).constData()) != 0) {
            consoleLine(QStringLiteral("Could not delete the old photo %1: %2")
                            .arg(e.path, errnoText(errno)));
            ++result.failed;
            return Step::Next;
        }
        ++result.deleted;
        return Step::Next;
    });
    return result;
}

} // namespace kivo
