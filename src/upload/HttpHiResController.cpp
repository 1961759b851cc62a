#include "upload/HttpHiResController.h"

#include "files/OriginalSearch.h"
#include "files/QDI_FileManager.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/ItemFile.h"
#include "platform/MacRoman.h"
#include "scan/ImageCheck.h"
#include "settings/Preferences.h"
#include "ui/StatusDisplay.h"
#include "upload/MultipartBody.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace kivo {

namespace {

const char* const kClass = "HttpHiResController";
// A reply body shown on the console is cut here: the service may answer with a whole page.
constexpr qsizetype kMaxReplyShown = 2000;

QString present(const std::optional<QString>& value) {
    return value && !value->isEmpty() ? *value : QString();
}

void logReply(const QString& what, const HttpResponse& reply) {
    if (reply.statusCode)
        consoleLine(QStringLiteral("%1: HTTP status [%2]").arg(what).arg(*reply.statusCode));
    if (reply.error)
        consoleLine(QStringLiteral("%1: error [%2]").arg(what, *reply.error));
    if (reply.body) {
        QString text = fromUtf8OrMacRoman(reply.body->left(kMaxReplyShown));
        if (reply.body->size() > kMaxReplyShown)
            text += QStringLiteral("... (%1 bytes in all)").arg(reply.body->size());
        consoleLine(QStringLiteral("%1: reply [%2]").arg(what, text));
    }
}

// Only "png" in any case is sent as PNG; every other original goes as JPEG.
QByteArray hiResContentType(const QString& path) {
    return QFileInfo(path).suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) == 0
               ? QByteArray("image/png")
               : QByteArray("image/jpeg");
}

HiResUploadResult notSent(HiResUploadResult::Outcome outcome, const QString& path,
                          const QString& why) {
    HiResUploadResult result;
    result.outcome = outcome;
    result.why = why;
    if (outcome == HiResUploadResult::Outcome::Unreadable)
        consoleLine(
            QStringLiteral("Error in Reading the Contents of file at path:\n%1\n\n").arg(path));
    consoleLine(QStringLiteral("Hi Res original not sent: [%1] %2").arg(path, why));
    return result;
}

} // namespace

double orderCheckPeriodSeconds(const QVariant& storedMinutes) {
    if (!storedMinutes.isValid())
        return 3600.0;
    const float seconds = float(Defaults::doubleFromValue(storedMinutes)) * 60.0f;
    return seconds > 0.0f ? double(seconds) : 10.0; // NaN falls here too
}

void HttpHiResController::setTransferTimeouts(long connectSeconds, long lowSpeedSeconds) {
    fConnectTimeout = connectSeconds;
    fLowSpeedTime = lowSpeedSeconds;
}

HttpRequest HttpHiResController::request() const {
    HttpRequest request;
    request.url = Preferences::getPrefGlvURL().value_or(QString());
    request.headers.append(
        {"Content-Type", QByteArray("multipart/form-data; boundary=") + kMultipartBoundary});
    request.connectTimeoutSeconds = fConnectTimeout;
    request.lowSpeedSeconds = fLowSpeedTime;
    return request;
}

OrderCheckResult HttpHiResController::doQueryAndUploadHiResWithInfo(const OrderQueryInfo& info) {
    consoleInside(kClass, "doQueryAndUploadHiResWithInfo:");
    OrderCheckResult result;
    const QString fuseAction = present(Preferences::getPrefCheckHiResOrderFuseAction());
    const QString url = present(Preferences::getPrefGlvURL());
    const QString user = present(info.user);
    const QString password = present(info.password);
    const char* missing = fuseAction.isEmpty() ? "query fuse action"
                          : url.isEmpty()      ? "service URL"
                          : user.isEmpty()     ? "login name"
                          : password.isEmpty() ? "password"
                                               : nullptr;
    if (missing) {
        result.why = QStringLiteral("No order query sent: the %1 is not set").arg(missing);
        consoleLine(result.why);
        return result;
    }
    const UploadBody body =
        buildFormBody({{"fuseaction", fuseAction}, {"username", user}, {"password", password}});
    if (!body.sendable) {
        result.why = QStringLiteral("No order query sent: %1").arg(body.problem);
        consoleLine(result.why);
        return result;
    }
    if (fDelegate)
        fDelegate->ibUpdateLine2TextField(QStringLiteral("Sending Query to %1").arg(fuseAction),
                                          true);
    HttpRequest query = request();
    query.pieces = body.pieces;
    result.outcome = OrderCheckResult::Outcome::Queried;
    result.reply = fSession.post(query);
    logReply(QStringLiteral("Order query"), result.reply);

    // A failed exchange still has its body read: orders in it are orders all the same.
    result.orders = parseOrderReply(result.reply.body, orderGrammarFor(fuseAction));
    const OrderReply& reply = result.orders;
    if (reply.outcome == OrderReply::Outcome::NotXml) {
        consoleLine(QStringLiteral("The order reply is not XML (%1); no orders processed")
                        .arg(reply.problem));
        return result;
    }
    if (reply.outcome == OrderReply::Outcome::NoReply)
        return result;
    consoleLine(QStringLiteral("Order reply: status [%1], message [%2], %3 orders")
                    .arg(reply.status.value_or(QString()), reply.message.value_or(QString()))
                    .arg(reply.orders.size()));
    if (!reply.orders.empty() && fDelegate)
        fDelegate->ibUpdateLine2TextField(
            QStringLiteral("Found %1 Orders...").arg(reply.orders.size()), true);
    for (const OrderRecord& order : reply.orders) {
        if (fStopping && fStopping()) {
            consoleLine(QStringLiteral("The order check stops early: the program is quitting"));
            result.stopped = true;
            break;
        }
        handleOrder(order, info, result);
    }
    return result;
}

