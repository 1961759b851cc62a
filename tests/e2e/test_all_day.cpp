// The program left to itself: it restarts when an upload hangs, survives being killed and
// rescans on its timer.
#include "ProgramRun.h"

#include <QDir>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using AllDay = ProgramWithService;

TEST_F(AllDay, AHungUploadRestartsTheProgramWhichThenUploadsTheItem) {
    run.makePhotos(2);
    ASSERT_TRUE(service.setFault("hang", {{"count", 1}}));
    ASSERT_TRUE(run.start(service.url(), {"-prefUploadTimeOut", "2"}));
    // The first process gives up on the hung send and hands over to the relaunch helper.
    EXPECT_TRUE(waitUntil([&] { return !run.isRunning(); }, 20000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.console().contains("Taking too long to upload - need to relaunch"));
    // The new instance, started with the same arguments, gets everything through.
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 30000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(service.receivedDirs().size(), 2);
    service.release();
}

TEST_F(AllDay, AProgramKilledMidUploadLeavesTheItemToTheNextRun) {
    run.makePhotos(2);
    ASSERT_TRUE(service.setFault("hang", {{"count", 1}}));
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(waitUntil([&] { return service.state().value("held").toInt() == 1; }, 10000));
    run.kill();
    EXPECT_EQ(run.whereIs("Smith/IMG_0001.jpg"), "source");
    EXPECT_EQ(run.whereIs("Garcia/IMG_0002.jpg"), "source");
    ASSERT_TRUE(service.reset());

    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 20000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.stop());
}

TEST_F(AllDay, QuittingDuringAnUploadIsPromptAndLeavesTheItem) {
    run.makePhotos(1);
    ASSERT_TRUE(service.setFault("hang", {{"count", 1}}));
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(waitUntil([&] { return service.state().value("held").toInt() == 1; }, 10000));
    // Ends by itself, cleanly, instead of waiting for the hung send (it would be killed).
    EXPECT_TRUE(run.stop(5000));
    EXPECT_EQ(run.whereIs("Smith/IMG_0001.jpg"), "source");
    EXPECT_TRUE(run.console().contains("applicationWillTerminate - DONE!"));
    service.release();
}

TEST_F(AllDay, AnIdleProgramRescansOnItsTimerWhenAskedTo) {
    run.makePhotos(1);
    ASSERT_TRUE(
        run.start(service.url(), {"-prefAutoSynchronize", "YES", "-prefSecondsBetweenScans", "1"}));
    EXPECT_TRUE(waitUntil(
        [&] { return run.console().count("Okay to start upload process again") >= 2; }, 15000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.stop());
}

} // namespace
