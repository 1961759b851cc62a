#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace kivo {

bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void onMainThread(std::function<void()> fn, bool wait) {
    auto* app = QCoreApplication::instance();
    if (!app || isMainThread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn),
                              wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

} // namespace kivo
