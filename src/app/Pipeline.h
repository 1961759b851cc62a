#pragma once
// The pipeline's vocabulary: notification names and record keys that the scan, the upload
// and the controller share.
#include <QFileInfo>
#include <QString>

namespace kivo {

inline const QString kScanFolderNotification = QStringLiteral("ScanFolderNotification");
inline const QString kPrepareUploadStartNotification =
    QStringLiteral("PrepareUploadStartNotification");
inline const QString kUploadStartNotification = QStringLiteral("UploadStartNotification");
inline const QString kUploadDoneNotification = QStringLiteral("UploadDoneNotification");
inline const QString kUploadSuccessNotification = QStringLiteral("UploadSuccessNotification");
inline const QString kUploadFailNotification = QStringLiteral("UploadFailNotification");
inline const QString kRetriggerNotification = QStringLiteral("RetriggerNotification");
inline const QString kUpdateProgressWindowNotification =
    QStringLiteral("UpdateProgressWindowNotification");
inline const QString kWatcherStarted = QStringLiteral("WatcherStarted");
inline const QString kWatcherItemChanged = QStringLiteral("WatcherItemChanged");
inline const QString kDebugMoveItemsBack = QStringLiteral("DebugMoveItemsBack");
inline const QString kUploadProcessPaused = QStringLiteral("UploadProcessPaused");
inline const QString kCleanUpAfterUploadNotification =
    QStringLiteral("CleanUpAfterUploadNotification");
inline const QString kCleanUpAfterCompleteLoop = QStringLiteral("CleanUpAfterCompleteLoop");

// Scan request.
inline const QString cDictKeyLocalSourceUploadFolder = QStringLiteral("localRootFolder");
inline const QString cDictKeyLocalMirrorFolder = QStringLiteral("localMirrorFolder");
inline const QString cDictKeyUserEnteredEventName = QStringLiteral("userEnteredEventName");

// Upload item info.
inline const QString cDictKeyCurItem = QStringLiteral("localItem");
inline const QString kEdUser = QStringLiteral("edUser");
inline const QString kEdPasswd = QStringLiteral("edPasswd");
inline const QString kEdFileName = QStringLiteral("edFileName");
inline const QString kEdClientName = QStringLiteral("edClientName");
inline const QString kEdEventName = QStringLiteral("edEventName");
inline const QString kEdMetaData = QStringLiteral("edMetaData");
inline const QString kEdCaptureTime = QStringLiteral("edCaptureTime");
inline const QString kEdGlvFuseAction = QStringLiteral("edGlvFuseAction");
inline const QString kEdEmails = QStringLiteral("edEmails");
inline const QString kEdOriginalPath = QStringLiteral("edOriginalPath");
inline const QString kEdSittingInfoDictionary = QStringLiteral("edSittingInfoDictionary");
inline const QString kEdLarchInfo = QStringLiteral("edLarchInfo");

// Upload result info (the item info plus these).
inline const QString kHttpStatusCode = QStringLiteral("httpStatusCode");
inline const QString kHttpError = QStringLiteral("httpError");
inline const QString kHttpResponse = QStringLiteral("httpResponse");
inline const QString kHttpReturnData = QStringLiteral("httpReturnData");
inline const QString kHttpOurCustomStatus = QStringLiteral("httpOurCustomStatus");
inline const QString kHttpOurCustomMessage = QStringLiteral("httpOurCustomMessage");
inline const QString kHttpOurCustomError = QStringLiteral("httpOurCustomError");
// A reply that is not the service's verdict on the photo (a web page, a redirect, a gateway
// error): the text says what came back. The item stays and is tried again later.
inline const QString kHttpNotAVerdict = QStringLiteral("httpNotAVerdict");
// The item was not sent, or changed while it was sent: it stays and is tried again later.
inline const QString kLocalRetryReason = QStringLiteral("localRetryReason");
// The item can never be sent as it is (its content would break the form): problem folder.
inline const QString kLocalRefusal = QStringLiteral("localRefusal");

// What the scan saw of the photo and its movie (FileIdentity): the upload sends only that.
inline const QString kLocalItemIdentity = QStringLiteral("localItemIdentity");
inline const QString kLocalMovieIdentity = QStringLiteral("localMovieIdentity");

// The companion movie of an item: its path with the extension replaced by "mov" (added when
// the name has none; a dot-file keeps its name).
inline QString companionMoviePath(const QString& item) {
    const QFileInfo fi(item);
    const QString suffix = fi.suffix();
    if (suffix.isEmpty() || fi.completeBaseName().isEmpty())
        return item + QStringLiteral(".mov");
    return item.left(item.size() - suffix.size()) + QStringLiteral("mov");
}

} // namespace kivo
