#pragma once
// What the station tells the desktop: a notification for each event a person should hear about
// without watching the window (at most one of a kind a minute), and the state the tray shows.
#include "ui/StatusDisplay.h"

#include <QString>
#include <QVariantMap>
#include <QtGlobal>
#include <array>
#include <functional>
#include <mutex>
#include <optional>

namespace kivo {

class DesktopNotifier;

enum class NoticeKind {
    LoopStopped,    // a service error stopped the loop
    FiledAsProblem, // an item went into the problem folder
    CannotFile,     // the mirror (or problem) folder cannot take a judged item
    WatchLimit,     // the folder watcher ran out of watches
};
inline constexpr int kNoticeKindCount = 4;

struct StationNotice {
    NoticeKind kind = NoticeKind::LoopStopped;
    QString summary;
    QString body;
    bool isError = false; // shown as critical and kept until dismissed
};

// The notice of kind; detail is the error, item or folder it is about.
StationNotice describeNotice(NoticeKind kind, const QString& detail);

// "[item]: why it was refused", from an upload result.
QString describeRefusal(const QVariantMap& result);

// One notice per kind per interval, by the caller's clock.
class NoticeRateLimiter {
public:
    static constexpr qint64 kIntervalMs = 60 * 1000;
    // True, and counted, when a notice of kind may go out at nowMs. Any thread.
    bool take(NoticeKind kind, qint64 nowMs);

private:
    std::mutex fLock;
    std::array<std::optional<qint64>, kNoticeKindCount> fLastMs;
};

class StationNotices {
public:
    using Sender = std::function<void(const StationNotice&)>;
    using Clock = std::function<qint64()>; // milliseconds, never going back

    // Also listens for the watcher's "WatcherLimitReached".
    StationNotices();
    ~StationNotices();
    StationNotices(const StationNotices&) = delete;
    StationNotices& operator=(const StationNotices&) = delete;

    // Without a sender notices go nowhere (tests of the pipeline, tools).
    void setSender(Sender sender);
    // notifier must outlive this object.
    void useDesktopNotifier(DesktopNotifier* notifier);
    void setClock(Clock clock);
    // Any thread. False when held back by the rate limit or for want of a sender.
    bool notify(NoticeKind kind, const QString& detail);

    // Any thread. The observer hears of each change, and of the state as it is when set; it
    // must not call back into setState.
    void setState(StationState state, const QString& detail = QString());
    StationState state() const;
    void setStateObserver(StationStateObserver* observer);

private:
    mutable std::mutex fSendLock;
    Sender fSender;
    Clock fClock;
    NoticeRateLimiter fLimiter;

    mutable std::recursive_mutex fStateLock;
    StationState fState = StationState::Idle;
    QString fDetail;
    StationStateObserver* fObserver = nullptr;
};

} // namespace kivo
