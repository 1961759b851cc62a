#include "platform/OwnedThread.h"

#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace kivo {

OwnedThread::~OwnedThread() {
    join();
}

bool OwnedThread::start(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(fLock);
    if (fRunning.load())
        return false;
    if (fThread.joinable())
        fThread.join();
    fRunning = true;
    fThread = std::thread([this, fn = std::move(fn)] {
        fn();
        fRunning = false;
    });
    return true;
}

void OwnedThread::join() {
    std::lock_guard<std::mutex> g(fLock);
    if (!fThread.joinable() || fThread.get_id() == std::this_thread::get_id())
        return;
    if (isMainThread() && QCoreApplication::instance()) {
        // Only the calls queued to the main thread run meanwhile: no timer, no user input.
        while (fRunning.load()) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            QThread::msleep(2);
        }
    }
    fThread.join();
}

} // namespace kivo
