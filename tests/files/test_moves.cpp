#include "files/FilingJournal.h"
#include "files/QDI_FileManager.h"
#include "files/SafeMove.h"
#include "platform/Defaults.h"
#include "settings/Preferences.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimeZone>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;

namespace {

void put(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    ASSERT_TRUE(test::writeFile(path, bytes)) << path.toStdString();
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

QByteArray randomBytes(int size) {
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

class MoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        src = test::makeTempFolder("source");
        // Destination roots start out missing: the move must create them.
        dest = test::makeTempFolder("dest") + "/Mirror";
    }
    QString src;
    QString dest;
};

TEST_F(MoveTest, MirrorFormReplacesAnExistingFileAndFilesUnderTheSetting) {
    put(dest + "/Smith/a.jpg", "old photo");
    put(src + "/Smith/a.jpg", "new photo");
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/a.jpg", src, dest, true, false));
    EXPECT_EQ(test::readFile(dest + "/Smith/a.jpg"), "new photo");
    EXPECT_FALSE(QFileInfo::exists(src + "/Smith/a.jpg"));
    EXPECT_EQ(entries(dest + "/Smith"), QStringList{"a.jpg"}); // no temporary left over

    // The short form files into the mirror folder setting, replacing.
    Defaults store(test::makeTempFolder("prefs") + "/settings.plist", -1);
    Preferences::useStore(&store);
    store.setString(sPrefLocalMasterMirrorSiteFolder, dest);
    put(src + "/Smith/a.jpg", "newest photo");
    test::FdCapture err;
    const bool moved = QDI_FileManager::moveFileToPath("Smith/a.jpg", src);
    const QByteArray said = err.text();
    EXPECT_TRUE(moved);
    EXPECT_EQ(test::readFile(dest + "/Smith/a.jpg"), "newest photo");
    EXPECT_TRUE(said.contains("moveFileToPath2 => destination moved/created Successfully\n\n"));

    // Without a mirror folder nothing is guessed: the item stays and the call says so.
    store.removeObject(sPrefLocalMasterMirrorSiteFolder);
    put(src + "/Smith/b.jpg", "b");
    EXPECT_FALSE(QDI_FileManager::moveFileToPath("Smith/b.jpg", src));
    EXPECT_EQ(test::readFile(src + "/Smith/b.jpg"), "b");
    Preferences::useStore(nullptr);
}

TEST_F(MoveTest, ProblemFolderNeverOverwritesAndStampsPhotoAndMovieAlike) {
    put(dest + "/Smith/c.jpg", "earlier refusal");
    put(src + "/Smith/c.jpg", "photo");
    put(src + "/Smith/c.mov", "movie");

    // A taken name fails the plain move: both files stay as they were.
    {
        test::FdCapture err;
        EXPECT_FALSE(QDI_FileManager::moveFileToPath("Smith/c.jpg", src, dest, false, false));
        const QByteArray said = err.text();
        EXPECT_TRUE(said.contains("moveFileToPath2 => movePath Failed???"));
        EXPECT_TRUE(said.contains("moveFileToPath2 => destination NOT moved or created: " +
                                  QFile::encodeName(dest + "/Smith/c.jpg") + "\n\n"));
    }
    EXPECT_EQ(test::readFile(src + "/Smith/c.jpg"), "photo");
    EXPECT_EQ(test::readFile(dest + "/Smith/c.jpg"), "earlier refusal");

    const QDateTime at(QDate(2026, 12, 7), QTime(1, 30, 0));
    const QStringList pair{"Smith/c.jpg", "Smith/c.mov"};
    EXPECT_EQ(QDI_FileManager::stampIfTaken(dest, {"Smith/free.jpg", "Smith/free.mov"}, at), "");
    const QString stamp = QDI_FileManager::stampIfTaken(dest, pair, at);
    ASSERT_EQ(stamp, "20261207_013000");
    for (const QString& item : pair)
        EXPECT_TRUE(QDI_FileManager::moveFileToPath(item, src, dest, false, false, stamp));
    EXPECT_EQ(test::readFile(dest + "/Smith/c 20261207_013000.jpg"), "photo");
    EXPECT_EQ(test::readFile(dest + "/Smith/c 20261207_013000.mov"), "movie");
    EXPECT_EQ(test::readFile(dest + "/Smith/c.jpg"), "earlier refusal");
    EXPECT_FALSE(QFileInfo::exists(src + "/Smith/c.jpg"));

    // Refused again in the same second: the next free stamp, shared by both.
    put(src + "/Smith/c.jpg", "photo 2");
    EXPECT_EQ(QDI_FileManager::stampIfTaken(dest, pair, at), "20261207_013000-2");
    // Only the movie's name taken still stamps both, so they stay a pair.
    put(dest + "/Smith/d.mov", "old movie");
    EXPECT_EQ(QDI_FileManager::stampIfTaken(dest, {"Smith/d.jpg", "Smith/d.mov"}, at),
              "20261207_013000");
}

TEST_F(MoveTest, MissingFoldersAreCreatedButNeitherMissingItemsNorFoldersAreFiled) {
    put(src + "/Smith/Day1/a.jpg", "a");
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/Day1/a.jpg", src, dest, false, false));
    EXPECT_EQ(test::readFile(dest + "/Smith/Day1/a.jpg"), "a");

    // No companion movie: success, nothing created, nothing said.
    const QString other = test::makeTempFolder("dest") + "/Problem Folder";
    test::FdCapture err;
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/Day1/a.mov", src, other, false, false));
    EXPECT_FALSE(QFileInfo::exists(other));
    EXPECT_FALSE(err.text().contains("moveFileToPath2"));

    // A folder item gets its folder but stays whole.
    put(src + "/Smith/Day2/keep.jpg", "keep");
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/Day2", src, dest, false, false));
    EXPECT_TRUE(entries(dest + "/Smith/Day2").isEmpty() && QFileInfo(dest + "/Smith/Day2").isDir());
    EXPECT_EQ(test::readFile(src + "/Smith/Day2/keep.jpg"), "keep");
}

TEST_F(MoveTest, EncapsulationGroupsByTheTextBeforeTheFirstUnderscore) {
    EXPECT_EQ(getBaseName1("Smith/IMG_1_2.jpg"), "IMG");
    EXPECT_EQ(getBaseName1("Smith/_x.jpg"), std::nullopt);
    EXPECT_EQ(getBaseName1("Smith_1/x.jpg"), std::nullopt);

    for (const char* name : {"_x.jpg", "x.jpg", "IMG_1_2.jpg"}) {
        put(src + "/Smith/" + name, name);
        EXPECT_TRUE(
            QDI_FileManager::moveFileToPath(QString("Smith/") + name, src, dest, true, true));
    }
    EXPECT_EQ(test::readFile(dest + "/Smith/_x.jpg"), "_x.jpg");
    EXPECT_EQ(test::readFile(dest + "/Smith/x.jpg"), "x.jpg");
    EXPECT_EQ(test::readFile(dest + "/Smith/IMG/IMG_1_2.jpg"), "IMG_1_2.jpg");
}

TEST_F(MoveTest, AFolderInTheWayIsRemovedToMakeRoomOnlyWhenEmpty) {
    put(src + "/Smith/a.jpg", "a");
    put(dest + "/Smith/a.jpg/inside.jpg", "inside");
    {
        test::FdCapture err;
        EXPECT_FALSE(QDI_FileManager::moveFileToPath("Smith/a.jpg", src, dest, true, false));
        EXPECT_TRUE(err.text().contains("moveFileToPath2 => removeFileAtPath Failed for item [ [" +
                                        QFile::encodeName(dest + "/Smith/a.jpg") + "]???"));
    }
    EXPECT_EQ(test::readFile(dest + "/Smith/a.jpg/inside.jpg"), "inside");
    EXPECT_EQ(test::readFile(src + "/Smith/a.jpg"), "a");
    ASSERT_TRUE(QFile::remove(dest + "/Smith/a.jpg/inside.jpg"));
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/a.jpg", src, dest, true, false));
    EXPECT_EQ(test::readFile(dest + "/Smith/a.jpg"), "a");
}

// ---- the copying path that moves across file systems ---------------------------------------

class CopyingMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::makeTempFolder("copy");
        from = folder + "/in/photo.jpg";
        to = folder + "/out/photo.jpg";
        bytes = randomBytes(3 * 1024 * 1024 + 17); // several copy blocks
        put(from, bytes);
        ASSERT_TRUE(QDir().mkpath(folder + "/out"));
    }
    QString folder, from, to;
    QByteArray bytes;
};

