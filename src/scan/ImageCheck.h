#pragma once
#include "platform/ItemFile.h"

#include <QDateTime>
#include <QImage>
#include <QSize>
#include <QString>
#include <optional>

namespace kivo {

// True only when the file decodes fully as an image; a truncated or damaged image is refused.
// Safe to call from several threads. Qt reports damaged JPEG data only as a warning, so the
// first call installs a message handler that notes such warnings and passes every message on
// to the handler it replaced; a handler installed later must pass messages on as well.
bool IsValidImageObject(const QString& path);
// The same check on an open descriptor (its file offset moves; reads elsewhere should use pread).
bool IsValidImageObjectFromFd(int fd);

// A small picture of the photo for the window: its embedded thumbnail when it has one that is
// not much larger than bound, else a decode scaled to fit bound. Null when neither can be read.
QImage previewImageOf(const QString& path, const QSize& bound);

// The last path component without extension, trimmed, cut at the first "_" (else the first
// " "); a name that begins with the separator gives the empty string.
QString getBaseIDFromFileName(const QString& path);

// A JPEG whose segments run whole up to its image data and that ends with its end-of-image
// marker (padding after it allowed). A marker at the end of a file cut inside its embedded
// thumbnail does not count.
bool jpegLooksComplete(int fd, qint64 size);

enum class Readiness {
    Ready,
    BeingWritten, // another process holds it open for writing
    Settling,     // unfinished, or changed too recently to tell
    Refused,      // a symbolic link or not a regular file: never uploaded
    Unreadable,
    Gone,
};

struct ReadinessRules {
    // An unfinished JPEG is taken as it is only after this long untouched.
    qint64 unfinishedQuietMs = 30000;
    // Where writers cannot be seen (another user's file, a network share), how long a finished
    // file must be untouched.
    qint64 unknownWriterQuietMs = 2000;
};

struct ItemReadiness {
    Readiness state = Readiness::Unreadable;
    QString why;                          // for the status line when not ready
    qint64 retryInMs = 1000;              // when to look again when not ready
    std::optional<FileIdentity> identity; // of the file that was judged
};

// Whether the photo or movie at path may be sent now: a regular file that no process holds
// open for writing and that looks finished.
ItemReadiness checkItemReadiness(const QString& path, const ReadinessRules& rules = {},
                                 qint64 nowMs = QDateTime::currentMSecsSinceEpoch());

} // namespace kivo
