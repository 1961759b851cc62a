#include "log/MessageLog.h"
#include "log/Printing.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace kivo;
using kivo::test::FdCapture;
using kivo::test::readFile;

namespace {

const QString kStamp = QStringLiteral(
    R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
    R"([ 1-3][0-9] \d\d:\d\d:\d\d \d{4}\] ==> )");

QString freshLog() {
    const QString path = kivo::test::makeTempFolder(QStringLiteral("log")) + "/TestLog.txt";
    MessageLog::InitLogAtPath(path);
    return path;
}

QStringList lines(const QString& path) {
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
}

} // namespace

// Runs first: in a fresh process the log starts closed.
TEST(MessageLog, RefusesEntriesWhileClosed) {
    if (MessageLog::isOpen())
        GTEST_SKIP() << "an earlier test in this process opened the log";
    {
        FdCapture err(2);
        MessageLog::LogMessage("too early", true);
        const QByteArray text = err.text();
        EXPECT_TRUE(text.contains("Logfile may be closed already?????\n"));
        EXPECT_TRUE(text.contains("NSLog = too early\n"));
    }

    const QString path = freshLog();
    MessageLog::LogMessage("kept");
    MessageLog::CloseLog();
    const QByteArray before = readFile(path);
    FdCapture err(2);
    MessageLog::LogMessage(std::string("after close"));
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(err.text().contains("Logfile may be closed already?????"));
    EXPECT_FALSE(err.text().contains("NSLog ="));
}

TEST(MessageLog, LineFormatAndEcho) {
    // A zone fourteen hours east of UTC without any tz database: shows local time is used.
    const char* oldTz = getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "KVT-14", 1);
    tzset();

    const QString path = freshLog();
    FdCapture err(2);
    const time_t t0 = time(nullptr);
    MessageLog::LogMessage("ibClickedOnQuit\n", true);
    const time_t t1 = time(nullptr);

    if (oldTz)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    const QStringList got = lines(path);
    ASSERT_EQ(got.size(), 3) << readFile(path).constData();
    EXPECT_TRUE(QRegularExpression("^" + kStamp + "ibClickedOnQuit$").match(got[0]).hasMatch())
        << got[0].toStdString();
    EXPECT_EQ(got[1], QString()); // the message's own newline leaves an empty line
    EXPECT_EQ(got[2], QString());

    QStringList expected;
    for (time_t t = t0; t <= t1; ++t) {
        const time_t shifted = t + 14 * 3600;
        struct tm utc {};
        char buf[64] = {};
        gmtime_r(&shifted, &utc);
        asctime_r(&utc, buf);
        expected << QLatin1Char('[') + QString::fromLatin1(buf).trimmed() + QLatin1Char(']');
    }
    EXPECT_TRUE(expected.contains(got[0].left(26)))
        << got[0].toStdString() << " vs " << expected.join(' ').toStdString();

    const QByteArray console = err.text();
    EXPECT_TRUE(console.contains("NSLog = ibClickedOnQuit\n"));
    EXPECT_FALSE(console.contains("==>"));
}

TEST(MessageLog, ReopenEmptiesFileAndLongMessagesStayWhole) {
    const QString path = freshLog();
    MessageLog::LogMessage("from the first launch");
    MessageLog::InitLogAtPath(path);
    EXPECT_TRUE(readFile(path).isEmpty());

    std::string big(100000, 'x');
    big.back() = 'E';
    MessageLog::LogMessage(big);
    const QStringList got = lines(path);
    ASSERT_EQ(got.size(), 2);
    const auto stamp = QRegularExpression("^" + kStamp).match(got[0]);
    ASSERT_TRUE(stamp.hasMatch());
    EXPECT_EQ(got[0].mid(stamp.capturedLength()).toStdString(), big);
}

TEST(MessageLog, DefaultLocationFallsBackToPrivateFolder) {
    const QString missing = kivo::test::makeTempFolder() + "/not-there";
    const QString path = MessageLog::logPathFor(missing);
    const QString folder = QFileInfo(path).absolutePath();
    EXPECT_TRUE(path.endsWith("/.local/state/Kivo/KivoUploaderLog.txt")) << path.toStdString();
    struct stat st {};
    ASSERT_EQ(stat(folder.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    const QString here = kivo::test::makeTempFolder();
    EXPECT_EQ(MessageLog::logPathFor(here), here + "/KivoUploaderLog.txt");
}

TEST(MessageLog, ConcurrentWritersNeverInterleave) {
    const QString path = freshLog();
    constexpr int kThreads = 8, kEach = 200;
    const std::string filler(300, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &filler] {
            for (int i = 0; i < kEach; ++i)
                MessageLog::LogMessage("T" + std::to_string(t) + " " + filler + " " +
                                       std::to_string(i));
        });
    for (auto& th : threads)
        th.join();

    const QRegularExpression whole("^" + kStamp + R"(T\d \.{300} \d+$)");
    const QStringList got = lines(path);
    ASSERT_EQ(got.size(), kThreads * kEach + 1);
    for (int i = 0; i < kThreads * kEach; ++i)
        ASSERT_TRUE(whole.match(got[i]).hasMatch()) << got[i].toStdString();
}

TEST(MessageLog, CloseRacingWritersIsSafe) {
    const QString path = freshLog();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&stop] {
            while (!stop.load())
                MessageLog::LogMessage(std::string("racing entry"));
        });
    {
        // Swallows thousands of refusals; a sanitizer report from a crash here ends up in the
        // capture file under the scratch folder.
        FdCapture err(2);
        for (int i = 0; i < 2000; ++i) {
            MessageLog::CloseLog();
            MessageLog::InitLogAtPath(path);
        }
        MessageLog::CloseLog();
        stop = true;
        for (auto& th : threads)
            th.join();
    }
    const QRegularExpression whole("^" + kStamp + "racing entry$");
    QStringList got = lines(path);
    ASSERT_EQ(got.takeLast(), QString());
    for (const QString& line : got)
        ASSERT_TRUE(whole.match(line).hasMatch()) << line.toStdString();
}
