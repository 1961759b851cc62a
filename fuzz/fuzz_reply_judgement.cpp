// Whatever a service answers, judging it must end, quickly, with a consistent record.
#include "app/Pipeline.h"
#include "upload/HttpController.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    static const long codes[] = {200, 200, 200, 302, 404, 500, 503};
    kivo::HttpResponse reply;
    reply.statusCode = codes[data[0] % (sizeof(codes) / sizeof(codes[0]))];
    if (data[0] & 0x80)
        reply.headers.append(
            qMakePair(QByteArray("Location"), QByteArray("https://elsewhere.example/")));
    reply.body = QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    QVariantMap result;
    kivo::HttpController::recordReply(reply, result);
    const bool failure = kivo::HttpController::isFailure(result);
    // A status word always comes with its message.
    if (result.contains(kivo::kHttpOurCustomStatus) != result.contains(kivo::kHttpOurCustomMessage))
        std::abort();
    // Only a 200 whose first word is none of the failure words can be a success.
    if (!failure && *reply.statusCode != 200)
        std::abort();
    return 0;
}
