#include "ScanTestFiles.h"
#include "app/Pipeline.h"
#include "fixtures/Fixtures.h"
#include "platform/Defaults.h"
#include "platform/ItemFile.h"
#include "scan/FolderScan.h"
#include "settings/Preferences.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

using namespace kivo;
using namespace kivo::test;

namespace {

// The controller's side of a scan, recorded.
class RecordingHost : public ScanHost {
public:
    std::recursive_mutex& threadLock() override { return lock; }
    bool isScanning() const override { return scanning; }
    void setIsScanningFolder(bool v) override { scanning = v; }
    void setNeedsToRescan(bool v) override {
        if (v)
            ++rescans;
        else
            rescans = 0;
    }
    int rescanCount() const override { return rescans; }
    bool uploadInProgress() const override { return uploading; }
    bool isHalted() const override { return halted; }
    QString currentUserName() const override { return user; }
    QString currentPassword() const override { return QStringLiteral("secret"); }
    void ibUpdateFTPCallbackStatusTextField(const QString& text) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        callbackStatus.push_back(text);
    }
    void ibUpdateFTPCallbackStatusTextField(const QString& text, bool) override {
        ibUpdateFTPCallbackStatusTextField(text);
    }
    void ibUpdateUploadStatusTextField(const QString& text) override {
        std::lock_guard<std::recursive_mutex> g(lock);
        uploadStatus.push_back(text);
    }
    ItemHolds& itemHolds() override { return holds; }
    bool isAwaitingFiling(const QString&, const QString& rel) override {
        return awaitingFiling.contains(rel);
    }
    std::optional<std::pair<QString, ItemHolds::Hold>> fileWaitingItems() override {
        ++filingRetries;
        return std::nullopt;
    }
    void startPassAfter(qint64 ms) override { delayedPasses.push_back(ms); }
    void startFolderWatcher(const QString& folder) override { watched.push_back(folder); }
    void startNextPass() override { ++nextPasses; }
    void doSetupRetriggerTimerOnMainThread() override { ++timers; }
    void pauseScanThread(double) override {}
    const void* notificationObject() const override { return this; }

    std::recursive_mutex lock;
    std::atomic<bool> scanning{false}, uploading{false}, halted{false};
    std::atomic<int> rescans{0}, nextPasses{0}, timers{0};
    QString user = QStringLiteral("demo");
    std::vector<QString> callbackStatus, uploadStatus, watched;
    ItemHolds holds;
    QSet<QString> awaitingFiling;
    std::atomic<int> filingRetries{0};
    std::vector<qint64> delayedPasses;
};

class FolderScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = makeTempFolder("scan");
        source = folder + "/source";
        mirror = folder + "/mirror";
        QDir().mkpath(source);
        QDir().mkpath(mirror);
        store = std::make_unique<Defaults>(folder + "/settings.plist", -1);
        Preferences::useStore(store.get());
        store->setString(sPrefLocalSourceUploadFolder, source);
        store->setString(sPrefLocalMasterMirrorSiteFolder, mirror);
        store->setString(sPrefGlvFuseAction, QStringLiteral("upload.upload"));
        doAlder = true;
        auto& center = NotificationCenter::defaultCenter();
        center.addObserver(this, kPrepareUploadStartNotification, [this](const Notification& n) {
            posted.push_back(*n.userInfo);
            if (onPrepare)
                onPrepare();
        });
        center.addObserver(this, kCleanUpAfterCompleteLoop,
                           [this](const Notification& n) { completeLoops.push_back(n.userInfo); });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        Preferences::useStore(nullptr);
    }

    Notification request() {
        Notification n;
        n.name = kScanFolderNotification;
        n.userInfo = std::make_shared<QVariantMap>(
            QVariantMap{{cDictKeyLocalSourceUploadFolder, source},
                        {cDictKeyLocalMirrorFolder, mirror},
                        {cDictKeyUserEnteredEventName, QStringLiteral("Spring Gala")},
                        {kHttpError, QStringLiteral("left over from an earlier pass")}});
        return n;
    }

    QString at(const QString& rel) {
        const QString path = source + "/" + rel;
        QDir().mkpath(QFileInfo(path).path());
        return path;
    }
    // A photo with metadata (a JPEG unless the name ends in .png).
    void photo(const QString& rel, QVariantMap metadata = {}, const QString& date = {}) {
        const QString path = at(rel);
        fixtures::PhotoSpec shot;
        shot.metadata = metadata.isEmpty() ? fixtures::sampleMetadata("Client", 1) : metadata;
        if (!date.isEmpty())
            shot.dateTimeOriginal = date;
        const bool ok =
            rel.endsWith(".png") ? fixtures::writePng(path, shot) : fixtures::writeJpeg(path, shot);
        ASSERT_TRUE(ok) << rel.toStdString();
    }
    void bytes(const QString& rel, const QByteArray& content = "x") {
        ASSERT_TRUE(fixtures::writeBytes(at(rel), content));
    }

    QVariantMap scanOnce() {
        posted.clear();
        scanFolder(host, request());
        EXPECT_FALSE(host.scanning) << "every exit clears the scan mark";
        return posted.empty() ? QVariantMap() : posted.back();
    }

    QString folder, source, mirror;
    std::unique_ptr<Defaults> store;
    RecordingHost host;
    std::vector<QVariantMap> posted;
    std::vector<std::shared_ptr<QVariantMap>> completeLoops;
    std::function<void()> onPrepare;
};

