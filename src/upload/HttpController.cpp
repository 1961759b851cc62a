#include "upload/HttpController.h"

#include "app/Pipeline.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/MacRoman.h"
#include "platform/MainThread.h"
#include "settings/Preferences.h"
#include "upload/MultipartBody.h"

#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>
#include <QXmlStreamReader>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

const char* const kClass = "HttpController";
constexpr char kClosing[] = "\r\n--0xKhTmLbOuNdArY--\r\n";

// Writes length bytes of fd from offset to out at outOffset; false when any is missing.
bool copyFileBytes(int fd, qint64 offset, qint64 length, int out, qint64 outOffset) {
    // In the kernel first: no copy through our memory.
    while (length > 0) {
        loff_t in = offset;
        loff_t at = outOffset;
        const ssize_t n = ::copy_file_range(fd, &in, out, &at, size_t(length), 0);
        if (n <= 0)
            break;
        offset += n;
        outOffset += n;
        length -= n;
    }
    if (length == 0)
        return true;
    constexpr qint64 kBlock = 256 * 1024;
    const auto buffer =
        std::make_unique_for_overwrite<char[]>(size_t(std::clamp<qint64>(length, 1, kBlock)));
    while (length > 0) {
        const ssize_t n =
            ::pread(fd, buffer.get(), size_t(std::min(kBlock, length)), off_t(offset));
        if (n <= 0 || ::pwrite(out, buffer.get(), size_t(n), off_t(outOffset)) != n)
            return false;
        offset += n;
        outOffset += n;
        length -= n;
    }
    return true;
}

// Owner-only: the dump holds the account's password. Written piece by piece, so a large movie
// is copied through a small buffer rather than held in memory; dropTail bytes at the end of the
// body are left out. A diagnostic is not worth a disk sync on every upload, nor a new file: it
// is written over a spare copy kept beside it (".spare"), which is then exchanged with the
// last dump, so the dump's name never shows half of one. Creating a file per upload and
// renaming it over the last one made ext4 flush the photo to disk first: milliseconds per
// photo. A dump that cannot be written is given up.
void writeDump(const QString& name, const std::vector<BodyPiece>& pieces, qint64 dropTail = 0) {
    const QString folder = HttpController::debugDumpFolder();
    if (!QDir().mkpath(folder))
        return;
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + name);
    const QByteArray spare = path + ".spare";
    const int out = ::open(spare.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    struct stat st {};
    bool written = ::fstat(out, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                   ::fchmod(out, 0600) == 0;
    qint64 total = 0;
    for (const BodyPiece& piece : pieces)
        total += piece.size();
    qint64 left = std::max<qint64>(0, total - dropTail);
    qint64 at = 0;
    for (auto piece = pieces.begin(); written && left > 0 && piece != pieces.end(); ++piece) {
        const qint64 n = std::min(left, piece->size());
        written = piece->fd >= 0
                      ? copyFileBytes(piece->fd, piece->offset, n, out, at)
                      : ::pwrite(out, piece->bytes.constData(), size_t(n), off_t(at)) == n;
        at += n;
        left -= n;
    }
    written = written && ::ftruncate(out, off_t(at)) == 0;
    ::close(out);
    if (!written)
        return;
    if (::renameat2(AT_FDCWD, spare.constData(), AT_FDCWD, path.constData(), RENAME_EXCHANGE) != 0)
        ::rename(spare.constData(), path.constData());
}

// All text below a node, as an XML string value.
QString stringValue(const QDomNode& node) {
    if (node.isElement())
        return node.toElement().text();
    return node.nodeValue();
}

} // namespace

HttpController::HttpController() {
    // A program killed while writing a dump leaves the writer's hidden temporary file behind.
    QDir dumps(debugDumpFolder());
    for (const QString& name :
         dumps.entryList({QStringLiteral("postBodyData*.txt.*")}, QDir::Files | QDir::Hidden))
        dumps.remove(name);

    fWatchdog = new QTimer(this);
    fWatchdog->setSingleShot(true);
    connect(fWatchdog, &QTimer::timeout, this, [this] { uploadTimerFired(); });

    auto& center = NotificationCenter::defaultCenter();
    center.addObserver(this, kUploadStartNotification,
                       [this](const Notification& n) { handleNotification_UploadStart(n); });
    center.addObserver(this, kUploadDoneNotification,
                       [this](const Notification& n) { handleNotification_UploadDone(n); });
    center.addObserver(this, kUploadSuccessNotification, [](const Notification&) {
        consoleInside(kClass, "handleNotification_UploadSuccess:");
    });
    center.addObserver(this, kUploadFailNotification, [](const Notification&) {
        consoleInside(kClass, "handleNotification_UploadFail:");
    });
}

