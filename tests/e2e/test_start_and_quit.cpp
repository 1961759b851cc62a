// A quit asked for while the program is still starting up.
#include "ProgramRun.h"

#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using StartAndQuit = ProgramWithService;

TEST_F(StartAndQuit, AQuitAskedForWhileStartingUpEndsTheProgramBeforeAnyWork) {
    run.makePhotos(1);
    ASSERT_TRUE(run.startWithTerminationPending(service.url()));
    EXPECT_TRUE(waitUntil([&] { return !run.isRunning(); }, 30000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.stop()) << "ended by itself, cleanly";
    const QByteArray log = run.console();
    EXPECT_TRUE(log.contains("Termination signal received; quitting")) << log.toStdString();
    EXPECT_EQ(log.count("NSLog = applicationShouldTerminate\n"), 1);
    EXPECT_TRUE(log.contains("applicationWillTerminate - DONE!"));
    // The folder given at start was never looked at.
    EXPECT_EQ(run.whereIs("Smith/IMG_0001.jpg"), "source");
    EXPECT_TRUE(service.receivedDirs().isEmpty());
}

} // namespace
