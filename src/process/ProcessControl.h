#pragma once
// Starting other programs: helpers shipped with the application, system tools, and the
// relaunch of this program.
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <optional>

class QObject;

namespace kivo {

// Runs the program at an absolute path and returns everything it wrote to standard output
// (decoded as UTF-8, trailing line end kept); nothing when there is no path or the program
// cannot be started. Standard error and standard input are the caller's. Blocks the calling
// thread until the child exits; works on any thread, with or without an event loop.
std::optional<QString> runShellScript2(const QString& path, const QStringList& args);

// Runs a helper shipped with the program (next to the executable or in libexec). False when
// the helper is missing or cannot start, or when its output says "not connected".
bool runShellScript(const QString& name, const QStringList& args);

// Launch flag that asks for the new instance to start without showing its window.
constexpr long kLSLaunchAndHide = 0x00100000;

struct RelaunchRequest {
    QObject* sender = nullptr;
    long launchFlags = 1;
};

// A map with "sender" and "LSLaunchFlags" (flags 0 when missing), a push button (the sender,
// flags 1), or anything else (no sender, flags 1).
RelaunchRequest parseRelaunchRequest(const QVariant& request);

// Starts the "relaunch" helper detached: it waits for this process to end and then starts this
// program again with programArguments (the original arguments without the program name).
bool startRelaunchHelper(long launchFlags, const QStringList& programArguments,
                         QString* error = nullptr);
// The same for any program and process id.
bool startRelaunchHelperFor(const QString& program, qint64 pid, long launchFlags,
                            const QStringList& programArguments, QString* error = nullptr);

// Keeps the command line as the program was started, before the application object takes out
// the options it handles (such as "-platform offscreen"), so a relaunch repeats it. Call in
// main() before the application object is created.
void rememberProgramArguments(int argc, char** argv);
// The remembered arguments without the program name; else the application's arguments.
QStringList programArguments();

// The whole relaunch request on the application object: console line, helper start with
// programArguments(), then terminate(sender). When the helper cannot be started the program
// keeps running (terminate is not called) and false is returned.
bool relaunch(const QVariant& request, const std::function<void(QObject* sender)>& terminate);

// Ends the application's event loop, also when asked before the loop runs (Qt ignores quit()
// then; the loop now ends as soon as it starts). Once per process: the first call asks
// shouldTerminate (none: yes) and quits when it agrees; later calls do nothing, so a window
// closed by the quit itself cannot ask again. True when this call started the quit.
bool terminateApplication(const std::function<bool()>& shouldTerminate = {});
// Whether a quit has been started.
bool isTerminating();

// Shows an existing folder ("~" expanded) in the desktop's file browser through the
// "revealInFinder.sh" helper (returns the helper's runShellScript result); anything else
// beeps and returns false.
bool revealItemInFinder(const QString& path);

// Readable one-line form of a request or argument value for console lines.
QString describeValue(const QVariant& value);

} // namespace kivo
