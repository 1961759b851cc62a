// One instance per user: a second start hands its folder to the running one and leaves, so no
// photo is ever sent twice by two instances working on the same folder.
#include "ProgramRun.h"

#include <QFileInfo>
#include <QSet>
#include <csignal>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using OneInstance = ProgramWithService;

QString socketOf(const ProgramRun& run) {
    return run.root() + "/run/com.quandril.KivoUploader.socket";
}

TEST_F(OneInstance, TwoStartsAtOnceSendEachPhotoOnce) {
    ASSERT_EQ(run.makePhotos(30).size(), 30);
    // As an autostart and a start by hand on the same folder.
    std::unique_ptr<QProcess> other = run.startAnother(service.url(), {}, {run.source()});
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(other->waitForStarted(10000));

    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 90000))
        << run.console().right(3000).toStdString();
    // Which of the two leaves is up to the race.
    waitUntil([&] { return !run.isRunning() || other->state() == QProcess::NotRunning; }, 15000);
    const bool runLeft = !run.isRunning();
    const bool otherLeft = other->state() == QProcess::NotRunning;
    EXPECT_NE(runLeft, otherLeft) << "exactly one of them leaves";

    const QStringList received = service.receivedDirs();
    EXPECT_EQ(received.size(), 30);
    QSet<QString> names;
    for (const QString& dir : received) {
        const QVariantMap file = RefService::record(dir).value("files").toList().value(0).toMap();
        names.insert(file.value("filename").toString());
    }
    EXPECT_EQ(names.size(), 30) << "no photo arrived twice";

    // The one that left handed the folder over, said so and ended with 0.
    QByteArray said;
    if (runLeft) {
        EXPECT_TRUE(run.stop());
        said = readFile(run.root() + "/console.txt");
    } else if (otherLeft) {
        EXPECT_EQ(other->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(other->exitCode(), 0);
        said = other->readAll();
    }
    EXPECT_TRUE(said.contains("KivoUploader is already running (pid ")) << said.toStdString();
    EXPECT_TRUE(said.contains("handed over " + run.source().toUtf8())) << said.toStdString();

    // The one that stayed quits cleanly.
    if (!runLeft) {
        EXPECT_TRUE(run.stop());
    }
    if (!otherLeft) {
        ::kill(pid_t(other->processId()), SIGTERM);
        EXPECT_TRUE(other->waitForFinished(10000));
        EXPECT_EQ(other->exitCode(), 0);
    }
}

TEST_F(OneInstance, ALaterStartHandsItsFolderToAnIdleInstance) {
    run.makePhotos(4);
    // No folder and no autostart: it waits for something to do.
    ASSERT_TRUE(run.startWith(service.url(), {}, {}));
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(socketOf(run)); }, 15000));
    const qint64 pid =
        readFile(run.root() + "/run/com.quandril.KivoUploader.lock").trimmed().toLongLong();
    ASSERT_GT(pid, 0);

    // Started again with nothing to hand over: the running one is only asked to show itself.
    ProgramRun::Ended again = run.runAnother(service.url(), {}, {});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.output.contains("already running (pid " + QByteArray::number(pid) + ")"))
        << again.output.toStdString();
    EXPECT_TRUE(again.output.contains("no folder to hand over")) << again.output.toStdString();
    EXPECT_TRUE(
        waitUntil([&] { return run.console().contains("Another start asks to be shown"); }));

    // Frozen: the later start gives up and says so, and the folder it could not hand over is
    // not taken behind its back once the running one wakes up.
    ::kill(pid_t(pid), SIGSTOP);
    ProgramRun::Ended blocked = run.runAnother(service.url(), {}, {run.source()});
    ::kill(pid_t(pid), SIGCONT);
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_TRUE(blocked.output.contains("did not answer")) << blocked.output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return run.console().contains("its sender gave up waiting"); }));
    waitUntil([] { return false; }, 1000);
    EXPECT_TRUE(service.requests().empty());

    ProgramRun::Ended handed = run.runAnother(service.url(), {}, {run.source()});
    EXPECT_EQ(handed.exitCode, 0);
    EXPECT_TRUE(handed.output.contains("handed over " + run.source().toUtf8()))
        << handed.output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 30000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(service.receivedDirs().size(), 4);

    // The later starts never set up logs or housekeeping of their own.
    EXPECT_EQ(run.console().count("applicationWillFinishLaunching"), 1);
    EXPECT_TRUE(run.stop());
}

} // namespace
