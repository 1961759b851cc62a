#include "platform/Volumes.h"
#include "support/TestSupport.h"

#include <QDir>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace kivo;

namespace {

TEST(RootVolume, OnlyTheSystemRootAndFoldersOfVolumesOnOrdinaryPaths) {
    EXPECT_TRUE(isRootVolume("/"));
    EXPECT_TRUE(isRootVolume("/mnt/"));
    const QString folder = test::makeTempFolder("volumes");
    EXPECT_FALSE(isRootVolume(folder));
    EXPECT_FALSE(isRootVolume(folder + "/missing"));
    ASSERT_TRUE(test::writeFile(folder + "/file", "x"));
    EXPECT_FALSE(isRootVolume(folder + "/file"));
    EXPECT_FALSE(isRootVolume("tmp"));
    EXPECT_FALSE(isRootVolume(QString()));
    // A link to the root is the root.
    ASSERT_TRUE(QFile::link("/", folder + "/root-link"));
    EXPECT_TRUE(isRootVolume(folder + "/root-link"));
}

// A stand-in for /mnt and /media/<user> under a temporary folder, with real mounts in it.
TEST(RootVolume, MountPointsDirectlyInAFolderOfVolumesAreRoots) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const QString base = test::makeTempFolder("volumes");
    const VolumeFolders layout{{base + "/mnt"}, {base + "/media"}};
    const QString plain = base + "/mnt/copied";
    const QString disk = base + "/mnt/My Disk"; // mountinfo escapes the space
    const QString userDisk = base + "/media/alice/CARD";
    for (const QString& p : {plain, disk, userDisk})
        ASSERT_TRUE(QDir().mkpath(p));
    struct Mounts {
        QStringList points;
        ~Mounts() {
            for (const QString& p : points)
                ::umount2(QFile::encodeName(p).constData(), MNT_DETACH);
        }
    } mounts;
    for (const QString& p : {disk, userDisk}) {
        if (::mount("none", QFile::encodeName(p).constData(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounts.points << p;
    }
    ASSERT_TRUE(QDir().mkpath(disk + "/Event"));

    EXPECT_TRUE(isRootVolume(base + "/mnt", layout)) << "the folder of volumes itself";
    EXPECT_TRUE(isRootVolume(base + "/media/alice", layout));
    EXPECT_TRUE(isRootVolume(disk, layout));
    EXPECT_TRUE(isRootVolume(userDisk, layout));
    EXPECT_FALSE(isRootVolume(disk + "/Event", layout));
    EXPECT_FALSE(isRootVolume(plain, layout)) << "a plain folder is not a volume";
    EXPECT_FALSE(isRootVolume(disk, VolumeFolders{})) << "a mount elsewhere is not counted";

    ASSERT_EQ(::umount2(QFile::encodeName(disk).constData(), MNT_DETACH), 0);
    mounts.points.removeAll(disk);
    EXPECT_FALSE(isRootVolume(disk, layout)) << "unmounted, only a folder is left";
}

} // namespace
