#include "upload/MultipartBody.h"

#include "app/Pipeline.h"
#include "platform/Console.h"

#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace kivo {

namespace {

const QByteArray& dashBoundary() {
    static const QByteArray text = QByteArray("--") + kMultipartBoundary;
    return text;
}

// A part ends at CRLF "--" boundary; a value can only break the body by holding that text (or
// by starting with "--" boundary, right after its header's blank line). Lenient parsers find
// the boundary without the CRLF, so any occurrence is refused.
bool holdsDelimiter(const QByteArray& value) {
    return value.contains(dashBoundary());
}

// Whether [begin, end) holds text, which starts with "\r". A CR is rare in photo data and
// memchr runs at memory speed: several times faster than a skip-table search here.
bool contains(const char* begin, const char* end, const QByteArray& text) {
    const size_t length = size_t(text.size());
    for (const char* p = begin; size_t(end - p) >= length; ++p) {
        p = static_cast<const char*>(std::memchr(p, text.front(), size_t(end - p) - length + 1));
        if (!p)
            return false;
        if (std::memcmp(p, text.constData(), length) == 0)
            return true;
    }
    return false;
}

// Reads a file in large blocks into one buffer, each block after the last block's final
// delimiter length - 1 bytes, so a delimiter across two blocks is found too. False when the file
// cannot be read whole.
bool scanFile(const ItemFile& file, qint64 size, bool* holdsDelimiter) {
    const QByteArray delimiter = QByteArray("\r\n") + dashBoundary();
    constexpr qint64 kBlock = 256 * 1024;
    const qint64 overlap = delimiter.size() - 1;
    const auto buffer =
        std::make_unique_for_overwrite<char[]>(size_t(overlap + std::min(kBlock, size)));
    // A file that starts with the delimiter's text follows its header's blank line directly.
    qint64 keep = 2;
    std::memcpy(buffer.get(), "\r\n", 2);
    *holdsDelimiter = false;
    for (qint64 offset = 0; offset < size;) {
        const qint64 chunk = std::min(kBlock, size - offset);
        if (!file.readAt(buffer.get() + keep, chunk, offset))
            return false;
        char* end = buffer.get() + keep + chunk;
        // Read on to the end even once found: a file that cannot be read whole says so first.
        if (!*holdsDelimiter && contains(buffer.get(), end, delimiter))
            *holdsDelimiter = true;
        offset += chunk;
        keep = std::min(overlap, keep + chunk);
        std::memmove(buffer.get(), end - keep, size_t(keep));
    }
    return true;
}

class BodyWriter {
public:
    explicit BodyWriter(UploadBody& result) : fResult(result) {}

    void field(const char* name, const QString& value) {
        const QByteArray bytes = value.toUtf8();
        if (holdsDelimiter(bytes))
            refuse(QString::fromLatin1(name),
                   QStringLiteral("The form field \"%1\" holds the upload's form delimiter; the "
                                  "item was not sent")
                       .arg(QLatin1String(name)));
        partStart(name);
        text() += "\"\r\n\r\n";
        text() += bytes;
    }

    void fileHeader(const char* name, const QString& fileName, const QByteArray& contentType) {
        partStart(name);
        QByteArray& out = text();
        out += "\"; filename=\"";
        out += escapeFormFileName(fileName);
        out += "\"\r\nContent-Type: ";
        out += contentType;
        out += "\r\n\r\n";
    }

    // Adds the whole file as it was opened, after reading it through once to be sure it is
    // whole and holds no delimiter; false when it cannot be read whole.
    bool fileBytes(const char* part, const QString& path, const ItemFile& file) {
        const qint64 size = file.identity().size;
        bool delimiter = false;
        if (!scanFile(file, size, &delimiter)) {
            unreadable(path, QStringLiteral("it shrank while being read"));
            return false;
        }
        if (delimiter)
            refuse(QString::fromLatin1(part),
                   QStringLiteral("The file [%1] holds the upload's form delimiter; it was not "
                                  "sent")
                       .arg(path));
        BodyPiece piece;
        piece.fd = file.fd();
        piece.length = size;
        fResult.pieces.push_back(piece);
        return true;
    }

