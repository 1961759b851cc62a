#pragma once
#include <QString>

namespace kivo {

// True only when the file decodes fully as an image; a truncated or damaged image is refused.
// Safe to call from several threads. Qt reports damaged JPEG data only as a warning, so the
// first call installs a message handler that notes such warnings and passes every message on
// to the handler it replaced; a handler installed later must pass messages on as well.
bool IsValidImageObject(const QString& path);

// The last path component without extension, trimmed, cut at the first "_" (else the first
// " "); a name that begins with the separator gives the empty string.
QString getBaseIDFromFileName(const QString& path);

// A JPEG still being written already carries its metadata. It counts as complete when it ends
// with its end-of-image marker (padding after it allowed) or has not changed for settleMs.
// Non-JPEG files are always complete.
bool isFileComplete(const QString& path, int settleMs = 2000);

} // namespace kivo