TEST_F(FolderScanTest, ChoosesTheFirstQualifyingFileInNameOrderAndDescribesIt) {
    ASSERT_TRUE(fixtures::writeJpeg(at("Adams/a_no_metadata.jpg"), fixtures::PhotoSpec{}));
    photo("Adams/.a_hidden.jpg");
    photo("Adams/a_clip.MOV"); // a photo in disguise: still never an item of its own
    // No sitting of its own, so the capture time comes from the photo.
    photo("Adams/b.jpg", QVariantMap{{"Version", "1.0"}}, "2010:09:12 14:03:27");
    photo("Baker/a.jpg");

    FdCapture err;
    const QVariantMap item = scanOnce();
    ASSERT_EQ(posted.size(), 1u);
    // One pass reads the chosen photo's metadata once.
    EXPECT_EQ(err.text().count("found metadata in [" + QFile::encodeName(source) + "/Adams/b.jpg]"),
              1);
    EXPECT_EQ(item.value(cDictKeyCurItem).toString(), QStringLiteral("Adams/b.jpg"));
    EXPECT_EQ(item.value(kEdFileName).toString(), source + "/Adams/b.jpg");
    EXPECT_EQ(item.value(cDictKeyLocalSourceUploadFolder).toString(), source);
    EXPECT_EQ(item.value(cDictKeyLocalMirrorFolder).toString(), mirror);
    EXPECT_EQ(item.value(kEdClientName).toString(), QStringLiteral("Adams"));
    EXPECT_EQ(item.value(QStringLiteral("userEnteredClientName")).toString(),
              QStringLiteral("Adams"));
    EXPECT_EQ(item.value(kEdGlvFuseAction).toString(), QStringLiteral("upload.upload"));
    EXPECT_TRUE(item.contains(kEdMetaData));
    EXPECT_EQ(item.value(kEdMetaData).toString(), QString());
    EXPECT_FALSE(item.contains(kHttpError)) << "a stale error must never travel on";
    EXPECT_EQ(item.value(kEdCaptureTime).toString(), QStringLiteral("2010-09-12 14:03:27"));
    EXPECT_TRUE(completeLoops.empty());
    EXPECT_EQ(host.rescans.load(), 0);
}

