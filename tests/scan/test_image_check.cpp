#include "ScanTestFiles.h"
#include "scan/EmbeddedMetadata.h"
#include "scan/ImageCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <atomic>
#include <gtest/gtest.h>
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

} // namespace

TEST(ImageCheck, WholeImagesPassAndDamagedOnesDoNot) {
    const ImageSet set = makeImageSet();
    EXPECT_TRUE(IsValidImageObject(set.jpeg));
    EXPECT_TRUE(IsValidImageObject(set.png)); // with its 2048-byte trailer after the image
    EXPECT_TRUE(IsValidImageObject(set.paddedJpeg));

    EXPECT_FALSE(IsValidImageObject(set.truncatedJpeg));
    EXPECT_FALSE(IsValidImageObject(set.truncatedWithMarker));
    EXPECT_FALSE(IsValidImageObject(set.garbage));
    EXPECT_FALSE(IsValidImageObject(set.text));
    EXPECT_FALSE(IsValidImageObject(QString()));
    EXPECT_FALSE(IsValidImageObject(QFileInfo(set.jpeg).absolutePath()));
    EXPECT_FALSE(IsValidImageObject(set.jpeg + ".missing"));
}

TEST(ImageCheck, TruncatedJpegHasMetadataButIsNotReadyWhileFresh) {
    const ImageSet set = makeImageSet();
    EXPECT_EQ(getKivoMetaDataFromJpeg(set.truncatedJpeg), fixtures::sampleMetadata("Smith", 1));
    EXPECT_FALSE(IsValidImageObject(set.truncatedJpeg));
    EXPECT_FALSE(isFileComplete(set.truncatedJpeg, 2000));

    // A writer that stopped long ago is not waited for any more.
    ASSERT_TRUE(test::setModified(set.truncatedJpeg, QDateTime::currentDateTime().addSecs(-5)));
    EXPECT_TRUE(isFileComplete(set.truncatedJpeg, 2000));
    EXPECT_FALSE(isFileComplete(set.truncatedJpeg, 60000));
}

TEST(ImageCheck, CompletenessOfFreshFiles) {
    const ImageSet set = makeImageSet();
    EXPECT_TRUE(isFileComplete(set.jpeg, 60000));
    EXPECT_TRUE(isFileComplete(set.paddedJpeg, 60000));
    EXPECT_TRUE(isFileComplete(set.truncatedWithMarker, 60000));
    // Only JPEG content is checked; a PNG or any other file is taken as it is.
    EXPECT_TRUE(isFileComplete(set.png, 60000));
    EXPECT_TRUE(isFileComplete(set.text, 60000));
    const QString dir = test::makeTempFolder("complete");
    ASSERT_TRUE(test::writeFile(dir + "/empty.jpg", QByteArray()));
    EXPECT_TRUE(isFileComplete(dir + "/empty.jpg", 60000));
    // JPEG content under another name still counts as a JPEG.
    ASSERT_TRUE(QFile::copy(set.truncatedJpeg, dir + "/renamed.png"));
    EXPECT_FALSE(isFileComplete(dir + "/renamed.png", 60000));
    EXPECT_FALSE(isFileComplete(dir + "/missing.jpg", 0));
}

TEST(ImageCheck, ConcurrentChecksKeepTheirOwnAnswers) {
    const ImageSet set = makeImageSet();
    const std::vector<std::pair<QString, bool>> cases = {
        {set.jpeg, true},           {set.truncatedWithMarker, false}, {set.png, true},
        {set.truncatedJpeg, false}, {set.paddedJpeg, true},           {set.garbage, false},
    };
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
