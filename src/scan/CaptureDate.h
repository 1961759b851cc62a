#pragma once
// When a photo was taken: the EXIF original date when asked for and present, else the file's
// creation date (or its modification date where the creation date is a "zero" date or the file
// system records none).
#include <QDateTime>
#include <QString>
#include <optional>

namespace Exiv2 {
class ExifData;
}

namespace kivo {

// What a photo's EXIF data holds of one date: read together with the rest of its metadata,
// judged (with its console line) when the date is needed.
struct ExifDateRead {
    enum class Outcome { NoMetadata, NoGroup, NoDate, Found };
    Outcome outcome = Outcome::NoMetadata;
    QString groupKey;
    QString text; // when Found
};

// Never throws.
ExifDateRead readExifDate(const Exiv2::ExifData& exif, const QString& groupKey,
                          const QString& dateKey);
// GetAndUpdateFileCreationDate(path, true, false) for a photo whose date was read already.
std::optional<QDateTime> fileCreationDate(const QString& path, const ExifDateRead& imageDate);

// update is accepted for callers' sake; this function only ever reads.
std::optional<QDateTime> GetAndUpdateFileCreationDate(const QString& path, bool useImageDate,
                                                      bool update);

// The date text stored under dateKey in the image-property group groupKey ("Exif" with
// "DateTimeOriginal" is the one in use), read with the local offset in force now.
std::optional<QDateTime> GetInternalPictureCaptureDate(const QString& path, const QString& groupKey,
                                                       const QString& dateKey, bool flag);

namespace detail {
// The date text "YYYY:MM:DD HH:MM:SS" read with the local offset in force now.
std::optional<QDateTime> parseExifDateText(const QString& text);
// The creation date, unless it is missing or one of the "zero" dates (1904-01-01 and
// 1970-01-01, 00:00 UTC): then the modification date.
std::optional<QDateTime> pickFileDate(const std::optional<QDateTime>& birth,
                                      const std::optional<QDateTime>& modified);
} // namespace detail

} // namespace kivo
