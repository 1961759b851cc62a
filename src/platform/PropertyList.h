#pragma once
// Property lists (XML and binary) to and from Qt values.
// Dictionaries become QVariantMap, arrays QVariantList, strings QString, integers qint64,
// reals double, booleans bool, dates QDateTime (UTC), data QByteArray.
#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <QVariant>
#include <optional>

namespace kivo::plist {

// Why bytes or a file gave no value.
enum class Problem {
    None,
    Missing,        // no file at the path
    Unreadable,     // it exists but cannot be read (permissions, I/O error)
    NotRegular,     // a FIFO, device, folder or socket
    TooLarge,       // over the size limit, or it would expand beyond the parse bounds
    Malformed,      // not a property list
    NotADictionary, // a property list whose root is not a dictionary
};

struct Failure {
    Problem problem = Problem::None;
    // A clause that follows the file's name in messages ("cannot be read: Permission denied").
    QString reason;
};

// Parses XML or binary plist bytes. Leading junk before "<?xml"/"<plist" and anything after
// "</plist>" (padding) are ignored. No DTD or entity is ever resolved. Nothing too deep or too
// large once expanded is handed to the parser (see PropertyListBounds.h). nullopt on failure.
std::optional<QVariant> parse(const QByteArray& bytes, Failure* failure = nullptr);

// As parse, but only a dictionary root is accepted.
std::optional<QVariantMap> parseDictionary(const QByteArray& bytes, Failure* failure = nullptr);

// Files larger than this are not read as property lists.
inline constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

struct DictionaryFile {
    QVariantMap dictionary; // when failure.problem is None
    Failure failure;
};

// Reads a file and parses it as a dictionary. Only a regular file of at most kMaxFileBytes is
// read, opened without blocking, so a FIFO or device at the path never stalls the caller.
// Paths starting with ':' are compiled-in resources.
DictionaryFile loadDictionaryFile(const QString& path);
// The same, nullopt for every failure.
std::optional<QVariantMap> readDictionaryFile(const QString& path);

// XML plist text of value (which must be representable; unknown types are written as strings).
QByteArray toXml(const QVariant& value);

// Writes value as XML to path through a temporary file renamed over the target, so a failed
// write leaves an existing file untouched. Text over kMaxFileBytes is not written. The file gets
// the given permissions (owner-only unless told otherwise: settings hold the password). A missing
// folder is created (0700).
bool writeXmlFileAtomically(const QString& path, const QVariant& value, QString* error = nullptr,
                            QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                                   QFileDevice::WriteOwner);

} // namespace kivo::plist
