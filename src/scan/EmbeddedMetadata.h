#pragma once
// The property list the capture software embeds in each photo: in the EXIF user comment of a
// JPEG, or in the last 2048 bytes of a PNG. Both readers map the file, never change it, and
// answer "no metadata" (with a console line) for anything they cannot read.
#include "scan/CaptureDate.h"

#include <QString>
#include <QVariantMap>
#include <optional>

namespace kivo {

inline constexpr qint64 kKivoPngMetaDataLength = 2048;

std::optional<QVariantMap> getKivoMetaDataFromJpeg(const QString& path);
std::optional<QVariantMap> getKivoMetaDataFromPng(const QString& path);

// The PNG reader first, then the JPEG reader: how the scan looks for metadata.
std::optional<QVariantMap> readEmbeddedMetadata(const QString& path);

// One reading of a photo, all the scan takes from its metadata.
struct PhotoMetadata {
    std::optional<QVariantMap> embedded; // as readEmbeddedMetadata
    bool fromPng = false;                // embedded came from the PNG reader
    // The EXIF original date, when the JPEG reader found the property list.
    std::optional<ExifDateRead> captureDate;
};

PhotoMetadata readPhotoMetadata(const QString& path);

} // namespace kivo
