#include "scan/ItemHolds.h"

#include <algorithm>

namespace kivo {

namespace {
// Enough for any hot folder; beyond it the oldest expired holds are forgotten.
constexpr size_t kMaxHolds = 20000;
} // namespace

qint64 ItemHolds::pauseAfterFailures(int failures) {
    const int doublings = std::clamp(failures - 1, 0, 16);
    return std::min(kLongestPauseMs, kFirstPauseMs << doublings);
}

ItemHolds::Hold ItemHolds::recordFailure(const QString& item, const QString& why, qint64 nowMs) {
    std::lock_guard<std::mutex> g(fMutex);
    Hold& hold = fHolds[item];
    hold.failures = std::min(hold.failures + 1, 1000);
    hold.untilMs = nowMs + pauseAfterFailures(hold.failures);
    hold.why = why;
    const Hold copy = hold;
    if (fHolds.size() > kMaxHolds)
        std::erase_if(fHolds, [nowMs](const auto& entry) { return entry.second.untilMs < nowMs; });
    return copy;
}

void ItemHolds::holdBriefly(const QString& item, qint64 delayMs, const QString& why, qint64 nowMs) {
    std::lock_guard<std::mutex> g(fMutex);
    Hold& hold = fHolds[item];
    hold.untilMs = std::max(hold.untilMs, nowMs + delayMs);
    hold.why = why;
}

void ItemHolds::clear(const QString& item) {
    std::lock_guard<std::mutex> g(fMutex);
    fHolds.erase(item);
}

std::optional<ItemHolds::Hold> ItemHolds::holdOf(const QString& item, qint64 nowMs) const {
    std::lock_guard<std::mutex> g(fMutex);
    const auto it = fHolds.find(item);
    if (it == fHolds.end() || it->second.untilMs <= nowMs)
        return std::nullopt;
    return it->second;
}

} // namespace kivo