TEST_F(FolderScanTest, TopLevelFilesNeedTheFileNameModeAndThenNameTheClientIfTheyDecode) {
    photo("Smith_0001.jpg");
    scanOnce();
    EXPECT_TRUE(posted.empty());
    ASSERT_EQ(completeLoops.size(), 1u);

    store->setBool(sPrefFormBaseIdFromFileName, true);
    const QVariantMap item = scanOnce();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(item.value(cDictKeyCurItem).toString(), QStringLiteral("Smith_0001.jpg"));
    EXPECT_EQ(item.value(kEdClientName).toString(), QStringLiteral("Smith"));

    // Metadata in the trailer, but the image before it is damaged.
    QFile::remove(source + "/Smith_0001.jpg");
    fixtures::PhotoSpec shot;
    shot.metadata = fixtures::sampleMetadata("X", 1);
    ASSERT_TRUE(fixtures::writePng(source + "/Jones 7.png", shot));
    QFile f(source + "/Jones 7.png");
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(20);
    f.write(QByteArray(200, '\x00'));
    f.close();
    scanOnce();
    EXPECT_TRUE(posted.empty());
}

TEST_F(FolderScanTest, CompanionMovieIsRequiredOnlyWhenMoviesAreUploaded) {
    photo("Adams/a.jpg");
    store->setBool(sPrefUploadMovie, true);
    scanOnce();
    EXPECT_TRUE(posted.empty());
    bytes("Adams/a.mov", QByteArray(4096, 'm'));
    EXPECT_EQ(scanOnce().value(cDictKeyCurItem).toString(), QStringLiteral("Adams/a.jpg"));
}

TEST_F(FolderScanTest, ClientNameAndMetadataTextFollowTheFuseAction) {
    photo("Adams/IMG_7.jpg");
    struct Case {
        std::optional<QString> fuse;
        bool formBaseId;
        QString client, fuseSent, metaText;
    };
    const Case cases[] = {
        {QStringLiteral("upload.upload"), false, "Adams", "upload.upload", ""},
        {QStringLiteral("UPLOAD.UPLOAD"), false, "Adams", "UPLOAD.UPLOAD", ""},
        {QStringLiteral("upload.alder"), false, "IMG_7", "upload.alder", "From Alder 2010 Event."},
        {QStringLiteral("Upload.Alder"), false, "IMG_7", "Upload.Alder", ""},
        {QStringLiteral("upload.dogwood"), false, "IMG_7", "upload.dogwood", "From Dogwood 2010."},
        {QStringLiteral("upload.upload"), true, "IMG", "upload.upload", ""},
    };
    for (const Case& c : cases) {
        store->setObject(sPrefGlvFuseAction, c.fuse ? QVariant(*c.fuse) : QVariant());
        store->setBool(sPrefFormBaseIdFromFileName, c.formBaseId);
        const QVariantMap item = scanOnce();
        const std::string what = c.fuse.value_or("(none)").toStdString();
        EXPECT_EQ(item.value(kEdClientName).toString(), c.client) << what;
        EXPECT_EQ(item.value(kEdGlvFuseAction).toString(), c.fuseSent) << what;
        EXPECT_EQ(item.value(kEdMetaData).toString(), c.metaText) << what;
    }
    // A metadata setting always wins over the event texts.
    store->setString(sPrefGlvFuseAction, QStringLiteral("upload.alder"));
    store->setString(sPrefMetaData, QStringLiteral("Our own text"));
    EXPECT_EQ(scanOnce().value(kEdMetaData).toString(), QStringLiteral("Our own text"));

    // Without a fuse-action setting the base-name rule stays as it was, and the default
    // action is sent.
    store->removeObject(sPrefMetaData);
    store->removeObject(sPrefGlvFuseAction);
    store->setBool(sPrefFormBaseIdFromFileName, false);
    doAlder = true;
    const QVariantMap item = scanOnce();
    EXPECT_EQ(item.value(kEdGlvFuseAction).toString(), QStringLiteral("upload.upload"));
    EXPECT_EQ(item.value(kEdClientName).toString(), QStringLiteral("IMG_7"));
}

TEST_F(FolderScanTest, EmailsAndCampaignDetailsAreReadOnlyForOtherFuseActions) {
    QVariantMap metadata = fixtures::sampleMetadata("Adams", 1, 6);
    metadata.insert("QD_larchInfo", QVariantMap{{"email", "c@mail.example"}, {"mobile", "555"}});
    photo("Adams/a.jpg", metadata);
    const QStringList all = metadata.value("QD_emailsForUpload").toStringList();
    ASSERT_EQ(all.size(), 6);

    QVariantMap item = scanOnce();
    EXPECT_FALSE(item.contains(kEdEmails));
    EXPECT_FALSE(item.contains(kEdLarchInfo));

    store->setString(sPrefGlvFuseAction, QStringLiteral("upload.birch"));
    item = scanOnce();
    EXPECT_EQ(item.value(kEdEmails).toString(), all.mid(0, 4).join(","));
    EXPECT_EQ(item.value(kEdLarchInfo).toMap().value("mobile").toString(), QStringLiteral("555"));
}

