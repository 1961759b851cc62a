#pragma once
// How the scan's readers get at a photo's bytes. Files are read, never mapped: a photo that
// another program shortens while we look at it must give "no metadata", not a SIGBUS.
// Private to the scan folder.
#include <QByteArray>
#include <QString>
#include <exiv2/exiv2.hpp>
#include <memory>
#include <optional>

namespace kivo::scan_internal {

// Mutes exiv2's own log and initialises its XMP toolkit with a lock, exactly once.
void prepareExiv2();

// Opens a regular file with exiv2's file reader, which reads only the segments it parses
// (for a JPEG: up to the start of the image data). Null with *error on failure; exiv2
// exceptions from opening are caught here.
std::unique_ptr<Exiv2::Image> openExivImage(const QString& path, QString* error);

// The last n bytes of a regular file. nullopt with *error when it cannot be read; the file's
// size is stored in *size when the file could be opened.
std::optional<QByteArray> readTail(const QString& path, qint64 n, qint64* size, QString* error);

} // namespace kivo::scan_internal
