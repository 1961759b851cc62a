#pragma once
// The diagnostic log: a small file of milestones (launch, quit, halt, folder problems) kept beside
// the installation. One time-stamped line per entry; callable from any thread.
#include <QString>
#include <string>

namespace kivo::MessageLog {

// Opens "<executable folder>/<display name>Log.txt", or the same name in $XDG_STATE_HOME/Kivo/
// when the executable's folder is not writable. Every call starts the file empty.
void InitLog();
// The same with an explicit path (tests, tools).
void InitLogAtPath(const QString& path);
// After this, entries are refused until the next InitLog.
void CloseLog();

bool isOpen();
// The path of the last InitLog; empty before the first.
QString logFilePath();
// Where InitLog puts the file for a program living in `folder`; creates the private fallback
// folder when it is needed, unless makeFolder is false.
QString logPathFor(const QString& folder, bool makeFolder = true);

// "[<asctime>] ==> <msg>" plus a newline, flushed. With echo the message also goes to the
// console as "NSLog = <msg>".
void LogMessage(const char* msg, bool echo = false);
void LogMessage(const std::string& msg);
void LogMessage(const QString& msg, bool echo = false);

} // namespace kivo::MessageLog
