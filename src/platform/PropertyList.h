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

// Parses XML or binary plist bytes. Leading junk before "<?xml"/"<plist" and anything after
// "</plist>" (padding) are ignored. No DTD or entity is ever resolved. nullopt on failure.
std::optional<QVariant> parse(const QByteArray& bytes);

// As parse, but only a dictionary root is accepted.
std::optional<QVariantMap> parseDictionary(const QByteArray& bytes);

// Reads a file and parses it as a dictionary. nullopt when missing, unreadable or not a dict.
std::optional<QVariantMap> readDictionaryFile(const QString& path);

// XML plist text of value (which must be representable; unknown types are written as strings).
QByteArray toXml(const QVariant& value);

// Writes value as XML to path through a temporary file renamed over the target, so a failed
// write leaves an existing file untouched. The file gets the given permissions (owner-only
// unless told otherwise: settings hold the password). A missing folder is created (0700).
bool writeXmlFileAtomically(const QString& path, const QVariant& value, QString* error = nullptr,
                            QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                                   QFileDevice::WriteOwner);

} // namespace kivo::plist
