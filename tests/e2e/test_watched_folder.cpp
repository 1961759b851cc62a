// The hot folder taken away under the running program: cleared by an operator, made again by
// the capture software, its disk re-plugged. New photos in it are still noticed.
#include "ProgramRun.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using WatchedFolder = ProgramWithService;

TEST_F(WatchedFolder, NewPhotosAreNoticedWithoutTheTimerAlsoAfterTheFolderIsMadeAgain) {
    run.makePhotos(1);
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(waitUntil([&] { return run.allFiled(); }, 15000));
    ASSERT_TRUE(waitUntil(
        [&] {
            return run.console().contains(
                "Inside AppController => handleNotification_WatcherStarted");
        },
        15000));
    // Into a known client folder and into a new one.
    run.makePhotos(2, {"Smith", "Newcomer"}, 2);
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 10000))
        << run.console().right(3000).toStdString();

    const QByteArray gone =
        "The source folder [" + run.source().toUtf8() + "] is gone; watching for it to come back";
    const QByteArray back =
        "The source folder [" + run.source().toUtf8() + "] is back; watching it again";
    ASSERT_TRUE(QDir(run.source()).removeRecursively());
    ASSERT_TRUE(waitUntil([&] { return run.console().contains(gone); }, 15000))
        << run.console().right(3000).toStdString();
    ASSERT_TRUE(QDir().mkpath(run.source()));
    run.makePhotos(1, {"Smith"}, 4);
    // Automatic synchronizing is off: only the watcher can have started this pass.
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 15000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(run.console().count(gone), 1);
    EXPECT_EQ(run.console().count(back), 1);
    EXPECT_TRUE(run.console().contains("[self getDoAutoSynchronize] = NO"));
    EXPECT_FALSE(run.console().contains("Okay to start upload process again")) << "no timer did it";
    EXPECT_TRUE(run.stop());
}

} // namespace