    void closing() { text() += QByteArray("\r\n--") + kMultipartBoundary + "--\r\n"; }

    // Everything written so far, as bytes (the text pieces only).
    QByteArray textSoFar() const {
        QByteArray all;
        for (const BodyPiece& p : fResult.pieces)
            all += p.bytes;
        return all;
    }

    void unreadable(const QString& path, const QString& why) {
        if (fResult.outcome == UploadBody::Outcome::Sendable) {
            fResult.outcome = UploadBody::Outcome::Unreadable;
            fResult.problem = QStringLiteral("Could not read [%1]: %2").arg(path, why);
        }
    }

private:
    // The text piece at the end of the body, started when a file piece came last.
    QByteArray& text() {
        if (fResult.pieces.empty() || fResult.pieces.back().fd >= 0)
            fResult.pieces.emplace_back();
        return fResult.pieces.back().bytes;
    }

    // The delimiter and the header line up to the end of the part's name.
    void partStart(const char* name) {
        QByteArray& out = text();
        out += "\r\n--";
        out += kMultipartBoundary;
        out += "\r\nContent-Disposition: form-data; name=\"";
        out += name;
    }

    void refuse(const QString& field, const QString& text) {
        if (fResult.outcome != UploadBody::Outcome::Sendable)
            return;
        fResult.outcome = UploadBody::Outcome::Refused;
        fResult.refusedField = field;
        fResult.problem = text;
    }

    UploadBody& fResult;
};

} // namespace

QByteArray contentTypeForFile(const QString& path) {
    const QString ext = QFileInfo(path).suffix();
    if (ext.compare(QLatin1String("PNG"), Qt::CaseInsensitive) == 0)
        return "image/png";
    if (ext.compare(QLatin1String("JPG"), Qt::CaseInsensitive) == 0)
        return "image/jpeg";
    if (ext.compare(QLatin1String("MOV"), Qt::CaseInsensitive) == 0)
        return "video/quicktime";
    return "image/jpeg";
}

QByteArray escapeFormFileName(const QString& name) {
    const QByteArray utf8 = name.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out += "%22";
            break;
        case '\r':
            out += "%0D";
            break;
        case '\n':
            out += "%0A";
            break;
        default:
            out += c;
        }
    }
    return out;
}

UploadFiles openUploadFiles(const QVariantMap& item, bool withMovie) {
    UploadFiles files;
    files.photoPath = item.value(kEdFileName).toString();
    files.photo = ItemFile::open(files.photoPath);
    if (withMovie) {
        const QString movie = companionMoviePath(files.photoPath);
        // A link in the movie's place counts as a movie, and is refused when opened.
        if (identityOfPath(movie)) {
            files.moviePath = movie;
            files.movie = ItemFile::open(movie);
        }
    }
    return files;
}

UploadBody buildUploadBody(const QVariantMap& item, bool withMovie) {
    auto files = std::make_shared<const UploadFiles>(openUploadFiles(item, withMovie));
    UploadBody body = buildUploadBody(item, *files);
    body.files = std::move(files);
    return body;
}

qint64 UploadBody::size() const {
    qint64 total = 0;
    for (const BodyPiece& piece : pieces)
        total += piece.size();
    return total;
}

QByteArray UploadBody::materialize() const {
    QByteArray all;
    for (const BodyPiece& piece : pieces) {
        if (piece.fd < 0) {
            all += piece.bytes;
            continue;
        }
        const qsizetype start = all.size();
        all.resize(start + qsizetype(piece.length));
        qint64 done = 0;
        while (done < piece.length) {
            const ssize_t n = ::pread(piece.fd, all.data() + start + done,
                                      size_t(piece.length - done), off_t(piece.offset + done));
            if (n <= 0)
                break;
            done += n;
        }
        all.truncate(start + qsizetype(done));
    }
    return all;
}

