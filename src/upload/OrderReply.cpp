#include "upload/OrderReply.h"

#include "platform/MacRoman.h"
#include "upload/HttpController.h"

#include <QDomDocument>

namespace kivo {

namespace {

std::optional<QString> firstChildText(const QDomElement& parent, const QString& name) {
    const QDomElement child = parent.firstChildElement(name);
    if (child.isNull())
        return std::nullopt;
    return child.text();
}

} // namespace

OrderGrammar orderGrammarFor(const QString& queryFuseAction) {
    return queryFuseAction.compare(QLatin1String("orders.v4check"), Qt::CaseInsensitive) == 0
               ? OrderGrammar::V4
               : OrderGrammar::V3;
}

OrderReply parseOrderReply(const std::optional<QByteArray>& body, OrderGrammar grammar) {
    OrderReply reply;
    if (!body)
        return reply;
    reply.outcome = OrderReply::Outcome::NotXml;
    if (body->size() > kMaxOrderReplyBytes) {
        reply.problem =
            QStringLiteral("The reply is longer than %1 bytes").arg(kMaxOrderReplyBytes);
        return reply;
    }
    // Paths in the reply are file names of this computer, which are UTF-8.
    const QString text = fromUtf8OrMacRoman(*body);
    if (const auto beyond = HttpController::beyondReplyBounds(text)) {
        reply.problem = *beyond;
        return reply;
    }
    QDomDocument document;
    QString error;
    int line = 0, column = 0;
    if (!document.setContent(text, &error, &line, &column)) {
        reply.problem =
            error.isEmpty()
                ? QStringLiteral("The reply is not an XML document")
                : QStringLiteral("%1 (line %2, column %3)").arg(error).arg(line).arg(column);
        return reply;
    }
    reply.outcome = OrderReply::Outcome::Parsed;
    const QDomElement root = document.documentElement();
    reply.status = firstChildText(root, QStringLiteral("status"));
    reply.message = firstChildText(root, QStringLiteral("message"));
    const QString tag =
        grammar == OrderGrammar::V4 ? QStringLiteral("image") : QStringLiteral("order");
    for (QDomElement e = root.firstChildElement(tag); !e.isNull(); e = e.nextSiblingElement(tag)) {
        OrderRecord order;
        order.location = firstChildText(e, QStringLiteral("localfilelocation"));
        order.orderId = firstChildText(e, QStringLiteral("orderid"));
        order.imageId = firstChildText(e, QStringLiteral("imageid"));
        order.pictureId = firstChildText(e, QStringLiteral("pictureid"));
        reply.orders.push_back(std::move(order));
    }
    return reply;
}

} // namespace kivo
