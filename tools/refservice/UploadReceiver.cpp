#include "UploadReceiver.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <QFileInfo>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kivo::refservice {

namespace {

// Limits for text fields only; file parts go to disk and are bounded by --max-body.
constexpr uint64_t kMaxFieldBytes = 4 * 1024 * 1024;
constexpr uint64_t kMaxTextBytes = 16 * 1024 * 1024;
constexpr size_t kMaxNameBytes = 200;

QString qs(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

std::string safeComponent(const std::string& text, const std::string& fallback, bool keepSpaces) {
    std::string name = text;
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    for (char& c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = std::isalnum(u) || c == '.' || c == '-' || c == '_' || u >= 0x80 ||
                           (keepSpaces && c == ' ');
        if (!plain)
            c = '_';
    }
    if (name.size() > kMaxNameBytes)
        name.resize(kMaxNameBytes);
    if (name.empty() || name == "." || name == "..")
        return fallback;
    return name;
}

UploadReceiver::UploadReceiver(std::string incomingDir, bool discard)
    : fIncomingDir(std::move(incomingDir)), fDiscard(discard) {}

UploadReceiver::~UploadReceiver() {
    if (!fCommitted)
        discard();
}

bool UploadReceiver::fail(std::string message, bool storage) {
    if (fError.empty()) {
        fError = std::move(message);
        fStorageFailed = storage;
    }
    return false;
}

std::optional<std::string> UploadReceiver::field(const std::string& name) const {
    for (const auto& [fieldName, value] : fFields) {
        if (fieldName == name)
            return value;
    }
    return std::nullopt;
}

const ReceivedFile* UploadReceiver::fileOfField(const std::string& field) const {
    for (const ReceivedFile& file : fFiles) {
        if (file.field == field)
            return &file;
    }
    return nullptr;
}

const ReceivedFile* UploadReceiver::photo() const {
    if (const ReceivedFile* img = fileOfField("imgfile"))
        return img;
    return fFiles.empty() ? nullptr : &fFiles.front();
}

std::string UploadReceiver::uniqueStoredName(const std::string& field,
                                             const std::string& fileName) const {
    std::string name = safeComponent(fileName, "unnamed");
    if (name == "fields.json")
        name = field + "-" + name;
    auto taken = [this](const std::string& candidate) {
        for (const ReceivedFile& file : fFiles) {
            if (file.storedName == candidate)
                return true;
        }
        return false;
    };
    std::string candidate = name;
    for (int i = 2; taken(candidate); ++i)
        candidate = field + "-" + std::to_string(i) + "-" + name;
    return candidate;
}

bool UploadReceiver::beginPart(const std::string& name, const std::string& fileName,
                               const std::string& contentType) {
    if (!finish())
        return false;
    if (fileName.empty()) {
        fFields.emplace_back(name, std::string());
        fPart = PartKind::Text;
        return true;
    }
    if (fDiscard) {
        fFiles.push_back({name, fileName, safeComponent(fileName, "unnamed"), contentType, 0, {}});
        fPart = PartKind::File;
        return true;
    }
    if (!QDir().mkpath(qs(fIncomingDir)))
        return fail("cannot create " + fIncomingDir);
    ReceivedFile file;
    file.field = name;
    file.fileName = fileName;
    file.storedName = uniqueStoredName(name, fileName);
    file.contentType = contentType;
    fFile = std::make_unique<QFile>(qs(fIncomingDir + "/" + file.storedName));
    if (!fFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const std::string message = fFile->errorString().toStdString();
        fFile.reset();
        return fail("cannot create " + file.storedName + ": " + message);
    }
    fHash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);
    fFiles.push_back(std::move(file));
    fPart = PartKind::File;
    return true;
}

bool UploadReceiver::append(const char* data, size_t length) {
    switch (fPart) {
    case PartKind::None:
        return true; // the parser never hands over data outside a part
    case PartKind::Text: {
        std::string& value = fFields.back().second;
        fTextBytes += length;
        if (value.size() + length > kMaxFieldBytes || fTextBytes > kMaxTextBytes)
            return fail("text field " + fFields.back().first + " is too large", false);
        value.append(data, length);
        return true;
    }
    case PartKind::File: {
        if (fDiscard) {
            fFiles.back().size += length;
            return true;
        }
        const qint64 written = fFile->write(data, static_cast<qint64>(length));
        if (written != static_cast<qint64>(length))
            return fail("cannot write " + fFiles.back().storedName + ": " +
                        fFile->errorString().toStdString());
        fHash->addData(QByteArrayView(data, static_cast<qsizetype>(length)));
        fFiles.back().size += length;
        return true;
    }
    }
    return true;
}

bool UploadReceiver::finish() {
    const PartKind part = fPart;
    fPart = PartKind::None;
    if (part != PartKind::File || fDiscard)
        return fError.empty();
    ReceivedFile& file = fFiles.back();
    file.sha256 = fHash->result().toHex().toStdString();
    const bool flushed = fFile->flush();
    fFile->close();
    const bool ok = flushed && fFile->error() == QFileDevice::NoError;
    fFile.reset();
    fHash.reset();
    if (!ok)
        return fail("cannot write " + file.storedName);
    return fError.empty();
}

bool UploadReceiver::commit(const std::string& destDir, QJsonObject record) {
    if (!finish())
        return false;
    if (fDiscard)
        return true;
    QJsonArray fields;
    for (const auto& [name, value] : fFields)
        fields.append(QJsonArray{qs(name), qs(value)});
    QJsonArray files;
    for (const ReceivedFile& file : fFiles) {
        files.append(QJsonObject{{"field", qs(file.field)},
                                 {"filename", qs(file.fileName)},
                                 {"stored", qs(file.storedName)},
                                 {"contentType", qs(file.contentType)},
                                 {"size", static_cast<qint64>(file.size)},
                                 {"sha256", qs(file.sha256)}});
    }
    record["fields"] = fields;
    record["files"] = files;

    // Complete the folder before it appears under its final name, so a reader that sees the
    // folder also sees its record.
    if (!QDir().mkpath(qs(fIncomingDir)))
        return fail("cannot create " + fIncomingDir);
    QSaveFile json(qs(fIncomingDir + "/fields.json"));
    if (!json.open(QIODevice::WriteOnly) ||
        json.write(QJsonDocument(record).toJson(QJsonDocument::Indented)) < 0 || !json.commit())
        return fail("cannot write fields.json: " + json.errorString().toStdString());
    const QString parent = QFileInfo(qs(destDir)).absolutePath();
    if (!QDir().mkpath(parent))
        return fail("cannot create " + parent.toStdString());
    if (std::rename(fIncomingDir.c_str(), destDir.c_str()) != 0)
        return fail("cannot move the upload to " + destDir + ": " + std::strerror(errno));
    fCommitted = true;
    return true;
}

void UploadReceiver::discard() {
    fFile.reset();
    fHash.reset();
    fPart = PartKind::None;
    QDir dir(qs(fIncomingDir));
    if (dir.exists())
        dir.removeRecursively();
}

} // namespace kivo::refservice
