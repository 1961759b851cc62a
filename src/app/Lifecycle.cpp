// Start-up and shut-down of the application controller.
#include "app/AppController.h"

#include "files/QDI_FileManager.h"
#include "files/SafeMove.h"
#include "log/MessageLog.h"
#include "log/Printing.h"
#include "log/QDLogFileManager.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/HttpTransport.h"
#include "platform/MainThread.h"
#include "process/ProcessControl.h"
#include "settings/Preferences.h"
#include "settings/ValueTransformers.h"

#include <QTimer>
#include <cstdlib>

namespace kivo {

namespace {

const char* const kClass = "AppController";

// File events need kernel 2.6 or later; the minimum the program runs on.
constexpr float kMinimumSystemVersion = 2.6f;

} // namespace

void AppController::initializeClass() {
    QDLogFileManager::setupLogFile();
    registerValueTransformers();
    Preferences::setupFactoryDefaults();
    QDLogFileManager::deleteOldLogs([] { return Preferences::getDaysToSaveLogs(); });
    UploadHistory::deleteOldFiles(UploadHistory::defaultFolder(), QDateTime::currentDateTime(),
                                  Preferences::getDaysToSaveLogs());
}

void AppController::registerPipelineObservers() {
    auto& center = NotificationCenter::defaultCenter();
    using Handler = void (AppController::*)(const Notification&);
    const std::pair<QString, Handler> table[] = {
        {kScanFolderNotification, &AppController::handleNotification_ScanFolder},
        {kPrepareUploadStartNotification, &AppController::handleNotification_PrepareUploadStart},
        {kUploadStartNotification, &AppController::handleNotification_UploadStart},
        {kUploadDoneNotification, &AppController::handleNotification_UploadDone},
        {kUploadSuccessNotification, &AppController::handleNotification_UploadSuccess},
        {kUploadFailNotification, &AppController::handleNotification_UploadFail},
        {kRetriggerNotification, &AppController::handleNotification_Retrigger},
        {kUpdateProgressWindowNotification,
         &AppController::handleNotification_UpdateProgressWindow},
        {kWatcherStarted, &AppController::handleNotification_WatcherStarted},
        {kWatcherItemChanged, &AppController::handleNotification_WatcherItemChanged},
        {kDebugMoveItemsBack, &AppController::handleNotification_DebugMoveItemsBack},
        {kUploadProcessPaused, &AppController::handleNotification_UploadProcessPaused},
        {kCleanUpAfterUploadNotification, &AppController::handleNotification_CleanUpAfterUpload},
        {kCleanUpAfterCompleteLoop, &AppController::handleNotification_CleanUpAfterCompleteLoop},
    };
    for (const auto& [name, handler] : table)
        center.addObserver(this, name,
                           [this, h = handler](const Notification& n) { (this->*h)(n); });
}

void AppController::awakeFromNib() {
    {
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        fWatcherRunLoop = QVariant();
    }
    registerPipelineObservers();

    // The system version: the kernel release stands in for the desktop system's version.
    const std::optional<QString> release =
        runShellScript2(QStringLiteral("/usr/bin/uname"), {QStringLiteral("-r")});
    if (!release) {
        consoleLine(QStringLiteral("runShellScript2 failed to get Mac OS version???"));
    } else {
        setMacOsVersion(QStringLiteral("v") + *release);
        const float version = float(std::atof(release->toLatin1().constData()));
        fIsRunningLeopard = version >= kMinimumSystemVersion;
        if (version < kMinimumSystemVersion) {
            MessageLog::LogMessage(
                QStringLiteral("Sorry - Unsupported Mac OS Version: Your OS Version is: "
                               "[%1]\nMinimum Requirement: [v%2]")
                    .arg(getMacOsVersionString())
                    .arg(double(kMinimumSystemVersion), 0, 'f', 2),
                true);
            onMainThreadWhileAlive(&AppController::requestTermination);
        }
        if (fDisplay && fDisplay->hasField(StatusField::MacOSVersion))
            fDisplay->setFieldText(StatusField::MacOSVersion,
                                   QStringLiteral("OS: %1").arg(getMacOsVersionString().trimmed()));
    }
    const QVariant copyright = bundle::infoValue(QStringLiteral("NSHumanReadableCopyright"));
    setCopyrightVersion(copyright.isValid() ? copyright.toString()
                                            : QStringLiteral("Copyright Quandril"));
    const QVariant version = bundle::infoValue(QStringLiteral("CFBundleShortVersionString"));
    setAppVersion(version.isValid() ? version.toString()
                                    : QStringLiteral("Unknown CFBundleShortVersionString"));
    Preferences::migrateOldSettingsIfNeeded();
}

void AppController::applicationWillFinishLaunching() {
    MessageLog::InitLog();
    MessageLog::LogMessage("applicationWillFinishLaunching", true);
    // The version field reads "App Vers: ..." like the one tagged 888 on the desktop.
    MessageLog::LogMessage(QStringLiteral("%1 Version is [%2]")
                               .arg(bundle::displayName(), getAppVersionString())
                               .toStdString());
    if (fDisplay && fDisplay->hasField(StatusField::Version))
        fDisplay->setFieldText(StatusField::Version,
                               QStringLiteral("App Vers: %1").arg(getAppVersionString()));
    if (fDisplay && fDisplay->hasField(StatusField::Copyright)) {
        fDisplay->setFieldText(StatusField::Copyright, getCopyrightString());
        MessageLog::LogMessage(
            QStringLiteral("Copyright Info is [%1]").arg(getCopyrightString()).toStdString());
    }
    if (fDisplay && fDisplay->hasField(StatusField::SourceFolderPath))
        fDisplay->setFieldToolTip(StatusField::SourceFolderPath,
                                  Preferences::getLocalSourceUploadFolder().value_or(QString()));
    // The settings open as a free window at start, locked, so nothing waits on them; a hidden
    // start stays hidden.
    if (fDisplay && fDisplay->hasLoginPanel()) {
        fDisplay->loginPanel()->ibClickedOnLockIcon();
        if (fDisplay->isWindowVisible())
            ibClickedOnOpenPref(nullptr);
    }
    setupForAppleEventsForThisApp();
    recoverInterruptedFilings();
    showUploadHistoryAtStart();
    // Twice: a folder that held only empty folders is empty once the first sweep has run.
    if (const std::optional<QString> source = Preferences::getLocalSourceUploadFolder();
        source && !source->isEmpty()) {
        QDI_FileManager::deleteOLDFolderIfEmpty(*source, false, 3);
        QDI_FileManager::deleteOLDFolderIfEmpty(*source, false, 3);
    }
    fOldPhotosThread.start([this] { doSetupDeleteOldPhotosThread(); });
    fOrderCheckThread.start([this] { doQueryAndUploadHiResProcess(); });
    // Lives until the process ends: a detached scan thread may be uploading through it.
    fHttpController = new HttpController;
    fHttpController->setProgressDelegate(this);
}

void AppController::applicationDidFinishLaunching() {
    MessageLog::LogMessage("applicationDidFinishLaunching", true);
    if (Preferences::getAutoStartUploadAtStartup()) {
        const int seconds = Preferences::getPrefShowWindowAtStartup() ? 30 : 10;
        consoleLine(QStringLiteral("Automatic start: the first synchronize follows in %1 seconds")
                        .arg(seconds));
        QTimer::singleShot(seconds * 1000, this, [this] { ibUserClickedOnSynchronize(this); });
    }
}

bool AppController::applicationShouldTerminate() {
    MessageLog::LogMessage("applicationShouldTerminate\n", true);
    MessageLog::LogMessage("applicationShouldTerminate STOP the MAIN IDLE LOOP!\n", true);
    return true;
}

void AppController::requestTermination() {
    // The quit closes the window, whose closing asks again: one quit, one set of lines.
    terminateApplication([this] { return applicationShouldTerminate(); });
}

void AppController::applicationWillTerminate() {
    if (gStartedUploadProcess) {
        consoleLine(QStringLiteral("Telling Thread to Stop - as soon as possible"));
        setWantsToHaltProcess(true);
        // The item stays in the source folder; the send is abandoned, not waited for.
        abortAllHttpTransfers();
    }
    // A filing copy under way is abandoned with its source intact; its journal entry
    // finishes the filing at the next start.
    if (const int removed = safemove::stopCopying())
        consoleLine(QStringLiteral("Removed %1 unfinished filing cop%2 at quit")
                        .arg(removed)
                        .arg(removed == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
    stopMaintenanceThreads();
    if (Preferences::getPrefDeleteEmptyFtpFolders())
        ibDeleteLocalFtpFolderIfEmpty(nullptr);
    Preferences::store().synchronize();
    MessageLog::LogMessage("applicationWillTerminate - DONE!", true);
    MessageLog::CloseLog();
}

void AppController::relaunchApp(const QVariantMap& request) {
    consoleLine(insideText(kClass, "relaunchApp:") +
                QStringLiteral("param = [%1]").arg(Preferences::describe(request)));
    MessageLog::LogMessage("NEED TO FORCE a RESTART...");
    // A relaunch goes through the normal termination path; the helper starts the new instance
    // once this one has ended. Without the helper nothing would run afterwards, so the program
    // then stays (the hung send still ends at its idle time-out).
    if (!relaunch(QVariant(request), [this](QObject*) { requestTermination(); }))
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Could Not Restart the Uploader..."),
                                           true);
}

void AppController::revealItemInFinder(const QString& path) {
    kivo::revealItemInFinder(path);
}

void AppController::ibClickedOnRevealFinder1(QObject*) {
    revealItemInFinder(Preferences::getLocalSourceUploadFolder().value_or(QString()));
}
void AppController::ibClickedOnRevealFinder2(QObject*) {
    revealItemInFinder(Preferences::getLocalMasterMirrorSiteFolder().value_or(QString()));
}
void AppController::ibClickedOnRevealFinder3(QObject*) {
    revealItemInFinder(Preferences::getPrefGlvHiResAlternatePath1().value_or(QString()));
}

} // namespace kivo
