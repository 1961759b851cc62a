#include "FuzzFile.h"
#include "scan/EmbeddedMetadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kivo::fuzz::InputFile file("png");
    kivo::fuzz::writeInput(file.path, data, size);
    kivo::getKivoMetaDataFromPng(file.path);
    return 0;
}