HttpController::~HttpController() {
    NotificationCenter::defaultCenter().removeObserver(this);
}

QString HttpController::debugDumpFolder() {
    return bundle::stateHome() + QStringLiteral("/Kivo");
}

void HttpController::setTransferTimeouts(long connectSeconds, long lowSpeedSeconds) {
    fConnectTimeout = connectSeconds;
    fLowSpeedTime = lowSpeedSeconds;
}

void HttpController::handleNotification_UploadStart(const Notification& n) {
    consoleInside(kClass, "handleNotification_UploadStart:");
    doRunHttpUploaderInThread(n);
}

void HttpController::doRunHttpUploaderInThread(const Notification& n) {
    if (!n.userInfo) {
        consoleLine(QStringLiteral("Unknown Class Type Found: [%1] with the info:\n").arg(n.name));
        return;
    }
    doRunHttpUploaderWithInfo(n.userInfo);
}

namespace {

// Whether the record says what the scan saw of a file, and the file opened now is not that.
bool differsFromScan(const QVariantMap& item, const QString& key, const ItemFile& file) {
    const QVariant seen = item.value(key);
    return seen.canConvert<FileIdentity>() && file.isOpen() &&
           seen.value<FileIdentity>() != file.identity();
}

} // namespace

bool HttpController::doRunHttpUploaderWithInfo(const std::shared_ptr<QVariantMap>& info) {
    consoleInside(kClass, "doRunHttpUploaderWithInfo:");
    const QVariantMap item = *info;
    const UploadFiles files =
        openUploadFiles(item, Preferences::store().boolForKey(sPrefUploadMovie));
    auto result = std::make_shared<QVariantMap>(item);

    if (differsFromScan(item, kLocalItemIdentity, files.photo) ||
        differsFromScan(item, kLocalMovieIdentity, files.movie)) {
        // Replaced or written to since it was found ready: look at it afresh later.
        result->insert(kLocalRetryReason,
                       QStringLiteral("[%1] changed after it was chosen; it will be sent when it "
                                      "is finished")
                           .arg(item.value(cDictKeyCurItem).toString()));
    } else {
        const UploadBody built = buildUploadBody(item, files);
        BodyPiece head;
        head.bytes = built.fieldsAndFileHeader;
        writeDump(QStringLiteral("postBodyData.txt"), {head});
        writeDump(QStringLiteral("postBodyDataWithImage.txt"), built.pieces,
                  built.sendable ? qint64(sizeof(kClosing) - 1) : 0);
        switch (built.outcome) {
        case UploadBody::Outcome::Unreadable:
            // Nothing was sent: a failure that leaves the item where it is, never a success.
            result->insert(kHttpError, built.problem);
            break;
        case UploadBody::Outcome::Refused:
            consoleLine(built.problem);
            result->insert(kLocalRefusal, built.problem);
            break;
        case UploadBody::Outcome::Sendable: {
            HttpRequest request;
            request.url = Preferences::getPrefGlvURL().value_or(QString());
            request.pieces = built.pieces;
            request.headers.append({"Content-Type", QByteArray("multipart/form-data; boundary=") +
                                                        kMultipartBoundary});
            request.connectTimeoutSeconds = fConnectTimeout;
            request.lowSpeedSeconds = fLowSpeedTime;
            armWatchdog(Preferences::getUploadTimeOut());
            const HttpResponse reply = fSession.post(request);
            // Judging the reply is part of the exchange the watchdog guards.
            recordReply(reply, *result);
            cancelWatchdog();
            // What was read may not be what is there now: never file a changed item.
            const bool photoSame = files.photo.unchangedAt(files.photoPath);
            const bool movieSame = !files.moviePath || files.movie.unchangedAt(*files.moviePath);
            if (!photoSame || !movieSame)
                result->insert(
                    kLocalRetryReason,
                    QStringLiteral("[%1] changed while it was being sent; it will be sent again")
                        .arg(photoSame ? *files.moviePath : files.photoPath));
            break;
        }
        }
    }

    Notification done;
    done.name = kUploadDoneNotification;
    done.object = this;
    done.userInfo = result;
    NotificationCenter::defaultCenter().post(done);
    info->clear();
    return true;
}

