// Filing judged items away under the journal's protection, and the holds of items that wait.
#include "app/AppController.h"

#include "files/QDI_FileManager.h"
#include "files/SafeMove.h"
#include "log/Printing.h"
#include "platform/Console.h"
#include "platform/MainThread.h"
#include "settings/Preferences.h"

#include <QDateTime>
#include <QDir>

namespace kivo {

namespace {

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

QString clockTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

QString describeReply(const QVariantMap& info) {
    QStringList parts;
    if (info.contains(kHttpStatusCode))
        parts << QStringLiteral("HTTP %1").arg(info.value(kHttpStatusCode).toLongLong());
    for (const QString& key : {kHttpOurCustomStatus, kHttpOurCustomMessage, kLocalRefusal})
        if (info.contains(key))
            parts << info.value(key).toString();
    return parts.join(QStringLiteral(" / "));
}

QString destinationName(PendingFiling::Destination destination) {
    return destination == PendingFiling::Destination::Mirror ? QStringLiteral("the mirror folder")
                                                             : QStringLiteral("Problem Folder");
}

// The same file as the journal saw: a new photo under the old name is not ours to file.
bool sameFileAs(const FileIdentity& now, const FileIdentity& seen) {
    return now.device == seen.device && now.inode == seen.inode && now.size == seen.size &&
           now.mtimeNs == seen.mtimeNs;
}

} // namespace

void AppController::useFilingJournal(const QString& path) {
    fJournal = std::make_unique<FilingJournal>(path);
    fJournal->load();
}

bool AppController::moveJudgedFile(const QString& item, const PendingFiling& entry) {
    if (entry.destination == PendingFiling::Destination::Mirror)
        return fOps.moveToMirror(item, entry.root);
    return fOps.moveToPath(item, entry.root, entry.destinationRoot, false, false, entry.stamp);
}

bool AppController::fileJudgedItem(const QVariantMap& info, PendingFiling::Destination destination,
                                   const QString& destinationRoot, const QString& stamp) {
    PendingFiling entry;
    entry.root = info.value(cDictKeyLocalSourceUploadFolder).toString();
    entry.item = info.value(cDictKeyCurItem).toString();
    entry.destination = destination;
    entry.destinationRoot = destinationRoot;
    entry.stamp = stamp;
    const QVariant seen = info.value(kLocalItemIdentity);
    if (seen.canConvert<FileIdentity>())
        entry.identity = seen.value<FileIdentity>();
    else if (const auto now = identityOfPath(entry.root + QLatin1Char('/') + entry.item))
        entry.identity = *now;
    entry.whenMs = nowMs();
    entry.reply = describeReply(info);
    // Written before anything moves: a crash in between leaves an entry, never a photo that
    // the next start would send again.
    fJournal->add(entry);
    // The movie follows only a filed photo, so the two never end up apart for good.
    const bool filed =
        moveJudgedFile(entry.item, entry) && moveJudgedFile(companionMoviePath(entry.item), entry);
    if (filed)
        fJournal->remove(entry.root, entry.item);
    return filed;
}

void AppController::reportFilingFailure(const QString& item,
                                        PendingFiling::Destination destination) {
    const QString why = QDI_FileManager::lastFailure();
    const QString text =
        QStringLiteral("[%1] cannot be filed into %2 (%3); it will not be sent again, and "
                       "filing it is tried again")
            .arg(item, destinationName(destination), why);
    myNSLog(text);
    fStation.notify(NoticeKind::CannotFile, text);
    const ItemHolds::Hold hold = fHolds.recordFailure(item, text, nowMs());
    ibUpdateFTPCallbackStatusTextField(
        QStringLiteral("%1 - next try at %2").arg(text, clockTime(hold.untilMs)), true);
}

void AppController::holdAfterFailure(const QString& item, const QString& why) {
    if (item.isEmpty())
        return;
    const ItemHolds::Hold hold = fHolds.recordFailure(item, why, nowMs());
    const QString text =
        QStringLiteral("%1 - next try of [%2] at %3").arg(why, item, clockTime(hold.untilMs));
    consoleLine(text);
    ibUpdateFTPCallbackStatusTextField(text, true);
}

bool AppController::isAwaitingFiling(const QString& root, const QString& relativePath) {
    return fJournal->find(QDir::cleanPath(root), relativePath).has_value() ||
           fJournal->find(root, relativePath).has_value();
}

std::optional<std::pair<QString, ItemHolds::Hold>> AppController::fileWaitingItems() {
    std::optional<std::pair<QString, ItemHolds::Hold>> firstDue;
    const qint64 now = nowMs();
    // True while the item is held, keeping the one due first.
    const auto held = [&](const QString& item, qint64 at) {
        const auto hold = fHolds.holdOf(item, at);
        if (hold && (!firstDue || hold->untilMs < firstDue->second.untilMs))
            firstDue = std::make_pair(item, *hold);
        return hold.has_value();
    };
    for (const PendingFiling& entry : fJournal->entries()) {
        if (held(entry.item, now))
            continue;
        const QString source = entry.root + QLatin1Char('/') + entry.item;
        const std::optional<FileIdentity> present = identityOfPath(source);
        if (present && !sameFileAs(*present, entry.identity)) {
            consoleLine(QStringLiteral("[%1] is a new file under the name of one already "
                                       "uploaded; it will be uploaded itself")
                            .arg(source));
            fJournal->remove(entry.root, entry.item);
            continue;
        }
        // Without the photo in the source, an interrupted filing left only its movie behind.
        const bool filed = (!present || moveJudgedFile(entry.item, entry)) &&
                           moveJudgedFile(companionMoviePath(entry.item), entry);
        if (filed) {
            fJournal->remove(entry.root, entry.item);
            fHolds.clear(entry.item);
            myNSLog(QStringLiteral("Filed [%1] into %2 (judged by the service at %3)")
                        .arg(entry.item, destinationName(entry.destination),
                             QDateTime::fromMSecsSinceEpoch(entry.whenMs)
                                 .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
            continue;
        }
        reportFilingFailure(entry.item, entry.destination);
        held(entry.item, nowMs());
    }
    noteWaitingPhotos();
    return firstDue;
}

void AppController::startPassAfter(qint64 delayMs) {
    const int ms = int(std::clamp<qint64>(delayMs, 1, ItemHolds::kLongestPauseMs));
    onMainThread(
        [this, ms] {
            // One pending start; an earlier one wins.
            if (!fHeldItemTimer->isActive() || fHeldItemTimer->remainingTime() > ms)
                fHeldItemTimer->start(ms);
        },
        false);
}

void AppController::recoverInterruptedFilings() {
    fJournal->load();
    int removed = 0;
    if (const auto mirror = Preferences::getLocalMasterMirrorSiteFolder())
        removed += safemove::sweepUnfinishedCopies(*mirror);
    if (const auto problem = Preferences::getLocalProblemUploadFolder())
        removed += safemove::sweepUnfinishedCopies(*problem);
    if (removed > 0)
        myNSLog(QStringLiteral("Removed %1 unfinished cop%2 left by an interrupted filing")
                    .arg(removed)
                    .arg(removed == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
    const size_t waiting = fJournal->entries().size();
    if (waiting > 0)
        myNSLog(QStringLiteral("%1 item(s) judged by the service still wait to be filed; they "
                               "are filed at the next pass and never sent again")
                    .arg(waiting));
}

} // namespace kivo
