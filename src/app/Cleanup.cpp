// The clean-up of old photos in the mirror folder and of empty folders.
#include "app/AppController.h"

#include "files/FolderSweep.h"
#include "files/QDI_FileManager.h"
#include "platform/Console.h"
#include "settings/Preferences.h"

#include <QDateTime>
#include <QFileInfo>

namespace kivo {

namespace {

const char* const kClass = "AppController";
constexpr qint64 kSecondsPerDay = 60 * 60 * 24;
// The quit-time sweep keeps the client folders themselves; this cut-off is not consulted then.
constexpr qint64 kQuitSweepAgeSeconds = 172800;

struct WindowCloser {
    std::unique_ptr<MaintenanceProgress> window;
    ~WindowCloser() {
        if (window)
            window->close();
    }
};

} // namespace

void AppController::doSetupDeleteOldPhotosThread() {
    consoleInside(kClass, "doSetupDeleteOldPhotosThread:");
    if (!Preferences::getPrefUseDoDeleteOldPhotos())
        return;
    deleteOldOldPhotosAndFolderIfEmptyWorks();
    if (maintenanceStopping())
        return;
    if (const std::optional<QString> mirror = Preferences::getLocalMasterMirrorSiteFolder())
        QDI_FileManager::deleteFolderIfEmpty(*mirror, false);
}

void AppController::deleteOldOldPhotosAndFolderIfEmptyWorks() {
    consoleInside(kClass, "deleteOldOldPhotosAndFolderIfEmptyWorks");
    if (!Preferences::getPrefUseDoDeleteOldPhotos())
        return;
    const std::optional<qint16> days =
        daysOldBeforeDeleting(Preferences::getPrefDaysOldBeforeDeleting());
    if (!days)
        return;
    OldPhotoRules rules;
    rules.cutoff = QDateTime::currentDateTime().addSecs(-qint64(*days) * kSecondsPerDay);
    rules.untouchable = Preferences::getLocalSourceUploadFolder().value_or(QString());
    rules.stopping = [this] { return maintenanceStopping(); };

    const QString mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or(QString());
    if (checkOldPhotoFolder(mirror) != OldPhotoSweep::Outcome::Done)
        return;
    if (!maintenancePause(4.0))
        return;

    WindowCloser progress{fDisplay ? fDisplay->openMaintenanceWindow() : nullptr};
    if (progress.window) {
        progress.window->ibUpdateLine1TextField(
            QStringLiteral("Deleting the OLD Photos (older than %1 days)...").arg(*days), true);
        progress.window->ibUpdateLine2TextField(QString(), true);
        progress.window->ibUpdateProgressBar(QStringLiteral("YES"));
        progress.window->show();
    }
    const OldPhotoSweep swept = deleteOldPhotos(mirror, rules, progress.window.get());
    consoleLine(QStringLiteral("Old photos in %1: %2 deleted, %3 kept, %4 skipped%5%6")
                    .arg(mirror)
                    .arg(swept.deleted)
                    .arg(swept.kept)
                    .arg(swept.skipped)
                    .arg(swept.failed
                             ? QStringLiteral(", %1 could not be deleted").arg(swept.failed)
                             : QString())
                    .arg(swept.outcome == OldPhotoSweep::Outcome::Stopped
                             ? QStringLiteral(" (stopped: quitting)")
                             : QString()));
}

void AppController::ibDeleteLocalFtpFolderIfEmpty(QObject*) {
    consoleInside(kClass, "ibDeleteLocalFtpFolderIfEmpty:");
    const QString source = Preferences::getLocalSourceUploadFolder().value_or(QString());
    if (source.isEmpty() || !QFileInfo(source).isDir())
        return;
    WindowCloser progress{fDisplay ? fDisplay->openMaintenanceWindow() : nullptr};
    if (progress.window) {
        progress.window->ibUpdateLine1TextField(
            QStringLiteral("Deleting Empty Folders in the Source Upload Folder:"), true);
        progress.window->ibUpdateLine2TextField(QString(), true);
        progress.window->ibUpdateProgressBar(QStringLiteral("YES"));
        progress.window->show();
    }
    QDI_FileManager::deleteFolderIfEmpty(
        source, true, QDateTime::currentDateTime().addSecs(-kQuitSweepAgeSeconds),
        progress.window.get());
}

} // namespace kivo
