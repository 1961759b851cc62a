#include "ScanTestFiles.h"
#include "scan/CaptureDate.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

using namespace kivo;
using kivo::fixtures::PhotoSpec;

namespace {

// Runs a test in a fixed local zone (POSIX TZ rule, no zone database needed) and restores the
// previous zone afterwards.
class LocalZone : public ::testing::Test {
protected:
    void TearDown() override {
        if (fHadTz)
            setenv("TZ", fSavedTz.constData(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    void useZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool fHadTz = getenv("TZ") != nullptr;
    QByteArray fSavedTz = qgetenv("TZ");
};

QDateTime utc(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

QString photoWithDate(const QString& dir, const QString& name, const std::optional<QString>& date) {
    PhotoSpec shot;
    shot.dateTimeOriginal = date;
    shot.metadata = fixtures::sampleMetadata("Smith", 1);
    return test::writeJpegOrFail(dir + "/" + name, shot);
}

// What the file system says, read independently of the code under test.
QDateTime fileDate(const QString& path) {
    const QFileInfo info(path);
    return info.birthTime().isValid() ? info.birthTime() : info.lastModified();
}

} // namespace

TEST_F(LocalZone, ExifDateIsReadWithTheOffsetInForceNow) {
    const QString dir = test::makeTempFolder("date");
    const QString path = photoWithDate(dir, "a.jpg", QStringLiteral("2010:09:12 14:03:27"));

    useZone("PDT+7");
    auto taken = GetAndUpdateFileCreationDate(path, true, false);
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, utc(2010, 9, 12, 21, 3, 27));
    EXPECT_EQ(taken->toLocalTime().toString("yyyy-MM-dd HH:mm:ss"), "2010-09-12 14:03:27");

    // Read while the zone stands at -0800: the same text is an hour later as an instant.
    useZone("PST+8");
    taken = GetInternalPictureCaptureDate(path, "Exif", "DateTimeOriginal", true);
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, utc(2010, 9, 12, 22, 3, 27));
}

TEST_F(LocalZone, DateTextsThatDoNotParseGiveNothing) {
    useZone("CET-1");
    EXPECT_EQ(detail::parseExifDateText("2010:09:12 14:03:27"), utc(2010, 9, 12, 13, 3, 27));
    // Only the date part has its colons replaced; a date already written with dashes is fine.
    EXPECT_EQ(detail::parseExifDateText("2010-09-12 14:03:27"), utc(2010, 9, 12, 13, 3, 27));
    for (const char* bad :
         {"2010:09:12T14:03:27", "2010:09:12", " 2010:09:12 14:03:27", "2010:09:12  14:03:27",
          "2010:13:12 14:03:27", "2010:09:12 14-03-27", "0000:00:00 00:00:00", ""})
        EXPECT_FALSE(detail::parseExifDateText(bad)) << bad;
}

TEST(CaptureDate, UnusableExifFallsBackToTheFileDate) {
    const QString dir = test::makeTempFolder("date");
    PhotoSpec plain;
    const QString png = test::writePngOrFail(dir + "/p.png", plain);
    const QString noExif = test::writeJpegOrFail(dir + "/n.jpg", plain);
    const QString noDate = photoWithDate(dir, "c.jpg", std::nullopt);
    const QString noSpace = photoWithDate(dir, "s.jpg", QStringLiteral("2010:09:12T14:03:27"));
    const QString dated = photoWithDate(dir, "d.jpg", QStringLiteral("2010:09:12 14:03:27"));
    const QDateTime old = utc(2001, 2, 3, 4, 5, 6);

    test::FdCapture err;
    for (const QString& path : {png, noExif, noDate, noSpace, dated}) {
        ASSERT_TRUE(test::setModified(path, old));
        const bool exifUsable = path == dated;
        const auto withExif = GetAndUpdateFileCreationDate(path, true, false);
        ASSERT_TRUE(withExif) << path.toStdString();
        if (exifUsable)
            EXPECT_EQ(withExif->date(), QDate(2010, 9, 12));
        else
            EXPECT_EQ(*withExif, fileDate(path)) << path.toStdString();
        // Without the image date the EXIF date is ignored.
        EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, false), fileDate(path));
    }
    const QByteArray log = err.text();
    EXPECT_TRUE(log.contains("There is NO MetaData in this Image File"));
    EXPECT_TRUE(log.contains("This File may NOT have a valid date/time field"));

    EXPECT_FALSE(GetInternalPictureCaptureDate(noSpace, "Exif", "DateTimeOriginal", true));
    EXPECT_FALSE(GetInternalPictureCaptureDate(dated, "GPS", "GPSDateStamp", true));
    EXPECT_TRUE(err.text().contains("This Image File Does NOT have any GPS Properties MetaData"));
}

TEST(CaptureDate, FileDateFollowsSymbolicLinksAndAMissingFileHasNone) {
    const QString dir = test::makeTempFolder("date");
    const QString target = test::writePngOrFail(dir + "/t.png", PhotoSpec{});
    ASSERT_TRUE(test::setModified(target, utc(2003, 1, 1, 0, 0, 0)));
    ASSERT_TRUE(QFile::link(target, dir + "/link.png"));
    EXPECT_EQ(GetAndUpdateFileCreationDate(dir + "/link.png", true, false), fileDate(target));
    ASSERT_TRUE(QFile::link(dir + "/nothing.png", dir + "/dangling.png"));
    EXPECT_FALSE(GetAndUpdateFileCreationDate(dir + "/dangling.png", false, false));
    EXPECT_FALSE(GetAndUpdateFileCreationDate(dir + "/nothing.png", true, false));
    EXPECT_FALSE(GetAndUpdateFileCreationDate(QString(), true, false));
}

// Linux cannot set a birth time, so the choice between the two dates is checked directly.
TEST(CaptureDate, ZeroCreationDatesAreReplacedByTheModificationDate) {
    const QDateTime modified = utc(2020, 5, 6, 7, 8, 9);
    const QDateTime created = utc(2019, 1, 2, 3, 4, 5);
    const QDateTime mac0 = QDateTime(QDate(1904, 1, 1), QTime(0, 0), Qt::OffsetFromUTC, 0);
    const QDateTime unix0 = QDateTime::fromSecsSinceEpoch(0);

    EXPECT_EQ(detail::pickFileDate(created, modified), created);
    EXPECT_EQ(detail::pickFileDate(mac0, modified), modified);
    EXPECT_EQ(detail::pickFileDate(unix0, modified), modified);
    // Exact instants only: one second later is a real date.
    EXPECT_EQ(detail::pickFileDate(unix0.addSecs(1), modified), unix0.addSecs(1));
    EXPECT_EQ(detail::pickFileDate(mac0.addMSecs(-1000), modified), mac0.addMSecs(-1000));
    // No creation date recorded: the file still gets a date.
    EXPECT_EQ(detail::pickFileDate(std::nullopt, modified), modified);
    EXPECT_FALSE(detail::pickFileDate(unix0, std::nullopt));
    EXPECT_FALSE(detail::pickFileDate(std::nullopt, std::nullopt));
}
