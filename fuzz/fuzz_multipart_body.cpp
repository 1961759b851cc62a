// Whatever the field values, file name and file bytes, a body that is sent parses back to
// exactly the fields and file that were meant; one that is not sent really held the delimiter.
#include "FuzzFile.h"
#include "app/Pipeline.h"
#include "refservice/MultipartParser.h"
#include "upload/MultipartBody.h"

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const kKeys[] = {"edUser",       "edPasswd",       "edEventName",
                             "edClientName", "edCaptureTime",  "edMetaData",
                             "edEmails",     "edOriginalPath", "edGlvFuseAction"};
const char* const kFields[] = {"username", "password",          "event",
                               "client",   "capturetime",       "metadata",
                               "emails",   "localfilelocation", "fuseaction"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Pieces separated by NUL: the field values, then the file name, then the file's bytes.
    std::vector<QByteArray> pieces;
    QByteArray all(reinterpret_cast<const char*>(data), qsizetype(size));
    for (int i = 0; i < 10; ++i) {
        const qsizetype nul = all.indexOf('\0');
        if (nul < 0)
            break;
        pieces.push_back(all.left(nul));
        all = all.mid(nul + 1);
    }
    const QByteArray content = all;
    pieces.resize(10);

    QVariantMap item;
    for (int i = 0; i < 9; ++i)
        item.insert(QLatin1String(kKeys[i]), QString::fromUtf8(pieces[size_t(i)]));
    QString name = QString::fromUtf8(pieces[9]).replace(QLatin1Char('/'), QLatin1Char('_'));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.toUtf8().size() > 200)
        name = QStringLiteral("x.jpg");
    static const QString folder = kivo::fuzz::inputPath("dir");
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name;
    kivo::fuzz::writeInput(path, reinterpret_cast<const uint8_t*>(content.constData()),
                           size_t(content.size()));
    item.insert(kivo::kEdFileName, path);

    const kivo::UploadBody built = kivo::buildUploadBody(item, false);
    QFile::remove(path);
    const QByteArray dashBoundary = QByteArray("--") + kivo::kMultipartBoundary;
    if (built.outcome == kivo::UploadBody::Outcome::Refused) {
        bool holds = (QByteArray("\r\n") + content).contains("\r\n" + dashBoundary);
        for (int i = 0; i < 9; ++i)
            holds = holds || QString::fromUtf8(pieces[size_t(i)]).toUtf8().contains(dashBoundary);
        if (!holds)
            std::abort();
        return 0;
    }
    if (built.outcome != kivo::UploadBody::Outcome::Sendable)
        std::abort(); // a file just written is readable

    const QByteArray body = built.materialize();
    std::vector<std::pair<std::string, std::string>> parts;
    std::string fileName;
    kivo::refservice::MultipartParser parser(
        kivo::kMultipartBoundary, {"email"},
        [&](const kivo::refservice::FormPart& part) {
            parts.emplace_back(part.name, std::string());
            if (!part.fileName.empty())
                fileName = part.fileName;
            return true;
        },
        [&](const char* bytes, size_t length) {
            parts.back().second.append(bytes, length);
            return true;
        });
    if (!parser.feed(body.constData(), size_t(body.size())) || !parser.finish())
        std::abort();
    // The nine fields, Submit and the photo, in this order and nothing else.
    if (parts.size() != 11)
        std::abort();
    std::vector<std::pair<std::string, std::string>> expected;
    const int order[] = {0, 1, 2, 3, 4, 5, 8, 6, 7}; // the form's field order
    for (int i : order)
        expected.emplace_back(kFields[i],
                              QString::fromUtf8(pieces[size_t(i)]).toUtf8().toStdString());
    expected.emplace_back("Submit", "Upload");
    for (size_t i = 0; i < expected.size(); ++i)
        if (parts[i] != expected[i])
            std::abort();
    // Names are escaped as browsers do it, which leaves a literal "%22" in a name ambiguous:
    // the service reads it as a quote, exactly as it would from a browser.
    const std::string sentName =
        kivo::refservice::decodeFormFileName(kivo::escapeFormFileName(name).toStdString());
    if (parts[10].first != "imgfile" || parts[10].second != content.toStdString() ||
        fileName != sentName)
        std::abort();
    return 0;
}
