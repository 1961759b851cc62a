#include "app/AppController.h"

#include "files/QDI_FileManager.h"
#include "log/MessageLog.h"
#include "log/Printing.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/MainThread.h"
#include "scan/ImageCheck.h"
#include "settings/Preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QSysInfo>
#include <QUrl>
#include <chrono>
#include <thread>

namespace kivo {

std::atomic<bool> gStartedUploadProcess{false};
std::atomic<bool> gWantsToHaltProcess{false};
std::atomic<bool> gDidHaltProcess{false};
std::atomic<bool> gInsideOpenFile{false};
std::atomic<bool> gIsScanning{false};
std::atomic<std::int32_t> gNeedsToRescan{0};
std::atomic<bool> gIsInWatchFolderInstaller{false};

namespace {

const char* const kClass = "AppController";

// The account used until the settings hold one. Empty on purpose: a pass is refused rather
// than sent under an account nobody chose.
const QString kDefaultUserName;
const QString kDefaultPassword;

QString inside(const char* method) {
    return insideText(kClass, method);
}

bool sameText(const QVariant& v, const QString& text) {
    return v.isValid() && v.toString().compare(text, Qt::CaseInsensitive) == 0;
}

// The item's relative path and its source root, or none (with a console line for each missing
// key) when the record cannot say where the item is.
std::optional<std::pair<QString, QString>> itemAndRoot(const QVariantMap& info,
                                                       const char* method) {
    const bool hasRoot = info.contains(cDictKeyLocalSourceUploadFolder);
    const bool hasItem = info.contains(cDictKeyCurItem);
    if (!hasRoot)
        consoleLine(inside(method) + QStringLiteral(" PASSED BAD cDictKeyLocalSourceUploadFolder"));
    if (!hasItem)
        consoleLine(inside(method) + QStringLiteral(" PASSED BAD cDictKeyCurItem"));
    if (!hasRoot || !hasItem)
        return std::nullopt;
    return std::make_pair(info.value(cDictKeyCurItem).toString(),
                          info.value(cDictKeyLocalSourceUploadFolder).toString());
}

} // namespace

AppController::AppController() : fCurUserName(kDefaultUserName), fCurPassword(kDefaultPassword) {
    fOps.startDetached = [](std::function<void()> fn) { std::thread(std::move(fn)).detach(); };
    fOps.startScan = [this](const Notification& n) {
        Notification copy = n;
        fOps.startDetached([this, copy] { scanFolderOnMainThread(copy); });
    };
    fOps.moveToMirror = [](const QString& item, const QString& root) {
        return QDI_FileManager::moveFileToPath(item, root);
    };
    fOps.moveToPath = [](const QString& item, const QString& root, const QString& dest,
                         bool overwrite, bool encapsulate, const QString& stamp) {
        return QDI_FileManager::moveFileToPath(item, root, dest, overwrite, encapsulate, stamp);
    };
    fOps.stampIfTaken = [](const QString& dest, const QStringList& items) {
        return QDI_FileManager::stampIfTaken(dest, items);
    };
    fOps.pause = [](double seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    fJournal = std::make_unique<FilingJournal>(FilingJournal::defaultPath());
    fHeldItemTimer = new QTimer(this);
    fHeldItemTimer->setSingleShot(true);
    connect(fHeldItemTimer, &QTimer::timeout, this, [this] { startNextPass(); });
}

AppController::~AppController() {
    NotificationCenter::defaultCenter().removeObserver(this);
    // The workers use the controller's fields; none may outlive them.
    stopMaintenanceThreads();
}

// ---- run-state setters ----------------------------------------------------------------------

void AppController::setStartedUploadProcess(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    gStartedUploadProcess = v;
}
void AppController::setWantsToHaltProcess(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    gWantsToHaltProcess = v;
}
void AppController::setDidHaltProcess(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    gDidHaltProcess = v;
}
void AppController::setIsInsideOpenFile(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    gInsideOpenFile = v;
}
void AppController::setIsScanningFolder(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    gIsScanning = v;
}
void AppController::setIsInsideWatchFolderThread(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    gIsInWatchFolderInstaller = v;
}
void AppController::setNeedsToRescan(bool v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    if (v)
        ++gNeedsToRescan;
    else
        gNeedsToRescan = 0;
}

QString AppController::currentEventName() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fCurEventName;
}
QString AppController::currentUserName() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fCurUserName;
}
QString AppController::currentPassword() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fCurPassword;
}
QString AppController::currentRootFolder() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fRootFolder;
}

