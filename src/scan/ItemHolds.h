#pragma once
// Items that must wait before the loop takes them again: an unfinished photo for a moment, and
// an item that keeps failing for longer each time (1 s, 2, 4 ... 30 s), so that neither the
// processor nor the service is flooded with the same item.
#include <QString>
#include <map>
#include <mutex>
#include <optional>

namespace kivo {

class ItemHolds {
public:
    struct Hold {
        qint64 untilMs = 0; // epoch milliseconds
        QString why;
        int failures = 0;
    };

    static constexpr qint64 kFirstPauseMs = 1000;
    static constexpr qint64 kLongestPauseMs = 30000;
    // The pause after the n-th failure in a row (n >= 1).
    static qint64 pauseAfterFailures(int failures);

    // One more failure of item: it waits for the next pause of its schedule.
    Hold recordFailure(const QString& item, const QString& why, qint64 nowMs);
    // Holds item for delayMs without counting a failure (an unfinished file).
    void holdBriefly(const QString& item, qint64 delayMs, const QString& why, qint64 nowMs);
    // A success: the item's schedule starts over.
    void clear(const QString& item);
    // The hold of item while it is in force.
    std::optional<Hold> holdOf(const QString& item, qint64 nowMs) const;

private:
    mutable std::mutex fMutex;
    std::map<QString, Hold> fHolds;
};

} // namespace kivo
