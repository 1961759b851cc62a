#include "log/UploadHistory.h"
#include "platform/Trash.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace kivo;
using kivo::test::readFile;
using kivo::test::writeFile;

namespace {

const QDateTime kNoon(QDate(2026, 5, 9), QTime(12, 0, 0));

UploadRecord record(const QString& file, UploadOutcome outcome, int minute = 0) {
    UploadRecord r;
    r.time = kNoon.addSecs(minute * 60);
    r.folder = QStringLiteral("Smith");
    r.file = file;
    r.sizeBytes = 2048;
    r.seconds = 0.25;
    r.outcome = outcome;
    return r;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(UploadHistory, LinesRoundTripFromManyThreadsAndATornLineCostsOnlyItself) {
    const QString folder = test::makeTempFolder("history") + "/Kivo";
    UploadHistory history(folder);
    UploadRecord odd = record(QString::fromUtf8("Fiesta \"año\"\n2.jpg"), UploadOutcome::Refused);
    odd.httpStatus = 200;
    odd.serviceStatus = "Warning";
    odd.message = QString::fromUtf8("Duplicate \\ \u00e9\t");
    odd.sizeBytes = -1;
    ASSERT_TRUE(history.append(odd));
    const QString path = folder + "/" + UploadHistory::fileNameFor(kNoon);
    EXPECT_EQ(QFileInfo(path).fileName(), "UploadHistory_2026_05_09.jsonl");
    // A crash in the middle of a line.
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("{\"time\":\"2026-05-09T12:");
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                history.append(
                    record(QStringLiteral("T%1_%2.jpg").arg(t).arg(i), UploadOutcome::Uploaded, 1));
        });
    for (auto& w : writers)
        w.join();

    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    const std::vector<UploadRecord> read = UploadHistory::readFile(path);
    ASSERT_EQ(read.size(), 101u);
    EXPECT_EQ(read[0].file, odd.file);
    EXPECT_EQ(read[0].message, odd.message);
    EXPECT_EQ(read[0].httpStatus, std::optional<qint64>(200));
    EXPECT_EQ(read[0].serviceStatus, "Warning");
    EXPECT_EQ(read[0].sizeBytes, -1);
    EXPECT_EQ(read[0].time, kNoon);
    EXPECT_EQ(read[0].outcome, UploadOutcome::Refused);
    EXPECT_EQ(read[1].sizeBytes, 2048);
    EXPECT_DOUBLE_EQ(read[1].seconds, 0.25);
    EXPECT_FALSE(read[1].httpStatus.has_value());

    // A restart: the day's counts and latest items come back from the file.
    UploadHistory again(folder);
    again.loadDay(kNoon.addSecs(3600));
    const UploadHistoryDay day = again.day(kNoon.addSecs(3600));
    EXPECT_EQ(day.count(UploadOutcome::Uploaded), 100);
    EXPECT_EQ(day.count(UploadOutcome::Refused), 1);
    ASSERT_EQ(day.latest.size(), UploadHistory::kLatestKept);
    EXPECT_EQ(day.latest.front().file, read.back().file) << "newest first";
    // The day runs from 03:00: at 02:59 the next morning it is still the same day.
    EXPECT_EQ(again.day(QDateTime(QDate(2026, 5, 10), QTime(2, 59))).count(UploadOutcome::Refused),
              1);
    EXPECT_EQ(again.day(QDateTime(QDate(2026, 5, 10), QTime(3, 1))).count(UploadOutcome::Refused),
              0);
}

TEST(UploadHistory, AFileThatCannotBeWrittenIsReportedOnceAndStillCounted) {
    const QString folder = test::makeTempFolder("history");
    ASSERT_TRUE(writeFile(folder + "/Kivo", "not a folder"));
    UploadHistory history(folder + "/Kivo");
    test::FdCapture console;
    EXPECT_FALSE(history.append(record("a.jpg", UploadOutcome::Uploaded)));
    EXPECT_FALSE(history.append(record("b.jpg", UploadOutcome::Retry)));
    EXPECT_EQ(console.text().count("upload history"), 1) << console.text().toStdString();
    EXPECT_EQ(history.day(kNoon).count(UploadOutcome::Uploaded), 1);
    EXPECT_EQ(history.day(kNoon).latest.size(), 2u);
}

TEST(UploadHistory, OldFilesGoToTheTrashWithTheLogsRetention) {
    const QString folder = test::makeTempFolder("history");
    const QDateTime now = QDateTime::currentDateTime();
    const QString old = folder + "/UploadHistory_2020_01_01.jsonl";
    const QString recent = folder + "/" + UploadHistory::fileNameFor(now);
    const QString other = folder + "/notes_2020_01_01.jsonl";
    for (const QString& path : {old, recent, other}) {
        ASSERT_TRUE(writeFile(path, "{}\n"));
        // Created now, modified 20 days back: the older date counts.
        const qint64 back = path == recent ? 0 : 20 * 86400;
        struct timespec times[2] = {{now.toSecsSinceEpoch() - back, 0},
                                    {now.toSecsSinceEpoch() - back, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }
    UploadHistory::deleteOldFiles(folder, now, 30);
    EXPECT_TRUE(QFileInfo::exists(old));
    UploadHistory::deleteOldFiles(folder, now, 14);
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(userTrashFolder() + "/files/UploadHistory_2020_01_01.jsonl"));
    EXPECT_TRUE(QFileInfo::exists(recent));
    EXPECT_TRUE(QFileInfo::exists(other));
}

} // namespace
