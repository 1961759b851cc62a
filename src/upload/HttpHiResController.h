#pragma once
// One order check: asks the service which orders wait for originals, finds each original on the
// local disks and uploads it. An instance lives for one check, on the order-check thread.
#include "platform/HttpTransport.h"
#include "upload/OrderReply.h"

#include <QString>
#include <QVariant>
#include <functional>
#include <optional>
#include <vector>

namespace kivo {

class MaintenanceProgress;

// Seconds between order checks for the stored minutes setting (invalid when it is absent).
double orderCheckPeriodSeconds(const QVariant& storedMinutes);

struct OrderQueryInfo {
    std::optional<QString> user;
    std::optional<QString> password;
};

struct HiResUploadInfo {
    QString user;
    QString password;
    QString fileName; // the original that was found
    QString imageId;
    std::optional<QString> orderId;
    std::optional<QString> pictureId;
};

struct HiResUploadResult {
    enum class Outcome {
        Sent,       // the exchange took place; its reply is not judged
        NotRegular, // a link, a folder, a device, a FIFO...: never opened for reading
        NotImage,   // does not decode whole as an image
        Unreadable, // missing, or could not be opened or read whole
        Refused,    // it would break the form (holds its delimiter)
        Changed,    // changed while it was being checked
    };
    Outcome outcome = Outcome::Unreadable;
    QString why; // for the console when not sent
    bool changedWhileSending = false;
    HttpResponse reply; // with Sent
};

struct OrderCheckResult {
    enum class Outcome {
        Queried,
        NotQueried, // a setting the query needs is missing; nothing was sent
    };
    Outcome outcome = Outcome::NotQueried;
    QString why;
    HttpResponse reply;
    OrderReply orders;
    std::vector<HiResUploadResult> uploads; // one per original found, in order
    int skipped = 0;                        // orders without a location or an image id
    int notFound = 0;
    bool stopped = false; // ended early because the program is quitting
};

class HttpHiResController {
public:
    // Shows the progress lines of the check; may be null. Not owned.
    void setProgressDelegate(MaintenanceProgress* delegate) { fDelegate = delegate; }
    MaintenanceProgress* progressDelegate() const { return fDelegate; }
    // Asked between orders; true ends the check.
    void setStopCheck(std::function<bool()> stopping) { fStopping = std::move(stopping); }
    // Idle time-outs of the transfers; shortened only by tests.
    void setTransferTimeouts(long connectSeconds, long lowSpeedSeconds);

    // The query, its reply and every order in it, one after another.
    OrderCheckResult doQueryAndUploadHiResWithInfo(const OrderQueryInfo& info);
    // Sends one original, only when it is a regular file that decodes whole as an image; the
    // bytes sent are those of the file that was checked. Blocks until the exchange has ended.
    HiResUploadResult doRunHttpUploaderHiResWithInfo(const HiResUploadInfo& info);

private:
    void handleOrder(const OrderRecord& order, const OrderQueryInfo& info,
                     OrderCheckResult& result);
    HttpRequest request() const;

    // Everything here belongs to this check alone: its connection is never one a photo upload
    // running at the same time waits on.
    MaintenanceProgress* fDelegate = nullptr;
    std::function<bool()> fStopping;
    long fConnectTimeout = 60;
    long fLowSpeedTime = 60;
    HttpSession fSession;
};

} // namespace kivo
