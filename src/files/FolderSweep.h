#pragma once
// Tests used by the clean-up of old photos and empty folders, and by the search for originals.
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <functional>
#include <optional>

namespace kivo {

class MaintenanceProgress;

// No entries, or only ".DS_Store". A folder whose listing cannot be read is not empty.
bool isDirectoryEmpty(const QString& path);

// Whether the item's date is strictly earlier than date. The date is the creation date (the
// modification date when the creation date is missing or a "zero" date); when attributeName
// names the creation date (any case) it is the modification date. False when the item's
// attributes cannot be read. Links are followed.
bool itemIsEarlierThan(const QString& path, const QDateTime& date,
                       const QString& attributeName = QStringLiteral("NSFileModificationDate"));

// Hidden by name (a last component beginning with "."), or one of the system paths that are
// always hidden.
bool isInvisibleFileAtPath2(const QString& path);

// Whether the file is a whole photo, judged for the old-photo sweep. A JPEG is read through
// once without being decoded: its segments, its image data (byte stuffing, restart markers in
// order) and its end-of-image marker must all be in place. Any other file must decode as an
// image (IsValidImageObject).
bool isWholePhoto(const QString& path);

// The old-photo sweep over the mirror folder.
struct OldPhotoSweep {
    enum class Outcome { Done, Stopped, MissingFolder, NotAFolder };
    Outcome outcome = Outcome::Done;
    int deleted = 0;
    int kept = 0;    // photos not old enough, or without a date
    int skipped = 0; // anything that is not a photo
    int failed = 0;  // old photos that could not be removed
};

struct OldPhotoRules {
    QDateTime cutoff;
    // Nothing below this folder is touched (the source folder, should it lie inside the
    // mirror folder: photos there are not uploaded yet). Empty: no such folder.
    QString untouchable;
    // Whether a file is a whole image; isWholePhoto unless a caller measures another.
    std::function<bool(const QString& path)> isImage;
    // Asked between files; true ends the sweep early.
    std::function<bool()> stopping;
};

// The age in days beyond which old photos go, from the stored setting: 30 when it is absent,
// else the stored number as a 16-bit count, held at the edge of that range rather than wrapped.
// None for a negative age: its cut-off would come after now and take every photo.
std::optional<qint16> daysOldBeforeDeleting(const QVariant& stored);

// Done when mirror is a folder; otherwise writes the diagnostic-log line that says why not.
OldPhotoSweep::Outcome checkOldPhotoFolder(const QString& mirror);

// Removes the photos below mirror whose date is strictly earlier than the cut-off. Only
// regular files that the image check accepts are removed, never through a link, and only the
// very file that was checked. progress (may be null) shows each file on its second line.
OldPhotoSweep deleteOldPhotos(const QString& mirror, const OldPhotoRules& rules,
                              MaintenanceProgress* progress);

} // namespace kivo
