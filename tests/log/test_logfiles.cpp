#include "log/QDLogFileManager.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Trash.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using kivo::test::readFile;
using kivo::test::writeFile;

namespace {

constexpr qint64 kDay = 86400;

// A fixed local zone (POSIX rule, no zone database) and an empty Trash for every test.
class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fSavedData = qgetenv("XDG_DATA_HOME");
        setenv("XDG_DATA_HOME", test::makeTempFolder("data").toUtf8().constData(), 1);
        useZone("UTC0");
    }
    void TearDown() override {
        setenv("XDG_DATA_HOME", fSavedData.constData(), 1);
        if (fHadTz)
            setenv("TZ", fSavedTz.constData(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void useZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    QByteArray fSavedData;
    bool fHadTz = getenv("TZ") != nullptr;
    QByteArray fSavedTz = qgetenv("TZ");
};

QDateTime local(int y, int mo, int d, int h, int mi, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

bool setAge(const QString& path, qint64 seconds) {
    const struct timespec t = {time(nullptr) - seconds, 0};
    const struct timespec times[2] = {t, t};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) ==
           0;
}

QString oldFile(const QString& path, qint64 ageSeconds) {
    QDir().mkpath(QFileInfo(path).path());
    EXPECT_TRUE(writeFile(path, "x")) << path.toStdString();
    EXPECT_TRUE(setAge(path, ageSeconds)) << path.toStdString();
    return path;
}

int modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QString commandOutput(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The texts of a log file, with the console prefix (stamp, process and thread) taken off.
QStringList messagesIn(const QString& path) {
    static const QRegularExpression prefix(
        QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+:\d+\] )"));
    QStringList out;
    for (QString line : QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts))
        out << line.remove(prefix);
    return out;
}

QStringList trashedNames() {
    return QDir(userTrashFolder() + "/files").entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

} // namespace

TEST_F(LogFiles, DayRunsFromThreeToThreeByElapsedTimeAndStampsCountWeekYears) {
    EXPECT_EQ(QDLogFileManager::logFileNameFor(local(2011, 1, 1, 2, 59, 59)).toStdString(),
              "KivoUploader_2010_12_31.log");
    EXPECT_EQ(QDLogFileManager::logFileNameFor(local(2011, 1, 1, 3, 0)).toStdString(),
              "KivoUploader_2011_01_01.log");
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, local(2010, 3, 1, 0, 30)).toStdString(),
              "2010_02_28");
    EXPECT_EQ(computeCurrentDaysFolderString2(0, 0, local(2010, 3, 22, 23, 59)).toStdString(),
              "2010_03_22");
    EXPECT_EQ(computeCurrentDaysFolderString2(-21, 0, local(2010, 3, 22, 3, 0)).toStdString(),
              "2010_03_23");

    // At 03:30 on the morning clocks jump from 02:00 to 03:00, only two wall-clock hours have
    // passed since midnight: three hours back is still the previous day.
    useZone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, utc(2010, 3, 28, 1, 30)).toStdString(),
              "2010_03_27");

    // Debug stamps count years by weeks: 1 January 2010 belongs to the last week of 2009, 31
    // December 2008 to the first of 2009.
    useZone("UTC0");
    EXPECT_EQ(QDLogFileManager::logDateString(utc(2010, 1, 1, 0, 0, 0, 7)).toStdString(),
              "[2009/01/01 00:00:00.007 +0000]");
    useZone("IST-5:30");
    EXPECT_EQ(QDLogFileManager::logDateString(utc(2008, 12, 30, 20, 0)).toStdString(),
              "[2009/12/31 01:30:00.000 +0530]");
}

