#pragma once
#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kivo::refservice {

struct ReceivedFile {
    std::string field;      // form field, e.g. imgfile or vidfile
    std::string fileName;   // as sent
    std::string storedName; // name inside the received folder
    std::string contentType;
    uint64_t size = 0;
    std::string sha256; // lower-case hex
};

// Collects the parts of one multipart body as they stream in: text fields in memory, file parts
// written straight to a private incoming folder, so a large photo never sits in memory. The
// folder is removed unless commit() moves it to its final place.
class UploadReceiver {
public:
    // With discard, file parts are only counted: no file, no hash.
    explicit UploadReceiver(std::string incomingDir, bool discard = false);
    ~UploadReceiver();
    UploadReceiver(const UploadReceiver&) = delete;
    UploadReceiver& operator=(const UploadReceiver&) = delete;

    bool beginPart(const std::string& name, const std::string& fileName,
                   const std::string& contentType);
    bool append(const char* data, size_t length);
    // Closes the part under way; false when its file could not be written.
    bool finish();

    const std::vector<std::pair<std::string, std::string>>& fields() const { return fFields; }
    std::optional<std::string> field(const std::string& name) const;
    const std::vector<ReceivedFile>& files() const { return fFiles; }
    // The photo: the imgfile part, else the first file part.
    const ReceivedFile* photo() const;
    const ReceivedFile* fileOfField(const std::string& field) const;
    const std::string& error() const { return fError; }
    // The failure was the service's own (disk), not the request's.
    bool storageFailed() const { return fStorageFailed; }

    // Writes fields.json (record plus the fields and files) and moves everything to destDir.
    bool commit(const std::string& destDir, QJsonObject record);
    void discard();

private:
    bool fail(std::string message, bool storage = true);
    std::string uniqueStoredName(const std::string& field, const std::string& fileName) const;

    std::string fIncomingDir;
    bool fDiscard = false;
    bool fCommitted = false;
    std::vector<std::pair<std::string, std::string>> fFields;
    std::vector<ReceivedFile> fFiles;
    uint64_t fTextBytes = 0;

    enum class PartKind { None, Text, File };
    PartKind fPart = PartKind::None;
    std::unique_ptr<QFile> fFile;
    std::unique_ptr<QCryptographicHash> fHash;
    std::string fError;
    bool fStorageFailed = false;
};

// A name safe to use as one path component.
std::string safeComponent(const std::string& text, const std::string& fallback,
                          bool keepSpaces = true);

} // namespace kivo::refservice