void HttpHiResController::handleOrder(const OrderRecord& order, const OrderQueryInfo& info,
                                      OrderCheckResult& result) {
    const QString location = present(order.location);
    const QString imageId = present(order.imageId);
    if (location.isEmpty() || imageId.isEmpty()) {
        ++result.skipped;
        consoleLine(QStringLiteral("Order skipped: it has no %1 (order id [%2], image id [%3], "
                                   "location [%4])")
                        .arg(location.isEmpty() ? QStringLiteral("localfilelocation")
                                                : QStringLiteral("imageid"),
                             order.orderId.value_or(QString()), imageId, location));
        return;
    }
    // Decoded once, by the search itself; shown decoded.
    const QString shown = decodePercentEscapes(location).value_or(location);
    if (fDelegate)
        fDelegate->ibUpdateLine2TextField(
            QStringLiteral("Looking for Hi Res Item: [%1]").arg(shown), false);
    std::optional<QStringList> folders;
    if (Preferences::getPrefDoUseGlvHiResAlternatePath1()) {
        const QString alternate = present(Preferences::getPrefGlvHiResAlternatePath1());
        if (!alternate.isEmpty())
            folders = QStringList{alternate};
    }
    const std::optional<QString> found = QDI_FileManager::doResolveOriginalPath(location, folders);
    if (!found) {
        ++result.notFound;
        consoleLine(QStringLiteral("WARNING => Unable to find item = [%1]").arg(shown));
        return;
    }
    if (fDelegate)
        fDelegate->ibUpdateLine2TextField(QStringLiteral("Uploading Hi Res Item: [%1]").arg(*found),
                                          false);
    HiResUploadInfo upload;
    upload.user = present(info.user);
    upload.password = present(info.password);
    upload.fileName = *found;
    upload.imageId = imageId;
    upload.orderId = order.orderId;
    upload.pictureId = order.pictureId;
    result.uploads.push_back(doRunHttpUploaderHiResWithInfo(upload));
}

HiResUploadResult HttpHiResController::doRunHttpUploaderHiResWithInfo(const HiResUploadInfo& info) {
    consoleInside(kClass, "doRunHttpUploaderHiResWithInfo:");
    using Outcome = HiResUploadResult::Outcome;
    const QString& path = info.fileName;

    // An order names any path it likes: nothing but a regular file is even opened, so a FIFO
    // cannot block the check and a device is never read.
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || ::lstat(native.constData(), &st) != 0)
        return notSent(Outcome::Unreadable, path,
                       QStringLiteral("cannot be found (%1)")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (S_ISLNK(st.st_mode))
        return notSent(Outcome::NotRegular, path,
                       QStringLiteral("is a symbolic link, not a regular file"));
    if (!S_ISREG(st.st_mode))
        return notSent(Outcome::NotRegular, path, QStringLiteral("is not a regular file"));
    const ItemFile file = ItemFile::open(path);
    if (!file.isOpen()) {
        const bool kind = file.failure() == ItemFile::Failure::NotRegular ||
                          file.failure() == ItemFile::Failure::SymbolicLink;
        return notSent(kind ? Outcome::NotRegular : Outcome::Unreadable, path,
                       kind ? QStringLiteral("is not a regular file")
                            : QStringLiteral("cannot be opened (%1)").arg(file.failureText()));
    }
    if (!IsValidImageObjectFromFd(file.fd()))
        return notSent(Outcome::NotImage, path, QStringLiteral("is not an image"));
    if (file.currentIdentity() != file.identity())
        return notSent(Outcome::Changed, path,
                       QStringLiteral("changed while it was being checked"));

    FormFilePart part;
    part.path = path;
    part.contentType = hiResContentType(path);
    part.file = &file;
    std::vector<std::pair<const char*, QString>> fields{
        {"fuseaction", present(Preferences::getPrefUploadHiResOrderFuseAction())},
        {"username", info.user},
        {"password", info.password}};
    if (info.orderId)
        fields.emplace_back("orderid", *info.orderId);
    fields.emplace_back("imageid", info.imageId);
    if (info.pictureId)
        fields.emplace_back("pictureid", *info.pictureId);
    const UploadBody body = buildFormBody(fields, &part);
    switch (body.outcome) {
    case UploadBody::Outcome::Unreadable:
        return notSent(Outcome::Unreadable, path, body.problem);
    case UploadBody::Outcome::Refused:
        return notSent(Outcome::Refused, path, body.problem);
    case UploadBody::Outcome::Sendable:
        break;
    }

    HttpRequest upload = request();
    upload.pieces = body.pieces;
    HiResUploadResult result;
    result.outcome = Outcome::Sent;
    result.reply = fSession.post(upload);
    logReply(QStringLiteral("Hi Res upload of [%1]").arg(path), result.reply);
    if (!file.unchangedAt(path)) {
        result.changedWhileSending = true;
        consoleLine(QStringLiteral("The Hi Res original [%1] changed while it was being sent; "
                                   "the service may have received a damaged copy")
                        .arg(path));
    }
    return result;
}

} // namespace kivo
