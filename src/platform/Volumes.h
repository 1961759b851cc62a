#pragma once
// Whether a folder is the root of a volume. A volume root is refused (or warned about) where a
// whole disk would be searched.
#include <QString>
#include <QStringList>

namespace kivo {

// Where removable and extra disks are mounted.
struct VolumeFolders {
    // Folders whose sub-folders are mount points of volumes ("/mnt", "/media").
    QStringList direct;
    // Folders holding one folder of volumes per user ("/media", "/run/media").
    QStringList perUser;

    static VolumeFolders standard();
};

// YES for "/", for a folder of volumes itself ("/mnt", "/media", "/media/<user>",
// "/run/media", "/run/media/<user>"), and for a mount point directly inside one of those.
// NO for nothing, a relative path, a path that does not exist or is not a folder, and any
// other folder. Links are followed first.
bool isRootVolume(const QString& path);
bool isRootVolume(const QString& path, const VolumeFolders& folders);

// The mount points of this process's mount namespace; empty when they cannot be read.
QStringList mountPoints();

} // namespace kivo