// ---- starting a pass ------------------------------------------------------------------------

bool AppController::applicationOpenFile(const QString& path) {
    myNSLog(inside("application:openFile:"));
    {
        // The mark is tested and set in one step: two triggers at once start one pass.
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        if (gInsideOpenFile) {
            myNSLog(inside("application:openFile:") +
                    QStringLiteral("  Another Instance is ALREADY RUNNING...."));
            return true;
        }
        if (path.isEmpty() || !QFileInfo::exists(path)) {
            myNSLog(inside("application:openFile:") +
                    QStringLiteral("  Source Path/Item Does NOT Exist = [%1]....").arg(path));
            return true;
        }
        setIsInsideOpenFile(true);
    }
    if (gStartedUploadProcess) {
        setIsInsideOpenFile(false);
        myNSLog(inside("application:openFile:") +
                QStringLiteral("  An UPLOAD Process Is Still In Progress...."));
        return false;
    }
    if (!validateUserInfoBeforeUploading(path)) {
        setIsInsideOpenFile(false);
        return false;
    }
    cancelRetriggerTimerOnMainThread();
    getCurrentLoginInfo();
    getUserEnteredEventName();

    QString eventName, userName;
    {
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        fRootFolder = path;
        eventName = fCurEventName;
        userName = fCurUserName;
    }
    auto request = std::make_shared<QVariantMap>();
    request->insert(cDictKeyLocalSourceUploadFolder, path);
    request->insert(cDictKeyLocalMirrorFolder,
                    Preferences::getLocalMasterMirrorSiteFolder().value_or(QString()));
    request->insert(cDictKeyUserEnteredEventName, eventName);
    NotificationCenter::defaultCenter().post(kScanFolderNotification, this, request);

    if (fDisplay) {
        if (!fDisplay->isWindowVisible())
            fDisplay->bringToFront();
        const QString host = QUrl(Preferences::getPrefGlvURL().value_or(QString())).host();
        ibUpdateLoginName(host.isEmpty() ? userName : userName + QLatin1Char('.') + host);
        ibUpdateUploadMainPath(path + QLatin1Char('/'));
        ibUpdateSourceFolderPath(path);
    }
    setIsInsideOpenFile(false);
    return true;
}

bool AppController::validateUserInfoBeforeUploading(const std::optional<QString>& path) {
    int problems = 0;
    const QString mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or(QString());
    if (mirror.isEmpty()) {
        myNSLog(QStringLiteral("Local Master Mirror Folder Has NOT Been Selected Yet..."));
        problems = 1;
    } else if (!QFileInfo(bundle::expandTilde(mirror)).isDir()) {
        myNSLog(
            QStringLiteral("Local Master Mirror Folder is NOT a Valid FOLDER: [%1]").arg(mirror));
        problems = 1;
    }
    const QString source =
        path ? *path : Preferences::getLocalSourceUploadFolder().value_or(QString());
    if (source.isEmpty()) {
        myNSLog(QStringLiteral("Local Source Upload Folder Has NOT Been Selected Yet..."));
        ++problems;
    } else if (!QFileInfo(bundle::expandTilde(source)).isDir()) {
        myNSLog(
            QStringLiteral("Local Source Upload Folder is NOT a Valid FOLDER: [%1]").arg(source));
        ++problems;
    }
    if (problems == 0) {
        getUserEnteredEventName();
        const QString event = currentEventName();
        if (event.isEmpty() || event.compare(sEventNamePlaceholder, Qt::CaseInsensitive) == 0) {
            consoleLine(QStringLiteral("The event name is missing or still the placeholder: [%1]")
                            .arg(event));
            problems = 1;
        }
    }
    getCurrentLoginInfo();
    {
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        if (!fCurPassword.isNull() && fCurPassword.isEmpty()) {
            consoleLine(QStringLiteral("The account password is empty"));
            ++problems;
        }
        if (fCurUserName.isEmpty()) {
            consoleLine(QStringLiteral("The account name is missing"));
            ++problems;
        }
    }
    if (problems != 0)
        systemBeep();
    return problems == 0;
}

