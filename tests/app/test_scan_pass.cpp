#include "PipelineFixture.h"
#include "fixtures/Fixtures.h"

using namespace kivo;
using namespace kivo::test;

namespace {

// A pass over a real folder: the scan runs (inline here) and hands the upload its record.
TEST_F(PipelineTest, APassOverARealFolderHandsTheItemToTheUpload) {
    fixtures::PhotoSpec shot;
    shot.metadata = fixtures::sampleMetadata("Smith", 1);
    ASSERT_TRUE(fixtures::writeJpeg(source + "/Smith/IMG_0001.jpg", shot));
    controller->operations().startScan = [this](const Notification& n) {
        controller->scanFolderOnMainThread(n);
    };
    std::vector<QVariantMap> uploads;
    int owner = 0;
    NotificationCenter::defaultCenter().addObserver(
        &owner, kUploadStartNotification,
        [&](const Notification& n) { uploads.push_back(*n.userInfo); });

    EXPECT_TRUE(controller->applicationOpenFile(source));
    NotificationCenter::defaultCenter().removeObserver(&owner);

    ASSERT_EQ(uploads.size(), 1u);
    const QVariantMap& item = uploads.front();
    EXPECT_EQ(item.value(cDictKeyCurItem).toString(), QStringLiteral("Smith/IMG_0001.jpg"));
    EXPECT_EQ(item.value(kEdUser).toString(), QStringLiteral("demo"));
    EXPECT_EQ(item.value(kEdPasswd).toString(), QStringLiteral("secret"));
    EXPECT_EQ(item.value(kEdEventName).toString(), QStringLiteral("Spring Gala"));
    EXPECT_TRUE(gStartedUploadProcess) << "the upload has begun";
    EXPECT_FALSE(gIsScanning);
    EXPECT_TRUE(QFileInfo(mirror + "/Smith").isDir());
    EXPECT_EQ(display.last(StatusField::FileName)->text, QStringLiteral("Smith/IMG_0001.jpg"));
}

} // namespace
