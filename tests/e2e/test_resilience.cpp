// The program left alone against a misbehaving service and outsized items: it neither spins
// nor runs out of memory.
#include "ProgramRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kivo::test;

namespace {

using Resilience = ProgramWithService;

TEST_F(Resilience, RepliesThatAreNoAnswerNeverMakeTheLoopSpin) {
    run.makePhotos(1, {"Smith"});
    // An empty body, a FAIL and garbage, then garbage until the service is itself again.
    ASSERT_TRUE(service.setFault("body", {{"body", ""}, {"count", 2}}));
    ASSERT_TRUE(
        service.setFault("status", {{"status", "FAIL"}, {"message", "busy"}, {"count", 2}}));
    ASSERT_TRUE(service.setFault("body", {{"body", "%PDF garbage \x01\x02"}, {"count", 0}}));
    ASSERT_TRUE(run.start(service.url()));
    waitUntil([] { return false; }, 20000);
    const size_t tries = service.requests().size();
    EXPECT_GE(tries, 3u);
    EXPECT_LE(tries, 12u) << "a handful of tries, growing further apart";
    EXPECT_EQ(run.whereIs("Smith/IMG_0001.jpg"), "source");

    ASSERT_TRUE(service.reset());
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 40000))
        << run.console().right(2000).toStdString();
    EXPECT_EQ(service.receivedDirs().size(), 1);
    EXPECT_TRUE(run.stop());
}

// Peak resident memory of a process, in KiB, from its status.
qint64 peakKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

TEST_F(Resilience, AHugeMovieIsSentFromDiskNotFromMemory) {
    // The movie is sparse, but the program's debug dump of the body is not: 2 GiB written.
    const qint64 free = QStorageInfo(scratchRoot()).bytesAvailable();
    if (free < (qint64(3) << 30))
        GTEST_SKIP() << "needs 3 GiB free in " << scratchRoot().toStdString() << ", has "
                     << (free >> 20) << " MiB";
    run.makePhotos(1, {"Smith"});
    const QString movie = run.source() + "/Smith/IMG_0001.mov";
    {
        QFile f(movie);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(2) << 30)); // 2 GiB, sparse
    }
    // A service that takes no more than 50 MB: the item is refused, the program lives on.
    RefService small;
    ASSERT_TRUE(small.start(makeTempFolder("small"), "demo", "secret", {"--max-body", "50000000"}));
    ASSERT_TRUE(run.start(small.url(), {"-prefUploadMovie", "YES"}));
    qint64 peak = 0;
    const bool filed = waitUntil(
        [&] {
            // The program's own process: the one started for this run.
            for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
                const QByteArray cmdline = readFile("/proc/" + pid + "/cmdline");
                if (cmdline.contains(run.root().toUtf8()) && cmdline.contains("KivoUploader"))
                    peak = std::max(peak, peakKiB(pid.toLongLong()));
            }
            return run.whereIs("Smith/IMG_0001.jpg") == "problem";
        },
        90000);
    EXPECT_TRUE(filed) << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.isRunning()) << "no crash";
    // The movie is filed just after its photo.
    EXPECT_TRUE(
        waitUntil([&] { return QFileInfo::exists(run.problem() + "/Smith/IMG_0001.mov"); }, 30000));
    // Holding the body would take more than 2 GiB; streamed it takes a small fraction, even
    // with the sanitizers' own overhead.
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 768 * 1024) << "peak resident memory " << peak << " KiB";
    EXPECT_TRUE(run.stop());
}

} // namespace