TEST_F(FolderScanTest, SittingInformationAndItsCaptureTime) {
    QVariantMap metadata = fixtures::sampleMetadata("Adams", 1);
    QVariantMap sitting = metadata.value("SittingInfoDictionary").toMap();
    sitting.insert("capturetime", "2010-09-01 10:00:00");
    metadata.insert("SittingInfoDictionary", sitting);
    photo("Adams/a.jpg", metadata);
    QVariantMap item = scanOnce();
    EXPECT_EQ(item.value(kEdCaptureTime).toString(), QStringLiteral("2010-09-01 10:00:00"));
    EXPECT_EQ(item.value(kEdSittingInfoDictionary).toMap(), sitting);
    EXPECT_EQ(item.value(kEdOriginalPath).toString(), metadata.value("OriginalPath").toString());

    // The fernhill account makes a sitting from the file name when the photo has none.
    QFile::remove(source + "/Adams/a.jpg");
    photo("Adams/1234_A.jpg", QVariantMap{{"Version", "1.0"}});
    item = scanOnce();
    EXPECT_FALSE(item.contains(kEdSittingInfoDictionary));
    EXPECT_FALSE(item.contains(kEdOriginalPath));
    EXPECT_FALSE(item.contains(kEdEmails));
    EXPECT_FALSE(item.contains(kEdLarchInfo));

    host.user = QStringLiteral("Fernhill");
    item = scanOnce();
    EXPECT_EQ(item.value(kEdSittingInfoDictionary).toMap(),
              (QVariantMap{{"sittingid", QStringLiteral("1234")}}));
    EXPECT_NE(item.value(kEdCaptureTime).toString(), QStringLiteral("2010-09-01 10:00:00"));
}

TEST_F(FolderScanTest, MirrorsTheWholeSubFolderTreeWithItsPermissions) {
    QDir().mkpath(source + "/Adams/.cache/deep");
    QDir().mkpath(source + "/Empty");
    QFile::setPermissions(source + "/Empty", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                 QFileDevice::ExeGroup);
    bytes("Adams/.cache/deep/note.txt");
    scanOnce();
    EXPECT_TRUE(QFileInfo(mirror + "/Adams/.cache/deep").isDir());
    EXPECT_TRUE(QFileInfo(mirror + "/Empty").isDir());
    EXPECT_EQ(QFileInfo(mirror + "/Empty").permissions() & 0x0FFF,
              QFileInfo(source + "/Empty").permissions() & 0x0FFF);
    EXPECT_FALSE(QFileInfo::exists(mirror + "/Adams/.cache/deep/note.txt"));
}

TEST_F(FolderScanTest, NothingToUploadEndsTheLoopAndHandsOverToWatcherAndTimer) {
    bytes("Adams/stray.jpg", "not a photo");
    Notification n = request();
    scanFolder(host, n);
    EXPECT_TRUE(posted.empty());
    ASSERT_EQ(completeLoops.size(), 1u);
    EXPECT_EQ(completeLoops.front(), n.userInfo) << "the request travels as received";
    EXPECT_EQ(host.watched, (std::vector<QString>{source}));
    EXPECT_EQ(host.timers.load(), 1);
    EXPECT_EQ(host.uploadStatus.back(), QStringLiteral("Done With Iteration..."));
    EXPECT_EQ(host.callbackStatus.back(), QStringLiteral("Waiting For New Images..."));
    EXPECT_EQ(host.nextPasses.load(), 0);
}