void AppController::getUserEnteredEventName() {
    if (!Preferences::getUseEventName())
        return;
    Defaults& d = Preferences::store();
    const std::optional<QString> stored = d.stringForKey(sPrefUserEnteredEventName);
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    if (!stored) {
        consoleLine(QStringLiteral("USER did NOT Enter a Valid Event/Location Name"));
    } else {
        const QString trimmed = stored->trimmed();
        if (stored->compare(trimmed, Qt::CaseInsensitive) != 0) {
            consoleLine(QStringLiteral("Needed to Remove Leading and Trailing Spaces - Before [%1]")
                            .arg(*stored));
            consoleLine(QStringLiteral("Needed to Remove Leading and Trailing Spaces - After  [%1]")
                            .arg(trimmed));
            d.setString(sPrefUserEnteredEventName, trimmed);
        }
        fCurEventName = trimmed.isNull() ? QStringLiteral("") : trimmed;
    }
    consoleLine(QStringLiteral("Using Event Name = [%1]").arg(fCurEventName));
}

void AppController::getCurrentLoginInfo() {
    const std::optional<QString> name = Preferences::store().stringForKey(sUserLoginName);
    const std::optional<QString> password = Preferences::store().stringForKey(sUserLoginPassword);
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    if (name)
        fCurUserName = *name;
    else
        fputs("Using Factory default for curUserLoginName\n", stderr);
    if (password)
        fCurPassword = password->isNull() ? QStringLiteral("") : *password;
    else
        fputs("Using Factory default for curUserLoginPassword\n", stderr);
}

void AppController::saveLoginInfo(QObject*) {
    if (!validateUserInfoBeforeUploading(std::nullopt)) {
        systemBeep();
        return;
    }
    getCurrentLoginInfo();
    // The settings window locks and closes on the main thread.
    const QPointer<AppController> self(this);
    onMainThread(
        [self] {
            SettingsPanel* panel = self && self->fDisplay ? self->fDisplay->loginPanel() : nullptr;
            if (!panel)
                return;
            if (panel->isShown())
                panel->forceLockedIcon(0);
            if (panel->displayAsSheet())
                panel->endSheet(1);
            else
                panel->close();
        },
        false);
}

void AppController::openFileOnMainThread() {
    consoleInside(kClass, "openFileOnMainThread:");
    while (gInsideOpenFile) {
        consoleLine(inside("openFileOnMainThread:") +
                    QStringLiteral(" Need to Wait for OpenFile to be Free..."));
        fOps.pause(0.5);
    }
    applicationOpenFile(Preferences::getLocalSourceUploadFolder().value_or(QString()));
}

// ---- handlers -------------------------------------------------------------------------------

bool AppController::hasNotificationInfo(const Notification& n, const char* method) {
    consoleInside(kClass, method);
    if (n.userInfo)
        return true;
    consoleLine(QStringLiteral("Unknown Class Type Found: [%1] with the info:\n").arg(n.name));
    return false;
}

void AppController::handleNotification_ScanFolder(const Notification& n) {
    consoleInside(kClass, "handleNotification_ScanFolder:");
    fOps.startScan(n);
}

void AppController::scanFolderOnMainThread(const Notification& n) {
    scanFolder(*this, n);
}

void AppController::startNextPass() {
    fOps.startDetached([this] { openFileOnMainThread(); });
}

void AppController::handleNotification_PrepareUploadStart(const Notification& n) {
    consoleInside(kClass, "handleNotification_PrepareUploadStart:");
    if (gStartedUploadProcess) {
        myNSLog(inside("handleNotification_PrepareUploadStart:") +
                QStringLiteral(" => An Upload Process Already in Progress..."));
        return;
    }
    Notification next = n;
    next.name = kUploadStartNotification;
    next.object = this;
    NotificationCenter::defaultCenter().post(next);
}

void AppController::handleNotification_UploadStart(const Notification& n) {
    consoleInside(kClass, "handleNotification_UploadStart:");
    if (!n.userInfo)
        myNSLog(QStringLiteral("Unknown Class Type Found: [%1] with the info:\n").arg(n.name));
    setStartedUploadProcess(true);
    fUploadStartMs = QDateTime::currentMSecsSinceEpoch();
    const QVariantMap info = n.userInfo ? *n.userInfo : QVariantMap();
    if (!info.contains(cDictKeyCurItem))
        consoleLine(QStringLiteral("handleNotification_UploadStart got bad itemToMove = nil..."));
    else
        ibUpdateFileNameField(info.value(cDictKeyCurItem).toString());
    ibUpdateUploadStatusTextField(QStringLiteral("Uploading..."));
    fStation.setState(StationState::Uploading,
                      QFileInfo(info.value(cDictKeyCurItem).toString()).fileName());
    ibUpdateProgressBar(QStringLiteral("YES"));
    if (Preferences::getPrefShowPreviewWhenUploading() && fDisplay && fDisplay->hasImageView() &&
        fDisplay->isWindowVisible())
        showPreviewOf(info.value(kEdFileName).toString());
}

