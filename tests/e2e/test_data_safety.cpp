// The real program in a hostile environment: a photo that reaches the service is exactly the
// photo on disk, sent once, and nothing else on the machine is ever sent in its place.
#include "ProgramRun.h"
#include "fixtures/Fixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

QString sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray photoBytes(const QString& client, int number, QSize size = QSize(320, 240),
                      int noise = 0, QVariantMap metadata = {}) {
    const QString path = makeTempFolder("bytes") + "/p.jpg";
    fixtures::PhotoSpec shot;
    shot.size = size;
    shot.seed = number;
    shot.noise = noise;
    shot.metadata = metadata.isEmpty() ? fixtures::sampleMetadata(client, number) : metadata;
    EXPECT_TRUE(fixtures::writeJpeg(path, shot));
    return readFile(path);
}

// sha256 of every photo part the service stored, with how often each arrived.
QMap<QString, int> receivedHashes(const RefService& service) {
    QMap<QString, int> seen;
    for (const QString& dir : service.receivedDirs())
        for (const QVariant& file : RefService::record(dir).value("files").toList())
            ++seen[file.toMap().value("sha256").toString()];
    return seen;
}

bool anyUnfinishedCopy(const QString& folder) {
    QDirIterator it(folder, {".kivo-move-*"}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    return it.hasNext();
}

// A small file system of its own at folder, for as long as the test lasts (root only).
class ScopedMount {
public:
    ScopedMount(const QString& folder, const QByteArray& options) : fFolder(folder) {
        fMounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0,
                           options.constData()) == 0;
    }
    ~ScopedMount() {
        if (fMounted)
            ::umount2(QFile::encodeName(fFolder).constData(), MNT_DETACH);
    }
    bool mounted() const { return fMounted; }

private:
    QString fFolder;
    bool fMounted = false;
};

using DataSafety = ProgramWithService;

TEST_F(DataSafety, PhotosStillBeingWrittenAreSentOnceAndWhole) {
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(
        waitUntil([&] { return run.console().contains("Scanning done - NO File found"); }, 15000));

    // One writer pauses with the file open, another closes the first half and comes back.
    const QByteArray held = photoBytes("Smith", 1, QSize(1200, 900), 40);
    const QByteArray reopened = photoBytes("Garcia", 2, QSize(1200, 900), 40);
    QDir().mkpath(run.source() + "/Smith");
    QDir().mkpath(run.source() + "/Garcia");
    std::thread slowWriter([&] {
        FILE* f = std::fopen(QFile::encodeName(run.source() + "/Smith/IMG_0001.jpg"), "wb");
        std::fwrite(held.constData(), 1, size_t(held.size() / 2), f);
        std::fflush(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        std::fwrite(held.constData() + held.size() / 2, 1, size_t(held.size() - held.size() / 2),
                    f);
        std::fclose(f);
    });
    std::thread reopeningWriter([&] {
        const QString path = run.source() + "/Garcia/IMG_0002.jpg";
        ASSERT_TRUE(writeFile(path, reopened.left(reopened.size() / 2)));
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(reopened.mid(reopened.size() / 2));
    });
    slowWriter.join();
    reopeningWriter.join();

    EXPECT_TRUE(waitUntil([&] { return service.receivedDirs().size() >= 2; }, 20000))
        << run.console().right(3000).toStdString();
    waitUntil([] { return false; }, 1500);
    const QMap<QString, int> received = receivedHashes(service);
    EXPECT_EQ(received.value(sha256(held)), 1);
    EXPECT_EQ(received.value(sha256(reopened)), 1);
    EXPECT_EQ(service.receivedDirs().size(), 2) << "no half photo ever went out";
    EXPECT_EQ(readFile(run.mirror() + "/Smith/IMG_0001.jpg"), held);
    EXPECT_EQ(readFile(run.mirror() + "/Garcia/IMG_0002.jpg"), reopened);
    EXPECT_TRUE(run.stop());
}

TEST_F(DataSafety, ALinkSwappedInDuringTheLoopNeverSendsThePrivateFile) {
    const QString privateDir = run.root() + "/private";
    QDir().mkpath(privateDir);
    // A photo with metadata of its own: following the link would make it a perfect candidate.
    const QByteArray secret = photoBytes("Secret", 99);
    ASSERT_TRUE(writeFile(privateDir + "/secret.jpg", secret));
    const QByteArray photo = photoBytes("Smith", 1);
    QDir().mkpath(run.source() + "/Smith");
    // A plain link to a photo outside the folder is never taken either.
    ASSERT_TRUE(QFile::link(privateDir + "/secret.jpg", run.source() + "/Smith/outside.jpg"));
    run.makePhotos(3, {"Garcia"}, 10);

    ASSERT_TRUE(run.start(service.url()));
    const QByteArray target = QFile::encodeName(run.source() + "/Smith/IMG_0001.jpg");
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int i = 0; !stop; ++i) {
            const QByteArray temp = QFile::encodeName(run.source() + "/Smith/.swap");
            ::unlink(temp.constData());
            if (i % 2 == 0)
                writeFile(QString::fromUtf8(temp), photo);
            else
                QFile::link(privateDir + "/secret.jpg", QString::fromUtf8(temp));
            ::rename(temp.constData(), target.constData());
            std::this_thread::sleep_for(std::chrono::milliseconds(37));
        }
    });
    waitUntil([] { return false; }, 5000);
    stop = true;
    swapper.join();
    waitUntil([&] { return run.whereIs("Garcia/IMG_0012.jpg") == "mirror"; }, 15000);

    const QMap<QString, int> received = receivedHashes(service);
    EXPECT_EQ(received.value(sha256(secret)), 0) << "the private file never left the machine";
    EXPECT_GE(received.value(sha256(photo)), 1) << "the real photo did go";
    EXPECT_EQ(readFile(privateDir + "/secret.jpg"), secret);
    EXPECT_TRUE(QFileInfo(run.source() + "/Smith/outside.jpg").isSymLink()) << "never moved";
    EXPECT_FALSE(QFileInfo::exists(run.mirror() + "/Smith/outside.jpg"));
    EXPECT_EQ(run.console().count("outside.jpg] is a symbolic link"), 1) << "said once";
    EXPECT_TRUE(run.stop());
}

