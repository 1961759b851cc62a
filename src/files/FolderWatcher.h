#pragma once
// The source-folder watcher. It lives on the thread that installs it and asks for a new scan
// whenever something under the folder changes: changes are coalesced for about a second and
// never held longer than three. A folder that is deleted or unmounted is waited for and watched
// again when it is back, which counts as a change.
#include <QString>

namespace kivo {

// Posted (on the watcher's thread, user info "folder": the first folder left without a watch)
// when the system's table of watches is full; changes there are only seen by later scans.
inline const QString kWatcherLimitReached = QStringLiteral("WatcherLimitReached");

// Watches path recursively on the calling thread and returns only when the watcher is stopped:
// posts "WatcherStarted" (user info "CFRunLoopRef": a handle of this watcher's loop) just
// before it starts waiting, then one "WatcherItemChanged" (no object, no user info) per folder
// in which something changed, all on this thread. False, with a console line, when the folder
// cannot be watched; true once the watcher has been stopped.
bool doInstallTheWatcher(const QString& path);

// Makes every running doInstallTheWatcher return. Nothing in the program stops its watcher;
// this is for tests and tools.
void stopTheWatcher();

} // namespace kivo
