// KivoUploader: uploads the photos dropped into a hot folder to the photo service.
#include "app/AppController.h"
#include "platform/Beep.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "process/ProcessControl.h"
#include "ui/MainStatusWindow.h"
#include "ui/WindowEventObserver.h"

#include <QApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char c = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

// SIGTERM and SIGINT take the same path as the Quit command.
void quitOnTerminationSignals(QApplication& app, kivo::AppController* controller) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [controller] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(gSignalPipe[0], &c, 1);
        kivo::consoleLine(QStringLiteral("Termination signal received; quitting"));
        controller->requestTermination();
    });
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    // Before Qt takes its own options (-platform ...) out: a relaunch must pass them on.
    kivo::rememberProgramArguments(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KivoUploader"));
    QApplication::setQuitOnLastWindowClosed(false);

    // "-key value" pairs override settings for this run only; what is left are folders to open.
    const QStringList folders =
        kivo::Defaults::standard().setArgumentDomainFromArguments(app.arguments().mid(1));
    kivo::setBeepHandler([] {
        // Also in the log: a refused command should be visible to whoever reads it later.
        kivo::consoleLine(QStringLiteral("(beep)"));
        QApplication::beep();
    });

    kivo::AppController::initializeClass();
    // Both live until the process ends: detached pipeline threads may use them until then.
    auto* controller = new kivo::AppController;
    auto* window = new kivo::MainStatusWindow;
    window->setAppActions(controller);
    controller->setStatusDisplay(window);
    quitOnTerminationSignals(app, controller);
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, controller,
                     [controller] { controller->requestTermination(); });

    controller->awakeFromNib();
    // A relaunch after a hung upload may ask to come back without showing the window.
    if (!kivo::Defaults::standard().boolForKey(QStringLiteral("KivoStartHidden")))
        window->show();
    controller->applicationWillFinishLaunching();
    for (const QString& folder : folders) {
        if (QFileInfo(folder).isDir())
            controller->applicationOpenFile(QFileInfo(folder).absoluteFilePath());
        else
            kivo::consoleLine(QStringLiteral("Ignoring argument [%1]: not a folder").arg(folder));
    }
    QTimer::singleShot(0, controller, [controller, &app] {
        controller->applicationDidFinishLaunching();
        app.installEventFilter(new kivo::WindowEventObserver(&app));
    });
    QObject::connect(&app, &QApplication::aboutToQuit, controller,
                     [controller] { controller->applicationWillTerminate(); });
    const int code = app.exec();
    // A scan or upload thread may still be running; it is abandoned, not joined, so leave
    // without running destructors under its feet.
    fflush(nullptr);
    _exit(code);
}
