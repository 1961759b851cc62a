#include "files/FolderWatcher.h"

#include "app/Pipeline.h"
#include "platform/Console.h"
#include "platform/InotifyWatcher.h"
#include "platform/NotificationCenter.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kivo {

namespace {

struct Running {
    std::mutex lock;
    std::vector<InotifyWatcher*> watchers;
};

// Never destroyed: a watcher thread may outlive static destruction at exit.
Running& running() {
    static Running* r = new Running;
    return *r;
}

} // namespace

bool doInstallTheWatcher(const QString& path) {
    if (path.isEmpty()) {
        consoleLine(QStringLiteral("doInstallTheWatcher: no folder to watch"));
        return false;
    }
    InotifyWatcherOptions options;
    // The watcher itself reports the folder's return as a change, so a pass follows it.
    options.onRootPresence = [path](bool present) {
        const QString text =
            present
                ? QStringLiteral("The source folder [%1] is back; watching it again")
                : QStringLiteral("The source folder [%1] is gone; watching for it to come back");
        consoleLine(text.arg(path));
    };
    options.onWatchLimit = [](const QString& folder) {
        auto info = std::make_shared<QVariantMap>();
        info->insert(QStringLiteral("folder"), folder);
        NotificationCenter::defaultCenter().post(kWatcherLimitReached, nullptr, info);
    };
    InotifyWatcher watcher(
        path, [](const QString&) { NotificationCenter::defaultCenter().post(kWatcherItemChanged); },
        std::move(options));
    QString error;
    if (!watcher.open(&error)) {
        consoleLine(QStringLiteral("doInstallTheWatcher: cannot watch [%1]: %2").arg(path, error));
        return false;
    }
    {
        std::lock_guard<std::mutex> g(running().lock);
        running().watchers.push_back(&watcher);
    }
    auto info = std::make_shared<QVariantMap>();
    info->insert(QStringLiteral("CFRunLoopRef"),
                 QVariant::fromValue(qulonglong(reinterpret_cast<quintptr>(&watcher))));
    NotificationCenter::defaultCenter().post(kWatcherStarted, nullptr, info);
    watcher.run();
    std::lock_guard<std::mutex> g(running().lock);
    auto& list = running().watchers;
    list.erase(std::remove(list.begin(), list.end(), &watcher), list.end());
    return true;
}

void stopTheWatcher() {
    std::lock_guard<std::mutex> g(running().lock);
    for (InotifyWatcher* w : running().watchers)
        w->stop();
}

} // namespace kivo
