#pragma once
// Filing items into the mirror and problem folders. Each move reports whether the item
// reached its destination, so the pipeline never takes an unfiled item for a filed one.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace kivo {

class MaintenanceProgress;

// Encapsulation groups files by the text before the first "_" of their name (IMG from
// IMG_0001_A.jpg). None when the name has no "_" or begins with one.
std::optional<QString> getBaseName1(const QString& path);
// The folder an encapsulated file goes into: the destination's parent folder, joined with the
// base name when there is one (created on request, with missing parents).
QString createEncapsulationFolder(const QString& destinationRoot, const QString& relativePath,
                                  bool create);

class QDI_FileManager {
public:
    // All forms move sourceRoot/relativePath to destinationRoot/relativePath, creating missing
    // folders on the way. True when the item reached its destination, and also when there was
    // nothing to move (no such item: a photo without a companion movie). A directory item
    // only gets its counterpart folder created; the source folder stays. On failure the item
    // stays where it was, whole.

    // Into the mirror folder, replacing an existing file.
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot);
    // Into the mirror folder.
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                               bool overwrite, bool encapsulate);
    // Overwrite replaces an existing file atomically; without it a taken name fails the move.
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                               const QString& destinationRoot, bool overwrite, bool encapsulate);
    // As above, filing a file under its name with the stamp applied (see stampedPath); an
    // empty stamp keeps the name. Folders are never stamped.
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                               const QString& destinationRoot, bool overwrite, bool encapsulate,
                               const QString& stamp);

    // Empty when no path of relativePaths is taken under destinationRoot; otherwise a stamp
    // ("yyyyMMdd_HHmmss" of `now`, then "-2", "-3"... when needed) under which all of them are
    // free. Pass a photo together with its companion movie so both get the same stamp.
    static QString stampIfTaken(const QString& destinationRoot, const QStringList& relativePaths,
                                const QDateTime& now = QDateTime::currentDateTime());
    // "Smith/c.jpg" with stamp S is "Smith/c S.jpg"; a name without extension gets " S" added.
    // The base name is shortened when the stamped name would exceed the file-name limit.
    static QString stampedPath(const QString& relativePath, const QString& stamp);
    // Why the last failed move on this thread failed (for a status line).
    static QString lastFailure();

    // ---- Clean-up (FolderSweep.cpp)
    // Deletes the empty folders below root (never root itself). Parents are visited before
    // their contents, so a folder holding only an empty folder goes in a later sweep. With
    // keepImmediateChildren, root's own children stay; otherwise, with a cut-off, only folders
    // older than it go. progress (may be null) shows each deletion on its second line.
    static void deleteFolderIfEmpty(const QString& root, bool keepImmediateChildren,
                                    const std::optional<QDateTime>& cutoff,
                                    MaintenanceProgress* progress);
    static void deleteFolderIfEmpty(const QString& root, bool keepImmediateChildren);
    static void deleteOLDFolderIfEmpty(const QString& root, bool keepImmediateChildren,
                                       qint16 daysOld);

    // ---- Finding the original of a hi-res order (OriginalSearch.cpp)
    // storedPath as the order gives it (percent escapes not yet decoded); folders: the search
    // folders, or none. The path of the original found, or none.
    static std::optional<QString> doResolveOriginalPath(const QString& storedPath,
                                                        const std::optional<QStringList>& folders);
    static std::optional<QString> doResolveOriginalPath(const QString& storedPath,
                                                        const std::optional<QString>& folder);
};

} // namespace kivo