// The preview is made beside the upload, not before it, and only for a window on screen: a
// decode of a 12 MP photo costs more processor time than its upload. While one is still being
// made, the next photo gets none.
void AppController::showPreviewOf(const QString& path) {
    bool idle = false;
    if (!fPreviewBusy.compare_exchange_strong(idle, true))
        return;
    fOps.startDetached([this, path] {
        // The window may have been hidden since.
        if (fDisplay && fDisplay->isWindowVisible()) {
            const QImage image = previewImageOf(path, QSize(640, 640));
            if (!image.isNull())
                fDisplay->showPreview(image);
        }
        fPreviewBusy = false;
    });
}

void AppController::handleNotification_UploadDone(const Notification&) {
    consoleInside(kClass, "handleNotification_UploadDone:");
    ibUpdateProgressBar(QStringLiteral("NO"));
    if (gWantsToHaltProcess) {
        setDidHaltProcess(true);
        fStation.setState(StationState::Paused);
        if (fDisplay && fDisplay->hasPauseResumeButton()) {
            fDisplay->setPauseResumeTitle(QStringLiteral("Resume"));
            fDisplay->setPauseResumeEnabled(true);
        }
    }
}

void AppController::handleNotification_UploadSuccess(const Notification& n) {
    consoleInside(kClass, "handleNotification_UploadSuccess:");
    if (!n.userInfo) {
        consoleLine(QStringLiteral("Uknown Item to handle as success?????\n\n"));
    } else if (const auto located = itemAndRoot(*n.userInfo, "handleNotification_UploadSuccess:")) {
        const QString& item = located->first;
        fHolds.clear(item);
        // Accepted is final: should the mirror folder not take it, it waits in the journal to
        // be filed and is never sent again, while the loop goes on with other items.
        const bool filed = fileJudgedItem(
            *n.userInfo, PendingFiling::Destination::Mirror,
            Preferences::getLocalMasterMirrorSiteFolder().value_or(QString()), QString());
        if (!filed)
            reportFilingFailure(item, PendingFiling::Destination::Mirror);
        recordResult(*n.userInfo, filed ? UploadOutcome::Uploaded : UploadOutcome::Unfiled,
                     QString());
    }
    Notification cleanUp;
    cleanUp.name = kCleanUpAfterUploadNotification;
    cleanUp.object = this;
    cleanUp.userInfo = n.userInfo;
    NotificationCenter::defaultCenter().post(cleanUp);
}

void AppController::showAsError(const QString& text) {
    ibUpdateFTPCallbackStatusTextField(text, true);
    ibUpdateUploadStatusTextField(text);
}

bool AppController::fileItemAway(const QVariantMap& info) {
    const auto located = itemAndRoot(info, "handleNotification_UploadFail:");
    if (!located)
        return true; // nothing we could file; the loop goes on as before
    const auto& [item, root] = *located;
    const std::optional<QString> problem = Preferences::getLocalProblemUploadFolder();
    const QString destination = problem.value_or(QString());
    if (problem) {
        const QString parent = QFileInfo(item).path();
        // One level only; the move itself creates whatever else is missing.
        QDir().mkdir(parent == QLatin1String(".") ? *problem
                                                  : *problem + QLatin1Char('/') + parent);
    }
    // Never overwrite an earlier refused item: a taken name is filed under a stamped one, the
    // same stamp for photo and movie.
    const QString stamp =
        problem ? fOps.stampIfTaken(destination, {item, companionMoviePath(item)}) : QString();
    if (fileJudgedItem(info, PendingFiling::Destination::Problem, destination, stamp)) {
        fStation.notify(NoticeKind::FiledAsProblem, describeRefusal(info));
        return true;
    }
    reportFilingFailure(item, PendingFiling::Destination::Problem);
    return false;
}

