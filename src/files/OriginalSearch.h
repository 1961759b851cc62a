#pragma once
// Stored paths of originals as orders name them.
#include <QString>
#include <optional>

namespace kivo {

// The text with its percent escapes decoded. A run of escapes is read as UTF-8 when its bytes
// are valid UTF-8 (file names here are UTF-8), else as Mac OS Roman, as the capture stations
// wrote them. None when an escape is malformed ("%G1", a lone "%").
std::optional<QString> decodePercentEscapes(const QString& text);

} // namespace kivo
