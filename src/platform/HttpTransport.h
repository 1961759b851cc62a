#pragma once
// One synchronous HTTP POST through libcurl. The time-outs are idle time-outs (connect, and
// no progress for lowSpeedSeconds), not a limit on the whole exchange; redirects are not
// followed and TLS certificates are verified.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

namespace kivo {

struct HttpRequest {
    QString url;
    QByteArray body; // sent as given
    QList<QPair<QByteArray, QByteArray>> headers;
    long connectTimeoutSeconds = 60;
    long lowSpeedSeconds = 60;
    // Replies longer than this are cut off and reported as an error.
    qint64 maxReplyBytes = 16 * 1024 * 1024;
};

struct HttpResponse {
    std::optional<long> statusCode;               // present exactly when a response arrived
    QList<QPair<QByteArray, QByteArray>> headers; // of that response
    std::optional<QByteArray> body;               // present when a response (even empty) came back
    std::optional<QString> error;                 // the transport error's text
};

HttpResponse sendHttpPost(const HttpRequest& request);

// Makes every running and later transfer give up at once (used when the process quits).
void abortAllHttpTransfers();

} // namespace kivo
