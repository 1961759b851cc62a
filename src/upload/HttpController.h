#pragma once
// Sends one photo per UploadStartNotification to the photo service and judges the reply.
#include "platform/HttpTransport.h"
#include "platform/NotificationCenter.h"

#include <QObject>
#include <QVariantMap>
#include <atomic>
#include <memory>
#include <optional>

class QTimer;
class QDomDocument;

namespace kivo {

// Asked to restart the program when an upload hangs.
class RelaunchDelegate {
public:
    virtual ~RelaunchDelegate() = default;
    virtual void relaunchApp(const QVariantMap& request) = 0;
};

class HttpController : public QObject {
    Q_OBJECT
public:
    // Create on the main thread: the upload watchdog lives there.
    HttpController();
    ~HttpController() override;

    void setProgressDelegate(RelaunchDelegate* delegate) { fDelegate = delegate; }
    RelaunchDelegate* progressDelegate() const { return fDelegate; }

    void handleNotification_UploadStart(const Notification& n);
    void handleNotification_UploadDone(const Notification& n);
    void doRunHttpUploaderInThread(const Notification& n);
    // Uploads one item and posts UploadDoneNotification; empties info when done.
    bool doRunHttpUploaderWithInfo(const std::shared_ptr<QVariantMap>& info);
    void uploadTimerFired();

    // Records what came back into the result info.
    static void recordReply(const HttpResponse& reply, QVariantMap& result);
    // Why a reply is no judgement of the photo at all (a redirect, a gateway error, a web page
    // with status 200), or none when it is the service's own answer. document is the parsed
    // reply, null when it did not parse.
    static std::optional<QString> notAVerdict(const HttpResponse& reply,
                                              const QDomDocument* document);
    // Why a reply's text is refused before it is parsed (too deep, too slow), or none.
    static std::optional<QString> beyondReplyBounds(const QString& text);
    // Failure when any of the failure rules holds.
    static bool isFailure(const QVariantMap& result);

    // Idle time-outs of the transfer; shortened only by tests.
    void setTransferTimeouts(long connectSeconds, long lowSpeedSeconds);
    // Where the two debug dumps of the last body go (owner-only files).
    static QString debugDumpFolder();

private:
    void armWatchdog(double seconds);
    void cancelWatchdog();

    std::atomic<RelaunchDelegate*> fDelegate{nullptr};
    QTimer* fWatchdog = nullptr;         // lives on the main thread
    std::atomic<quint64> fGeneration{0}; // which upload an armed watchdog belongs to
    std::atomic<long> fConnectTimeout{60};
    std::atomic<long> fLowSpeedTime{60};
    HttpSession fSession; // the photo loop's own connection
};

} // namespace kivo
