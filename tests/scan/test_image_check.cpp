#include "ScanTestFiles.h"
#include "scan/EmbeddedMetadata.h"
#include "scan/ImageCheck.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <atomic>
#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace kivo;
using kivo::fixtures::PhotoSpec;

namespace {

// Large enough that half the file is well inside the compressed picture data.
PhotoSpec noisyPhoto(int seed) {
    PhotoSpec shot;
    shot.size = QSize(320, 240);
    shot.noise = 40;
    shot.seed = seed;
    shot.metadata = fixtures::sampleMetadata("Smith", seed);
    return shot;
}

struct ImageSet {
    QString jpeg, png, paddedJpeg, truncatedJpeg, truncatedWithMarker, garbage, text;
};

ImageSet makeImageSet() {
    const QString dir = test::makeTempFolder("images");
    ImageSet set;
    set.jpeg = test::writeJpegOrFail(dir + "/good.jpg", noisyPhoto(1));
    set.png = test::writePngOrFail(dir + "/good.png", noisyPhoto(2));
    const QByteArray jpeg = test::readFile(set.jpeg);

    set.paddedJpeg = dir + "/padded.jpg";
    test::writeFile(set.paddedJpeg, jpeg + QByteArray(300, '\0') + QByteArray(20, char(0xFF)));
    set.truncatedJpeg = dir + "/truncated.jpg";
    test::writeFile(set.truncatedJpeg, jpeg.left(jpeg.size() / 2));
    // Cut short but ending with an end-of-image marker: only the decoder can tell.
    set.truncatedWithMarker = dir + "/truncated-marker.jpg";
    test::writeFile(set.truncatedWithMarker, jpeg.left(jpeg.size() / 2) + "\xFF\xD9");
    set.garbage = dir + "/garbage.jpg";
    QByteArray noise(20000, '\0');
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) >> 3);
    test::writeFile(set.garbage, "\xFF\xD8\xFF" + noise + "\xFF\xD9");
    set.text = dir + "/notes.png";
    test::writeFile(set.text, "not a picture at all\n");
    return set;
}

// Each file with whether it is a whole image; the PNG has its 2048-byte trailer after the image.
std::vector<std::pair<QString, bool>> validity(const ImageSet& set) {
    return {{set.jpeg, true},
            {set.png, true},
            {set.paddedJpeg, true},
            {set.truncatedJpeg, false},
            {set.truncatedWithMarker, false},
            {set.garbage, false},
            {set.text, false},
            {QString(), false},
            {QFileInfo(set.jpeg).absolutePath(), false},
            {set.jpeg + ".missing", false}};
}

} // namespace

TEST(ImageCheck, WholeImagesPassAndDamagedOnesDoNot) {
    for (const auto& [path, valid] : validity(makeImageSet()))
        EXPECT_EQ(IsValidImageObject(path), valid) << path.toStdString();
}

bool looksComplete(const QString& path) {
    const ItemFile file = ItemFile::open(path);
    return file.isOpen() && jpegLooksComplete(file.fd(), file.identity().size);
}

TEST(ImageCheck, AnEndMarkerOnlyCountsAfterTheImageData) {
    const ImageSet set = makeImageSet();
    EXPECT_TRUE(looksComplete(set.jpeg));
    EXPECT_TRUE(looksComplete(set.paddedJpeg));
    EXPECT_FALSE(looksComplete(set.truncatedJpeg));
    EXPECT_FALSE(looksComplete(set.png));

    // Cut right after the end marker of a thumbnail inside the metadata segment: the segment's
    // length says that much more is still to come.
    const QByteArray jpeg = test::readFile(set.jpeg);
    QByteArray thumbnail = "Exif\0\0" + QByteArray("\xFF\xD8 small picture \xFF\xD9");
    QByteArray app1 = "\xFF\xE1";
    const int length = 2 + int(thumbnail.size()) + 400;
    app1 += char(length >> 8);
    app1 += char(length & 0xFF);
    const QByteArray cut = jpeg.left(2) + app1 + thumbnail;
    const QString dir = test::makeTempFolder("thumb");
    ASSERT_TRUE(test::writeFile(dir + "/cut.jpg", cut));
    EXPECT_FALSE(looksComplete(dir + "/cut.jpg"));
    // The same segment written whole, followed by the picture, is a finished file.
    ASSERT_TRUE(test::writeFile(dir + "/whole.jpg", jpeg.left(2) + app1 + thumbnail +
                                                        QByteArray(400, 'x') + jpeg.mid(2)));
    EXPECT_TRUE(looksComplete(dir + "/whole.jpg"));
}

