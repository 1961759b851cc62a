#pragma once
// What the pipeline needs of the windows, without Qt Widgets. The widget implementations live
// in this folder; the application controller talks to them only through these interfaces.
#include "log/UploadHistory.h"

#include <QImage>
#include <QString>
#include <QVariant>
#include <memory>

class QObject;

namespace kivo {

// Text fields of the main status window (and of the upload window's copy of it).
enum class StatusField {
    FileName,          // ibFileNameField
    UploadFileStatus,  // ibUploadFileStatusField
    FTPCallbackStatus, // ibFTPCallbackStatusField: the main status line
    LoginName,         // ibLoginName
    UploadMainPath,    // ibUploadMainPath
    SourceFolderPath,  // ibSourceFolderPath
    Version,           // ibVersion
    Copyright,         // ibCopyright
    MacOSVersion,      // ibMacOSVersion
};

// A maintenance progress window (order checks, folder clean-up): a title, two text lines and a
// busy indicator. Every method may be called from any thread.
class MaintenanceProgress {
public:
    virtual ~MaintenanceProgress() = default;
    virtual void ibSetWindowTitle(const QString& title) = 0;
    virtual void ibUpdateLine1TextField(const QString& text, bool wait) = 0;
    virtual void ibUpdateLine2TextField(const QString& text, bool wait) = 0;
    // "YES" (any case) runs the indicator; anything else stops it.
    virtual void ibUpdateProgressBar(const QString& yesOrNo) = 0;
    virtual void show() = 0;
    virtual void close() = 0;
};

// The settings and login panel (ibLoginPanel). Main thread only.
class SettingsPanel {
public:
    virtual ~SettingsPanel() = default;

    // Window-modal on the window of parentButton (the main status window when there is none),
    // marked as a sheet. Ending it hands context back to AppActions::sheetDidEnd.
    virtual void beginSheet(QObject* parentButton, const QVariant& context) = 0;
    // An ordinary window in front, marked as not a sheet.
    virtual void showAsWindow() = 0;
    virtual bool isShown() const = 0;
    virtual bool displayAsSheet() const = 0;
    // Hides a panel shown as a sheet and then reports returnCode to AppActions::sheetDidEnd;
    // nothing at all when it is not on screen as a sheet.
    virtual void endSheet(int returnCode) = 0;
    virtual void close() = 0;
    virtual void selectFirstTab() = 0;
    // The lock button: 0 locked, 1 unlocked. Runs the lock handler when the state changes.
    virtual void forceLockedIcon(int state) = 0;
    // Runs the lock handler for the lock button as it stands.
    virtual void ibClickedOnLockIcon() = 0;
};

// The main status window (ibProgressPanel). Every method may be called from any thread; the
// widget work is done on the main thread.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;

    virtual bool hasField(StatusField f) const = 0;
    virtual bool isWindowVisible() const = 0;
    virtual void bringToFront() = 0;

    // Colour (red for errors, else black), text, redraw, each on the main thread and waited
    // for when wait is set. Dropped while the window is hidden.
    virtual void updateField(StatusField f, const QString& text, bool wait, bool isError) = 0;
    virtual void setFieldToolTip(StatusField f, const QString& text) = 0;
    // Fills a field whether or not the window is shown (the version texts at start-up).
    virtual void setFieldText(StatusField f, const QString& text) = 0;
    // "YES" (any case) starts and shows the busy indicator; anything else stops and hides it.
    virtual void updateProgressBar(const QString& yesOrNo) = 0;

    virtual bool hasPauseResumeButton() const = 0;
    virtual void setPauseResumeTitle(const QString& title) = 0;
    virtual void setPauseResumeEnabled(bool enabled) = 0;
    virtual bool hasOpenPrefButton() const = 0;
    virtual void setOpenPrefEnabled(bool enabled) = 0;

    virtual bool hasImageView() const = 0;
    virtual void showPreview(const QImage& image) = 0;

    // The settings and login panel; none until the settings window exists.
    virtual bool hasLoginPanel() const = 0;
    virtual SettingsPanel* loginPanel() const { return nullptr; }
    // The button that opens the settings (ibOpenPrefButton), when there is one.
    virtual QObject* openPrefButtonObject() const { return nullptr; }

    // A new maintenance window, or none when it cannot be made. Any thread.
    virtual std::unique_ptr<MaintenanceProgress> openMaintenanceWindow() { return nullptr; }

    // Today's upload history: its counts and latest items, newest first. Any thread.
    virtual void showUploadHistory(const UploadHistoryDay& /*day*/) {}
    // The photos waiting in the source folder when it was last looked at. Any thread.
    virtual void showWaitingCount(int /*count*/) {}
};

// What the station is doing, as the tray icon shows it.
enum class StationState {
    Idle,      // waiting for photos
    Uploading, // an item is being sent
    Paused,    // halted by the user or for the settings window
    Stopped,   // the loop stands still after a service error, until the next trigger
};

// Told of each change of the station's state, on any thread. detail is the item being uploaded
// or the error that stopped the loop, else empty.
class StationStateObserver {
public:
    virtual ~StationStateObserver() = default;
    virtual void stationStateChanged(StationState state, const QString& detail) = 0;
};

// The user actions and version texts the windows forward to the application controller.
// sender is the control that was used, or nullptr.
class AppActions {
public:
    virtual ~AppActions() = default;
    virtual void ibClickedOnQuit(QObject* sender) = 0;
    virtual void ibClickedOnHalt(QObject* sender) = 0;
    virtual void ibClickedOnOpenPref(QObject* sender) = 0;
    virtual void ibUserClickedOnSynchronize(QObject* sender) = 0;
    virtual QString getAppVersionString() const = 0;
    virtual QString getCopyrightString() const = 0;
    virtual QString getMacOsVersionString() const = 0;

    // The settings window's commands.
    virtual void ibClickedOnSaveAndClose(QObject*) {}
    virtual void ibClickedOnRevealFinder1(QObject*) {} // the source folder
    virtual void ibClickedOnRevealFinder2(QObject*) {} // the mirror folder
    virtual void ibClickedOnRevealFinder3(QObject*) {} // the hi-res alternate folder
    virtual void ibClickedOnRevealProblemFolder(QObject*) {}
    // The settings sheet has ended and is hidden.
    virtual void sheetDidEnd(int /*returnCode*/, const QVariant& /*contextInfo*/) {}
    // Folders cannot be chosen while it has.
    virtual bool uploadProcessStarted() const { return false; }
};

} // namespace kivo
