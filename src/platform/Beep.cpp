#include "platform/Beep.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kivo {

namespace {
std::atomic<int> gBeeps{0};
std::mutex gHandlerLock;
std::shared_ptr<std::function<void()>>& handler() {
    static auto* h = new std::shared_ptr<std::function<void()>>();
    return *h;
}
} // namespace

void systemBeep() {
    ++gBeeps;
    std::shared_ptr<std::function<void()>> h;
    {
        std::lock_guard<std::mutex> g(gHandlerLock);
        h = handler();
    }
    if (h && *h)
        (*h)();
}

int beepCount() {
    return gBeeps.load();
}

void setBeepHandler(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(gHandlerLock);
    handler() = std::make_shared<std::function<void()>>(std::move(fn));
}

} // namespace kivo