UploadBody buildUploadBody(const QVariantMap& item, const UploadFiles& files) {
    UploadBody result;
    BodyWriter w(result);
    auto text = [&item](const QString& key) { return item.value(key).toString(); };

    w.field("username", text(kEdUser));
    w.field("password", text(kEdPasswd));
    w.field("event", text(kEdEventName));
    w.field("client", text(kEdClientName));
    w.field("capturetime", text(kEdCaptureTime));
    if (item.contains(kEdMetaData))
        w.field("metadata", text(kEdMetaData));
    w.field("fuseaction", text(kEdGlvFuseAction));
    if (item.contains(kEdEmails))
        w.field("emails", text(kEdEmails));
    if (item.contains(kEdOriginalPath))
        w.field("localfilelocation", text(kEdOriginalPath));
    if (item.contains(kEdLarchInfo)) {
        const QVariantMap larch = item.value(kEdLarchInfo).toMap();
        if (larch.contains(QStringLiteral("email")))
            w.field("email", larch.value(QStringLiteral("email")).toString());
        if (larch.contains(QStringLiteral("mobile")))
            w.field("phone", larch.value(QStringLiteral("mobile")).toString());
    }
    if (item.contains(kEdSittingInfoDictionary)) {
        const QVariantMap sitting = item.value(kEdSittingInfoDictionary).toMap();
        static const std::pair<const char*, const char*> sittingFields[] = {
            {"bgloc", "bglocation"},
            {"firstname", "firstname"},
            {"lastname", "lastname"},
            {"zip", "zip"},
            {"age", "age"},
            {"email", "email"},
            {"sittingid", "sittingid"},
        };
        for (const auto& [key, field] : sittingFields)
            if (sitting.contains(QLatin1String(key)))
                w.field(field, sitting.value(QLatin1String(key)).toString());
    }
    w.field("Submit", QStringLiteral("Upload"));

    const QString& photo = files.photoPath;
    w.fileHeader("imgfile", QFileInfo(photo).fileName(), contentTypeForFile(photo));
    result.fieldsAndFileHeader = w.textSoFar();

    if (!files.photo.isOpen() || !w.fileBytes("imgfile", photo, files.photo)) {
        consoleLine(
            QStringLiteral("Error in Reading the Contents of file at path:\n%1\n\n").arg(photo));
        if (!files.photo.isOpen())
            w.unreadable(photo, files.photo.failureText());
    }

    if (files.moviePath) {
        const QString& movie = *files.moviePath;
        w.fileHeader("vidfile", QFileInfo(movie).fileName(), "video/quicktime");
        if (!files.movie.isOpen() || !w.fileBytes("vidfile", movie, files.movie)) {
            consoleLine(
                QStringLiteral("Error in Reading the Contents of MOVIE file at path:\n%1\n\n")
                    .arg(movie));
            if (!files.movie.isOpen())
                w.unreadable(movie, files.movie.failureText());
        }
    }
    result.sendable = result.outcome == UploadBody::Outcome::Sendable;
    if (result.sendable)
        w.closing();
    return result;
}

UploadBody buildFormBody(const std::vector<std::pair<const char*, QString>>& fields,
                         const FormFilePart* file) {
    UploadBody result;
    BodyWriter w(result);
    for (const auto& [name, value] : fields)
        w.field(name, value);
    if (file) {
        w.fileHeader(file->name, QFileInfo(file->path).fileName(), file->contentType);
        result.fieldsAndFileHeader = w.textSoFar();
        if (!file->file || !file->file->isOpen())
            w.unreadable(file->path,
                         file->file ? file->file->failureText() : QStringLiteral("it is not open"));
        else
            w.fileBytes(file->name, file->path, *file->file);
    }
    result.sendable = result.outcome == UploadBody::Outcome::Sendable;
    if (result.sendable)
        w.closing();
    return result;
}

} // namespace kivo
