#include "upload/MultipartBody.h"

#include "app/Pipeline.h"
#include "platform/Console.h"

#include <QFile>
#include <QFileInfo>

namespace kivo {

namespace {

void appendField(QByteArray& out, const char* name, const QString& value) {
    out += "\r\n--";
    out += kMultipartBoundary;
    out += "\r\nContent-Disposition: form-data; name=\"";
    out += name;
    out += "\"\r\n\r\n";
    out += value.toUtf8();
}

void appendFileHeader(QByteArray& out, const char* name, const QString& fileName,
                      const QByteArray& contentType) {
    out += "\r\n--";
    out += kMultipartBoundary;
    out += "\r\nContent-Disposition: form-data; name=\"";
    out += name;
    out += "\"; filename=\"";
    out += fileName.toUtf8();
    out += "\"\r\nContent-Type: ";
    out += contentType;
    out += "\r\n\r\n";
}

std::optional<QByteArray> readWhole(const QString& path, QString* why) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = f.errorString();
        return std::nullopt;
    }
    QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        *why = f.errorString();
        return std::nullopt;
    }
    return bytes;
}

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

UploadBody buildUploadBody(const QVariantMap& item, bool withMovie) {
    UploadBody result;
    QByteArray& out = result.body;
    auto text = [&item](const QString& key) { return item.value(key).toString(); };

    appendField(out, "username", text(kEdUser));
    appendField(out, "password", text(kEdPasswd));
    appendField(out, "event", text(kEdEventName));
    appendField(out, "client", text(kEdClientName));
    appendField(out, "capturetime", text(kEdCaptureTime));
    if (item.contains(kEdMetaData))
        appendField(out, "metadata", text(kEdMetaData));
    appendField(out, "fuseaction", text(kEdGlvFuseAction));
    if (item.contains(kEdEmails))
        appendField(out, "emails", text(kEdEmails));
    if (item.contains(kEdOriginalPath))
        appendField(out, "localfilelocation", text(kEdOriginalPath));
    if (item.contains(kEdLarchInfo)) {
        const QVariantMap larch = item.value(kEdLarchInfo).toMap();
        if (larch.contains(QStringLiteral("email")))
            appendField(out, "email", larch.value(QStringLiteral("email")).toString());
        if (larch.contains(QStringLiteral("mobile")))
            appendField(out, "phone", larch.value(QStringLiteral("mobile")).toString());
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
                appendField(out, field, sitting.value(QLatin1String(key)).toString());
    }
    appendField(out, "Submit", QStringLiteral("Upload"));

    const QString photo = text(kEdFileName);
    appendFileHeader(out, "imgfile", QFileInfo(photo).fileName(), contentTypeForFile(photo));
    result.fieldsAndFileHeader = out;

    QString why;
    if (const auto bytes = readWhole(photo, &why)) {
        out += *bytes;
    } else {
        consoleLine(
            QStringLiteral("Error in Reading the Contents of file at path:\n%1\n\n").arg(photo));
        result.sendable = false;
        result.problem = QStringLiteral("Could not read [%1]: %2").arg(photo, why);
    }

    if (withMovie) {
        const QString movie = companionMoviePath(photo);
        if (QFileInfo::exists(movie)) {
            appendFileHeader(out, "vidfile", QFileInfo(movie).fileName(), "video/quicktime");
            if (const auto bytes = readWhole(movie, &why)) {
                out += *bytes;
            } else {
                consoleLine(
                    QStringLiteral("Error in Reading the Contents of MOVIE file at path:\n%1\n\n")
                        .arg(movie));
                if (result.sendable)
                    result.problem = QStringLiteral("Could not read [%1]: %2").arg(movie, why);
                result.sendable = false;
            }
        }
    }
    if (result.sendable) {
        out += "\r\n--";
        out += kMultipartBoundary;
        out += "--\r\n";
    }
    return result;
}

} // namespace kivo
