#include "scan/ImageCheck.h"

#include "platform/Console.h"
#include "platform/ItemFile.h"
#include "scan/FileReading.h"

#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLoggingCategory>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

// Photos far beyond Qt's default 128 MB decode limit must still be checkable.
constexpr int kAllocationLimitMb = 1024;
// How far from the end an end-of-image marker may sit behind padding.
constexpr qint64 kTailWindow = 4096;

// Qt reports a truncated or damaged JPEG only as a warning of its image-I/O category while
// read() still succeeds. The decode runs on the calling thread, so the warning lands on it.
thread_local bool tImageWarning = false;
std::atomic<QtMessageHandler> gPreviousHandler{nullptr};

void imageWarningHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    if ((type == QtWarningMsg || type == QtCriticalMsg) && context.category &&
        std::strncmp(context.category, "qt.gui.imageio", 14) == 0)
        tImageWarning = true;
    if (const QtMessageHandler previous = gPreviousHandler.load())
        previous(type, context, msg);
}

void prepareImageChecks() {
    static std::once_flag once;
    std::call_once(once, [] {
        QImageReader::setAllocationLimit(kAllocationLimitMb);
        gPreviousHandler = qInstallMessageHandler(imageWarningHandler);
    });
}

struct Fd {
    int fd = -1;
    explicit Fd(const QString& path) {
        const QByteArray native = QFile::encodeName(path);
        if (native.isEmpty())
            return;
        do {
            fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
    }
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool readAt(int fd, unsigned char* buf, size_t len, off_t offset) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, buf + done, len - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool startsAsJpeg(int fd) {
    unsigned char head[2];
    return readAt(fd, head, 2, 0) && head[0] == 0xFF && head[1] == 0xD8;
}

bool isPadding(unsigned char c) {
    return c == 0x00 || c == 0xFF || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The file ends with FF D9, possibly followed by padding bytes.
bool endsWithEndOfImage(int fd, qint64 size) {
    const qint64 window = std::min(size, kTailWindow);
    if (window < 4)
        return false;
    QByteArray tail(window, Qt::Uninitialized);
    if (!readAt(fd, reinterpret_cast<unsigned char*>(tail.data()), size_t(window),
                off_t(size - window)))
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(tail.constData());
    qint64 i = window - 1;
    while (i > 0 && isPadding(p[i]))
        --i;
    return i >= 1 && p[i] == 0xD9 && p[i - 1] == 0xFF;
}

} // namespace

bool IsValidImageObject(const QString& path) {
    if (path.isEmpty())
        return false;
    const Fd file(path);
    return IsValidImageObjectFromFd(file.fd);
}

bool IsValidImageObjectFromFd(int fd) {
    if (fd < 0)
        return false;
    prepareImageChecks();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // A JPEG without its end-of-image marker is cut off, whatever the decoder makes of it.
    if (startsAsJpeg(fd) && !endsWithEndOfImage(fd, qint64(st.st_size)))
        return false;
    // Decoded from this very descriptor: what was checked is what a caller goes on to read.
    QFile device;
    if (::lseek(fd, 0, SEEK_SET) != 0 ||
        !device.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return false;
    QImageReader reader(&device);
    reader.setDecideFormatFromContent(true);
    if (reader.format() == "jpeg" || reader.format() == "jpg") {
        // Scaled DCT decoding still runs through the whole entropy-coded stream.
        const QSize full = reader.size();
        if (full.isValid())
            reader.setScaledSize(
                QSize(std::max(1, full.width() / 8), std::max(1, full.height() / 8)));
    }
    tImageWarning = false;
    const QImage image = reader.read();
    const bool warned = tImageWarning;
    tImageWarning = false;
    return !image.isNull() && !warned;
}

namespace {

// The largest embedded preview that still decodes cheaply (at most twice bound each way).
QImage embeddedPreviewOf(const QString& path, const QSize& bound) {
    QString error;
    const std::unique_ptr<Exiv2::Image> image = scan_internal::openExivImage(path, &error);
    if (!image)
        return {};
    try {
        image->readMetadata();
        Exiv2::PreviewManager previews(*image);
        const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
        // Listed smallest first: the largest one that fits wins.
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            if (qint64(it->width_) > 2 * bound.width() || qint64(it->height_) > 2 * bound.height())
                continue;
            const Exiv2::PreviewImage preview = previews.getPreviewImage(*it);
            QImage decoded;
            if (decoded.loadFromData(reinterpret_cast<const uchar*>(preview.pData()),
                                     int(preview.size())))
                return decoded;
        }
    } catch (const std::exception&) {
        // Damaged metadata: the photo itself may still decode.
    } catch (...) {
    }
    return {};
}

} // namespace

QImage previewImageOf(const QString& path, const QSize& bound) {
    QImage image = embeddedPreviewOf(path, bound);
    if (!image.isNull())
        return image;
    QImageReader reader(path);
    const QSize full = reader.size();
    if (full.isValid() && (full.width() > bound.width() || full.height() > bound.height()))
        reader.setScaledSize(full.scaled(bound, Qt::KeepAspectRatio));
    return reader.read();
}

QString getBaseIDFromFileName(const QString& path) {
    QString name = path;
    while (name.size() > 1 && name.endsWith(QLatin1Char('/')))
        name.chop(1);
    name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        name.truncate(dot);
    name = name.trimmed();
    qsizetype cut = name.indexOf(QLatin1Char('_'));
    if (cut < 0)
        cut = name.indexOf(QLatin1Char(' '));
    return cut < 0 ? name : name.left(cut);
}

namespace {

// Markers without a length field.
bool isStandalone(unsigned char marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8);
}

} // namespace

bool jpegLooksComplete(int fd, qint64 size) {
    unsigned char head[2];
    if (size < 4 || !readAt(fd, head, 2, 0) || head[0] != 0xFF || head[1] != 0xD8)
        return false;
    // Walk the segments by their lengths: a file cut inside one (an embedded thumbnail ends with
    // its own end-of-image marker) runs past its end here.
    qint64 pos = 2;
    for (int segments = 0; segments < 100000; ++segments) {
        unsigned char m[2];
        if (!readAt(fd, m, 2, off_t(pos)) || m[0] != 0xFF)
            return false;
        if (m[1] == 0xFF) { // fill byte before a marker
            ++pos;
            continue;
        }
        if (m[1] == 0xD9)
            return true;
        if (isStandalone(m[1])) {
            pos += 2;
            continue;
        }
        unsigned char len[2];
        if (!readAt(fd, len, 2, off_t(pos + 2)))
            return false;
        const qint64 length = (qint64(len[0]) << 8) | len[1];
        if (length < 2 || pos + 2 + length > size)
            return false;
        if (m[1] == 0xDA) // image data follows; it must run to the final marker
            return endsWithEndOfImage(fd, size) && size > pos + 2 + length;
        pos += 2 + length;
    }
    return false;
}

ItemReadiness checkItemReadiness(const QString& path, const ReadinessRules& rules, qint64 nowMs) {
    ItemReadiness result;
    const ItemFile file = ItemFile::open(path);
    if (!file.isOpen()) {
        result.why = file.failureText();
        switch (file.failure()) {
        case ItemFile::Failure::Missing:
            result.state = Readiness::Gone;
            break;
        case ItemFile::Failure::SymbolicLink:
        case ItemFile::Failure::NotRegular:
            result.state = Readiness::Refused;
            break;
        default:
            result.state = Readiness::Unreadable;
        }
        return result;
    }
    result.identity = file.identity();
    const qint64 quietMs = nowMs - file.identity().mtimeMs();
    const WriterState writer = writerState(file.fd());
    if (writer == WriterState::Writing) {
        result.state = Readiness::BeingWritten;
        result.why = QStringLiteral("another program is still writing it");
        return result;
    }
    // Software that closes a half-written file and opens it again later passes the writer test
    // in between: an unfinished JPEG has to stay untouched for a long time first.
    unsigned char head[2];
    const bool isJpeg =
        file.readAt(reinterpret_cast<char*>(head), 2, 0) && head[0] == 0xFF && head[1] == 0xD8;
    if (isJpeg && !jpegLooksComplete(file.fd(), file.identity().size) &&
        quietMs < rules.unfinishedQuietMs) {
        result.state = Readiness::Settling;
        result.why = QStringLiteral("it is not complete yet");
        result.retryInMs = std::max<qint64>(1, rules.unfinishedQuietMs - quietMs);
        return result;
    }
    if (writer == WriterState::Unknown && quietMs < rules.unknownWriterQuietMs) {
        result.state = Readiness::Settling;
        result.why = QStringLiteral("it changed a moment ago");
        result.retryInMs = std::max<qint64>(1, rules.unknownWriterQuietMs - quietMs);
        return result;
    }
    result.state = Readiness::Ready;
    return result;
}

} // namespace kivo
