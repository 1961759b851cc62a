#include "platform/HttpTransport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <unistd.h>

namespace kivo {

namespace {

std::atomic<bool> gAbortAll{false};

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct ReplySink {
    QByteArray body;
    qint64 limit = 0;
    bool truncated = false;
    bool any = false;
    QList<QPair<QByteArray, QByteArray>> headers;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<ReplySink*>(user);
    const size_t n = size * count;
    sink->any = true;
    if (sink->body.size() + qint64(n) > sink->limit) {
        sink->truncated = true;
        return 0; // aborts the transfer
    }
    sink->body.append(data, qsizetype(n));
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<ReplySink*>(user);
    const size_t n = size * count;
    const QByteArray line = QByteArray(data, qsizetype(n)).trimmed();
    if (line.startsWith("HTTP/"))
        sink->headers.clear(); // a new response (after 100 Continue) starts over
    const qsizetype colon = line.indexOf(':');
    if (colon > 0)
        sink->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    return n;
}

// Where the read callback stands in a body made of pieces.
struct BodySource {
    const std::vector<BodyPiece>* pieces = nullptr;
    size_t piece = 0;
    qint64 within = 0;
    bool failed = false; // a file piece could not be read whole
};

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* src = static_cast<BodySource*>(user);
    const size_t room = size * count;
    size_t done = 0;
    while (done < room && src->piece < src->pieces->size()) {
        const BodyPiece& p = (*src->pieces)[src->piece];
        const qint64 left = p.size() - src->within;
        if (left <= 0) {
            ++src->piece;
            src->within = 0;
            continue;
        }
        const size_t chunk = size_t(std::min<qint64>(left, qint64(room - done)));
        if (p.fd < 0) {
            std::memcpy(buffer + done, p.bytes.constData() + src->within, chunk);
            done += chunk;
            src->within += qint64(chunk);
            continue;
        }
        const ssize_t n = ::pread(p.fd, buffer + done, chunk, off_t(p.offset + src->within));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The file shrank while it was sent: never let a short body pass as whole.
            src->failed = true;
            return CURL_READFUNC_ABORT;
        }
        done += size_t(n);
        src->within += n;
    }
    return done;
}

int onSeek(void* user, curl_off_t offset, int origin) {
    auto* src = static_cast<BodySource*>(user);
    if (origin != SEEK_SET || offset < 0)
        return CURL_SEEKFUNC_CANTSEEK;
    src->piece = 0;
    src->within = 0;
    qint64 rest = qint64(offset);
    while (src->piece < src->pieces->size() && rest >= (*src->pieces)[src->piece].size()) {
        rest -= (*src->pieces)[src->piece].size();
        ++src->piece;
    }
    src->within = rest;
    return CURL_SEEKFUNC_OK;
}

int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return gAbortAll.load() ? 1 : 0;
}

} // namespace

void abortAllHttpTransfers() {
    gAbortAll = true;
}

HttpSession::~HttpSession() {
    dropHandle();
}

void HttpSession::dropHandle() {
    if (fHandle)
        curl_easy_cleanup(static_cast<CURL*>(fHandle));
    fHandle = nullptr;
}

HttpResponse sendHttpPost(const HttpRequest& request) {
    HttpSession session;
    return session.post(request);
}

HttpResponse HttpSession::post(const HttpRequest& request) {
    initCurlOnce();
    std::lock_guard lock(fMutex);
    HttpResponse response;
    if (!fHandle)
        fHandle = curl_easy_init();
    CURL* curl = static_cast<CURL*>(fHandle);
    if (!curl) {
        response.error = QStringLiteral("Could not start an HTTP transfer");
        return response;
    }
    // Forgets the last request's options, keeps its connection.
    curl_easy_reset(curl);
    ReplySink sink;
    sink.limit = request.maxReplyBytes;
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers)
        headers = curl_slist_append(headers, (name + ": " + value).constData());
    // Without this curl waits up to a second for "100 Continue" before sending large bodies.
    headers = curl_slist_append(headers, "Expect:");

    const QByteArray url = request.url.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    BodySource source;
    source.pieces = &request.pieces;
    if (request.pieces.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
    } else {
        qint64 total = 0;
        for (const BodyPiece& piece : request.pieces)
            total += piece.size();
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(curl, CURLOPT_READDATA, &source);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, onSeek);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &source);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(total));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, request.connectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, request.lowSpeedSeconds);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode rc = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code > 0) {
        response.statusCode = code;
        response.headers = sink.headers;
    }
    // A response without content still has a body: an empty one.
    if ((sink.any || response.statusCode) && !sink.truncated)
        response.body = sink.body;
    if (source.failed) {
        response.error = QStringLiteral("A file being sent became shorter while it was read");
    } else if (sink.truncated) {
        response.error = QStringLiteral("The reply was larger than %1 bytes and was not read")
                             .arg(request.maxReplyBytes);
    } else if (rc != CURLE_OK) {
        response.error = QString::fromUtf8(errorText[0] ? errorText : curl_easy_strerror(rc));
    }
    curl_slist_free_all(headers);
    // The options point into this call's locals; an aborted or failed exchange may have left the
    // connection mid-stream.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (response.error || gAbortAll.load())
        dropHandle();
    return response;
}

} // namespace kivo
