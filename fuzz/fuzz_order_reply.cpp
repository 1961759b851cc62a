// Whatever an order reply holds, reading it ends with consistent records, no file is ever read
// through an entity, and every location either decodes or is known not to.
#include "files/OriginalSearch.h"
#include "upload/OrderReply.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the grammar ("4": version 4), the rest is the reply.
    const kivo::OrderGrammar grammar =
        data[0] == '4' ? kivo::OrderGrammar::V4 : kivo::OrderGrammar::V3;
    const QByteArray body(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const kivo::OrderReply reply = kivo::parseOrderReply(body, grammar);
    if (reply.outcome == kivo::OrderReply::Outcome::NoReply)
        std::abort();
    if (reply.outcome == kivo::OrderReply::Outcome::NotXml &&
        (!reply.orders.empty() || reply.status || reply.message || reply.problem.isEmpty()))
        std::abort();
    for (const kivo::OrderRecord& order : reply.orders) {
        if (!order.location)
            continue;
        const QString& location = *order.location;
        // An external entity naming /etc/passwd must never bring its content in.
        if (location.contains(QLatin1String("root:x:0:0")))
            std::abort();
        const std::optional<QString> decoded = kivo::decodePercentEscapes(location);
        const bool escapes = location.contains(QLatin1Char('%'));
        if (!decoded && !escapes)
            std::abort();
        if (decoded && !escapes && *decoded != location)
            std::abort();
    }
    return 0;
}