TEST(ImageCheck, ReadinessWaitsForUnfinishedFilesToSettle) {
    const ImageSet set = makeImageSet();
    EXPECT_EQ(getKivoMetaDataFromJpeg(set.truncatedJpeg), fixtures::sampleMetadata("Smith", 1));
    const ItemReadiness fresh = checkItemReadiness(set.truncatedJpeg);
    EXPECT_EQ(fresh.state, Readiness::Settling);
    EXPECT_GT(fresh.retryInMs, 20000);
    // A pause of a few seconds is no sign of a finished photo; a long silence is.
    ASSERT_TRUE(test::setModified(set.truncatedJpeg, QDateTime::currentDateTime().addSecs(-5)));
    EXPECT_EQ(checkItemReadiness(set.truncatedJpeg).state, Readiness::Settling);
    ASSERT_TRUE(test::setModified(set.truncatedJpeg, QDateTime::currentDateTime().addSecs(-31)));
    EXPECT_EQ(checkItemReadiness(set.truncatedJpeg).state, Readiness::Ready);

    const ItemReadiness whole = checkItemReadiness(set.jpeg);
    EXPECT_EQ(whole.state, Readiness::Ready);
    ASSERT_TRUE(whole.identity);
    EXPECT_EQ(whole.identity->size, QFileInfo(set.jpeg).size());
    EXPECT_EQ(checkItemReadiness(set.png).state, Readiness::Ready);

    const QString dir = test::makeTempFolder("ready");
    ASSERT_TRUE(QFile::link(set.jpeg, dir + "/link.jpg"));
    EXPECT_EQ(checkItemReadiness(dir + "/link.jpg").state, Readiness::Refused);
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + "/pipe.jpg").constData(), 0600), 0);
    EXPECT_EQ(checkItemReadiness(dir + "/pipe.jpg").state, Readiness::Refused);
    EXPECT_EQ(checkItemReadiness(dir + "/missing.jpg").state, Readiness::Gone);
}

TEST(ImageCheck, ConcurrentChecksKeepTheirOwnAnswers) {
    const ImageSet set = makeImageSet();
    const std::vector<std::pair<QString, bool>> cases = validity(set);
    std::atomic<int> wrong{0};
    std::atomic<int> metadataMissing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                for (size_t i = 0; i < cases.size(); ++i) {
                    const auto& [path, valid] = cases[(i + size_t(t)) % cases.size()];
                    if (IsValidImageObject(path) != valid)
                        ++wrong;
                    if (path == set.jpeg && !readEmbeddedMetadata(path))
                        ++metadataMissing;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(metadataMissing.load(), 0);
}

TEST(ImageCheck, ThePreviewIsTheEmbeddedThumbnailElseAScaledDecode) {
    const QString path = test::makeTempFolder("preview") + "/a.jpg";
    PhotoSpec shot;
    shot.size = QSize(1600, 1200);
    test::writeJpegOrFail(path, shot);
    EXPECT_EQ(previewImageOf(path, QSize(640, 640)).size(), QSize(640, 480));

    QImage small(160, 120, QImage::Format_RGB32);
    small.fill(Qt::red);
    QByteArray thumb;
    QBuffer buffer(&thumb);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && small.save(&buffer, "JPEG"));
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    Exiv2::ExifThumb(image->exifData())
        .setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(thumb.constData()),
                          static_cast<long>(thumb.size()));
    image->writeMetadata();
    EXPECT_EQ(previewImageOf(path, QSize(640, 640)).size(), QSize(160, 120));
    EXPECT_TRUE(previewImageOf(path + ".missing", QSize(640, 640)).isNull());
}

TEST(BaseId, CutAtTheFirstUnderscoreElseTheFirstSpace) {
    const std::pair<const char*, const char*> cases[] = {
        {"Smith_0001.jpg", "Smith"},
        {" 12 34.jpg", "12"},
        {"_x.jpg", ""},
        {"plain.jpg", "plain"},
        {"/in/Garcia/Doe 1_2.jpg", "Doe 1"},
        {"/in/Lee .png", "Lee"},
        {"a.b.jpg", "a.b"},
        {"/in/Smith_0001", "Smith"},
        {" x_y .jpg", "x"},
        {"", ""},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(getBaseIDFromFileName(QString::fromUtf8(path)), QString::fromUtf8(expected))
            << path;
}
