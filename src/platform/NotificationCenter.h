#pragma once
// Process-wide named notifications, delivered synchronously on the posting thread.
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kivo {

struct Notification {
    QString name;
    const void* object = nullptr;          // the poster, for information only
    std::shared_ptr<QVariantMap> userInfo; // may be null: "no user info"
    QVariant payload;                      // user info that is not a dictionary (e.g. a control)
};

using NotificationHandler = std::function<void(const Notification&)>;

class NotificationCenter {
public:
    static NotificationCenter& defaultCenter();

    // Registers handler for name (any sender). owner identifies the observer for removal.
    void addObserver(const void* owner, const QString& name, NotificationHandler handler);
    void removeObserver(const void* owner);
    void removeObserver(const void* owner, const QString& name);

    // Calls every observer of name, in registration order, on this thread. Observers may post,
    // add or remove observers from inside a handler.
    void post(const Notification& n);
    void post(const QString& name, const void* object = nullptr,
              std::shared_ptr<QVariantMap> userInfo = nullptr);

    int observerCount(const QString& name) const;

private:
    struct Entry {
        const void* owner;
        QString name;
        std::shared_ptr<NotificationHandler> handler;
        std::shared_ptr<bool> alive;
    };
    mutable std::mutex fLock;
    std::vector<Entry> fEntries;
};

} // namespace kivo