TEST_F(CopyingMoveTest, TheOriginalGoesOnlyOnceAWholeCopyIsInPlace) {
    ASSERT_TRUE(
        QFile::setPermissions(from, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QDateTime old(QDate(2020, 5, 6), QTime(7, 8, 9));
    {
        QFile f(from);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const QFile::Permissions permissions = QFile::permissions(from);
    bool sawBoth = false;
    safemove::Options options;
    options.forceCopy = true;
    options.proceed = [&](safemove::Stage stage) {
        if (stage == safemove::Stage::BeforeRemovingSource)
            sawBoth = test::readFile(to) == bytes && test::readFile(from) == bytes;
        return true;
    };
    EXPECT_TRUE(safemove::moveEntry(from, to, options).ok);
    EXPECT_TRUE(sawBoth);
    EXPECT_FALSE(QFileInfo::exists(from));
    EXPECT_EQ(test::readFile(to), bytes);
    EXPECT_EQ(QFile::permissions(to), permissions);
    EXPECT_EQ(QFileInfo(to).lastModified(), old);
    EXPECT_EQ(entries(folder + "/out"), QStringList{"photo.jpg"});
}

TEST_F(CopyingMoveTest, AFailureAtAnyStageLeavesTheSourceAndNoTemporary) {
    for (const bool overwrite : {true, false}) {
        for (const safemove::Stage failing :
             {safemove::Stage::CopyChunk, safemove::Stage::BeforePlacing,
              safemove::Stage::BeforeRemovingSource}) {
            SCOPED_TRACE(testing::Message()
                         << "overwrite " << overwrite << " stage " << int(failing));
            QFile::remove(to);
            safemove::Options options;
            options.forceCopy = true;
            options.overwrite = overwrite;
            int chunks = 0;
            // Fail mid-copy, not at the first block.
            options.proceed = [&](safemove::Stage stage) {
                if (stage == safemove::Stage::CopyChunk && ++chunks < 2)
                    return true;
                return stage != failing;
            };
            EXPECT_FALSE(safemove::moveEntry(from, to, options).ok);
            EXPECT_EQ(test::readFile(from), bytes);
            // Only a copy that replaced a file may stay, and only whole.
            if (overwrite && failing == safemove::Stage::BeforeRemovingSource) {
                EXPECT_EQ(entries(folder + "/out"), QStringList{"photo.jpg"});
            } else {
                EXPECT_TRUE(entries(folder + "/out").isEmpty());
            }
            if (QFileInfo::exists(to)) {
                EXPECT_EQ(test::readFile(to), bytes);
            }
        }
    }

    // A failed replacement keeps the file it would have replaced.
    put(to, "filed earlier");
    safemove::Options options;
    options.forceCopy = true;
    options.proceed = [](safemove::Stage stage) { return stage != safemove::Stage::BeforePlacing; };
    EXPECT_FALSE(safemove::moveEntry(from, to, options).ok);
    EXPECT_EQ(test::readFile(to), "filed earlier");
    EXPECT_EQ(entries(folder + "/out"), QStringList{"photo.jpg"});
}

TEST_F(CopyingMoveTest, NoReplaceHoldsOnTheCopyingPathAndLinksStayLinks) {
    put(to, "taken");
    safemove::Options options;
    options.forceCopy = true;
    options.overwrite = false;
    const safemove::Result result = safemove::moveEntry(from, to, options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, EEXIST);
    EXPECT_EQ(test::readFile(to), "taken");
    EXPECT_EQ(test::readFile(from), bytes);
    EXPECT_EQ(entries(folder + "/out"), QStringList{"photo.jpg"});

    const QString link = folder + "/in/link.jpg";
    ASSERT_EQ(::symlink("photo.jpg", QFile::encodeName(link).constData()), 0);
    EXPECT_TRUE(safemove::moveEntry(link, folder + "/out/link.jpg", options).ok);
    EXPECT_EQ(QFileInfo(folder + "/out/link.jpg").symLinkTarget(), folder + "/out/photo.jpg");
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST_F(CopyingMoveTest, AcrossRealFileSystemsTheMoveIsByteExact) {
    struct stat here {
    }, shm{};
    if (::stat(QFile::encodeName(folder).constData(), &here) != 0 ||
        ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev ||
        ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system at /dev/shm";
    QTemporaryDir other(QStringLiteral("/dev/shm/kivo-move-XXXXXX"));
    ASSERT_TRUE(other.isValid());

    put(other.path() + "/Smith/a.jpg", "taken");
    ASSERT_TRUE(QFile::rename(from, folder + "/in/a.jpg"));
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("a.jpg", folder + "/in", other.path() + "/Smith",
                                                true, false));
    EXPECT_EQ(test::readFile(other.path() + "/Smith/a.jpg"), bytes);
    EXPECT_FALSE(QFileInfo::exists(folder + "/in/a.jpg"));
    EXPECT_EQ(entries(other.path() + "/Smith"), QStringList{"a.jpg"});
}

// What a process killed in the middle of a copying move leaves, and how it is put right.
TEST_F(CopyingMoveTest, InterruptedCopiesAreSweptAndAPlacedCopyFinishesTheMove) {
    // A copy under way when the program quits goes with the quit; the source stays whole.
    safemove::Options options;
    options.forceCopy = true;
    int removedAtQuit = -1;
    options.proceed = [&](safemove::Stage stage) {
        if (stage == safemove::Stage::CopyChunk && removedAtQuit < 0)
            removedAtQuit = safemove::stopCopying();
        return true;
    };
    EXPECT_FALSE(safemove::moveEntry(from, to, options).ok);
    EXPECT_EQ(removedAtQuit, 1);
    EXPECT_EQ(test::readFile(from), bytes);
    EXPECT_TRUE(entries(folder + "/out").isEmpty());
    // Nor does a copy start after that.
    options.proceed = nullptr;
    EXPECT_FALSE(safemove::moveEntry(from, to, options).ok);
    EXPECT_EQ(test::readFile(from), bytes);
    EXPECT_TRUE(entries(folder + "/out").isEmpty());

    // Copies left by a killed process are found anywhere below the folder, and only they.
    put(folder + "/out/Smith/.kivo-move-abc123", "partial");
    put(folder + "/out/.kivo-move-x", "partial");
    put(folder + "/out/Smith/.hidden-but-ours-not", "keep");
    EXPECT_EQ(safemove::sweepUnfinishedCopies(folder + "/out"), 2);
    EXPECT_EQ(entries(folder + "/out/Smith"), QStringList{".hidden-but-ours-not"});

    // A copy with the same bytes and times is the same file; other bytes are not.
    ASSERT_TRUE(QFile::copy(from, folder + "/placed.jpg"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(from).constData(), &st), 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(
        ::utimensat(AT_FDCWD, QFile::encodeName(folder + "/placed.jpg").constData(), times, 0), 0);
    EXPECT_TRUE(safemove::sameFile(from, folder + "/placed.jpg"));
    put(folder + "/other.jpg", bytes.left(100));
    EXPECT_FALSE(safemove::sameFile(from, folder + "/other.jpg"));
}

TEST_F(MoveTest, AFileAlreadyInPlaceFromAnInterruptedMoveIsNotFiledTwice) {
    put(src + "/Smith/a.jpg", "photo");
    put(dest + "/Smith/a.jpg", "photo");
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(src + "/Smith/a.jpg").constData(), times, 0),
              0);
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(dest + "/Smith/a.jpg").constData(), times, 0),
              0);
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/a.jpg", src, dest, false, false));
    EXPECT_FALSE(QFileInfo::exists(src + "/Smith/a.jpg"));
    EXPECT_EQ(test::readFile(dest + "/Smith/a.jpg"), "photo");

    // Same name and bytes but another time: a different file, refused as before.
    put(src + "/Smith/a.jpg", "photo");
    EXPECT_FALSE(QDI_FileManager::moveFileToPath("Smith/a.jpg", src, dest, false, false));
    EXPECT_TRUE(QFileInfo::exists(src + "/Smith/a.jpg"));
    EXPECT_FALSE(QDI_FileManager::lastFailure().isEmpty());

    // A link is never filed: it stays where it is.
    ASSERT_TRUE(QFile::link(src + "/Smith/a.jpg", src + "/Smith/link.jpg"));
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/link.jpg", src, dest, true, false));
    EXPECT_TRUE(QFileInfo(src + "/Smith/link.jpg").isSymLink());
    EXPECT_FALSE(QFileInfo::exists(dest + "/Smith/link.jpg"));
}

TEST_F(MoveTest, StampedNamesAreShortenedToTheFileNameLimit) {
    const QString longBase = QString(250, QChar(u'\u00e9')); // 500 bytes in UTF-8
    const QString stamped =
        QDI_FileManager::stampedPath("Smith/" + longBase + ".jpg", "20261207_013000");
    const QString name = stamped.mid(stamped.lastIndexOf('/') + 1);
    EXPECT_LE(name.toUtf8().size(), 255);
    EXPECT_TRUE(name.endsWith(" 20261207_013000.jpg"));
    EXPECT_TRUE(stamped.startsWith("Smith/" + longBase.left(10)));
    EXPECT_EQ(QDI_FileManager::stampedPath("Smith/c.jpg", "S"), "Smith/c S.jpg");
    EXPECT_EQ(QDI_FileManager::stampedPath("Smith.x/.hidden", "S"), "Smith.x/.hidden S");
    EXPECT_EQ(QDI_FileManager::stampedPath("Smith/a.b.jpg", "S"), "Smith/a.b S.jpg");

    // A refused 255-byte name already taken still finds its place.
    const QString full = QString(251, 'n') + ".jpg";
    put(src + "/Smith/" + full, "new");
    put(dest + "/Smith/" + full, "old");
    const QString stamp = QDI_FileManager::stampIfTaken(dest, {"Smith/" + full});
    ASSERT_FALSE(stamp.isEmpty());
    EXPECT_TRUE(QDI_FileManager::moveFileToPath("Smith/" + full, src, dest, false, false, stamp));
    EXPECT_EQ(test::readFile(dest + "/" + QDI_FileManager::stampedPath("Smith/" + full, stamp)),
              "new");
    EXPECT_EQ(test::readFile(dest + "/Smith/" + full), "old");
}

TEST(FilingJournal, SurvivesRestartsAndADamagedFileIsSetAside) {
    const QString folder = test::makeTempFolder("journal");
    const QString path = folder + "/state/PendingFilings.json";
    PendingFiling entry;
    entry.root = "/src";
    entry.item = "Smith/a.jpg";
    entry.destination = PendingFiling::Destination::Problem;
    entry.destinationRoot = "/Problem Folder";
    entry.stamp = "20261207_013000";
    entry.identity = {1, 2, 3, 4};
    entry.reply = "HTTP 500";
    {
        FilingJournal journal(path);
        journal.load();
        ASSERT_TRUE(journal.add(entry));
        entry.item = "Smith/b.jpg";
        ASSERT_TRUE(journal.add(entry));
        ASSERT_TRUE(journal.add(entry)) << "the same item once";
    }
    FilingJournal again(path);
    again.load();
    ASSERT_EQ(again.entries().size(), 2u);
    const auto found = again.find("/src", "Smith/a.jpg");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->destination, PendingFiling::Destination::Problem);
    EXPECT_EQ(found->stamp, "20261207_013000");
    EXPECT_EQ(found->identity, (FileIdentity{1, 2, 3, 4}));
    ASSERT_TRUE(again.remove("/src", "Smith/a.jpg"));
    ASSERT_TRUE(again.remove("/src", "Smith/b.jpg"));
    EXPECT_FALSE(QFileInfo::exists(path)) << "an empty journal leaves no file";

    ASSERT_TRUE(test::writeFile(path, "{ not json"));
    FilingJournal damaged(path);
    damaged.load();
    EXPECT_TRUE(damaged.entries().empty());
    EXPECT_TRUE(QFileInfo::exists(path + ".damaged"));
}

} // namespace