TEST_F(FolderScanTest, RefusedScansNeitherWalkNorEndTheLoop) {
    photo("Adams/a.jpg");
    host.halted = true;
    scanOnce();
    EXPECT_EQ(host.callbackStatus.back(),
              QStringLiteral("Process Halted... Click Resume If You Wish To Continue..."));
    host.halted = false;

    host.uploading = true;
    scanOnce();
    host.uploading = false;

    Notification bare;
    bare.name = kScanFolderNotification;
    scanFolder(host, bare);
    EXPECT_EQ(host.callbackStatus.back(),
              QStringLiteral("BAD Internal ERROR!!!!! No Info To Start Scan of Folder..."));

    Notification partial = request();
    partial.userInfo->remove(cDictKeyUserEnteredEventName);
    scanFolder(host, partial);

    EXPECT_TRUE(posted.empty());
    EXPECT_TRUE(completeLoops.empty());
    EXPECT_FALSE(QFileInfo::exists(mirror + "/Adams")) << "a refused scan does not walk";
    EXPECT_FALSE(host.scanning);
}

TEST_F(FolderScanTest, ASecondRequestDuringAScanIsCountedAndServedWhenTheScanEnds) {
    photo("Adams/a.jpg");
    std::atomic<bool> secondReturned{false};
    // While the first scan hands its item over, a second request arrives on another thread.
    onPrepare = [&] {
        std::thread second([&] {
            scanFolder(host, request());
            secondReturned = true;
        });
        second.join();
    };
    scanFolder(host, request());
    EXPECT_TRUE(secondReturned);
    EXPECT_EQ(posted.size(), 1u) << "one walk only";
    EXPECT_EQ(host.rescans.load(), 1);
    EXPECT_EQ(host.nextPasses.load(), 1) << "the pending rescan starts the next pass";
}

TEST_F(FolderScanTest, AnUnfinishedPhotoWaitsWhileOthersGoAhead) {
    const QString path = source + "/Adams/a.jpg";
    QDir().mkpath(source + "/Adams");
    fixtures::PhotoSpec shot;
    shot.size = QSize(800, 600); // image data well beyond the metadata at the start
    shot.metadata = fixtures::sampleMetadata("Adams", 1);
    ASSERT_TRUE(fixtures::writeJpeg(path, shot));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    const QByteArray all = f.readAll();
    f.resize(all.size() / 2); // metadata is at the start, the image half written
    f.close();
    const QByteArray before = readFile(path);
    photo("Baker/b.jpg");

    // The finished photo behind it is taken; the unfinished one is held, untouched.
    EXPECT_EQ(scanOnce().value(cDictKeyCurItem).toString(), "Baker/b.jpg");
    ASSERT_TRUE(host.holds.holdOf("Adams/a.jpg", QDateTime::currentMSecsSinceEpoch()));
    EXPECT_EQ(readFile(path), before);

    // Alone, it ends the pass with the reason shown and a pass booked for when it is due.
    QFile::remove(source + "/Baker/b.jpg");
    EXPECT_TRUE(scanOnce().isEmpty());
    ASSERT_EQ(host.delayedPasses.size(), 1u);
    EXPECT_LE(host.delayedPasses.back(), 1000);
    EXPECT_TRUE(host.callbackStatus.back().contains("a.jpg"))
        << host.callbackStatus.back().toStdString();

    // Left alone long enough, it is taken as it is (a camera may give up on a photo).
    host.holds.clear("Adams/a.jpg");
    ASSERT_TRUE(setModified(path, QDateTime::currentDateTime().addSecs(-31)));
    const QVariantMap item = scanOnce();
    EXPECT_EQ(item.value(cDictKeyCurItem).toString(), "Adams/a.jpg");
    ASSERT_TRUE(item.value(kLocalItemIdentity).canConvert<FileIdentity>());
    EXPECT_EQ(item.value(kLocalItemIdentity).value<FileIdentity>().size, before.size());
}

