// Writes a few small photos to start the fuzzers from: <folder>/jpeg and <folder>/png.
#include "fixtures/Fixtures.h"

#include <QCoreApplication>
#include <cstdio>

using namespace kivo::fixtures;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    PhotoSpec plain;
    plain.size = QSize(16, 12);
    PhotoSpec ascii = plain;
    ascii.metadata = sampleMetadata(QStringLiteral("Smith"), 1, 1);
    ascii.dateTimeOriginal = QStringLiteral("2010:09:12 14:03:27");
    PhotoSpec unicode = ascii;
    unicode.unicodeComment = true;
    unicode.metadata.insert(QStringLiteral("Version"), QStringLiteral("1.0 Zoë 高橋"));
    PhotoSpec array = plain;
    array.rawComment = QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
                                  "<integer>1</integer><real>2.5</real><true/><date>"
                                  "2010-09-12T14:03:27Z</date><data>AAEC</data></array></plist>");
    PhotoSpec text = plain;
    text.rawComment = QByteArray("just a comment");

    bool ok = writeJpeg(folder + "/jpeg/ascii.jpg", ascii) &&
              writeJpeg(folder + "/jpeg/unicode.jpg", unicode) &&
              writeJpeg(folder + "/jpeg/array.jpg", array) &&
              writeJpeg(folder + "/jpeg/text.jpg", text) &&
              writeJpeg(folder + "/jpeg/plain.jpg", plain);
    ok = ok && writePng(folder + "/png/space.png", ascii) &&
         writePng(folder + "/png/nul.png", ascii, '\0') &&
         writePng(folder + "/png/array.png", array) && writePng(folder + "/png/plain.png", plain);
    if (!ok) {
        std::fprintf(stderr, "fuzz_make_seeds: cannot write the seeds\n");
        return 1;
    }
    return 0;
}
