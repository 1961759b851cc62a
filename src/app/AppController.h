#pragma once
// The application controller: the hub of the upload pipeline. It starts each pass, reacts to
// every stage of an upload, decides where an item goes and starts the next pass.
#include "app/Pipeline.h"
#include "app/StationNotices.h"
#include "files/FilingJournal.h"
#include "log/UploadHistory.h"
#include "platform/NotificationCenter.h"
#include "platform/OwnedThread.h"
#include "scan/FolderScan.h"
#include "ui/StatusDisplay.h"
#include "upload/HttpController.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

namespace kivo {

// Run-state flags: written only through the AppController setters, read anywhere.
extern std::atomic<bool> gStartedUploadProcess;
extern std::atomic<bool> gWantsToHaltProcess;
extern std::atomic<bool> gDidHaltProcess;
extern std::atomic<bool> gInsideOpenFile;
extern std::atomic<bool> gIsScanning;
extern std::atomic<std::int32_t> gNeedsToRescan;
extern std::atomic<bool> gIsInWatchFolderInstaller;
// Set while an order check runs; taken with exchange, so two checks never overlap.
extern std::atomic<bool> gRunningQueryAndUploadHiResThread;

// What the controller asks of other subsystems. Defaults call the real owners; tests replace
// single entries to observe what the pipeline asked for.
struct PipelineOperations {
    // Runs the scan of one request (the default starts it on a new detached thread).
    std::function<void(const Notification&)> startScan;
    // Files an accepted item into the mirror folder.
    std::function<bool(const QString& item, const QString& root)> moveToMirror;
    // Files an item under another destination root, its name stamped when stamp is not empty.
    std::function<bool(const QString& item, const QString& root, const QString& destination,
                       bool overwrite, bool encapsulate, const QString& stamp)>
        moveToPath;
    // A stamp under which all the items are free in destination (empty when they already are).
    std::function<QString(const QString& destination, const QStringList& items)> stampIfTaken;
    // Starts fn on a new detached thread.
    std::function<void(std::function<void()>)> startDetached;
    // Blocks the calling (worker) thread.
    std::function<void(double seconds)> pause;
};

class AppController : public QObject, public AppActions, public ScanHost, public RelaunchDelegate {
    Q_OBJECT
public:
    AppController();
    ~AppController() override;

    // Class set-up before any instance: factory defaults and the start-up housekeeping.
    static void initializeClass();
    // Observers, date formatter, version texts, migration.
    void awakeFromNib();
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    bool applicationShouldTerminate();
    void applicationWillTerminate();
    // Quits through the normal termination path (the Quit command, signals, a relaunch).
    void requestTermination();

    void setStatusDisplay(StatusDisplay* display) { fDisplay = display; }
    StatusDisplay* statusDisplay() const { return fDisplay; }
    PipelineOperations& operations() { return fOps; }

    // Run-state setters: each write under fThreadLock.
    void setStartedUploadProcess(bool v);
    void setWantsToHaltProcess(bool v);
    void setDidHaltProcess(bool v);
    void setIsInsideOpenFile(bool v);
    void setIsScanningFolder(bool v) override;
    void setIsInsideWatchFolderThread(bool v);
    bool isRunningLeopard() const { return fIsRunningLeopard; }
    void setNeedsToRescan(bool v) override; // true adds one, false resets to zero
    std::recursive_mutex& threadLock() override { return fThreadLock; }

    // The pass entry: checks the settings and posts the scan request.
    bool applicationOpenFile(const QString& path);
    bool validateUserInfoBeforeUploading(const std::optional<QString>& path);
    void getUserEnteredEventName();
    void getCurrentLoginInfo();
    void saveLoginInfo(QObject* sender);
    void openFileOnMainThread();

    QString currentEventName() const;
    QString currentUserName() const override;
    QString currentPassword() const override;
    QString currentRootFolder() const;

    // Pipeline handlers.
    void handleNotification_ScanFolder(const Notification& n);
    void handleNotification_PrepareUploadStart(const Notification& n);
    void handleNotification_UploadStart(const Notification& n);
    void handleNotification_UploadDone(const Notification& n);
    void handleNotification_UploadSuccess(const Notification& n);
    void handleNotification_UploadFail(const Notification& n);
    void handleNotification_Retrigger(const Notification& n);
    void handleNotification_UpdateProgressWindow(const Notification& n);
    void handleNotification_WatcherStarted(const Notification& n);
    void handleNotification_WatcherItemChanged(const Notification& n);
    void handleNotification_DebugMoveItemsBack(const Notification& n);
    void handleNotification_UploadProcessPaused(const Notification& n);
    void handleNotification_CleanUpAfterUpload(const Notification& n);
    void handleNotification_CleanUpAfterCompleteLoop(const Notification& n);

