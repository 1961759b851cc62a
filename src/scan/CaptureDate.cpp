#include "scan/CaptureDate.h"

#include "platform/Console.h"
#include "scan/FileReading.h"

#include <QFile>
#include <exiv2/exiv2.hpp>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace kivo {

namespace {

// The exiv2 key prefix of an image-property group as the capture software names it
// ("Exif", or "{Exif}" as the platform spells its dictionary keys).
std::optional<std::string> groupPrefix(QString group) {
    if (group.startsWith(QLatin1Char('{')) && group.endsWith(QLatin1Char('}')))
        group = group.mid(1, group.size() - 2);
    if (group.compare(QLatin1String("Exif"), Qt::CaseInsensitive) == 0)
        return "Exif.Photo.";
    if (group.compare(QLatin1String("TIFF"), Qt::CaseInsensitive) == 0)
        return "Exif.Image.";
    if (group.compare(QLatin1String("GPS"), Qt::CaseInsensitive) == 0)
        return "Exif.GPSInfo.";
    return std::nullopt;
}

void noValidDate() {
    consoleLine(QStringLiteral("This File may NOT have a valid date/time field"));
}

QDateTime fromStatx(const struct statx_timestamp& ts) {
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

} // namespace

namespace detail {

std::optional<QDateTime> parseExifDateText(const QString& text) {
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space <= 0) {
        noValidDate();
        return std::nullopt;
    }
    QString datePart = text.left(space);
    datePart.replace(QLatin1Char(':'), QLatin1Char('-'));
    const QString timePart = text.mid(space + 1);
    const QDate date = QDate::fromString(datePart, QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(timePart, QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid()) {
        noValidDate();
        return std::nullopt;
    }
    // The offset in force now, not at the capture date: across a daylight-saving change the
    // result is an hour off the capture's own local time, as the capture software expects.
    const int offset = QDateTime::currentDateTime().offsetFromUtc();
    return QDateTime(date, time, Qt::OffsetFromUTC, offset);
}

std::optional<QDateTime> pickFileDate(const std::optional<QDateTime>& birth,
                                      const std::optional<QDateTime>& modified) {
    static const QDateTime zero1904(QDate(1904, 1, 1), QTime(0, 0), Qt::UTC);
    static const QDateTime zero1970(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    if (!birth || !birth->isValid() || *birth == zero1904 || *birth == zero1970) {
        if (modified && modified->isValid())
            return modified;
        return std::nullopt;
    }
    return birth;
}

} // namespace detail

namespace {

std::optional<QDateTime> judgeExifDate(const ExifDateRead& read) {
    switch (read.outcome) {
    case ExifDateRead::Outcome::NoMetadata:
        consoleLine(QStringLiteral("There is NO MetaData in this Image File"));
        return std::nullopt;
    case ExifDateRead::Outcome::NoGroup:
        consoleLine(QStringLiteral("This Image File Does NOT have any %1 Properties MetaData")
                        .arg(read.groupKey));
        return std::nullopt;
    case ExifDateRead::Outcome::NoDate:
        noValidDate();
        return std::nullopt;
    case ExifDateRead::Outcome::Found:
        return detail::parseExifDateText(read.text);
    }
    return std::nullopt;
}

std::optional<QDateTime> fileSystemDate(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return std::nullopt;
    struct statx stx {};
    if (::statx(AT_FDCWD, native.constData(), AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME,
                &stx) != 0)
        return std::nullopt;
    std::optional<QDateTime> birth;
    std::optional<QDateTime> modified;
    if (stx.stx_mask & STATX_BTIME)
        birth = fromStatx(stx.stx_btime);
    if (stx.stx_mask & STATX_MTIME)
        modified = fromStatx(stx.stx_mtime);
    return detail::pickFileDate(birth, modified);
}

} // namespace

ExifDateRead readExifDate(const Exiv2::ExifData& exif, const QString& groupKey,
                          const QString& dateKey) {
    ExifDateRead read;
    read.groupKey = groupKey;
    try {
        if (exif.empty())
            return read;
        const std::optional<std::string> prefix = groupPrefix(groupKey);
        bool groupFound = false;
        if (prefix) {
            for (const Exiv2::Exifdatum& d : exif) {
                if (d.key().rfind(*prefix, 0) == 0) {
                    groupFound = true;
                    break;
                }
            }
        }
        if (!groupFound) {
            read.outcome = ExifDateRead::Outcome::NoGroup;
            return read;
        }
        auto it = exif.end();
        try {
            it = exif.findKey(Exiv2::ExifKey(*prefix + dateKey.toStdString()));
        } catch (const Exiv2::AnyError&) {
            // Not a tag name exiv2 knows: no such date in any file.
        }
        if (it == exif.end()) {
            read.outcome = ExifDateRead::Outcome::NoDate;
            return read;
        }
        read.text = QString::fromStdString(it->toString());
        read.outcome = ExifDateRead::Outcome::Found;
    } catch (...) {
        read.outcome = ExifDateRead::Outcome::NoMetadata;
        read.text.clear();
    }
    return read;
}

std::optional<QDateTime> GetInternalPictureCaptureDate(const QString& path, const QString& groupKey,
                                                       const QString& dateKey, bool flag) {
    Q_UNUSED(flag);
    QString error;
    const std::unique_ptr<Exiv2::Image> image = scan_internal::openExivImage(path, &error);
    ExifDateRead read;
    read.groupKey = groupKey;
    if (image) {
        try {
            image->readMetadata();
            read = readExifDate(image->exifData(), groupKey, dateKey);
        } catch (...) {
            // Unreadable metadata: as none.
        }
    }
    return judgeExifDate(read);
}

std::optional<QDateTime> fileCreationDate(const QString& path, const ExifDateRead& imageDate) {
    if (std::optional<QDateTime> taken = judgeExifDate(imageDate))
        return taken;
    return fileSystemDate(path);
}

std::optional<QDateTime> GetAndUpdateFileCreationDate(const QString& path, bool useImageDate,
                                                      bool update) {
    Q_UNUSED(update);
    if (useImageDate) {
        if (std::optional<QDateTime> taken = GetInternalPictureCaptureDate(
                path, QStringLiteral("Exif"), QStringLiteral("DateTimeOriginal"), true))
            return taken;
    }
    return fileSystemDate(path);
}

} // namespace kivo