TEST_F(DataSafety, FormTextAndFileNamesCanNeverForgeAPart) {
    QVariantMap injected = fixtures::sampleMetadata("Smith", 1);
    injected.insert("OriginalPath",
                    "/Volumes/x\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; "
                    "name=\"imgfile\"; filename=\"x.jpg\"\r\n\r\nforged");
    const QByteArray bad = photoBytes("Smith", 1, QSize(320, 240), 0, injected);
    QDir().mkpath(run.source() + "/Smith");
    ASSERT_TRUE(writeFile(run.source() + "/Smith/IMG_0001.jpg", bad));
    const QByteArray odd = photoBytes("Garcia", 2);
    const QString oddName = "Garcia/a\"b\r\n--0xKhTmLbOuNdArY.jpg";
    QDir().mkpath(run.source() + "/Garcia");
    ASSERT_TRUE(writeFile(run.source() + "/" + oddName, odd));

    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil(
        [&] {
            return QFileInfo::exists(run.problem() + "/Smith/IMG_0001.jpg") &&
                   QFileInfo::exists(run.mirror() + "/" + oddName);
        },
        20000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.console().contains("\"localfilelocation\" holds the upload's form delimiter"));
    // The refused photo never went out; the odd name arrived whole under its own name.
    const QStringList received = service.receivedDirs();
    ASSERT_EQ(received.size(), 1);
    const QVariantMap file =
        RefService::record(received.front()).value("files").toList()[0].toMap();
    EXPECT_EQ(file.value("filename").toString(), QFileInfo(oddName).fileName());
    EXPECT_EQ(file.value("sha256").toString(), sha256(odd));
    for (const QVariantMap& request : service.requests())
        EXPECT_EQ(request.value("http").toInt(), 200) << "no body the service could not parse";
    EXPECT_TRUE(run.stop());
}

TEST_F(DataSafety, RepliesThatAreNoVerdictLeaveThePhotosToBeSentLater) {
    run.makePhotos(3);
    ASSERT_TRUE(service.setFault(
        "body", {{"body", "<html><head><title>Hotel Wi-Fi</title></head><body>Please sign in"
                          "</body></html>"},
                 {"type", "text/html"},
                 {"match", "IMG_0001"},
                 {"count", 2}}));
    ASSERT_TRUE(service.setFault("http", {{"code", 302},
                                          {"location", "https://moved.example/upload"},
                                          {"match", "IMG_0002"},
                                          {"count", 2}}));
    ASSERT_TRUE(service.setFault("http", {{"code", 503}, {"match", "IMG_0003"}, {"count", 2}}));
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(service.waitForRequests(3, 15000));
    for (const char* rel : {"Smith/IMG_0001.jpg", "Garcia/IMG_0002.jpg", "Smith/IMG_0003.jpg"})
        EXPECT_EQ(run.whereIs(rel), "source") << rel;
    EXPECT_TRUE(run.console().contains(
        "the service moved to https://moved.example/upload; check the service address"));
    EXPECT_FALSE(QDir(run.problem()).exists() &&
                 !QDir(run.problem()).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());

    // Once the service answers for itself, each is sent and filed; never in a hurry.
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 30000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(service.receivedDirs().size(), 3);
    EXPECT_EQ(service.requests().size(), 9u) << "two refusals and one upload each";
    EXPECT_FALSE(QFileInfo::exists(run.problem() + "/Smith/IMG_0001.jpg"));
    EXPECT_TRUE(run.stop());
}

