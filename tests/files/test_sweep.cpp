#include "files/FolderSweep.h"
#include "files/QDI_FileManager.h"
#include "fixtures/Fixtures.h"
#include "scan/CaptureDate.h"
#include "support/TestSupport.h"
#include "ui/StatusDisplay.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QMutex>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kivo;

namespace {

bool exists(const QString& path) {
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

void makeFolder(const QString& path) {
    ASSERT_TRUE(QDir().mkpath(path)) << path.toStdString();
}

void put(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    ASSERT_TRUE(test::writeFile(path, bytes)) << path.toStdString();
}

void putPhoto(const QString& path, int seed = 1) {
    QDir().mkpath(QFileInfo(path).path());
    fixtures::PhotoSpec shot;
    shot.size = QSize(160, 120);
    shot.seed = seed;
    shot.noise = 40;
    ASSERT_TRUE(fixtures::writeJpeg(path, shot)) << path.toStdString();
}

// Sets a modification time; a creation time cannot be set.
void setModified(const QString& path, const QDateTime& when) {
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(when.toSecsSinceEpoch()), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

struct RecordingProgress : MaintenanceProgress {
    void ibSetWindowTitle(const QString&) override {}
    void ibUpdateLine1TextField(const QString&, bool) override {}
    void ibUpdateLine2TextField(const QString& text, bool) override {
        QMutexLocker g(&lock);
        line2 << text;
    }
    void ibUpdateProgressBar(const QString&) override {}
    void show() override {}
    void close() override {}
    QMutex lock;
    QStringList line2;
};

TEST(EmptyFolderSweep, ParentsComeBeforeTheirContentsAndOnlyEmptyFoldersGo) {
    const QString root = test::makeTempFolder("sweep");
    makeFolder(root + "/a/b");
    put(root + "/c/.DS_Store", "finder");
    put(root + "/d/photo.jpg", "kept");
    put(root + "/e/.DS_Store/kept.txt", "a folder named like the file is not swept away");
    const QString outside = test::makeTempFolder("outside");
    makeFolder(outside + "/empty");
    ASSERT_EQ(::symlink(QFile::encodeName(outside + "/empty").constData(),
                        QFile::encodeName(root + "/link").constData()),
              0);
    ASSERT_EQ(::symlink("/nonexistent/target", QFile::encodeName(root + "/broken").constData()), 0);

    QDI_FileManager::deleteFolderIfEmpty(root, false);
    EXPECT_TRUE(exists(root + "/a")) << "held a folder when it was visited";
    EXPECT_FALSE(exists(root + "/a/b"));
    EXPECT_FALSE(exists(root + "/c")) << "a lone .DS_Store counts as empty";
    EXPECT_TRUE(exists(root + "/d/photo.jpg"));
    EXPECT_TRUE(exists(root + "/e/.DS_Store/kept.txt"));
    EXPECT_TRUE(exists(root + "/link")) << "a link is never a candidate";
    EXPECT_TRUE(exists(outside + "/empty")) << "nor is anything reached through it";
    EXPECT_TRUE(exists(root + "/broken"));

    QDI_FileManager::deleteFolderIfEmpty(root, false);
    EXPECT_FALSE(exists(root + "/a"));
    EXPECT_TRUE(exists(root)) << "the root itself is never a candidate";
}

TEST(EmptyFolderSweep, KeepsTheRootsOwnChildrenOnlyWhenTheRootTextMatches) {
    const QString root = test::makeTempFolder("source");
    makeFolder(root + "/Smith/Day1");
    makeFolder(root + "/Jones");
    QDI_FileManager::deleteFolderIfEmpty(root, true, QDateTime::currentDateTime(), nullptr);
    EXPECT_TRUE(exists(root + "/Smith"));
    EXPECT_FALSE(exists(root + "/Smith/Day1"));
    EXPECT_TRUE(exists(root + "/Jones"));

    // The same folder written with a trailing "/" is another text: its children are not kept.
    QDI_FileManager::deleteFolderIfEmpty(root + "/", true, QDateTime::currentDateTime(), nullptr);
    EXPECT_FALSE(exists(root + "/Smith"));
    EXPECT_FALSE(exists(root + "/Jones"));
}

TEST(EmptyFolderSweep, AgeIsTheCreationDateNotTheLastChange) {
    const QString root = test::makeTempFolder("aged");
    makeFolder(root + "/New");
    // Changed long ago by its modification date, yet created just now.
    setModified(root + "/New", QDateTime::currentDateTime().addDays(-400));
    const QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
    EXPECT_FALSE(itemIsEarlierThan(root + "/New", hourAgo));
    EXPECT_TRUE(itemIsEarlierThan(root + "/New", hourAgo, "nsfilecreationdate"));
    EXPECT_FALSE(itemIsEarlierThan(root + "/missing", QDateTime::currentDateTime().addDays(1)));

    RecordingProgress progress;
    QDI_FileManager::deleteFolderIfEmpty(root, false, hourAgo, &progress);
    EXPECT_TRUE(exists(root + "/New"));
    EXPECT_EQ(progress.line2, QStringList{"Will NOT Delete [" + root + "/New]"});

    QDI_FileManager::deleteFolderIfEmpty(root, false, QDateTime::currentDateTime().addSecs(60),
                                         &progress);
    EXPECT_FALSE(exists(root + "/New"));
    EXPECT_EQ(progress.line2.mid(1), (QStringList{"ITEM IS OLDDDDDDDD [" + root + "/New]", "New"}));
}

TEST(OldPhotoSweep, DeletesOnlyWholePhotosStrictlyOlderThanTheCutOff) {
    const QString mirror = test::makeTempFolder("mirror");
    putPhoto(mirror + "/Smith/IMG_1.jpg", 1);
    putPhoto(mirror + "/Smith/IMG_2.jpg", 2);
    put(mirror + "/Smith/IMG_1.mov", "moov");
    put(mirror + "/Smith/notes.txt", "text");
    put(mirror + "/Smith/.hidden", "text");
    QByteArray cut = test::readFile(mirror + "/Smith/IMG_2.jpg");
    put(mirror + "/Smith/IMG_3.jpg", cut.left(cut.size() * 2 / 3));
    const QString outside = test::makeTempFolder("elsewhere");
    putPhoto(outside + "/IMG_9.jpg", 9);
    ASSERT_EQ(::symlink(QFile::encodeName(outside + "/IMG_9.jpg").constData(),
                        QFile::encodeName(mirror + "/Smith/IMG_9.jpg").constData()),
              0);
    // The source folder inside the mirror holds photos not yet uploaded.
    putPhoto(mirror + "/incoming/Smith/IMG_5.jpg", 5);

    const std::optional<QDateTime> born =
        GetAndUpdateFileCreationDate(mirror + "/Smith/IMG_1.jpg", false, false);
    ASSERT_TRUE(born);
    OldPhotoRules rules;
    rules.cutoff = *born; // a photo exactly at the cut-off stays
    rules.untouchable = mirror + "/incoming";
    deleteOldPhotos(mirror, rules, nullptr);
    EXPECT_TRUE(exists(mirror + "/Smith/IMG_1.jpg"));

    rules.cutoff = QDateTime::currentDateTime().addDays(1);
    RecordingProgress progress;
    const OldPhotoSweep swept = deleteOldPhotos(mirror, rules, &progress);
    EXPECT_EQ(swept.outcome, OldPhotoSweep::Outcome::Done);
    EXPECT_EQ(swept.deleted, 2);
    EXPECT_FALSE(exists(mirror + "/Smith/IMG_1.jpg"));
    EXPECT_FALSE(exists(mirror + "/Smith/IMG_2.jpg"));
    EXPECT_TRUE(exists(mirror + "/Smith/IMG_1.mov")) << "movies are never deleted by age";
    EXPECT_TRUE(exists(mirror + "/Smith/notes.txt"));
    EXPECT_TRUE(exists(mirror + "/Smith/IMG_3.jpg")) << "a cut-off photo is not an image";
    EXPECT_TRUE(exists(mirror + "/Smith/IMG_9.jpg")) << "links are not removed";
    EXPECT_TRUE(exists(outside + "/IMG_9.jpg"));
    EXPECT_TRUE(exists(mirror + "/incoming/Smith/IMG_5.jpg"));
    EXPECT_EQ(progress.line2,
              (QStringList{"Deleting: Smith/IMG_1.jpg", "Skipping: Smith/IMG_1.mov",
                           "Deleting: Smith/IMG_2.jpg", "Skipping: Smith/IMG_3.jpg",
                           "Skipping: Smith/IMG_9.jpg", "Skipping: Smith/notes.txt"}));

    putPhoto(mirror + "/Smith/IMG_4.jpg", 4);
    rules.stopping = [] { return true; };
    EXPECT_EQ(deleteOldPhotos(mirror, rules, nullptr).outcome, OldPhotoSweep::Outcome::Stopped);
    EXPECT_TRUE(exists(mirror + "/Smith/IMG_4.jpg"));
    EXPECT_EQ(deleteOldPhotos(mirror + "/Smith/notes.txt", rules, nullptr).outcome,
              OldPhotoSweep::Outcome::NotAFolder);
}

TEST(OldPhotoSweep, TheAgeIsHeldToA16BitCountNeverWrapped) {
    EXPECT_EQ(daysOldBeforeDeleting(QVariant()), 30);
    EXPECT_EQ(daysOldBeforeDeleting(QVariant(QStringLiteral("45"))), 45);
    EXPECT_EQ(daysOldBeforeDeleting(QVariant(0)), 0);
    EXPECT_EQ(daysOldBeforeDeleting(QVariant(40000)), 32767); // wrapped: a cut-off in the future
    EXPECT_EQ(daysOldBeforeDeleting(QVariant(65566)), 32767); // wrapped: 30 days
    EXPECT_FALSE(daysOldBeforeDeleting(QVariant(-5)));
}

TEST(OldPhotoSweep, TheStreamCheckReadsTheWholeJpeg) {
    const QString dir = test::makeTempFolder("check");
    putPhoto(dir + "/plain.jpg");
    QImage picture(320, 240, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QImageWriter progressive(dir + "/progressive.jpg", "jpeg");
    progressive.setProgressiveScanWrite(true);
    ASSERT_TRUE(progressive.write(picture));
    ASSERT_TRUE(picture.save(dir + "/photo.png"));
    EXPECT_TRUE(isWholePhoto(dir + "/plain.jpg"));
    EXPECT_TRUE(isWholePhoto(dir + "/progressive.jpg"));
    EXPECT_TRUE(isWholePhoto(dir + "/photo.png"));

    const QByteArray whole = test::readFile(dir + "/plain.jpg");
    const qsizetype scan = whole.indexOf("\xFF\xDA");
    ASSERT_GT(scan, 0);
    QByteArray broken = whole;
    broken[scan + (whole.size() - scan) / 2] = char(0xFF); // a stray marker inside the image data
    broken[scan + (whole.size() - scan) / 2 + 1] = char(0xD3);
    put(dir + "/broken.jpg", broken);
    EXPECT_FALSE(isWholePhoto(dir + "/broken.jpg"));
    put(dir + "/short.jpg", whole.left(whole.size() - 100));
    EXPECT_FALSE(isWholePhoto(dir + "/short.jpg"));
    put(dir + "/text.jpg", "\xFF\xD8 not a photo");
    EXPECT_FALSE(isWholePhoto(dir + "/text.jpg"));
}

TEST(Invisible, NamesBeginningWithADotAndTheFixedSystemPaths) {
    for (const char* path : {"/Network", "/mach", "/mach.sym", "/dev", "/data/.Trash", "/a/.b/"})
        EXPECT_TRUE(isInvisibleFileAtPath2(path)) << path;
    for (const char* path : {"/dev/sda", "/Network/x", "/data/photo.jpg", "/"})
        EXPECT_FALSE(isInvisibleFileAtPath2(path)) << path;
}

} // namespace
