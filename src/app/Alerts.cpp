#include "app/AppController.h"
#include "platform/Console.h"
#include "platform/MainThread.h"

#include <QDesktopServices>
#include <QUrl>

namespace kivo {

namespace {
// Where a station's users write for help; each deployment may change it.
constexpr char kSupportAddress[] = "support@kivo.example";
} // namespace

void AppController::closeCurrentAlert(QObject* sender) {
    if (!isMainThread()) {
        onMainThread([this, sender] { closeCurrentAlert(sender); }, true);
        return;
    }
    if (!fCurAlert)
        return;
    QMetaObject::invokeMethod(fCurAlert, "close");
    fCurAlert->deleteLater();
    fCurAlert.clear();
}

void AppController::sendMailCocoa(QObject*) {
    const QUrl link(QLatin1String("mailto:") + QLatin1String(kSupportAddress) +
                    QLatin1String("?subject=System%20Has%20A%20Problem!!"
                                  "&body=NEED%20Tech%20Support!!!!"));
    if (!QDesktopServices::openUrl(link))
        consoleLine(QStringLiteral("Unable to open the mail link %1").arg(link.toString()));
}

} // namespace kivo
