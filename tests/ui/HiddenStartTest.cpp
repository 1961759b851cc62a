// A start asked to stay hidden (a relaunch "launch and hide" after a hung upload, while the
// user works in another program) keeps the window down through its passes.
#include "app/PipelineFixture.h"
#include "ui/MainStatusWindow.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <thread>

namespace {

class HiddenStart : public kivo::test::PipelineTest {
protected:
    // Outlives TearDown, which still has the controller pointing at it.
    kivo::MainStatusWindow window;
};

// A request from another thread, handed to the main thread and not yet run there.
void bringToFrontFromWorker(kivo::MainStatusWindow& window) {
    std::thread worker([&] { window.bringToFront(); });
    worker.join();
}

TEST_F(HiddenStart, OnlyTheUserBringsUpTheWindow) {
    controller->setStatusDisplay(&window);
    bringToFrontFromWorker(window); // asked before the hidden start was declared
    window.startHidden();
    ASSERT_TRUE(controller->applicationOpenFile(source));
    bringToFrontFromWorker(window); // as the next passes ask
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(scans.size(), 1u) << "the pass itself went ahead";
    EXPECT_FALSE(window.isVisible());

    window.showOnRequest();
    EXPECT_TRUE(window.isVisible());
    // Seen once, the window comes back with a pass like after any start.
    window.hide();
    ASSERT_TRUE(controller->applicationOpenFile(source));
    EXPECT_TRUE(window.isVisible());
}

} // namespace