TEST_F(DataSafety, ANameThatIsNotUtf8IsReportedOnceAndLeftAlone) {
    run.makePhotos(2);
    const QByteArray bytes = photoBytes("Smith", 7);
    const QByteArray raw = QFile::encodeName(run.source() + "/Smith/") + "caf\xE9.jpg";
    FILE* f = std::fopen(raw.constData(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
    std::fclose(f);

    ASSERT_TRUE(
        run.start(service.url(), {"-prefAutoSynchronize", "YES", "-prefSecondsBetweenScans", "1"}));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 20000));
    waitUntil([] { return false; }, 2500); // a few more scans
    EXPECT_EQ(run.console().count("its name is not valid UTF-8"), 1)
        << run.console().right(3000).toStdString();
    EXPECT_EQ(::access(raw.constData(), F_OK), 0) << "never moved or renamed";
    EXPECT_EQ(service.receivedDirs().size(), 2);
    EXPECT_TRUE(run.stop());
}

TEST_F(DataSafety, AFullMirrorNeverMakesAPhotoGoTwice) {
    ScopedMount small(run.mirror(), "size=400k,mode=0755");
    if (!small.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    // Leave the mirror no room.
    const QString filler = run.mirror() + "/filler";
    {
        QFile f(filler);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (f.write(block) == block.size() && f.flush()) {
        }
    }
    run.makePhotos(4);
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(service.waitForRequests(4, 20000)) << run.console().right(3000).toStdString();
    waitUntil([] { return false; }, 4000); // retries of the filing come and go
    EXPECT_EQ(service.requests().size(), 4u) << "each accepted photo was sent once";
    for (const char* rel :
         {"Smith/IMG_0001.jpg", "Garcia/IMG_0002.jpg", "Smith/IMG_0003.jpg", "Garcia/IMG_0004.jpg"})
        EXPECT_EQ(run.whereIs(rel), "source") << rel;
    EXPECT_TRUE(run.console().contains("cannot be filed into the mirror folder"));
    EXPECT_FALSE(anyUnfinishedCopy(run.mirror()));

    // Space comes back: everything is filed, nothing is sent again.
    ASSERT_TRUE(QFile::remove(filler));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 40000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(service.requests().size(), 4u);
    EXPECT_TRUE(run.stop());
}

// A photo with a long movie beside it, so that an end lands while the movie is copied across.
QString makePhotoWithLongMovie(ProgramRun& run) {
    run.makePhotos(1, {"Smith"});
    const QString movie = run.source() + "/Smith/IMG_0001.mov";
    QFile f(movie);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    QByteArray block(1 << 20, '\0');
    for (int i = 0; i < 300; ++i) {
        block.fill(char(i));
        EXPECT_EQ(f.write(block), block.size());
    }
    return movie;
}

TEST_F(DataSafety, QuittingDuringACrossDiskFilingLeavesNoPartialCopy) {
    ScopedMount other(run.mirror(), "size=1g,mode=0755");
    if (!other.mounted())
        GTEST_SKIP() << "mounting a second file system needs root";
    const QString movie = makePhotoWithLongMovie(run);
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(waitUntil([&] { return anyUnfinishedCopy(run.mirror()); }, 20000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.stop());
    EXPECT_FALSE(anyUnfinishedCopy(run.mirror())) << "taken away at quit";
    EXPECT_TRUE(QFileInfo::exists(movie));

    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(movie) && run.allFiled(); }, 30000));
    EXPECT_EQ(service.receivedDirs().size(), 1);
    EXPECT_TRUE(run.stop());
}

TEST_F(DataSafety, AKillDuringACrossDiskFilingIsPutRightAtTheNextStart) {
    ScopedMount other(run.mirror(), "size=1g,mode=0755");
    if (!other.mounted())
        GTEST_SKIP() << "mounting a second file system needs root";
    const QString movie = makePhotoWithLongMovie(run);
    const QString movieHash = sha256(readFile(movie));
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(waitUntil([&] { return anyUnfinishedCopy(run.mirror()); }, 20000))
        << run.console().right(3000).toStdString();
    run.kill();
    EXPECT_TRUE(QFileInfo::exists(movie)) << "the source stays until its copy is whole";

    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil(
        [&] { return run.allFiled() && QFileInfo::exists(run.mirror() + "/Smith/IMG_0001.mov"); },
        30000))
        << run.console().right(3000).toStdString();
    EXPECT_FALSE(anyUnfinishedCopy(run.mirror())) << "no leftover";
    EXPECT_FALSE(QFileInfo::exists(movie)) << "the movie went with its photo";
    EXPECT_EQ(sha256(readFile(run.mirror() + "/Smith/IMG_0001.mov")), movieHash);
    EXPECT_EQ(service.receivedDirs().size(), 1) << "accepted once, filed after the restart";
    EXPECT_TRUE(run.stop());
}

} // namespace
