#include "ScanTestFiles.h"
#include "scan/CaptureDate.h"
#include "scan/EmbeddedMetadata.h"
#include "scan/ImageCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kivo;
using kivo::fixtures::PhotoSpec;

namespace {

PhotoSpec withMetadata(const QString& client = QStringLiteral("Smith"), int number = 1) {
    PhotoSpec shot;
    shot.metadata = fixtures::sampleMetadata(client, number);
    shot.seed = number;
    return shot;
}

PhotoSpec withRaw(const QByteArray& raw) {
    PhotoSpec shot;
    shot.rawComment = raw;
    return shot;
}

// A trailer of exactly 2048 bytes: text, then padding.
QByteArray trailer(const QByteArray& text, char pad = ' ') {
    return text + QByteArray(kKivoPngMetaDataLength - text.size(), pad);
}

const QByteArray kArrayPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
    "<string>a@mail.example</string></array></plist>\n";
const QByteArray kStringPlist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                "version=\"1.0\"><string>x</string></plist>\n";
const QByteArray kEntityPlist =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY v \"1.0\">]>\n<plist version=\"1.0\"><dict>"
    "<key>Version</key><string>&v;</string></dict></plist>\n";
const QByteArray kExternalEntityPlist =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY v SYSTEM \"file:///etc/hostname\">]>\n"
    "<plist version=\"1.0\"><dict><key>Version</key><string>&v;</string></dict></plist>\n";

} // namespace

TEST(PngTrailer, IsTheLast2048BytesOfAFileLongerThanThat) {
    const QString dir = test::makeTempFolder("png");
    const QByteArray text = fixtures::metadataPlist(fixtures::sampleMetadata("Smith", 1));

    test::FdCapture err;
    const QString exact = dir + "/exact.png";
    ASSERT_TRUE(test::writeFile(exact, trailer(text)));
    EXPECT_FALSE(getKivoMetaDataFromPng(exact));
    EXPECT_TRUE(err.text().contains("getKivoMetaDataFromPng => File Length is smaller than "
                                    "kKivoPngMetaDataLength = [2048]?????"));

    // The first byte is not UTF-8: the reader must start at the second one.
    const QString oneMore = dir + "/one-more.png";
    ASSERT_TRUE(test::writeFile(oneMore, QByteArray(1, char(0xFF)) + trailer(text)));
    const auto dict = getKivoMetaDataFromPng(oneMore);
    ASSERT_TRUE(dict);
    EXPECT_EQ(*dict, fixtures::sampleMetadata("Smith", 1));
}

TEST(PngTrailer, ExtensionMustBePngInAnyCase) {
    const QString dir = test::makeTempFolder("png");
    const QString upper = test::writePngOrFail(dir + "/photo.PNG", withMetadata());
    ASSERT_TRUE(QFile::copy(upper, dir + "/photo.png.tmp"));
    ASSERT_TRUE(QFile::copy(upper, dir + "/photo.jpg"));

    EXPECT_EQ(getKivoMetaDataFromPng(upper), fixtures::sampleMetadata("Smith", 1));
    test::FdCapture err;
    EXPECT_FALSE(getKivoMetaDataFromPng(dir + "/photo.png.tmp"));
    EXPECT_FALSE(getKivoMetaDataFromPng(dir + "/photo.jpg"));
    EXPECT_TRUE(err.text().contains(
        QStringLiteral("getKivoMetaDataFromPng found that [%1] is NOT a png file...")
            .arg(dir + "/photo.png.tmp")
            .toUtf8()));
}

TEST(PngTrailer, PaddingAroundThePropertyListIsTolerated) {
    const QString dir = test::makeTempFolder("png");
    const QVariantMap expected = fixtures::sampleMetadata("Garcia", 2);
    const QByteArray text = fixtures::metadataPlist(expected);
    int n = 0;
    for (const char pad : {' ', '\0', '\n'}) {
        const QString path = dir + QStringLiteral("/pad%1.png").arg(n++);
        test::writePngOrFail(path, withMetadata("Garcia", 2), pad);
        EXPECT_EQ(getKivoMetaDataFromPng(path), expected) << "pad byte " << int(pad);
    }
    // Padding before the text as well.
    PhotoSpec leading = withRaw(QByteArray(40, '\0') + "\n  " + text);
    test::writePngOrFail(dir + "/leading.png", leading, '\n');
    EXPECT_EQ(getKivoMetaDataFromPng(dir + "/leading.png"), expected);
}

