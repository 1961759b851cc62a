#pragma once
// The service's answer to an order query, read into typed records. Pure: no I/O, no settings.
#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace kivo {

// One order element. Each value is present only when its element is, with the element's text.
struct OrderRecord {
    std::optional<QString> location; // percent escapes not decoded
    std::optional<QString> orderId;
    std::optional<QString> imageId;
    std::optional<QString> pictureId;
};

enum class OrderGrammar {
    V3, // one "order" element per order
    V4, // one "image" element per order
};

// Version 4 exactly for the query fuse action "orders.v4check" in any case.
OrderGrammar orderGrammarFor(const QString& queryFuseAction);

struct OrderReply {
    enum class Outcome {
        Parsed,
        NoReply, // no bytes came back
        NotXml,  // not a document, or beyond the bounds of any answer of the service
    };
    Outcome outcome = Outcome::NoReply;
    QString problem; // with NotXml: the parser's or the bounds' reason
    std::optional<QString> status;
    std::optional<QString> message;
    std::vector<OrderRecord> orders; // in document order
};

// Longer replies are not read at all.
inline constexpr qsizetype kMaxOrderReplyBytes = 16 * 1024 * 1024;

// Reads the reply text (UTF-8 when the bytes are valid UTF-8, else Mac OS Roman) within the
// bounds of the photo reply, with no external entities.
OrderReply parseOrderReply(const std::optional<QByteArray>& body, OrderGrammar grammar);

} // namespace kivo