namespace {

constexpr int kMaxReplyDepth = 64;
constexpr qint64 kMaxReplyReadMs = 2000;

} // namespace

// A reply nested beyond any answer of the service, or one that takes too long to read, is no
// answer: it is refused before a document is built from it (which costs far more than a walk).
std::optional<QString> HttpController::beyondReplyBounds(const QString& text) {
    QXmlStreamReader reader(text);
    QElapsedTimer clock;
    clock.start();
    int depth = 0;
    for (qint64 tokens = 0; !reader.atEnd(); ++tokens) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > kMaxReplyDepth)
            return QStringLiteral("The reply is nested deeper than %1 levels").arg(kMaxReplyDepth);
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if ((tokens & 1023) == 0 && clock.elapsed() > kMaxReplyReadMs)
            return QStringLiteral("The reply took too long to read");
    }
    return std::nullopt; // a malformed reply is reported by the parser itself
}

namespace {

bool looksLikeWebPage(const QByteArray& body) {
    const QByteArray start = body.left(512).trimmed().toLower();
    return start.startsWith("<!doctype html") || start.startsWith("<html");
}

} // namespace

std::optional<QString> HttpController::notAVerdict(const HttpResponse& reply,
                                                   const QDomDocument* document) {
    if (!reply.statusCode)
        return std::nullopt;
    const long code = *reply.statusCode;
    if (code >= 300 && code < 400) {
        QString location;
        for (const auto& [name, value] : reply.headers)
            if (name.compare("Location", Qt::CaseInsensitive) == 0)
                location = QString::fromLatin1(value);
        return QStringLiteral("HTTP Server Returned Status Code: %1 - the service moved to %2; "
                              "check the service address")
            .arg(code)
            .arg(location.isEmpty() ? QStringLiteral("another address") : location);
    }
    if (code == 502 || code == 503 || code == 504)
        return QStringLiteral("HTTP Server Returned Status Code: %1 - the service cannot be "
                              "reached right now; the photo stays and is tried again")
            .arg(code);
    if (code == 200 && reply.body) {
        const bool htmlRoot = document ? document->documentElement().tagName().compare(
                                             QLatin1String("html"), Qt::CaseInsensitive) == 0
                                       : looksLikeWebPage(*reply.body);
        if (htmlRoot)
            return QStringLiteral("A web page came back instead of the service's answer (a "
                                  "network sign-in page?); the photo stays and is tried again");
    }
    return std::nullopt;
}

