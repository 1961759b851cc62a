#pragma once
// Console lines: standard error with a time stamp and the process name; the daily log file
// collects them.
#include <QString>

namespace kivo {

void consoleLine(const QString& text);
// "Inside <cls> => <method>..." written on entry of every handler and thread body.
void consoleInside(const char* cls, const char* method);
QString insideText(const char* cls, const char* method);

} // namespace kivo
