#pragma once
#include <functional>

namespace kivo {

// Runs fn on the Qt main thread. With wait, blocks until it has run; on the main thread itself
// (or with no application object) fn runs at once, so waiting never dead-locks.
void onMainThread(std::function<void()> fn, bool wait);
bool isMainThread();

} // namespace kivo
