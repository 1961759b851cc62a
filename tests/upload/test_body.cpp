#include "app/Pipeline.h"
#include "support/TestSupport.h"
#include "upload/MultipartBody.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

class UploadBodyTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = makeTempFolder("body");
        photo = folder + "/IMG_1.jpg";
        writeFile(photo, QByteArray("\xFF\xD8photo\x00"
                                    "bytes\xFF\xD9",
                                    15));
    }

    QVariantMap minimalItem() const {
        return {{kEdUser, "demo"},
                {kEdPasswd, "pw"},
                {kEdEventName, "Gala"},
                {kEdClientName, "Smith"},
                {kEdCaptureTime, "2026-12-05 10:00:00"},
                {kEdMetaData, ""},
                {kEdGlvFuseAction, "upload.upload"},
                {kEdFileName, photo},
                {cDictKeyCurItem, "Smith/IMG_1.jpg"}};
    }

    static QByteArray field(const char* name, const QByteArray& value) {
        return QByteArray("\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"") +
               name + "\"\r\n\r\n" + value;
    }
    static QByteArray filePart(const char* name, const char* file, const char* type,
                               const QByteArray& bytes) {
        return QByteArray("\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"") +
               name + "\"; filename=\"" + file + "\"\r\nContent-Type: " + type + "\r\n\r\n" + bytes;
    }
    static constexpr const char* kClose = "\r\n--0xKhTmLbOuNdArY--\r\n";

    QString folder, photo;
};

TEST_F(UploadBodyTest, MinimalRecordGivesExactlyTheRequiredFieldsThenTheFile) {
    const UploadBody built = buildUploadBody(minimalItem(), false);
    ASSERT_TRUE(built.sendable);
    const QByteArray expected =
        field("username", "demo") + field("password", "pw") + field("event", "Gala") +
        field("client", "Smith") + field("capturetime", "2026-12-05 10:00:00") +
        field("metadata", "") + field("fuseaction", "upload.upload") + field("Submit", "Upload");
    EXPECT_EQ(built.fieldsAndFileHeader,
              expected + filePart("imgfile", "IMG_1.jpg", "image/jpeg", QByteArray()));
    EXPECT_EQ(built.materialize(),
              expected + filePart("imgfile", "IMG_1.jpg", "image/jpeg", readFile(photo)) + kClose);
}

TEST_F(UploadBodyTest, OptionalFieldsInTheirPlacesAndSittingKeysFiltered) {
    QVariantMap item = minimalItem();
    item.insert(kEdEmails, "a@x.example,b@x.example");
    item.insert(kEdOriginalPath, "/Volumes/Cap/IMG%201.CR2");
    item.insert(kEdLarchInfo,
                QVariantMap{{"email", "larch@x.example"}, {"mobile", "555"}, {"other", "no"}});
    item.insert(kEdSittingInfoDictionary, QVariantMap{{"bgloc", "blue"},
                                                      {"firstname", "Ann"},
                                                      {"lastname", "Lee"},
                                                      {"zip", "12345"},
                                                      {"age", "7"},
                                                      {"email", "ann@x.example"},
                                                      {"sittingid", "42"},
                                                      {"imgloc", "never sent"}});
    item.insert(kEdMetaData, "From Alder 2010 Event.");
    const QByteArray expected =
        field("username", "demo") + field("password", "pw") + field("event", "Gala") +
        field("client", "Smith") + field("capturetime", "2026-12-05 10:00:00") +
        field("metadata", "From Alder 2010 Event.") + field("fuseaction", "upload.upload") +
        field("emails", "a@x.example,b@x.example") +
        field("localfilelocation", "/Volumes/Cap/IMG%201.CR2") + field("email", "larch@x.example") +
        field("phone", "555") + field("bglocation", "blue") + field("firstname", "Ann") +
        field("lastname", "Lee") + field("zip", "12345") + field("age", "7") +
        field("email", "ann@x.example") + field("sittingid", "42") + field("Submit", "Upload");
    EXPECT_EQ(buildUploadBody(item, false).fieldsAndFileHeader,
              expected + filePart("imgfile", "IMG_1.jpg", "image/jpeg", QByteArray()));

    // A sitting holding only an id and a location adds just the id.
    item = minimalItem();
    item.insert(kEdSittingInfoDictionary, QVariantMap{{"sittingid", "9"}, {"imgloc", "x"}});
    const QByteArray head = buildUploadBody(item, false).fieldsAndFileHeader;
    EXPECT_TRUE(head.contains(field("fuseaction", "upload.upload") + field("sittingid", "9") +
                              field("Submit", "Upload")));
    EXPECT_FALSE(head.contains("imgloc"));
}

TEST_F(UploadBodyTest, CompanionMovieFollowsThePhotoWhenAsked) {
    writeFile(folder + "/IMG_1.mov", "moviebytes");
    const QVariantMap item = minimalItem();
    const QByteArray withMovie = buildUploadBody(item, true).materialize();
    EXPECT_TRUE(withMovie.endsWith(
        filePart("imgfile", "IMG_1.jpg", "image/jpeg", readFile(photo)) +
        filePart("vidfile", "IMG_1.mov", "video/quicktime", "moviebytes") + kClose));
    EXPECT_FALSE(buildUploadBody(item, false).materialize().contains("vidfile"));
}

TEST_F(UploadBodyTest, AnUnreadablePhotoOrMovieMakesTheBodyUnsendable) {
    QVariantMap item = minimalItem();
    item.insert(kEdFileName, folder + "/gone.jpg");
    UploadBody built = buildUploadBody(item, false);
    EXPECT_FALSE(built.sendable);
    EXPECT_TRUE(built.problem.contains("gone.jpg"));
    EXPECT_FALSE(built.materialize().endsWith("--\r\n"));

    // A movie that exists but cannot be read (a folder in its place).
    QDir().mkpath(folder + "/IMG_1.mov");
    built = buildUploadBody(minimalItem(), true);
    EXPECT_FALSE(built.sendable);
    EXPECT_TRUE(built.problem.contains("IMG_1.mov"));
}

TEST_F(UploadBodyTest, FileNamesAreEscapedAndDelimitersInContentAreRefused) {
    EXPECT_EQ(escapeFormFileName("a\"b\r\nc.jpg"), QByteArray("a%22b%0D%0Ac.jpg"));
    // As in browsers, a percent sign is not escaped: "R%22.jpg" reaches the service as R".jpg.
    EXPECT_EQ(escapeFormFileName("R%22.jpg"), QByteArray("R%22.jpg"));
    EXPECT_EQ(escapeFormFileName(QString::fromUtf8("Zo\u00eb.jpg")),
              QString::fromUtf8("Zo\u00eb.jpg").toUtf8());

    // Any value holding the delimiter: refused, the field named, never a sendable body.
    for (const QString& key : {kEdClientName, kEdMetaData, kEdOriginalPath, kEdEmails}) {
        QVariantMap item = minimalItem();
        item.insert(key, QStringLiteral("x\r\n--0xKhTmLbOuNdArY--\r\n"));
        const UploadBody built = buildUploadBody(item, false);
        EXPECT_EQ(built.outcome, UploadBody::Outcome::Refused) << key.toStdString();
        EXPECT_FALSE(built.sendable);
        EXPECT_FALSE(built.refusedField.isEmpty());
    }
    QVariantMap sitting = minimalItem();
    sitting.insert(kEdSittingInfoDictionary, QVariantMap{{"firstname", "--0xKhTmLbOuNdArY"}});
    EXPECT_EQ(buildUploadBody(sitting, false).refusedField, "firstname");

    // A photo whose bytes hold the delimiter, or start with it right after the part header.
    writeFile(photo, QByteArray("\xFF\xD8 data\r\n--0xKhTmLbOuNdArY more \xFF\xD9"));
    EXPECT_EQ(buildUploadBody(minimalItem(), false).refusedField, "imgfile");
    writeFile(photo, QByteArray("--0xKhTmLbOuNdArY"));
    EXPECT_EQ(buildUploadBody(minimalItem(), false).refusedField, "imgfile");
    // The boundary's text alone, without its leading dashes, is harmless.
    writeFile(photo, QByteArray("\xFF\xD8 0xKhTmLbOuNdArY \xFF\xD9"));
    EXPECT_EQ(buildUploadBody(minimalItem(), false).outcome, UploadBody::Outcome::Sendable);

    // Read in blocks: a delimiter split across any two of them is found, and a near miss at
    // the split is not taken for one.
    const QByteArray delimiter("\r\n--0xKhTmLbOuNdArY");
    for (qsizetype split = 1 << 16; split <= 1 << 20; split <<= 1) {
        for (qsizetype before : {qsizetype(1), delimiter.size() - 1}) {
            QByteArray bytes(split + 64, 'x');
            bytes.replace(split - before, delimiter.size(), delimiter);
            writeFile(photo, bytes);
            EXPECT_EQ(buildUploadBody(minimalItem(), false).refusedField, "imgfile")
                << split << " " << before;
            bytes[split - before + delimiter.size() - 1] = 'x';
            writeFile(photo, bytes);
            EXPECT_EQ(buildUploadBody(minimalItem(), false).outcome, UploadBody::Outcome::Sendable)
                << split << " " << before;
        }
    }
}

TEST_F(UploadBodyTest, TheBytesComeFromTheDescriptorOpenedOnce) {
    UploadFiles files = openUploadFiles(minimalItem(), false);
    ASSERT_TRUE(files.photo.isOpen());
    const QByteArray original = readFile(photo);
    // Replaced under the same name after it was opened: the opened file is what is sent.
    ASSERT_TRUE(QFile::remove(photo));
    writeFile(photo, "a different file");
    const UploadBody built = buildUploadBody(minimalItem(), files);
    ASSERT_TRUE(built.sendable);
    EXPECT_TRUE(built.materialize().contains(original));
    EXPECT_FALSE(files.photo.unchangedAt(photo));

    // A link is never opened, nor a movie that is one.
    const QString link = folder + "/IMG_2.jpg";
    ASSERT_TRUE(QFile::link(photo, link));
    QVariantMap item = minimalItem();
    item.insert(kEdFileName, link);
    EXPECT_EQ(buildUploadBody(item, false).outcome, UploadBody::Outcome::Unreadable);
    ASSERT_TRUE(QFile::link(photo, folder + "/IMG_1.mov"));
    EXPECT_EQ(buildUploadBody(minimalItem(), true).outcome, UploadBody::Outcome::Unreadable);
}

} // namespace
