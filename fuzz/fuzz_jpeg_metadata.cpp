#include "FuzzFile.h"
#include "scan/CaptureDate.h"
#include "scan/EmbeddedMetadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kivo::fuzz::InputFile file("jpg");
    kivo::fuzz::writeInput(file.path, data, size);
    kivo::getKivoMetaDataFromJpeg(file.path);
    kivo::GetInternalPictureCaptureDate(file.path, QStringLiteral("Exif"),
                                        QStringLiteral("DateTimeOriginal"), true);
    return 0;
}
