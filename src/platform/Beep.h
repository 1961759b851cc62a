#pragma once
#include <functional>

namespace kivo {

// The system beep. Every call is counted (tests read the count); the sound itself is made by
// the handler the application installs (none in a console-only process).
void systemBeep();
int beepCount();
void setBeepHandler(std::function<void()> fn);

} // namespace kivo
