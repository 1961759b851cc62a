// The upload history: each result of an upload, and what the window shows of the day.
#include "app/AppController.h"

#include "files/QDI_FileManager.h"
#include "platform/ItemFile.h"
#include "settings/Preferences.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>

namespace kivo {

namespace {

bool isPhotoName(const QString& suffix) {
    for (const char* known : {"jpg", "jpeg", "png"})
        if (suffix.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

void AppController::recordResult(const QVariantMap& info, UploadOutcome outcome,
                                 const QString& why) {
    const QString item = info.value(cDictKeyCurItem).toString();
    if (item.isEmpty())
        return;
    UploadRecord record;
    record.time = QDateTime::currentDateTime();
    const QFileInfo itemInfo(item);
    record.folder = itemInfo.path() == QLatin1String(".") ? QString() : itemInfo.path();
    record.file = itemInfo.fileName();
    // What was sent, as the scan saw it: the photo may have been filed away by now.
    const QVariant seen = info.value(kLocalItemIdentity);
    if (seen.canConvert<FileIdentity>())
        record.sizeBytes = qint64(seen.value<FileIdentity>().size);
    const qint64 started = fUploadStartMs.exchange(0);
    if (started > 0)
        record.seconds = double(record.time.toMSecsSinceEpoch() - started) / 1000.0;
    record.outcome = outcome;
    if (info.contains(kHttpStatusCode))
        record.httpStatus = info.value(kHttpStatusCode).toLongLong();
    // A web page or a gateway's reply says nothing of the service's own.
    const bool serviceAnswered =
        !info.contains(kHttpNotAVerdict) && !info.contains(kLocalRetryReason);
    if (serviceAnswered)
        record.serviceStatus = info.value(kHttpOurCustomStatus).toString();
    const QString serviceMessage =
        serviceAnswered ? info.value(kHttpOurCustomMessage).toString() : QString();
    if (outcome == UploadOutcome::Unfiled)
        record.message = QStringLiteral("could not be filed (%1); it is not sent again and its "
                                        "filing is tried again")
                             .arg(QDI_FileManager::lastFailure());
    else
        record.message = serviceMessage.isEmpty() ? why : serviceMessage;
    fHistory.append(record);
    if (fDisplay)
        fDisplay->showUploadHistory(fHistory.day());
}

void AppController::showUploadHistoryAtStart() {
    fHistory.loadDay();
    if (fDisplay)
        fDisplay->showUploadHistory(fHistory.day());
}

void AppController::noteWaitingPhotos(bool always) {
    // A walk of the whole source folder: only for a window that shows it, and at most once a
    // second while a pass per photo runs through a large folder.
    if (!fDisplay || !fDisplay->isWindowVisible())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!always && now - fWaitingCountedMs.load() < 1000)
        return;
    fWaitingCountedMs = now;
    const QString root = currentRootFolder();
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return;
    // Photos at the top of the source folder are never sent unless names carry the client.
    const bool topToo = Preferences::getPrefFormBaseIdFromFileName();
    int waiting = 0;
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo file = it.fileInfo();
        if (file.isSymLink() || !isPhotoName(file.suffix()))
            continue;
        const QString rel = QDir(root).relativeFilePath(file.filePath());
        if ((!topToo && !rel.contains(QLatin1Char('/'))) || isAwaitingFiling(root, rel))
            continue;
        ++waiting;
    }
    fDisplay->showWaitingCount(waiting);
}

void AppController::ibClickedOnRevealProblemFolder(QObject*) {
    revealItemInFinder(Preferences::getLocalProblemUploadFolder().value_or(QString()));
}

} // namespace kivo
