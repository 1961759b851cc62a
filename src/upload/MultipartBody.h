#pragma once
// The photo upload's multipart/form-data body, byte for byte.
#include "platform/HttpTransport.h"
#include "platform/ItemFile.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <vector>

namespace kivo {

inline constexpr char kMultipartBoundary[] = "0xKhTmLbOuNdArY";

// "image/png", "image/jpeg" or "video/quicktime" by the file's extension; jpeg for the rest.
QByteArray contentTypeForFile(const QString& path);

// A file name as browsers put it into a part header: '"', CR and LF percent-escaped, so no
// name can end the header or start a part of its own.
QByteArray escapeFormFileName(const QString& name);

// The files of one upload, each opened once; the bytes sent are read from these descriptors.
struct UploadFiles {
    QString photoPath;
    ItemFile photo;
    // Set when a companion movie is to be sent (it exists beside the photo and movies are on).
    std::optional<QString> moviePath;
    ItemFile movie;
};

// Opens the photo of an upload item info and, with withMovie, its companion movie if one exists.
UploadFiles openUploadFiles(const QVariantMap& item, bool withMovie);

struct UploadBody {
    enum class Outcome {
        Sendable,
        Unreadable, // a file could not be opened or read whole; nothing is sent
        Refused,    // some content holds the form's delimiter; never sendable as it is
    };
    Outcome outcome = Outcome::Sendable;
    QByteArray fieldsAndFileHeader; // up to the file part's headers, before its bytes
    // The whole body in order: text in memory, the files as ranges of their open descriptors,
    // read only while sending. Without the closing delimiter when unsendable.
    std::vector<BodyPiece> pieces;
    bool sendable = true;
    QString problem;      // why it is not sendable, for the status line
    QString refusedField; // with Refused: the form field or file part at fault
    // Keeps the descriptors of the pieces open when the body opened its files itself.
    std::shared_ptr<const UploadFiles> files;

    qint64 size() const;
    // The body as one block of bytes (small bodies only: tests and diagnostics).
    QByteArray materialize() const;
};

UploadBody buildUploadBody(const QVariantMap& item, const UploadFiles& files);
// Opens the files itself.
UploadBody buildUploadBody(const QVariantMap& item, bool withMovie);

// A file part of another form: the file as opened, sent whole under the last component of path.
struct FormFilePart {
    const char* name = "imgfile";
    QString path;
    QByteArray contentType;
    const ItemFile* file = nullptr;
};

// Text fields in the order given, then the file part if any, framed and checked as the photo
// upload's body is.
UploadBody buildFormBody(const std::vector<std::pair<const char*, QString>>& fields,
                         const FormFilePart* file = nullptr);

} // namespace kivo
