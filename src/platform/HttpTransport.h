#pragma once
// One synchronous HTTP POST through libcurl. The time-outs are idle time-outs (connect, and
// no progress for lowSpeedSeconds), not a limit on the whole exchange; redirects are not
// followed and TLS certificates are verified.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <mutex>
#include <optional>
#include <vector>

namespace kivo {

// A piece of a request body: bytes held in memory, or a range of an open file that is read
// only as it is sent, so a body's size never becomes the program's memory.
struct BodyPiece {
    QByteArray bytes;
    int fd = -1; // when set: length bytes of this file from offset (the caller keeps it open)
    qint64 offset = 0;
    qint64 length = 0;

    qint64 size() const { return fd >= 0 ? length : bytes.size(); }
};

struct HttpRequest {
    QString url;
    QByteArray body; // sent as given
    // When not empty, sent in this order instead of body.
    std::vector<BodyPiece> pieces;
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

// Sends requests one after another over one kept-alive connection while the server keeps it
// open. After a transport error or an abort the next send starts on a new connection, so a
// broken one is never offered twice. Sends on one session wait for each other; a session
// shared by two loops would make each wait on the other, so each loop keeps its own.
class HttpSession {
public:
    HttpSession() = default;
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    HttpResponse post(const HttpRequest& request);

private:
    void dropHandle();

    std::mutex fMutex;
    void* fHandle = nullptr; // the CURL easy handle, under fMutex; it holds the connection
};

// One request on a connection of its own.
HttpResponse sendHttpPost(const HttpRequest& request);

// Makes every running and later transfer give up at once (used when the process quits).
void abortAllHttpTransfers();

} // namespace kivo