    // The scan of one request, on its own thread.
    void scanFolderOnMainThread(const Notification& n);
    bool isScanning() const override { return gIsScanning; }
    int rescanCount() const override { return gNeedsToRescan; }
    bool uploadInProgress() const override { return gStartedUploadProcess; }
    bool isHalted() const override { return gDidHaltProcess; }
    void startFolderWatcher(const QString& folder) override;
    void startNextPass() override;
    ItemHolds& itemHolds() override { return fHolds; }
    bool isAwaitingFiling(const QString& root, const QString& relativePath) override;
    std::optional<std::pair<QString, ItemHolds::Hold>> fileWaitingItems() override;
    void startPassAfter(qint64 delayMs) override;
    // The journal of judged items not yet filed; tests point it at their own folder.
    FilingJournal& filingJournal() { return *fJournal; }
    void useFilingJournal(const QString& path);
    // Start-up: reads the journal and removes what interrupted moves left behind.
    void recoverInterruptedFilings();
    // ---- Upload history (History.cpp)
    UploadHistory& uploadHistory() { return fHistory; }
    // Start-up: today's history from its file, into the window.
    void showUploadHistoryAtStart();
    // Desktop notifications and the state the tray shows.
    StationNotices& station() { return fStation; }
    void pauseScanThread(double seconds) override { fOps.pause(seconds); }
    const void* notificationObject() const override { return this; }

    // Run control.
    void ibUserClickedOnSynchronize(QObject* sender) override;
    void ibClickedOnHalt(QObject* sender) override;
    void ibClickedOnQuit(QObject* sender) override;
    void ibClickedOnOpenPref(QObject* sender) override;
    void ibMenuCmd_Open(QObject* sender);
    void ibClickedOnSynchronizeAgain(QObject* sender);
    void forceProcessToPause(QObject* sender);
    void doHandlePauseResumeButtonAsResume(QObject* sender);
    void doWaitForUploadProcessToEndInThread(QVariant sender);
    void cancelRetriggerTimerOnMainThread();
    void doSetupRetriggerTimerOnMainThread() override;
    // Main thread only.
    void doSetupRetriggerTimer();
    void cancelRetriggerTimer();
    bool hasRetriggerTimer() const;
    void doAutoResynchronize(QTimer* timer);
    void doWatchFolderInThread(const QString& folder);
    void doHandleOpenPrefPanel(const QVariant& sender);
    void relaunchApp(const QVariantMap& request) override;
    void revealItemInFinder(const QString& path);
    void ibClickedOnRevealFinder1(QObject* sender) override; // the source folder
    void ibClickedOnRevealFinder2(QObject* sender) override; // the mirror folder
    void ibClickedOnRevealFinder3(QObject* sender) override; // the hi-res alternate folder
    void ibClickedOnRevealProblemFolder(QObject* sender) override;
    // ---- Settings window (the status display's login panel)
    // Hides the sheet and resumes the work its opening paused.
    void sheetDidEnd(int returnCode, const QVariant& contextInfo) override;
    void ibClickedOnSaveAndClose(QObject* sender) override;
    bool uploadProcessStarted() const override { return gStartedUploadProcess; }
    // Alerts (Alerts.cpp): the scripting quit closes the recorded alert; the other starts a
    // message to support in the user's mail program.
    void closeCurrentAlert(QObject* sender);
    void sendMailCocoa(QObject* sender);
    QPointer<QObject> fCurAlert; // main thread only; nothing records one yet
    HttpController* httpController() const { return fHttpController; }

    // ---- Clean-up (Cleanup.cpp)
    // The old-photo thread's body: the old-photo sweep, then the mirror folder's empty folders.
    void doSetupDeleteOldPhotosThread();
    void deleteOldOldPhotosAndFolderIfEmptyWorks();
    // The quit-time sweep of the source folder's empty folders, under a maintenance window.
    void ibDeleteLocalFtpFolderIfEmpty(QObject* sender);

    // ---- Hi-res order checks (OrderCheck.cpp)
    // Arms the next check (main thread).
    void setupQueryAndUploadHiResProcess();
    // The timer's action: starts a check on the order-check thread.
    void doQueryAndUploadHiResInThread();
    // One check with its window, then re-arming; runs on the order-check thread.
    void doQueryAndUploadHiResProcess();

    // ---- Scripting (Scripting.cpp): events from other programs over the session bus.
    struct ScriptEvent {
        QString eventClass; // four-character codes: "kivo" / "aevt"
        QString eventID;    // "upnw", "paus", "1234" / "quit"
        std::optional<QStringList> directObject;
        bool hasReply = true; // false when the sender does not wait for an answer
    };
    // Nothing, a text, or the list answering a "getValue".
    using ScriptReply = std::variant<std::monostate, QString, QVariantList>;
    // Exports the event handler under the bundle identifier on the user's session bus.
    void setupForAppleEventsForThisApp();
    // Main thread.
    ScriptReply handleTestAEHandler(const ScriptEvent& event);
    // Stores value under name and writes the settings file at once. False when the file could
    // not be written; name then keeps its earlier value.
    static bool saveSettingToUserDefaults(const QVariant& value, const QString& name);
    static bool isValidYesNoString(const std::optional<QString>& text);