void HttpController::recordReply(const HttpResponse& reply, QVariantMap& result) {
    if (reply.statusCode)
        result.insert(kHttpStatusCode, qlonglong(*reply.statusCode));
    if (reply.error)
        result.insert(kHttpError, *reply.error);
    if (reply.statusCode) {
        QVariantMap headers;
        for (const auto& [name, value] : reply.headers)
            headers.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        result.insert(kHttpResponse, headers);
    }
    if (!reply.body) {
        if (const auto text = notAVerdict(reply, nullptr))
            result.insert(kHttpNotAVerdict, *text);
        return;
    }
    result.insert(kHttpReturnData, *reply.body);
    const QString text = fromMacRoman(*reply.body);
    QDomDocument document;
    QString parseError;
    int line = 0, column = 0;
    if (const auto beyond = beyondReplyBounds(text)) {
        result.insert(kHttpOurCustomStatus, QStringLiteral("FAIL"));
        result.insert(kHttpOurCustomMessage, *beyond);
        return;
    }
    if (!document.setContent(text, &parseError, &line, &column)) {
        result.insert(kHttpOurCustomStatus, QStringLiteral("FAIL"));
        result.insert(
            kHttpOurCustomMessage,
            parseError.isEmpty()
                ? QStringLiteral("The reply is not an XML document")
                : QStringLiteral("%1 (line %2, column %3)").arg(parseError).arg(line).arg(column));
        if (const auto judged = notAVerdict(reply, nullptr))
            result.insert(kHttpNotAVerdict, *judged);
        return;
    }
    if (const auto judged = notAVerdict(reply, &document))
        result.insert(kHttpNotAVerdict, *judged);
    const QDomNodeList children = document.documentElement().childNodes();
    for (int i = 0; i < children.size(); ++i)
        consoleLine(QStringLiteral("Reply child [%1] = [%2]")
                        .arg(children.at(i).nodeName(), stringValue(children.at(i))));
    if (children.size() < 2) {
        consoleLine(QStringLiteral("NOT GETTING Enough data back from Response??????"));
        result.insert(kHttpOurCustomStatus, QStringLiteral("FAIL"));
        result.insert(kHttpOurCustomMessage, QStringLiteral("Not enough data returned..."));
        return;
    }
    result.insert(kHttpOurCustomStatus, stringValue(children.at(0)));
    result.insert(kHttpOurCustomMessage, stringValue(children.at(1)));
}

bool HttpController::isFailure(const QVariantMap& result) {
    bool failure = false;
    if (result.contains(kHttpError)) {
        consoleLine(
            QStringLiteral("cDictKeyHttpError = [%1]").arg(result.value(kHttpError).toString()));
        failure = true;
    }
    for (const QString& key : {kHttpNotAVerdict, kLocalRetryReason, kLocalRefusal}) {
        if (result.contains(key)) {
            consoleLine(QStringLiteral("%1 = [%2]").arg(key, result.value(key).toString()));
            failure = true;
        }
    }
    if (result.contains(kHttpOurCustomError)) {
        consoleLine(QStringLiteral("cDictKeyHttpCustomError = [%1]")
                        .arg(result.value(kHttpOurCustomError).toString()));
        failure = true;
    }
    if (result.contains(kHttpOurCustomStatus)) {
        const QString status = result.value(kHttpOurCustomStatus).toString();
        for (const char* word : {"FAIL", "ERROR", "Warning"})
            if (status.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
                failure = true;
    }
    if (result.contains(kHttpStatusCode)) {
        const qlonglong code = result.value(kHttpStatusCode).toLongLong();
        if (code != 200) {
            consoleLine(QStringLiteral("HTTP Status Code is [%1]").arg(code));
            failure = true;
        }
    }
    return failure;
}

void HttpController::handleNotification_UploadDone(const Notification& n) {
    consoleInside(kClass, "handleNotification_UploadDone:");
    const bool failure = n.userInfo && isFailure(*n.userInfo);
    Notification next;
    next.name = failure ? kUploadFailNotification : kUploadSuccessNotification;
    next.object = this;
    next.userInfo = n.userInfo;
    NotificationCenter::defaultCenter().post(next);
}

void HttpController::armWatchdog(double seconds) {
    const quint64 generation = ++fGeneration;
    const int ms = int(std::min(seconds * 1000.0, double(std::numeric_limits<int>::max())));
    onMainThread(
        [this, generation, ms] {
            if (fGeneration == generation) // not already cancelled
                fWatchdog->start(ms);
        },
        false);
}

void HttpController::cancelWatchdog() {
    ++fGeneration;
    onMainThread([this] { fWatchdog->stop(); }, false);
}

void HttpController::uploadTimerFired() {
    consoleLine(insideText(kClass, "uploadTimerFired:") +
                QStringLiteral(".....Taking too long to upload - need to relaunch...."));
    RelaunchDelegate* delegate = fDelegate;
    if (!delegate)
        return;
    const bool active = QGuiApplication::applicationState() == Qt::ApplicationActive;
    QVariantMap request{{QStringLiteral("LSLaunchFlags"), active ? 1 : 0x100300},
                        {QStringLiteral("sender"), QStringLiteral("HttpController")}};
    onMainThread([delegate, request] { delegate->relaunchApp(request); }, false);
}

} // namespace kivo
