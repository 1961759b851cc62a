// When a pass begins and when the loop stops: the retrigger timer, Synchronize, Pause/Resume,
// the pause for the settings window, and the folder watcher's thread.
#include "app/AppController.h"

#include "files/FolderWatcher.h"
#include "log/MessageLog.h"
#include "log/Printing.h"
#include "platform/Beep.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/MainThread.h"
#include "process/ProcessControl.h"
#include "settings/Preferences.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <thread>

namespace kivo {

namespace {
const char* const kClass = "AppController";
QString inside(const char* method) {
    return insideText(kClass, method);
}
} // namespace

// The controller may be gone by the time the main thread gets to it (tests make many).
void AppController::onMainThreadWhileAlive(void (AppController::*method)()) {
    QPointer<AppController> self(this);
    onMainThread(
        [self, method] {
            if (self)
                (self.data()->*method)();
        },
        false);
}

// ---- retrigger timer (main thread only) ------------------------------------------------------

void AppController::doSetupRetriggerTimerOnMainThread() {
    onMainThreadWhileAlive(&AppController::doSetupRetriggerTimer);
}

void AppController::cancelRetriggerTimerOnMainThread() {
    onMainThreadWhileAlive(&AppController::cancelRetriggerTimer);
}

void AppController::doSetupRetriggerTimer() {
    if (!Preferences::getDoAutoSynchronize()) {
        consoleLine(QStringLiteral("Done %1 => %2... [self getDoAutoSynchronize] = NO...")
                        .arg(QLatin1String(kClass), QLatin1String("doSetupRetriggerTimer:")));
        return;
    }
    cancelRetriggerTimer();
    const QVariant setting = Preferences::getPrefSecondsBetweenScans();
    double interval = 120.0;
    if (!setting.isValid())
        consoleLine(QStringLiteral("Failed to get NSNumber for intervalInSecs"));
    else
        interval = Defaults::doubleFromValue(setting);
    // A timer never fires sooner than "now"; a negative or absurd value must not spin.
    const qint64 ms =
        qBound<qint64>(0, qint64(interval * 1000.0), qint64(std::numeric_limits<int>::max()));
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, timer] { doAutoResynchronize(timer); });
    timer->start(int(ms));
    fRepeatTimer = timer;
    QString text = QStringLiteral("Next Auto-Synchronize Trigger Date = %1...")
                       .arg(QDateTime::currentDateTime().addMSecs(ms).toString(
                           QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    if (!fIsRunningLeopard)
        text += QStringLiteral("\n(This would Not be needed if running on Mac OS 10.5 or higer)");
    ibUpdateFTPCallbackStatusTextField(text);
}

void AppController::cancelRetriggerTimer() {
    if (fRepeatTimer) {
        fRepeatTimer->stop();
        fRepeatTimer->deleteLater();
        fRepeatTimer = nullptr;
    }
}

bool AppController::hasRetriggerTimer() const {
    return fRepeatTimer != nullptr;
}

void AppController::doAutoResynchronize(QTimer* timer) {
    if (timer == fRepeatTimer) {
        fRepeatTimer = nullptr; // spent
        timer->deleteLater();
    }
    if (gStartedUploadProcess) {
        consoleLine(
            QStringLiteral("Inside doAutoResynchronize - a process already in session????"));
        return;
    }
    if (Preferences::getDoAutoSynchronize()) {
        consoleLine(inside("doAutoResynchronize:") +
                    QStringLiteral("  Okay to start upload process again..."));
        ibClickedOnSynchronizeAgain(this);
    } else {
        consoleLine(inside("doAutoResynchronize:") +
                    QStringLiteral("  NO Need to autoResynchronize"));
    }
}

// ---- user commands ----------------------------------------------------------------------------

void AppController::ibUserClickedOnSynchronize(QObject*) {
    if (gStartedUploadProcess) {
        consoleLine(
            QStringLiteral("ibUserClickedOnSynchronize - an upload process in progress..."));
        systemBeep();
        systemBeep();
        return;
    }
    if (!validateUserInfoBeforeUploading(std::nullopt))
        return;
    saveLoginInfo(nullptr);
    const QString mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or(QString());
    if (!QFileInfo::exists(mirror)) {
        MessageLog::LogMessage(("Local Mirror Folder Does NOT Exist:\n" + mirror).toStdString());
        MessageLog::LogMessage(
            ("Trying to Create Local Mirror Folder at:\n" + mirror).toStdString());
        consoleLine(
            QStringLiteral("Local Mirror Folder Does NOT Exist, creating [%1]").arg(mirror));
        QDir().mkdir(mirror);
    }
    applicationOpenFile(Preferences::getLocalSourceUploadFolder().value_or(QString()));
}

void AppController::ibMenuCmd_Open(QObject*) {
    ibUserClickedOnSynchronize(this);
}

void AppController::ibClickedOnSynchronizeAgain(QObject*) {
    if (!gStartedUploadProcess) {
        ibUserClickedOnSynchronize(this);
    } else if (gDidHaltProcess) {
        ibClickedOnHalt(nullptr);
    } else {
        consoleLine(
            QStringLiteral("ibClickedOnSynchronizeAgain - an upload process in progress..."));
    }
}

void AppController::ibClickedOnHalt(QObject* sender) {
    MessageLog::LogMessage("ibClickedOnHalt\n", true);
    if (!sender)
        MessageLog::LogMessage("ibClickedOnHalt sender is NIL\n", true);
    const bool hasButton = fDisplay && fDisplay->hasPauseResumeButton();
    if (gDidHaltProcess) {
        {
            std::lock_guard<std::recursive_mutex> g(fThreadLock);
            setWantsToHaltProcess(false);
            setDidHaltProcess(false);
        }
        fStation.setState(StationState::Idle);
        if (hasButton)
            fDisplay->setPauseResumeTitle(QStringLiteral("Pause"));
        ibUpdateFTPCallbackStatusTextField(QString());
        applicationOpenFile(Preferences::getLocalSourceUploadFolder().value_or(QString()));
    } else if (gStartedUploadProcess) {
        setWantsToHaltProcess(true);
        if (hasButton)
            fDisplay->setPauseResumeEnabled(false);
        ibUpdateFTPCallbackStatusTextField(
            QStringLiteral("Pausing... Waiting for Current Item to Finish..."));
    } else {
        {
            std::lock_guard<std::recursive_mutex> g(fThreadLock);
            setWantsToHaltProcess(true);
            setDidHaltProcess(true);
        }
        fStation.setState(StationState::Paused);
        if (hasButton)
            fDisplay->setPauseResumeTitle(QStringLiteral("Resume"));
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Process Paused..."));
    }
}

void AppController::forceProcessToPause(QObject*) {
    std::lock_guard<std::recursive_mutex> g(fThreadLock);
    if (gStartedUploadProcess && !gDidHaltProcess)
        setWantsToHaltProcess(true);
}

void AppController::doHandlePauseResumeButtonAsResume(QObject*) {
    {
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        if (!gDidHaltProcess)
            return;
        setWantsToHaltProcess(false);
        setDidHaltProcess(false);
    }
    fStation.setState(StationState::Idle);
    if (fDisplay && fDisplay->hasPauseResumeButton()) {
        fDisplay->setPauseResumeTitle(QStringLiteral("Pause"));
        fDisplay->setPauseResumeEnabled(true);
    }
    applicationOpenFile(Preferences::getLocalSourceUploadFolder().value_or(QString()));
}

void AppController::doWaitForUploadProcessToEndInThread(QVariant sender) {
    consoleInside(kClass, "doWaitForUploadProcessToEndInThread:");
    while (!gDidHaltProcess) {
        consoleLine(QStringLiteral("gDidHaltProcess is STILL NO?????"));
        // Quitting ends the wait: the settings are not opened on the way out.
        if (!maintenancePause(1.0))
            return;
    }
    Notification paused;
    paused.name = kUploadProcessPaused;
    paused.object = this;
    paused.payload = sender;
    NotificationCenter::defaultCenter().post(paused);
}

void AppController::ibClickedOnQuit(QObject*) {
    MessageLog::LogMessage("ibClickedOnQuit\n", true);
    onMainThreadWhileAlive(&AppController::requestTermination);
    // Ended after the quit was asked for, so that ending it does not resume the work.
    SettingsPanel* panel = fDisplay ? fDisplay->loginPanel() : nullptr;
    if (panel && panel->displayAsSheet())
        panel->endSheet(1);
}

// ---- settings window (main thread) ------------------------------------------------------------

namespace {
QObject* senderObject(const QVariant& sender) {
    return sender.canConvert<QObject*>() ? sender.value<QObject*>() : nullptr;
}
bool isButton(const QObject* object) {
    return object && object->inherits("QAbstractButton");
}
// Controls are widgets, which this layer does not link: their "enabled" property does it.
void setButtonEnabled(QObject* button, bool enabled) {
    const QPointer<QObject> target(button);
    onMainThread(
        [target, enabled] {
            if (target)
                target->setProperty("enabled", enabled);
        },
        false);
}
} // namespace

void AppController::ibClickedOnOpenPref(QObject* sender) {
    if (fDisplay && fDisplay->isWindowVisible()) {
        // The flag is tested and the pause asked for in one step: an upload ending in
        // between would leave the wait below waiting for a halt nobody asked for.
        std::unique_lock<std::recursive_mutex> g(fThreadLock);
        if (gStartedUploadProcess) {
            forceProcessToPause(sender);
            g.unlock();
            ibUpdateFTPCallbackStatusTextField(
                QStringLiteral("Will Open Pref Panel After Current Item is Finished..."));
            QObject* button = isButton(sender) ? sender : fDisplay->openPrefButtonObject();
            if (button)
                setButtonEnabled(button, false);
            else
                fDisplay->setOpenPrefEnabled(false);
            const QPointer<QObject> waitFor(button);
            if (!fPrefPanelWaitThread.start([this, waitFor] {
                    doWaitForUploadProcessToEndInThread(QVariant::fromValue(waitFor.data()));
                }))
                consoleLine(inside("ibClickedOnOpenPref:") +
                            QStringLiteral(" the settings already wait for the current item"));
            return;
        }
    }
    doHandleOpenPrefPanel(sender ? QVariant::fromValue(sender) : QVariant());
}

void AppController::doHandleOpenPrefPanel(const QVariant& sender) {
    if (!isMainThread()) {
        const QPointer<AppController> self(this);
        onMainThread(
            [self, sender] {
                if (self)
                    self->doHandleOpenPrefPanel(sender);
            },
            false);
        return;
    }
    SettingsPanel* panel = fDisplay ? fDisplay->loginPanel() : nullptr;
    if (!panel) {
        consoleLine(inside("doHandleOpenPrefPanel:") + QStringLiteral(" no settings window"));
        return;
    }
    QObject* object = senderObject(sender);
    const bool hasSender = object || (sender.isValid() && !sender.canConvert<QObject*>());
    QObject* button = isButton(object) ? object : nullptr;
    const bool hasParent = hasSender && (button || fDisplay->isWindowVisible());
    if (hasParent && button)
        setButtonEnabled(button, true);
    panel->selectFirstTab();
    if (hasParent) {
        cancelRetriggerTimerOnMainThread();
        panel->beginSheet(button, sender);
    } else {
        panel->showAsWindow();
    }
}

void AppController::sheetDidEnd(int returnCode, const QVariant&) {
    consoleLine(inside("sheetDidEnd:returnCode:contextInfo:") +
                QStringLiteral(" returnCode = %1").arg(returnCode));
    if (isTerminating())
        return;
    doHandlePauseResumeButtonAsResume(nullptr);
}

void AppController::ibClickedOnSaveAndClose(QObject* sender) {
    saveLoginInfo(sender);
}

// ---- folder watcher -------------------------------------------------------------------------

void AppController::startFolderWatcher(const QString& folder) {
    fOps.startDetached([this, folder] { doWatchFolderInThread(folder); });
}

void AppController::doWatchFolderInThread(const QString& folder) {
    consoleInside(kClass, "doWatchFolderInThread:");
    {
        // Tested and set in one step: one watcher thread per process.
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        if (gIsInWatchFolderInstaller) {
            consoleLine(inside("doWatchFolderInThread:") +
                        QStringLiteral(" a watcher thread exists already"));
            return;
        }
        setIsInsideWatchFolderThread(true);
        if (fWatcherRunLoop.isValid()) {
            consoleLine(inside("doWatchFolderInThread:") +
                        QStringLiteral(" the watcher is running"));
            return;
        }
    }
    if (folder.isEmpty()) {
        consoleLine(inside("doWatchFolderInThread:") + QStringLiteral(" no folder to watch"));
        return;
    }
    if (!fIsRunningLeopard) {
        const QString rule(52, QLatin1Char('='));
        MessageLog::LogMessage(rule, true);
        MessageLog::LogMessage("FSEvents NOT supported on 10.4.x and lower...", true);
        MessageLog::LogMessage("Will NOT Be Able to Watch for Folder in real time...", true);
        MessageLog::LogMessage(rule, true);
        return;
    }
    if (!doInstallTheWatcher(folder)) {
        // The folder vanished before the watcher could start: let the next idle scan try again
        // rather than leave the loop without a watcher for good.
        std::lock_guard<std::recursive_mutex> g(fThreadLock);
        if (!fWatcherRunLoop.isValid())
            setIsInsideWatchFolderThread(false);
    }
}

} // namespace kivo
