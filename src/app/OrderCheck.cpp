// The periodic order check: a one-shot timer on the main thread starts one check at a time on
// the order-check thread; the check arms the next one when it ends.
#include "app/AppController.h"

#include "platform/Console.h"
#include "platform/MainThread.h"
#include "settings/Preferences.h"
#include "upload/HttpHiResController.h"

#include <QTimer>
#include <algorithm>
#include <limits>

namespace kivo {

std::atomic<bool> gRunningQueryAndUploadHiResThread{false};

namespace {

const char* const kClass = "AppController";
const QString kAlreadyRunning =
    QStringLiteral("Already running a thread for doQueryAndUploadHiResProcess...");

} // namespace

void AppController::setupQueryAndUploadHiResProcess() {
    if (!isMainThread()) { // the timer must belong to the main thread
        onMainThreadWhileAlive(&AppController::setupQueryAndUploadHiResProcess);
        return;
    }
    if (!Preferences::getPrefDoCheckOrders() || maintenanceStopping())
        return;
    const double seconds = orderCheckPeriodSeconds(Preferences::getPrefMinutesForCheckOrders());
    const int ms = int(std::min(seconds * 1000.0, double(std::numeric_limits<int>::max())));
    if (!fOrderCheckTimer) {
        fOrderCheckTimer = new QTimer(this);
        fOrderCheckTimer->setSingleShot(true);
        connect(fOrderCheckTimer, &QTimer::timeout, this,
                [this] { doQueryAndUploadHiResInThread(); });
    }
    fOrderCheckTimer->start(ms); // replaces a pending check
    consoleLine(QStringLiteral("Next check for hi-res orders in %1 seconds").arg(seconds));
}

void AppController::doQueryAndUploadHiResInThread() {
    consoleInside(kClass, "doQueryAndUploadHiResInThread:");
    if (maintenanceStopping())
        return;
    if (!fOrderCheckThread.start([this] { doQueryAndUploadHiResProcess(); }))
        consoleLine(kAlreadyRunning);
}

void AppController::doQueryAndUploadHiResProcess() {
    consoleInside(kClass, "doQueryAndUploadHiResProcess:");
    if (!Preferences::getPrefDoCheckOrders()) {
        consoleLine(QStringLiteral("Checking for hi-res orders is off"));
        return;
    }
    if (gRunningQueryAndUploadHiResThread.exchange(true)) {
        consoleLine(kAlreadyRunning);
        return;
    }
    std::unique_ptr<MaintenanceProgress> window =
        fDisplay ? fDisplay->openMaintenanceWindow() : nullptr;
    if (window) {
        window->ibSetWindowTitle(QStringLiteral("Check Orders for Hi Res Photos"));
        window->ibUpdateLine1TextField(
            QStringLiteral("Checking For Orders Requiring Hi Res Photos..."), true);
        window->ibUpdateLine2TextField(QStringLiteral("Sending Query..."), true);
        window->ibUpdateProgressBar(QStringLiteral("YES"));
        window->show();
    }
    if (maintenancePause(1.0)) {
        HttpHiResController controller;
        controller.setProgressDelegate(window.get());
        controller.setStopCheck([this] { return maintenanceStopping(); });
        controller.doQueryAndUploadHiResWithInfo(
            {Preferences::getCurUserLoginName(), Preferences::getCurUserLoginPassword()});
    }
    if (window) {
        window->close();
        window.reset();
    }
    if (!maintenanceStopping())
        onMainThreadWhileAlive(&AppController::setupQueryAndUploadHiResProcess);
    gRunningQueryAndUploadHiResThread = false;
}

} // namespace kivo
