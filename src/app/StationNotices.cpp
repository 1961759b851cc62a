#include "app/StationNotices.h"

#include "app/Pipeline.h"
#include "files/FolderWatcher.h"
#include "platform/DesktopNotifier.h"
#include "platform/NotificationCenter.h"

#include <chrono>

namespace kivo {

namespace {

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Errors stay until dismissed: the station may be unattended when they come.
constexpr int kInfoExpireMs = 10 * 1000;

} // namespace

StationNotice describeNotice(NoticeKind kind, const QString& detail) {
    StationNotice n;
    n.kind = kind;
    switch (kind) {
    case NoticeKind::LoopStopped:
        n.summary = QStringLiteral("Uploads stopped");
        n.body = QStringLiteral("%1\nUploading starts again at the next Synchronize or new photo.")
                     .arg(detail);
        n.isError = true;
        break;
    case NoticeKind::FiledAsProblem:
        n.summary = QStringLiteral("Photo moved to Problem Folder");
        n.body = detail;
        break;
    case NoticeKind::CannotFile:
        n.summary = QStringLiteral("A photo cannot be filed");
        n.body = detail;
        n.isError = true;
        break;
    case NoticeKind::WatchLimit:
        n.summary = QStringLiteral("Folder watch limit reached");
        n.body = QStringLiteral("New photos under [%1] may only be found by later scans. Raise "
                                "fs.inotify.max_user_watches, e.g. "
                                "sysctl fs.inotify.max_user_watches=524288")
                     .arg(detail);
        break;
    }
    return n;
}

QString describeRefusal(const QVariantMap& result) {
    QString why;
    if (result.contains(kLocalRefusal))
        why = result.value(kLocalRefusal).toString();
    else if (result.contains(kHttpStatusCode) && result.value(kHttpStatusCode).toLongLong() != 200)
        why = QStringLiteral("HTTP status %1").arg(result.value(kHttpStatusCode).toLongLong());
    else
        why = result.value(kHttpOurCustomMessage).toString();
    return QStringLiteral("[%1]: %2").arg(result.value(cDictKeyCurItem).toString(), why);
}

bool NoticeRateLimiter::take(NoticeKind kind, qint64 nowMs) {
    std::lock_guard<std::mutex> g(fLock);
    std::optional<qint64>& last = fLastMs[size_t(kind)];
    if (last && nowMs - *last < kIntervalMs && nowMs >= *last)
        return false;
    last = nowMs;
    return true;
}

StationNotices::StationNotices() : fClock(steadyMs) {
    // Posted on the watcher's thread.
    NotificationCenter::defaultCenter().addObserver(
        this, kWatcherLimitReached, [this](const Notification& n) {
            notify(NoticeKind::WatchLimit,
                   n.userInfo ? n.userInfo->value(QStringLiteral("folder")).toString() : QString());
        });
}

StationNotices::~StationNotices() {
    NotificationCenter::defaultCenter().removeObserver(this);
}

void StationNotices::setSender(Sender sender) {
    std::lock_guard<std::mutex> g(fSendLock);
    fSender = std::move(sender);
}

void StationNotices::useDesktopNotifier(DesktopNotifier* notifier) {
    setSender([notifier](const StationNotice& n) {
        DesktopNotifier::Notice notice;
        notice.summary = n.summary;
        notice.body = n.body;
        notice.urgency =
            n.isError ? DesktopNotifier::Urgency::Critical : DesktopNotifier::Urgency::Normal;
        notice.expireMs = n.isError ? 0 : kInfoExpireMs;
        notice.tag = QString::number(int(n.kind));
        notifier->send(notice);
    });
}

void StationNotices::setClock(Clock clock) {
    std::lock_guard<std::mutex> g(fSendLock);
    fClock = std::move(clock);
}

bool StationNotices::notify(NoticeKind kind, const QString& detail) {
    Sender sender;
    {
        std::lock_guard<std::mutex> g(fSendLock);
        if (!fSender || !fLimiter.take(kind, fClock()))
            return false;
        sender = fSender;
    }
    sender(describeNotice(kind, detail));
    return true;
}

void StationNotices::setState(StationState state, const QString& detail) {
    std::lock_guard<std::recursive_mutex> g(fStateLock);
    if (state == fState && detail == fDetail)
        return;
    fState = state;
    fDetail = detail;
    if (fObserver)
        fObserver->stationStateChanged(fState, fDetail);
}

StationState StationNotices::state() const {
    std::lock_guard<std::recursive_mutex> g(fStateLock);
    return fState;
}

void StationNotices::setStateObserver(StationStateObserver* observer) {
    std::lock_guard<std::recursive_mutex> g(fStateLock);
    fObserver = observer;
    if (fObserver)
        fObserver->stationStateChanged(fState, fDetail);
}

} // namespace kivo