// The redirect changes the process's standard error for good, so it runs in forked children.
TEST_F(LogFiles, SetupAppendsStandardErrorToTheDaysFileAfterAHeader) {
    const QString folder = test::makeTempFolder("state") + "/private/Kivo";
    const QString expected = folder + "/KivoUploader_2011_01_01.log";
    const auto runChild = [&](const char* probe) {
        EXPECT_EXIT(
            {
                keepEarlyConsoleLines(); // nothing from the test program itself
                QDLogFileManager::setupLogFileIn(folder, local(2011, 1, 1, 3, 0));
                consoleLine(QString::fromLatin1(probe));
                QDLogFileManager::debug(QStringLiteral("debug text"));
                fputs("raw write\n", stderr);
                fflush(stderr);
                _exit(QDLogFileManager::hasLogFile() && QDLogFileManager::logFilePath() == expected
                          ? 0
                          : 3);
            },
            ::testing::ExitedWithCode(0), "");
    };
    runChild("first run");
    runChild("second run");

    ASSERT_TRUE(QFileInfo(expected).isFile());
    EXPECT_EQ(modeOf(expected), 0600);
    EXPECT_EQ(modeOf(folder), 0700);
    EXPECT_EQ(modeOf(QFileInfo(folder).path()), 0700);

    const QString rule(59, '=');
    const QString version =
        bundle::infoValue(QStringLiteral("CFBundleShortVersionString")).toString();
    ASSERT_FALSE(version.isEmpty());
    const QStringList msgs = messagesIn(expected);
    ASSERT_EQ(msgs.size(), 16) << msgs.join('\n').toStdString();
    for (int run = 0; run < 2; ++run) {
        const QStringList part = msgs.mid(run * 8, 8);
        EXPECT_EQ(part[0], rule);
        EXPECT_TRUE(part[1].endsWith(" (" + commandOutput("uname", {"-m"}) + ")"))
            << part[1].toStdString();
        EXPECT_EQ(part[2], "OS: v" + commandOutput("uname", {"-r"}));
        EXPECT_EQ(part[3], "KivoUploader => " + version);
        EXPECT_EQ(part[4], rule);
        EXPECT_EQ(part[5], QString::fromLatin1(run == 0 ? "first run" : "second run"));
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral(R"(^D \[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} )"
                                              R"([+-]\d{4}\] debug text$)"))
                .match(part[6])
                .hasMatch())
            << part[6].toStdString();
        EXPECT_EQ(part[7], QStringLiteral("raw write"));
    }

    // A folder that cannot be made leaves standard error alone and writes no header.
    const QString blocker = test::makeTempFolder("state") + "/file";
    ASSERT_TRUE(writeFile(blocker, "not a folder"));
    EXPECT_EXIT(
        {
            int code = 0;
            {
                test::FdCapture err;
                QDLogFileManager::setupLogFileIn(blocker + "/Kivo", local(2011, 1, 1, 3, 0));
                QDLogFileManager::debug(QStringLiteral("debug text"));
                const QByteArray text = err.text();
                if (!text.contains("createDirectoryAtPath returned error: "))
                    code |= 1;
                if (text.contains("=====") || text.contains("debug text"))
                    code |= 2;
            }
            if (QDLogFileManager::hasLogFile())
                code |= 4;
            _exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(LogFiles, LinesWrittenBeforeTheSetUpFollowTheHeaderOnce) {
    const QString folder = test::makeTempFolder("state") + "/Kivo";
    // They reach the standard error of their time as well.
    EXPECT_EXIT(
        {
            keepEarlyConsoleLines();
            consoleLine(QStringLiteral("Settings file [x] is not readable"));
            consoleLine(QStringLiteral("early too"));
            QDLogFileManager::setupLogFileIn(folder, local(2011, 1, 1, 3, 0));
            consoleLine(QStringLiteral("after"));
            QDLogFileManager::setupLogFileIn(folder, local(2011, 1, 1, 3, 0));
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "Settings file \\[x\\] is not readable");

    const QStringList msgs = messagesIn(folder + "/KivoUploader_2011_01_01.log");
    ASSERT_EQ(msgs.size(), 14) << msgs.join('\n').toStdString();
    EXPECT_EQ(msgs.mid(5, 4),
              QStringList({"Console lines written before this log file was set up:",
                           "Settings file [x] is not readable", "early too", "after"}));
    // The second set-up has nothing left to add.
    EXPECT_EQ(msgs.last(), QString(59, '='));
}

TEST_F(LogFiles, StartUpCleanUpTrashesOldLogsAndDeletesOldConsoleCaptures) {
    const QString logs = test::makeTempFolder("logs");
    const QString docs = test::makeTempFolder("docs");
    const qint64 old = 15 * kDay;
    const qint64 recent = 13 * kDay;
    const QString trashed[] = {oldFile(logs + "/KivoUploader_2010_03_01.log", old),
                               oldFile(logs + "/kivouploader_2010_03_02.log", old),
                               oldFile(logs + "/sub/deeper/KivoUploader_2010_02_01.log", old)};
    const QString kept[] = {oldFile(logs + "/KivoUploader_2010_03_03.log", recent),
                            oldFile(logs + "/Old_KivoUploader.log", old),
                            oldFile(docs + "/sub/myConsole.log", old),
                            oldFile(docs + "/KivoUploader_2010_03_01.log", old)};
    const QString deleted[] = {oldFile(docs + "/myConsole.log", old),
                               oldFile(docs + "/MYCONSOLE.txt", old)};
    // A folder is never removed, whatever its name and age.
    ASSERT_TRUE(QDir().mkpath(logs + "/KivoUploader_folder"));
    ASSERT_TRUE(setAge(logs + "/KivoUploader_folder", old));

    int asked = 0;
    test::FdCapture err;
    QDLogFileManager::deleteOldLogsIn(logs, docs, QDateTime::currentDateTime(), [&] {
        ++asked;
        return 14;
    });
    const QByteArray console = err.text();

    EXPECT_EQ(asked, 2);
    for (const QString& p : trashed)
        EXPECT_FALSE(QFileInfo::exists(p)) << p.toStdString();
    for (const QString& p : kept)
        EXPECT_TRUE(QFileInfo::exists(p)) << p.toStdString();
    for (const QString& p : deleted)
        EXPECT_FALSE(QFileInfo::exists(p)) << p.toStdString();
    EXPECT_TRUE(QFileInfo(logs + "/KivoUploader_folder").isDir());

    QStringList names = trashedNames();
    names.sort();
    EXPECT_EQ(names, QStringList({"KivoUploader_2010_02_01.log", "KivoUploader_2010_03_01.log",
                                  "kivouploader_2010_03_02.log"}));
    EXPECT_TRUE(console.contains("Item Moved To Trash: [KivoUploader_2010_03_01.log]"));
    EXPECT_TRUE(console.contains("Item DELETED: [myConsole.log]"));
}

TEST_F(LogFiles, OptionsDefaultToThreeDaysAndTheApplicationNameAndExpandTheHomeFolder) {
    const QString rel = "logs-" + QUuid::createUuid().toString(QUuid::Id128);
    const QString dir = bundle::homeFolder() + "/" + rel;
    const QString gone = oldFile(dir + "/KivoUploader_a.log", 4 * kDay);
    const QString young = oldFile(dir + "/KivoUploader_b.log", 2 * kDay);
    const QString nested = oldFile(dir + "/sub/KivoUploader_c.log", 4 * kDay);
    const QString other = oldFile(dir + "/notes.txt", 400 * kDay);

    QDLogFileManager::deleteOldLogsWithOptions(
        {{kSourcePath, "~/" + rel}, {kDeleteImmediately, true}});
    EXPECT_FALSE(QFileInfo::exists(gone));
    EXPECT_TRUE(QFileInfo::exists(young));
    EXPECT_TRUE(QFileInfo::exists(nested));
    EXPECT_TRUE(QFileInfo::exists(other));
    EXPECT_TRUE(trashedNames().isEmpty());

    // An empty prefix would match everything: nothing is removed.
    test::FdCapture err;
    QDLogFileManager::deleteOldLogsWithOptions(
        {{kSourcePath, dir}, {kBaseName, QString()}, {kDeleteImmediately, true}});
    EXPECT_TRUE(QFileInfo::exists(other));
    EXPECT_TRUE(err.text().contains("no base name"));
}

TEST_F(LogFiles, ItemAgeFollowsLinksAndIgnoresZeroCreationDates) {
    const QString dir = test::makeTempFolder("age");
    const QString file = oldFile(dir + "/old.log", 10 * kDay);
    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_TRUE(itemIsEarlierThan(file, now.addSecs(-9 * kDay)));
    EXPECT_FALSE(itemIsEarlierThan(file, now.addSecs(-11 * kDay)));
    // A new link to an old file is as old as the file.
    ASSERT_EQ(::symlink("old.log", QFile::encodeName(dir + "/link.log").constData()), 0);
    EXPECT_TRUE(itemIsEarlierThan(dir + "/link.log", now.addSecs(-9 * kDay)));
    EXPECT_FALSE(itemIsEarlierThan(dir + "/missing.log", now));

    const QDateTime modified = utc(2010, 3, 1, 12, 0);
    EXPECT_EQ(itemDateFrom(utc(1970, 1, 1, 0, 0), modified), modified);
    EXPECT_EQ(itemDateFrom(utc(1904, 1, 1, 0, 0), modified), modified);
    EXPECT_EQ(itemDateFrom(utc(2010, 2, 1, 0, 0), modified), utc(2010, 2, 1, 0, 0));
}
