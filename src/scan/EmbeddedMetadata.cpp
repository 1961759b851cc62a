#include "scan/EmbeddedMetadata.h"

#include "platform/Console.h"
#include "platform/MacRoman.h"
#include "platform/PropertyList.h"
#include "scan/FileReading.h"

#include <QFileInfo>
#include <QStringDecoder>
#include <memory>

namespace kivo {

namespace {

void cannotOpen(const QString& path, const QString& why) {
    consoleLine(QStringLiteral("cannot open filename [%1] (%2)").arg(path, why));
}

// One line per found property list; the original path shows its percent escapes decoded the
// way the capture station wrote them (Mac OS Roman).
void reportFound(const char* reader, const QString& path, const QVariantMap& dict) {
    const QString original = dict.value(QStringLiteral("OriginalPath")).toString();
    const QString shown = fromMacRoman(QByteArray::fromPercentEncoding(toMacRoman(original)));
    consoleLine(QStringLiteral("%1 found metadata in [%2] Version [%3] OriginalPath [%4]")
                    .arg(QLatin1String(reader), path,
                         dict.value(QStringLiteral("Version")).toString(), shown));
}

std::optional<QVariantMap> toDictionary(const QByteArray& utf8, const QString& path) {
    std::optional<QVariantMap> dict = plist::parseDictionary(utf8);
    if (!dict)
        consoleLine(QStringLiteral("CANNOT create userdata to plistObj from [%1]").arg(path));
    return dict;
}

// The user comment as UTF-8, or nullopt (with its console line). Reads image's metadata.
std::optional<std::string> readUserComment(Exiv2::Image& image, const QString& path) {
    try {
        image.readMetadata();
        const Exiv2::ExifData& exif = image.exifData();
        const auto it = exif.findKey(Exiv2::ExifKey("Exif.Photo.UserComment"));
        if (it == exif.end()) {
            consoleLine(QStringLiteral("could NOT Find UserComment in [%1]").arg(path));
            return std::nullopt;
        }
        // Without an argument comment() strips the 8-byte character code and turns UCS-2 into
        // UTF-8; an argument would name the source encoding instead.
        if (const auto* cv = dynamic_cast<const Exiv2::CommentValue*>(&it->value()))
            return cv->comment();
        return it->toString();
    } catch (const std::exception& e) {
        cannotOpen(path, QString::fromUtf8(e.what()));
    } catch (...) {
        cannotOpen(path, QStringLiteral("unknown error"));
    }
    return std::nullopt;
}

// The JPEG reader; the opened image is left in *opened for the caller's further reading.
std::optional<QVariantMap> readJpegMetadata(const QString& path,
                                            std::unique_ptr<Exiv2::Image>* opened) {
    QString error;
    std::unique_ptr<Exiv2::Image> image = scan_internal::openExivImage(path, &error);
    if (!image) {
        cannotOpen(path, error);
        return std::nullopt;
    }
    const std::optional<std::string> comment = readUserComment(*image, path);
    if (!comment)
        return std::nullopt;
    std::optional<QVariantMap> dict = toDictionary(QByteArray::fromStdString(*comment), path);
    if (dict)
        reportFound("getKivoMetaDataFromJpeg", path, *dict);
    if (opened)
        *opened = std::move(image);
    return dict;
}

} // namespace

std::optional<QVariantMap> getKivoMetaDataFromJpeg(const QString& path) {
    return readJpegMetadata(path, nullptr);
}

std::optional<QVariantMap> getKivoMetaDataFromPng(const QString& path) {
    if (QFileInfo(path).suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) != 0) {
        consoleLine(QStringLiteral("getKivoMetaDataFromPng found that [%1] is NOT a png file...")
                        .arg(path));
        return std::nullopt;
    }
    // Only the trailer is read, whatever the size of the image before it.
    qint64 size = 0;
    QString error;
    const std::optional<QByteArray> trailer =
        scan_internal::readTail(path, kKivoPngMetaDataLength + 1, &size, &error);
    if (!trailer) {
        cannotOpen(path, error);
        return std::nullopt;
    }
    if (size <= kKivoPngMetaDataLength) {
        consoleLine(QStringLiteral("getKivoMetaDataFromPng => File Length is smaller than "
                                   "kKivoPngMetaDataLength = [%1]?????")
                        .arg(kKivoPngMetaDataLength));
        return std::nullopt;
    }
    // Stateless: a sequence cut off at the end is an error, not a pending state.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(trailer->right(kKivoPngMetaDataLength));
    if (decoder.hasError()) {
        consoleLine(QStringLiteral("could NOT Find UTF-8 metadata at the end of [%1]").arg(path));
        return std::nullopt;
    }
    std::optional<QVariantMap> dict = toDictionary(text.toUtf8(), path);
    if (dict)
        reportFound("getKivoMetaDataFromPng", path, *dict);
    return dict;
}

std::optional<QVariantMap> readEmbeddedMetadata(const QString& path) {
    if (std::optional<QVariantMap> dict = getKivoMetaDataFromPng(path))
        return dict;
    return getKivoMetaDataFromJpeg(path);
}

PhotoMetadata readPhotoMetadata(const QString& path) {
    PhotoMetadata read;
    read.embedded = getKivoMetaDataFromPng(path);
    if (read.embedded) {
        read.fromPng = true;
        return read;
    }
    std::unique_ptr<Exiv2::Image> image;
    read.embedded = readJpegMetadata(path, &image);
    if (read.embedded && image)
        read.captureDate = readExifDate(image->exifData(), QStringLiteral("Exif"),
                                        QStringLiteral("DateTimeOriginal"));
    return read;
}

} // namespace kivo