TEST_F(FolderScanTest, APhotoOpenForWritingWaitsHoweverCompleteItLooks) {
    photo("Adams/a.jpg");
    const QString path = source + "/Adams/a.jpg";
    ASSERT_TRUE(setModified(path, QDateTime::currentDateTime().addSecs(-120)));
    {
        QFile writer(path);
        ASSERT_TRUE(writer.open(QIODevice::WriteOnly | QIODevice::Append));
        EXPECT_TRUE(scanOnce().isEmpty());
        const auto hold = host.holds.holdOf("Adams/a.jpg", QDateTime::currentMSecsSinceEpoch());
        ASSERT_TRUE(hold);
        EXPECT_TRUE(hold->why.contains("writing")) << hold->why.toStdString();
    }
    host.holds.clear("Adams/a.jpg");
    EXPECT_EQ(scanOnce().value(cDictKeyCurItem).toString(), "Adams/a.jpg");

    // Items waiting to be filed are never offered again.
    host.awaitingFiling.insert("Adams/a.jpg");
    EXPECT_TRUE(scanOnce().isEmpty());
    EXPECT_GE(host.filingRetries.load(), 1);
}

TEST_F(FolderScanTest, HostileTreesDoNotTrapTheScanAndLinksAreNeverTaken) {
    const QString outside = folder + "/private";
    photo("Adams/real.jpg");
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(QFile::rename(source + "/Adams/real.jpg", outside + "/secret.jpg"));
    ASSERT_TRUE(QFile::link(outside + "/secret.jpg", source + "/Adams/a.jpg"));
    ASSERT_TRUE(QFile::link(source, source + "/Adams/loop"));
    ASSERT_TRUE(QFile::link(source + "/missing", source + "/Adams/dangling.jpg"));
    bytes("Adams/empty.jpg", QByteArray());
    // A pipe would block a reader forever; it must simply not qualify.
    ASSERT_EQ(::mkfifo(QFile::encodeName(source + "/Adams/pipe.jpg").constData(), 0600), 0);
    photo(QString::fromUtf8("Zo\u00eb M\u00fcller/\u30d5\u30a9\u30c8.jpg"));
    const QVariantMap item = scanOnce();
    EXPECT_EQ(item.value(cDictKeyCurItem).toString(),
              QString::fromUtf8("Zo\u00eb M\u00fcller/\u30d5\u30a9\u30c8.jpg"));
    EXPECT_EQ(item.value(kEdClientName).toString(), QString::fromUtf8("Zo\u00eb M\u00fcller"));
    EXPECT_TRUE(QFileInfo(outside + "/secret.jpg").isFile());
    EXPECT_TRUE(QFileInfo(source + "/Adams/a.jpg").isSymLink());
}

TEST_F(FolderScanTest, AFileThatDoesNotQualifyIsReportedOnceUntilItChanges) {
    bytes("Adams/notes.jpg", "no photo, no metadata");
    bytes("top.jpg", "at the top");
    FdCapture err;
    scanOnce();
    const qsizetype firstScan = err.text().count("notes.jpg");
    EXPECT_GT(firstScan, 0);
    scanOnce();
    scanOnce();
    EXPECT_EQ(err.text().count("notes.jpg"), firstScan) << "nothing more at later scans";
    EXPECT_EQ(err.text().count("Root Item [top.jpg]"), 1);

    // A changed file is looked at afresh.
    photo("Adams/notes.jpg");
    const QVariantMap item = scanOnce();
    EXPECT_EQ(item.value(cDictKeyCurItem).toString(), "Adams/notes.jpg");
}

TEST_F(FolderScanTest, ALinkedClientFolderIsReportedOnceAndItsMirrorIsNoWiderThanIt) {
    const QString outside = folder + "/elsewhere";
    QDir().mkpath(outside);
    ASSERT_EQ(::chmod(QFile::encodeName(outside).constData(), 0750), 0);
    ASSERT_TRUE(QFile::link(outside, source + "/Linked"));
    const auto reports = [this] {
        int n = 0;
        for (const QString& line : host.callbackStatus)
            n += line.contains("[Linked] is a link to a folder") ? 1 : 0;
        return n;
    };
    const mode_t old = ::umask(027);
    scanOnce();
    const int first = reports();
    scanOnce();
    ::umask(old);
    EXPECT_GE(first, 1);
    EXPECT_EQ(reports(), first) << "said by the first scan only";
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(mirror + "/Linked").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u) << "the folder's mode, not the link's 0777";
}

} // namespace
