// Old photos and empty folders, cleaned up by the whole program. Files cannot be given a
// creation date in the past, so the program's clock is moved ahead instead (libfaketime).
#include "ProgramRun.h"

#include "fixtures/Fixtures.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

const QString kFakeTime = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");

bool exists(const QString& path) {
    return QFileInfo::exists(path);
}

// The date the program judges a photo's age by.
QDateTime madeAt(const QString& path) {
    const QFileInfo info(path);
    return info.birthTime().isValid() ? info.birthTime() : info.lastModified();
}

class Cleanup : public ::testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath(run.source() + "/a/b");
        QDir().mkpath(run.source() + "/Client");
        QDir().mkpath(run.mirror() + "/Empty");
        kivo::fixtures::PhotoSpec shot;
        shot.size = QSize(320, 240);
        ASSERT_TRUE(kivo::fixtures::writeJpeg(run.mirror() + "/Smith/IMG_0001.jpg", shot));
        ASSERT_TRUE(writeFile(run.mirror() + "/Smith/IMG_0001.mov", "moov"));
        ASSERT_TRUE(writeFile(run.mirror() + "/Smith/notes.txt", "notes"));
    }

    // The program's clock runs days ahead: everything made now is that old to it.
    void moveClockAhead(int days) { moveClockAheadSeconds(qint64(days) * 86400); }
    void moveClockAheadSeconds(qint64 seconds) {
        if (!exists(kFakeTime))
            GTEST_FAIL() << "libfaketime is missing: run scripts/install-deps";
        run.setEnvironment("LD_PRELOAD", kFakeTime);
        run.setEnvironment("FAKETIME", QStringLiteral("+%1").arg(seconds));
        run.setEnvironment("DONT_FAKE_MONOTONIC", "1");
        // The sanitizer runtime wants to be loaded first; libfaketime is harmless to it.
        run.setEnvironment("ASAN_OPTIONS",
                           qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    }

    bool startIdle(const QStringList& settings) {
        // Log files as old as the clock is ahead would be cleared away at start.
        const bool started = run.startWith(
            "http://127.0.0.1:9/upload", QStringList{"-prefDaysToSaveLogs", "365"} + settings, {});
        if (started)
            fakeTimedPid = run.processId();
        return started;
    }
    // The program leaves with _exit, so libfaketime never removes its shared memory.
    void TearDown() override {
        run.stop();
        if (fakeTimedPid) {
            QFile::remove(QStringLiteral("/dev/shm/faketime_shm_%1").arg(fakeTimedPid));
            QFile::remove(QStringLiteral("/dev/shm/sem.faketime_sem_%1").arg(fakeTimedPid));
        }
    }

    bool consoleShows(const char* text, int timeoutMs = 30000) {
        return waitUntil([&] { return run.console().contains(text); }, timeoutMs);
    }

    ProgramRun run;
    qint64 fakeTimedPid = 0;
};

TEST_F(Cleanup, StartUpSweepsTheSourceTwiceAndLeavesTheMirrorAloneWhenTheSettingIsOff) {
    moveClockAhead(35);
    ASSERT_TRUE(startIdle({"-prefDoUseDeleteOldPhotos", "NO"}));
    ASSERT_TRUE(consoleShows("Inside AppController => doSetupDeleteOldPhotosThread:"))
        << run.console().right(3000).toStdString();
    // Had the setting been ignored, the mirror's empty folder would go without any wait.
    waitUntil([] { return false; }, 1500);
    EXPECT_TRUE(run.stop());
    EXPECT_FALSE(exists(run.source() + "/a")) << "the second sweep takes what the first emptied";
    EXPECT_FALSE(exists(run.source() + "/Client"));
    EXPECT_TRUE(exists(run.source()));
    EXPECT_TRUE(exists(run.mirror() + "/Empty"));
    EXPECT_TRUE(exists(run.mirror() + "/Smith/IMG_0001.jpg"));
    EXPECT_FALSE(run.console().contains("deleteOldOldPhotosAndFolderIfEmptyWorks"));
}

TEST_F(Cleanup, OldPhotosGoYoungOnesStayAndTheQuitSweepKeepsClientFolders) {
    const QStringList settings = {"-prefDoUseDeleteOldPhotos",  "YES",
                                  "-prefDaysOldBeforeDeleting", "30",
                                  "-prefDeleteEmptyFtpFolders", "YES"};
    // Today's clock: nothing is old yet, but every empty mirror folder goes.
    ASSERT_TRUE(startIdle(settings));
    ASSERT_TRUE(consoleShows("Old photos in")) << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.console().contains(": 0 deleted, 1 kept, 2 skipped"));
    EXPECT_TRUE(waitUntil([&] { return !exists(run.mirror() + "/Empty"); }, 10000));
    EXPECT_TRUE(exists(run.source() + "/a/b")) << "empty, but younger than 3 days";
    EXPECT_TRUE(run.stop());
    EXPECT_TRUE(exists(run.mirror() + "/Smith/IMG_0001.jpg"));
    // At quit every empty folder goes, whatever its age, except the source folder's own.
    EXPECT_FALSE(exists(run.source() + "/a/b"));
    EXPECT_TRUE(exists(run.source() + "/a"));
    EXPECT_TRUE(exists(run.source() + "/Client"));

    // A photo made at least 12 s after the first, and a clock moved ahead by 30 days less half
    // that gap: the cut-off falls between the two, the first is old and the second young.
    const QString young = run.mirror() + "/Smith/IMG_0002.jpg";
    const QDateTime made = madeAt(run.mirror() + "/Smith/IMG_0001.jpg");
    waitUntil([&] { return made.secsTo(QDateTime::currentDateTime()) >= 13; }, 20000);
    kivo::fixtures::PhotoSpec shot;
    shot.size = QSize(320, 240);
    ASSERT_TRUE(kivo::fixtures::writeJpeg(young, shot));
    const qint64 gap = made.secsTo(madeAt(young));
    ASSERT_GE(gap, 12);
    moveClockAheadSeconds(30 * 86400 - gap / 2);
    QDir().mkpath(run.mirror() + "/Empty");
    ASSERT_TRUE(startIdle(settings));
    ASSERT_TRUE(consoleShows(": 1 deleted, 1 kept, 2 skipped"))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(waitUntil([&] { return !exists(run.mirror() + "/Empty"); }, 10000));
    EXPECT_FALSE(exists(run.mirror() + "/Smith/IMG_0001.jpg"));
    EXPECT_TRUE(exists(young));
    EXPECT_TRUE(exists(run.mirror() + "/Smith/IMG_0001.mov")) << "movies never go by age";
    EXPECT_TRUE(exists(run.mirror() + "/Smith/notes.txt"));

    QDir().mkpath(run.source() + "/Jones/Day1");
    EXPECT_TRUE(run.stop());
    EXPECT_TRUE(exists(run.source() + "/Jones"));
    EXPECT_FALSE(exists(run.source() + "/Jones/Day1"));
}

} // namespace
