#pragma once
// Console lines: standard error with a time stamp and the process name; the daily log file
// collects them.
#include <QString>

namespace kivo {

void consoleLine(const QString& text);
// "Inside <cls> => <method>..." written on entry of every handler and thread body.
void consoleInside(const char* cls, const char* method);
QString insideText(const char* cls, const char* method);

// Lines written before the daily log file is set up (a broken settings file is found that
// early) are also kept, up to a limit, so the log can still collect them. This ends the
// keeping and hands the kept lines over, as written, with a note when some did not fit.
QByteArray takeEarlyConsoleLines();
// Starts keeping afresh, dropping what was kept (tests).
void keepEarlyConsoleLines();

} // namespace kivo