void AppController::handleNotification_UploadFail(const Notification& n) {
    consoleInside(kClass, "handleNotification_UploadFail:");
    bool stop = false;
    bool fileAway = false;
    bool filedAway = false;
    bool filedOk = true;
    QString shown; // the last error shown, for the item's hold
    auto showError = [&](const QString& text) {
        showAsError(text);
        shown = text;
    };
    auto fileIt = [&](const QVariantMap& info) {
        // Filed or not, a judged item is never sent again (a failure waits in the journal).
        filedOk = fileItemAway(info);
        filedAway = true;
    };
    const auto outcome = [&] {
        if (!filedAway)
            return UploadOutcome::Retry;
        return filedOk ? UploadOutcome::Refused : UploadOutcome::Unfiled;
    };
    ibUpdateUploadStatusTextField(QString());
    if (n.userInfo) {
        const QVariantMap info = *n.userInfo;
        const QString item = info.value(cDictKeyCurItem).toString();
        // Not the service's judgement of this photo: it stays, whatever else the reply holds.
        const QString notJudged = info.contains(kLocalRetryReason)
                                      ? info.value(kLocalRetryReason).toString()
                                      : info.value(kHttpNotAVerdict).toString();
        if (!notJudged.isEmpty()) {
            if (info.contains(kHttpError))
                fOps.pause(1.0);
            holdAfterFailure(item, notJudged);
            recordResult(info, UploadOutcome::Retry, notJudged);
        } else if (info.contains(kLocalRefusal)) {
            showError(info.value(kLocalRefusal).toString());
            fileIt(info);
            recordResult(info, outcome(), shown);
        } else {
            if (info.contains(kHttpError)) {
                showError(info.value(kHttpError).toString());
                fOps.pause(1.0);
            }
            if (info.contains(kHttpOurCustomError)) {
                showError(info.value(kHttpOurCustomError).toString());
                stop = true;
            }
            const QString message = info.value(kHttpOurCustomMessage).toString();
            if (info.contains(kHttpOurCustomStatus)) {
                const QVariant status = info.value(kHttpOurCustomStatus);
                if (sameText(status, QStringLiteral("ERROR"))) {
                    showError(message);
                    stop = true;
                }
                if (sameText(status, QStringLiteral("Warning"))) {
                    showError(message);
                    fileAway = true;
                }
                if (sameText(status, QStringLiteral("OK"))) {
                    ibUpdateFTPCallbackStatusTextField(message, false);
                    ibUpdateUploadStatusTextField(message);
                }
            }
            if (info.contains(kHttpStatusCode)) {
                const qlonglong code = info.value(kHttpStatusCode).toLongLong();
                if (code != 200) {
                    showError(QStringLiteral("HTTP Server Returned Status Code: %1").arg(code));
                    fOps.pause(2.0);
                    fileIt(info);
                } else if (message.compare(QStringLiteral("No Email Addresses Sent"),
                                           Qt::CaseInsensitive) == 0) {
                    fOps.pause(2.0);
                    fileIt(info);
                } else if (fileAway) {
                    fileIt(info);
                }
            } else if (fileAway) {
                fileIt(info);
            }
            if (stop) {
                recordResult(info, outcome(), shown);
                // The loop stands still, showing the error, until the next trigger.
                setStartedUploadProcess(false);
                fStation.setState(StationState::Stopped, shown);
                fStation.notify(NoticeKind::LoopStopped, shown);
                return;
            }
            // Left in place to be tried again: not at once, and later each time it fails.
            if (!filedAway && !item.isEmpty())
                holdAfterFailure(
                    item, shown.isEmpty()
                              ? QStringLiteral("[%1] was not accepted (%2: %3)")
                                    .arg(item, info.value(kHttpOurCustomStatus).toString(), message)
                              : shown);
            recordResult(info, outcome(), shown);
        }
    }
    Notification cleanUp;
    cleanUp.name = kCleanUpAfterUploadNotification;
    cleanUp.object = this;
    cleanUp.userInfo = n.userInfo;
    NotificationCenter::defaultCenter().post(cleanUp);
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification& n) {
    consoleInside(kClass, "handleNotification_CleanUpAfterUpload:");
    if (n.userInfo)
        n.userInfo->clear();
    setStartedUploadProcess(false);
    if (gDidHaltProcess) {
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Process Paused..."));
        return;
    }
    startNextPass();
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification& n) {
    consoleInside(kClass, "handleNotification_CleanUpAfterCompleteLoop:");
    if (n.userInfo)
        n.userInfo->clear();
    setStartedUploadProcess(false);
    if (!gDidHaltProcess)
        fStation.setState(StationState::Idle);
    noteWaitingPhotos(true);
}

void AppController::handleNotification_Retrigger(const Notification&) {
    consoleInside(kClass, "handleNotification_Retrigger:");
}

