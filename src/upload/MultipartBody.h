#pragma once
// The photo upload's multipart/form-data body, byte for byte.
#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace kivo {

inline constexpr char kMultipartBoundary[] = "0xKhTmLbOuNdArY";

// "image/png", "image/jpeg" or "video/quicktime" by the file's extension; jpeg for the rest.
QByteArray contentTypeForFile(const QString& path);

struct UploadBody {
    QByteArray fieldsAndFileHeader; // up to the file part's headers, before its bytes
    QByteArray body;                // the whole body; without the closing delimiter when unsendable
    bool sendable = true;
    QString problem; // why it is not sendable: the file that could not be read
};

// Builds the body for one upload item info. withMovie adds the companion movie
// (<photo without extension>.mov) when one exists.
UploadBody buildUploadBody(const QVariantMap& item, bool withMovie);

} // namespace kivo
