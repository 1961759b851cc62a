// The clean-up and order-check threads: owned by the controller, stopped and joined at quit.
#include "app/AppController.h"

#include "platform/HttpTransport.h"

#include <chrono>

namespace kivo {

bool AppController::maintenancePause(double seconds) {
    std::unique_lock<std::mutex> lock(fMaintenanceWaitLock);
    return !fMaintenanceWake.wait_for(lock, std::chrono::duration<double>(seconds),
                                      [this] { return fMaintenanceStopping.load(); });
}

void AppController::stopMaintenanceThreads() {
    {
        std::lock_guard<std::mutex> g(fMaintenanceWaitLock);
        fMaintenanceStopping = true;
    }
    fMaintenanceWake.notify_all();
    // A hi-res send in progress gives up at once; the order is listed again at the next check.
    if (fOrderCheckThread.isRunning())
        abortAllHttpTransfers();
    fOldPhotosThread.join();
    fOrderCheckThread.join();
    fPrefPanelWaitThread.join();
}

} // namespace kivo