TEST(PngTrailer, DamagedImageDataBeforeAValidTrailerIsStillRead) {
    const QString dir = test::makeTempFolder("png");
    const QString path = test::writePngOrFail(dir + "/damaged.png", withMetadata());
    QByteArray bytes = test::readFile(path);
    ASSERT_GT(bytes.size(), kKivoPngMetaDataLength + 64);
    for (qsizetype i = 8; i < bytes.size() - kKivoPngMetaDataLength; ++i)
        bytes[i] = char(i * 31);
    ASSERT_TRUE(test::writeFile(path, bytes));
    EXPECT_EQ(getKivoMetaDataFromPng(path), fixtures::sampleMetadata("Smith", 1));
}

TEST(PngTrailer, TrailerThatIsNotUtf8GivesNothing) {
    const QString dir = test::makeTempFolder("png");
    QByteArray text = fixtures::metadataPlist(fixtures::sampleMetadata("Smith", 1));
    // A Latin-1 byte inside a string value.
    QByteArray latin1 = text;
    latin1.replace("Studio A", "Studio \xC4");
    test::writePngOrFail(dir + "/latin1.png", withRaw(latin1));
    EXPECT_FALSE(getKivoMetaDataFromPng(dir + "/latin1.png"));

    // A sequence cut off by the end of the file.
    QByteArray cut = trailer(text);
    cut[cut.size() - 1] = char(0xE2);
    ASSERT_TRUE(test::writeFile(dir + "/cut.png", "PNGDATA" + cut));
    EXPECT_FALSE(getKivoMetaDataFromPng(dir + "/cut.png"));

    // The same file with a complete character at the end is read: only the encoding failed.
    cut.chop(1);
    cut.append(' ');
    ASSERT_TRUE(test::writeFile(dir + "/whole.png", "PNGDATA" + cut));
    EXPECT_TRUE(getKivoMetaDataFromPng(dir + "/whole.png"));
}

TEST(EmbeddedPropertyList, OnlyADictionaryRootCountsAndOtherTextGivesNothing) {
    const QString dir = test::makeTempFolder("roots");
    test::writeJpegOrFail(dir + "/array.jpg", withRaw(kArrayPlist));
    test::writePngOrFail(dir + "/string.png", withRaw(kStringPlist));
    test::writeJpegOrFail(dir + "/dict.jpg", withMetadata());
    test::writeJpegOrFail(dir + "/plain.jpg", withRaw("Happy birthday, Grandma!"));

    EXPECT_FALSE(getKivoMetaDataFromJpeg(dir + "/array.jpg"));
    EXPECT_FALSE(getKivoMetaDataFromPng(dir + "/string.png"));
    EXPECT_EQ(getKivoMetaDataFromJpeg(dir + "/dict.jpg"), fixtures::sampleMetadata("Smith", 1));
    test::FdCapture err;
    EXPECT_FALSE(getKivoMetaDataFromJpeg(dir + "/plain.jpg"));
    EXPECT_TRUE(err.text().contains("CANNOT create userdata to plistObj"));
    test::writeJpegOrFail(dir + "/none.jpg", PhotoSpec{});
    EXPECT_FALSE(getKivoMetaDataFromJpeg(dir + "/none.jpg"));
    EXPECT_TRUE(err.text().contains("could NOT Find"));
}

TEST(EmbeddedPropertyList, EntitiesAreNeverExpanded) {
    const QString dir = test::makeTempFolder("entity");
    for (const QByteArray& text : {kEntityPlist, kExternalEntityPlist}) {
        test::writeJpegOrFail(dir + "/e.jpg", withRaw(text));
        test::writePngOrFail(dir + "/e.png", withRaw(text));
        EXPECT_FALSE(getKivoMetaDataFromJpeg(dir + "/e.jpg")) << text.toStdString();
        EXPECT_FALSE(getKivoMetaDataFromPng(dir + "/e.png")) << text.toStdString();
    }
}

TEST(JpegComment, Ucs2CommentIsDecoded) {
    const QString dir = test::makeTempFolder("ucs2");
    PhotoSpec shot = withMetadata();
    QVariantMap sitting = shot.metadata.value("SittingInfoDictionary").toMap();
    sitting.insert("firstname", QStringLiteral("Zoë"));
    sitting.insert("lastname", QStringLiteral("高橋"));
    shot.metadata.insert("SittingInfoDictionary", sitting);
    shot.unicodeComment = true;
    const QString path = test::writeJpegOrFail(dir + "/ucs2.jpg", shot);

    // The file really holds UCS-2, not the UTF-8 text.
    const QByteArray bytes = test::readFile(path);
    EXPECT_TRUE(bytes.contains(QByteArray("UNICODE\0<\0?\0x\0m\0l\0", 18)));
    EXPECT_FALSE(bytes.contains("<plist"));

    EXPECT_EQ(getKivoMetaDataFromJpeg(path), shot.metadata);
}

