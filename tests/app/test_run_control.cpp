#include "PipelineFixture.h"
#include "platform/Beep.h"
#include "platform/NotificationCenter.h"

#include <QDateTime>
#include <QRegularExpression>

using namespace kivo;
using namespace kivo::test;

namespace {

std::optional<QDateTime> nextTriggerIn(const QString& text) {
    const auto m =
        QRegularExpression("^Next Auto-Synchronize Trigger Date = (.{19})\\.\\.\\.").match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss");
}

TEST_F(PipelineTest, RetriggerTimerShowsWhenItFiresAndIsCancelledByEveryPass) {
    store->setBool(sPrefAutoSynchronize, true);
    controller->doSetupRetriggerTimer();
    auto when = nextTriggerIn(display.last(StatusField::FTPCallbackStatus)->text);
    ASSERT_TRUE(when);
    EXPECT_NEAR(double(QDateTime::currentDateTime().secsTo(*when)), 120.0, 2.0) << "by default";
    ASSERT_TRUE(controller->hasRetriggerTimer());
    EXPECT_TRUE(controller->applicationOpenFile(source));
    EXPECT_FALSE(controller->hasRetriggerTimer());

    store->setDouble(sPrefSecondsBetweenScans, 0.3);
    controller->doSetupRetriggerTimer();
    when = nextTriggerIn(display.last(StatusField::FTPCallbackStatus)->text);
    ASSERT_TRUE(when);
    EXPECT_LE(qAbs(when->secsTo(QDateTime::currentDateTime())), 2);
    EXPECT_TRUE(waitUntil([&] { return scans.size() == 2; }, 5000)) << "the timer starts a pass";
    EXPECT_FALSE(controller->hasRetriggerTimer()) << "one-shot";
}

TEST_F(PipelineTest, NoTimerAndNoTimerTextWithAutomaticSynchronizingOff) {
    store->setBool(sPrefAutoSynchronize, false);
    controller->doSetupRetriggerTimer();
    EXPECT_FALSE(controller->hasRetriggerTimer());
    for (const auto& u : display.of(StatusField::FTPCallbackStatus))
        EXPECT_FALSE(u.text.startsWith("Next Auto-Synchronize")) << u.text.toStdString();
}

TEST_F(PipelineTest, ATimerFiringDuringAnUploadIsSpentWithoutEffect) {
    store->setBool(sPrefAutoSynchronize, true);
    store->setDouble(sPrefSecondsBetweenScans, 0.1);
    controller->doSetupRetriggerTimer();
    gStartedUploadProcess = true;
    EXPECT_TRUE(waitUntil([&] { return !controller->hasRetriggerTimer(); }, 5000));
    waitUntil([] { return false; }, 200);
    EXPECT_TRUE(scans.empty());
}

TEST_F(PipelineTest, SynchronizeDuringAnUploadBeepsTwiceAndDoesNothingElse) {
    gStartedUploadProcess = true;
    const int before = beepCount();
    controller->ibUserClickedOnSynchronize(nullptr);
    EXPECT_EQ(beepCount() - before, 2);
    EXPECT_TRUE(scans.empty());
}

TEST_F(PipelineTest, SynchronizeAgainResumesOnlyBetweenUploadDoneAndCleanUp) {
    // Idle: it synchronizes.
    controller->ibClickedOnSynchronizeAgain(nullptr);
    EXPECT_EQ(scans.size(), 1u);
    // Upload running, not halted: nothing.
    gStartedUploadProcess = true;
    controller->ibClickedOnSynchronizeAgain(nullptr);
    EXPECT_EQ(scans.size(), 1u);
    // Halted while the upload flag is still set: resume.
    gDidHaltProcess = true;
    gWantsToHaltProcess = true;
    controller->ibClickedOnSynchronizeAgain(nullptr);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_FALSE(gWantsToHaltProcess);
    EXPECT_EQ(display.pauseTitle, QStringLiteral("Pause"));
}

TEST_F(PipelineTest, PauseWhileIdleAndTheSettingsPauseThatWaitsForIt) {
    controller->ibClickedOnHalt(nullptr);
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_EQ(display.pauseTitle, QStringLiteral("Resume"));
    EXPECT_EQ(display.last(StatusField::FTPCallbackStatus)->text,
              QStringLiteral("Process Paused..."));

    // The wait thread posts its notification once the loop is halted (it is already).
    std::vector<QVariant> paused;
    int owner = 0;
    NotificationCenter::defaultCenter().addObserver(
        &owner, kUploadProcessPaused, [&](const Notification& n) { paused.push_back(n.payload); });
    controller->doWaitForUploadProcessToEndInThread(QStringLiteral("prefs-button"));
    NotificationCenter::defaultCenter().removeObserver(&owner);
    ASSERT_EQ(paused.size(), 1u);
    EXPECT_EQ(paused.front().toString(), QStringLiteral("prefs-button"));

    // Resume after the settings sheet: both marks cleared and a pass starts at once.
    controller->doHandlePauseResumeButtonAsResume(nullptr);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_FALSE(gWantsToHaltProcess);
    EXPECT_EQ(scans.size(), 1u);
    // Not halted: resume does nothing.
    controller->doHandlePauseResumeButtonAsResume(nullptr);
    EXPECT_EQ(scans.size(), 1u);
}

TEST_F(PipelineTest, OnlyOneWatcherThreadEverStarts) {
    gIsInWatchFolderInstaller = true; // as after the first idle scan
    FdCapture err;
    controller->doWatchFolderInThread(source);
    EXPECT_TRUE(err.text().contains("a watcher thread exists already"));
    gIsInWatchFolderInstaller = false;
}

} // namespace
