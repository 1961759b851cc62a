#include "platform/NotificationCenter.h"

#include <algorithm>

namespace kivo {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Leaked on purpose: detached threads may still post while the process exits.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(const void* owner, const QString& name,
                                     NotificationHandler handler) {
    std::lock_guard<std::mutex> g(fLock);
    fEntries.push_back(Entry{owner, name, std::make_shared<NotificationHandler>(std::move(handler)),
                             std::make_shared<bool>(true)});
}

void NotificationCenter::removeObserver(const void* owner) {
    std::lock_guard<std::mutex> g(fLock);
    for (auto& e : fEntries)
        if (e.owner == owner)
            *e.alive = false;
    std::erase_if(fEntries, [owner](const Entry& e) { return e.owner == owner; });
}

void NotificationCenter::removeObserver(const void* owner, const QString& name) {
    std::lock_guard<std::mutex> g(fLock);
    for (auto& e : fEntries)
        if (e.owner == owner && e.name == name)
            *e.alive = false;
    std::erase_if(fEntries,
                  [owner, &name](const Entry& e) { return e.owner == owner && e.name == name; });
}

void NotificationCenter::post(const Notification& n) {
    std::vector<Entry> targets;
    {
        std::lock_guard<std::mutex> g(fLock);
        for (const auto& e : fEntries)
            if (e.name == n.name)
                targets.push_back(e);
    }
    // Handlers run outside the lock so they may post, register or unregister; one removed by an
    // earlier handler of this same post is skipped.
    for (const auto& e : targets) {
        bool alive;
        {
            std::lock_guard<std::mutex> g(fLock);
            alive = *e.alive;
        }
        if (alive)
            (*e.handler)(n);
    }
}

void NotificationCenter::post(const QString& name, const void* object,
                              std::shared_ptr<QVariantMap> userInfo) {
    Notification n;
    n.name = name;
    n.object = object;
    n.userInfo = std::move(userInfo);
    post(n);
}

int NotificationCenter::observerCount(const QString& name) const {
    std::lock_guard<std::mutex> g(fLock);
    return int(std::count_if(fEntries.begin(), fEntries.end(),
                             [&name](const Entry& e) { return e.name == name; }));
}

} // namespace kivo