    // Quit: asks the clean-up and order-check threads to stop and waits for them.
    void stopMaintenanceThreads();
    // Set once the program is quitting; long maintenance work stops early when it is.
    bool maintenanceStopping() const { return fMaintenanceStopping.load(); }
    // Waits up to seconds, returning early (false) when the program is quitting.
    bool maintenancePause(double seconds);

    // Status display; safe from any thread.
    void ibUpdateFTPCallbackStatusTextField(const QString& text) override;
    void ibUpdateFTPCallbackStatusTextField(const QString& text, bool isError) override;
    void ibUpdateUploadStatusTextField(const QString& text) override;
    void ibUpdateFileNameField(const QString& text);
    void ibUpdateLoginName(const QString& text);
    void ibUpdateUploadMainPath(const QString& text);
    void ibUpdateSourceFolderPath(const QString& text);
    void ibUpdateNSTextField(StatusField field, const QString& text, bool wait);
    void ibUpdateNSTextField(StatusField field, const QString& text, bool wait, bool isError);
    void ibUpdateProgressBar(const QString& yesOrNo);

    QString getAppVersionString() const override;
    QString getCopyrightString() const override;
    QString getMacOsVersionString() const override;
    void setAppVersion(const QString& v);
    void setCopyrightVersion(const QString& v);
    void setMacOsVersion(const QString& v);

private:
    void registerPipelineObservers();
    void showAsError(const QString& text);
    // Files a refused item into the problem folder; false when it could not be filed there.
    bool fileItemAway(const QVariantMap& info);
    // Files a judged item (and its movie) under the journal's protection: the entry is written
    // first and removed once both are filed. False when something could not be filed.
    bool fileJudgedItem(const QVariantMap& info, PendingFiling::Destination destination,
                        const QString& destinationRoot, const QString& stamp);
    bool moveJudgedFile(const QString& item, const PendingFiling& entry);
    // The item stays in the source folder: it waits longer after each failure in a row.
    void holdAfterFailure(const QString& item, const QString& why);
    void reportFilingFailure(const QString& item, PendingFiling::Destination destination);
    // Appends one result to the history and shows the day in the window. The service's own
    // message is preferred to why, except for an item that could not be filed.
    void recordResult(const QVariantMap& info, UploadOutcome outcome, const QString& why);
    // The photos in the source folder not yet judged, for the window; always counts even when
    // it counted less than a second ago.
    void noteWaitingPhotos(bool always = false);
    bool hasNotificationInfo(const Notification& n, const char* method);
    void showPreviewOf(const QString& path);
    // Runs method on the main thread without waiting, unless the controller is gone by then.
    void onMainThreadWhileAlive(void (AppController::*method)());

    mutable std::recursive_mutex fThreadLock;
    PipelineOperations fOps;
    StatusDisplay* fDisplay = nullptr;
    HttpController* fHttpController = nullptr; // created at launch, never destroyed
    std::atomic<bool> fPreviewBusy{false};
    std::atomic<bool> fIsRunningLeopard{false};
    QTimer* fRepeatTimer = nullptr;   // the retrigger timer; main thread only
    QTimer* fHeldItemTimer = nullptr; // starts a pass when a held item is due; main thread only
    ItemHolds fHolds;
    StationNotices fStation;
    std::unique_ptr<FilingJournal> fJournal;
    UploadHistory fHistory;
    std::atomic<qint64> fUploadStartMs{0}; // when the current item's upload began
    std::atomic<qint64> fWaitingCountedMs{0};

    // Declared before the threads that use them, so they outlive the threads' joins.
    std::atomic<bool> fMaintenanceStopping{false};
    std::mutex fMaintenanceWaitLock;
    std::condition_variable fMaintenanceWake;
    QTimer* fOrderCheckTimer = nullptr; // main thread only
    OwnedThread fOldPhotosThread;
    OwnedThread fOrderCheckThread;
    // Waits for the current item before the settings open. Joined before the members above go.
    OwnedThread fPrefPanelWaitThread;

    // Guarded by fThreadLock.
    QString fRootFolder;
    QString fCurUserName;
    QString fCurPassword;
    QString fCurEventName;
    QVariant fWatcherRunLoop;
    QString fAppVersionString;
    QString fCopyrightString;
    QString fMacVersionString;
};

} // namespace kivo
