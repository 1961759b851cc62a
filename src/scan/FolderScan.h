#pragma once
// One scan of the source folder: mirror its sub-folder tree, choose the first qualifying photo
// and hand its upload item info to the pipeline, or end the loop when nothing qualifies.
#include "platform/NotificationCenter.h"
#include "scan/ItemHolds.h"

#include <QString>
#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

namespace kivo {

// What a scan needs of the pipeline controller.
class ScanHost {
public:
    virtual ~ScanHost() = default;

    // The lock under which the scan mark is tested and set in one step.
    virtual std::recursive_mutex& threadLock() = 0;
    virtual bool isScanning() const = 0;
    virtual void setIsScanningFolder(bool v) = 0;
    virtual void setNeedsToRescan(bool v) = 0; // true counts one more, false resets
    virtual int rescanCount() const = 0;
    virtual bool uploadInProgress() const = 0;
    virtual bool isHalted() const = 0;

    virtual QString currentUserName() const = 0;
    virtual QString currentPassword() const = 0;

    virtual void ibUpdateFTPCallbackStatusTextField(const QString& text) = 0;
    virtual void ibUpdateFTPCallbackStatusTextField(const QString& text, bool isError) = 0;
    virtual void ibUpdateUploadStatusTextField(const QString& text) = 0;

    // Items that wait before they may be taken again (keyed by path relative to the source).
    virtual ItemHolds& itemHolds() = 0;
    // An item the service has judged that only waits to be filed: it is never sent again.
    virtual bool isAwaitingFiling(const QString& root, const QString& relativePath) = 0;
    // Tries again to file the items that wait for it; called before each walk. Returns the
    // one still waiting that is due first, with its hold.
    virtual std::optional<std::pair<QString, ItemHolds::Hold>> fileWaitingItems() = 0;
    // Starts a pass after delayMs, when a held item becomes due (one pending start at most).
    virtual void startPassAfter(qint64 delayMs) = 0;

    // Each starts its work on a new detached thread (or arms it on the main thread).
    virtual void startFolderWatcher(const QString& folder) = 0;
    virtual void startNextPass() = 0;
    virtual void doSetupRetriggerTimerOnMainThread() = 0;
    // Blocks the scan thread.
    virtual void pauseScanThread(double seconds) = 0;
    // The object the scan's notifications carry.
    virtual const void* notificationObject() const = 0;
};

// Selects the base-file-name client rule; true at start, follows the fuse-action setting.
extern std::atomic<bool> doAlder;

// Runs one scan for the ScanFolderNotification n on the calling thread.
void scanFolder(ScanHost& host, const Notification& n);

} // namespace kivo
