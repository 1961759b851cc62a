#include "PipelineFixture.h"
#include "platform/Beep.h"

#include <thread>

using namespace kivo;
using namespace kivo::test;

namespace {

TEST_F(PipelineTest, CompleteSettingsPostOneScanRequestWithExactlyThreeKeys) {
    const int beeps = beepCount();
    EXPECT_TRUE(controller->applicationOpenFile(source));
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans.front(), (QVariantMap{{cDictKeyLocalSourceUploadFolder, source},
                                          {cDictKeyLocalMirrorFolder, mirror},
                                          {cDictKeyUserEnteredEventName, "Spring Gala"}}));
    EXPECT_EQ(beepCount(), beeps);
    EXPECT_FALSE(gInsideOpenFile);
    EXPECT_EQ(controller->currentRootFolder(), source);
    ASSERT_TRUE(display.last(StatusField::LoginName));
    EXPECT_EQ(display.last(StatusField::LoginName)->text,
              QStringLiteral("demo.photos.kivo.example"));
    EXPECT_EQ(display.last(StatusField::UploadMainPath)->text, source + "/");
}

TEST_F(PipelineTest, PassesAreRefusedWhileUploadingOrForAMissingFolder) {
    gStartedUploadProcess = true;
    EXPECT_FALSE(controller->applicationOpenFile(source));
    EXPECT_FALSE(gInsideOpenFile) << "the open-file mark must be cleared on refusal";
    gStartedUploadProcess = false;

    EXPECT_TRUE(controller->applicationOpenFile(folder + "/no-such-folder"));
    EXPECT_TRUE(scans.empty());
}

TEST_F(PipelineTest, EachMissingOrInvalidSettingBeepsOnceAndRefuses) {
    test::writeFile(folder + "/plain-file", "x");
    struct Case {
        const char* what;
        QString key;
        QVariant value; // invalid: remove the key
    };
    const Case cases[] = {
        {"mirror unset", sPrefLocalMasterMirrorSiteFolder, QVariant()},
        {"mirror empty", sPrefLocalMasterMirrorSiteFolder, QString()},
        {"mirror is a file", sPrefLocalMasterMirrorSiteFolder, folder + "/plain-file"},
        {"source unset", sPrefLocalSourceUploadFolder, QVariant()},
        {"source missing", sPrefLocalSourceUploadFolder, folder + "/gone"},
        {"event placeholder", sPrefUserEnteredEventName,
         QStringLiteral("TurnOnCheckBoxIfUsingThisOption")},
        {"event spaces only", sPrefUserEnteredEventName, QStringLiteral("   \n")},
        {"user name empty", sUserLoginName, QString()},
        {"user name unset", sUserLoginName, QVariant()},
        {"password empty", sUserLoginPassword, QString()},
    };
    for (const Case& c : cases) {
        const QVariant saved = store->objectForKey(c.key);
        store->setObject(c.key, c.value);
        // A fresh controller, so account fields from earlier cases do not linger.
        AppController fresh;
        const int beeps = beepCount();
        EXPECT_FALSE(fresh.validateUserInfoBeforeUploading(std::nullopt)) << c.what;
        EXPECT_EQ(beepCount() - beeps, 1) << c.what;
        store->setObject(c.key, saved);
    }
    // Several problems at once still give one beep.
    store->removeObject(sPrefLocalMasterMirrorSiteFolder);
    store->removeObject(sPrefLocalSourceUploadFolder);
    const int beeps = beepCount();
    EXPECT_FALSE(controller->validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_EQ(beepCount() - beeps, 1);
}

TEST_F(PipelineTest, EventNameIsTrimmedAndStoredBackTrimmed) {
    store->setString(sPrefUserEnteredEventName, QStringLiteral("  Spring Gala\n"));
    controller->getUserEnteredEventName();
    EXPECT_EQ(controller->currentEventName(), QStringLiteral("Spring Gala"));
    EXPECT_EQ(store->stringForKey(sPrefUserEnteredEventName).value(),
              QStringLiteral("Spring Gala"));

    // A missing setting keeps the name in use.
    store->removeObject(sPrefUserEnteredEventName);
    controller->getUserEnteredEventName();
    EXPECT_EQ(controller->currentEventName(), QStringLiteral("Spring Gala"));
}

TEST_F(PipelineTest, TwoSimultaneousPassRequestsPostOneScan) {
    // The first caller to reach the scan stays inside the pass entry until the other caller
    // has returned, so both calls overlap whatever the scheduling.
    std::atomic<int> returned{0};
    std::atomic<int> posted{0};
    controller->operations().startScan = [&](const Notification&) {
        ++posted;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (returned.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::atomic<bool> go{false};
    auto call = [&] {
        while (!go)
            std::this_thread::yield();
        controller->applicationOpenFile(source);
        ++returned;
    };
    std::thread a(call), b(call);
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(posted.load(), 1);
}

TEST_F(PipelineTest, NextPassWorkerWaitsForTheRunningEntry) {
    gInsideOpenFile = true;
    int waits = 0;
    controller->operations().pause = [&](double s) {
        EXPECT_DOUBLE_EQ(s, 0.5);
        if (++waits == 3)
            gInsideOpenFile = false;
    };
    controller->openFileOnMainThread();
    EXPECT_EQ(waits, 3);
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans.front().value(cDictKeyLocalSourceUploadFolder).toString(), source);
}

} // namespace