TEST(EmbeddedMetadata, FilesThatCannotBeReadGiveNothing) {
    const QString dir = test::makeTempFolder("unreadable");
    ASSERT_TRUE(test::writeFile(dir + "/empty.jpg", QByteArray()));
    ASSERT_TRUE(test::writeFile(dir + "/empty.png", QByteArray()));
    ASSERT_TRUE(test::writeFile(dir + "/movie.mov", QByteArray(5000, 'm')));
    ASSERT_TRUE(QDir().mkpath(dir + "/folder.png"));

    test::FdCapture err;
    for (const char* name :
         {"empty.jpg", "empty.png", "missing.jpg", "missing.png", "movie.mov", "folder.png"}) {
        const QString path = dir + "/" + name;
        EXPECT_FALSE(getKivoMetaDataFromJpeg(path)) << name;
        EXPECT_FALSE(getKivoMetaDataFromPng(path)) << name;
        EXPECT_FALSE(readEmbeddedMetadata(path)) << name;
    }
    EXPECT_TRUE(err.text().contains(
        QStringLiteral("cannot open filename [%1]").arg(dir + "/missing.jpg").toUtf8()));
}

TEST(EmbeddedMetadata, PngTrailerIsPreferredOverTheJpegComment) {
    // A JPEG carrying a comment, with a PNG-style trailer appended after its end.
    const QString dir = test::makeTempFolder("order");
    const QString jpeg = test::writeJpegOrFail(dir + "/both.jpg", withMetadata("Smith", 1));
    const QByteArray tail = trailer(fixtures::metadataPlist(fixtures::sampleMetadata("Novak", 9)));
    ASSERT_TRUE(test::writeFile(jpeg, test::readFile(jpeg) + tail));
    ASSERT_TRUE(QFile::copy(jpeg, dir + "/both.png"));

    EXPECT_EQ(readEmbeddedMetadata(dir + "/both.png"), fixtures::sampleMetadata("Novak", 9));
    EXPECT_EQ(readEmbeddedMetadata(dir + "/both.jpg"), fixtures::sampleMetadata("Smith", 1));
    // A plain PNG without a trailer falls through to nothing.
    test::writePngOrFail(dir + "/plain.png", PhotoSpec{});
    EXPECT_FALSE(readEmbeddedMetadata(dir + "/plain.png"));
}

TEST(EmbeddedMetadata, NonAsciiPathsAreRead) {
    const QString dir = test::makeTempFolder("paths") + QStringLiteral("/Ümlaut Café");
    const QString jpeg = test::writeJpegOrFail(dir + QStringLiteral("/フォト.jpg"), withMetadata());
    const QString png = test::writePngOrFail(dir + QStringLiteral("/フォト.png"), withMetadata());
    EXPECT_EQ(readEmbeddedMetadata(jpeg), fixtures::sampleMetadata("Smith", 1));
    EXPECT_EQ(readEmbeddedMetadata(png), fixtures::sampleMetadata("Smith", 1));
    EXPECT_TRUE(IsValidImageObject(jpeg));
    EXPECT_TRUE(IsValidImageObject(png));
}

TEST(EmbeddedMetadata, ReadingNeverChangesTheFile) {
    const QString dir = test::makeTempFolder("untouched");
    PhotoSpec shot = withMetadata();
    shot.dateTimeOriginal = QStringLiteral("2010:09:12 14:03:27");
    const QStringList paths = {test::writeJpegOrFail(dir + "/a.jpg", shot),
                               test::writePngOrFail(dir + "/b.png", shot)};
    const QDateTime past = QDateTime::currentDateTimeUtc().addDays(-3);
    for (const QString& path : paths) {
        ASSERT_TRUE(test::setModified(path, past));
        struct stat before {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
        const QByteArray bytes = test::readFile(path);

        EXPECT_TRUE(readEmbeddedMetadata(path));
        getKivoMetaDataFromJpeg(path);
        EXPECT_TRUE(GetAndUpdateFileCreationDate(path, true, false));
        EXPECT_TRUE(IsValidImageObject(path));

        struct stat after {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
        EXPECT_EQ(test::readFile(path), bytes) << path.toStdString();
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
        EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    }
}