void AppController::handleNotification_UpdateProgressWindow(const Notification& n) {
    if (!hasNotificationInfo(n, "handleNotification_UpdateProgressWindow:") || !fDisplay)
        return;
    const QVariantMap& info = *n.userInfo;
    if (info.contains(QStringLiteral("ibFTPCallbackStatusField")) &&
        fDisplay->hasField(StatusField::FTPCallbackStatus))
        ibUpdateFTPCallbackStatusTextField(
            info.value(QStringLiteral("ibFTPCallbackStatusField")).toString());
    if (info.contains(QStringLiteral("ibFtpUploadNameField")) &&
        fDisplay->hasField(StatusField::FileName))
        ibUpdateFileNameField(info.value(QStringLiteral("ibFtpUploadNameField")).toString());
    if (info.contains(QStringLiteral("ibUploadFileStatusField")) &&
        fDisplay->hasField(StatusField::UploadFileStatus))
        ibUpdateUploadStatusTextField(
            info.value(QStringLiteral("ibUploadFileStatusField")).toString());
}

void AppController::handleNotification_WatcherStarted(const Notification& n) {
    consoleInside(kClass, "handleNotification_WatcherStarted:");
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    fWatcherRunLoop = n.userInfo ? n.userInfo->value(QStringLiteral("CFRunLoopRef")) : n.payload;
}

void AppController::handleNotification_WatcherItemChanged(const Notification&) {
    consoleInside(kClass, "handleNotification_WatcherItemChanged:");
    startNextPass();
}

void AppController::handleNotification_DebugMoveItemsBack(const Notification&) {
    consoleInside(kClass, "handleNotification_DebugMoveItemsBack:");
    ibUpdateFTPCallbackStatusTextField(QStringLiteral("Moving Files Back for Debugging..."));
}

void AppController::handleNotification_UploadProcessPaused(const Notification& n) {
    consoleInside(kClass, "handleNotification_UploadProcessPaused:");
    doHandleOpenPrefPanel(n.payload);
}

// ---- status display -------------------------------------------------------------------------

void AppController::ibUpdateNSTextField(StatusField field, const QString& text, bool wait,
                                        bool isError) {
    if (!fDisplay || !fDisplay->hasField(field))
        return;
    fDisplay->updateField(field, text, wait, isError);
}

void AppController::ibUpdateNSTextField(StatusField field, const QString& text, bool wait) {
    ibUpdateNSTextField(field, text, wait, false);
}

void AppController::ibUpdateFTPCallbackStatusTextField(const QString& text) {
    ibUpdateNSTextField(StatusField::FTPCallbackStatus, text, false, false);
}
void AppController::ibUpdateFTPCallbackStatusTextField(const QString& text, bool isError) {
    ibUpdateNSTextField(StatusField::FTPCallbackStatus, text, false, isError);
}
void AppController::ibUpdateUploadStatusTextField(const QString& text) {
    ibUpdateNSTextField(StatusField::UploadFileStatus, text, false, false);
}
void AppController::ibUpdateFileNameField(const QString& text) {
    ibUpdateNSTextField(StatusField::FileName, text, false, false);
}
void AppController::ibUpdateLoginName(const QString& text) {
    ibUpdateNSTextField(StatusField::LoginName, text, false, false);
}
void AppController::ibUpdateUploadMainPath(const QString& text) {
    ibUpdateNSTextField(StatusField::UploadMainPath, text, false, false);
}
void AppController::ibUpdateSourceFolderPath(const QString& text) {
    ibUpdateNSTextField(StatusField::SourceFolderPath, text, false, false);
    if (fDisplay && fDisplay->hasField(StatusField::SourceFolderPath))
        fDisplay->setFieldToolTip(StatusField::SourceFolderPath, text);
}

void AppController::ibUpdateProgressBar(const QString& yesOrNo) {
    if (fDisplay)
        fDisplay->updateProgressBar(yesOrNo);
}

QString AppController::getAppVersionString() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fAppVersionString;
}
QString AppController::getCopyrightString() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fCopyrightString;
}
QString AppController::getMacOsVersionString() const {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    return fMacVersionString;
}
void AppController::setAppVersion(const QString& v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    fAppVersionString = v;
}
void AppController::setCopyrightVersion(const QString& v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    fCopyrightString = v;
}
void AppController::setMacOsVersion(const QString& v) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    fMacVersionString = v;
}

} // namespace kivo
