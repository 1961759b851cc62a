// KivoUploader: uploads the photos dropped into a hot folder to the photo service.
#include "app/AppController.h"
#include "app/CommandLine.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/DesktopNotifier.h"
#include "platform/SingleInstance.h"
#include "process/ProcessControl.h"
#include "ui/MainStatusWindow.h"
#include "ui/SettingsWindowController.h"
#include "ui/TrayIcon.h"
#include "ui/WindowEventObserver.h"

#include <QApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int gSignalPipe[2] = {-1, -1};
volatile sig_atomic_t gTerminationSignalled = 0;

void onTerminationSignal(int) {
    gTerminationSignalled = 1;
    const char c = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

// SIGTERM and SIGINT take the same path as the Quit command. Caught from the start of the
// work on, so one that arrives while starting up ends the program cleanly instead of killing
// it half-way; a start that inherited them blocked would never see them.
void catchTerminationSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t caught;
    sigemptyset(&caught);
    sigaddset(&caught, SIGTERM);
    sigaddset(&caught, SIGINT);
    pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
}

// Signals caught so far are answered once the event loop runs.
void quitOnTerminationSignals(QApplication& app, kivo::AppController* controller) {
    if (gSignalPipe[0] < 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [controller] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(gSignalPipe[0], &c, 1);
        kivo::consoleLine(QStringLiteral("Termination signal received; quitting"));
        controller->requestTermination();
    });
}

// A scan or upload thread may still be running; it is abandoned, not joined, so the program
// leaves without running destructors under its feet.
[[noreturn]] void runUntilQuit(QApplication& app, kivo::AppController* controller) {
    QObject::connect(&app, &QApplication::aboutToQuit, controller,
                     [controller] { controller->applicationWillTerminate(); });
    const int code = app.exec();
    fflush(nullptr);
    _exit(code);
}

void openFolders(kivo::AppController* controller, const QStringList& folders,
                 const QString& origin) {
    for (const QString& folder : folders) {
        if (QFileInfo(folder).isDir())
            controller->applicationOpenFile(QFileInfo(folder).absoluteFilePath());
        else
            kivo::consoleLine(QStringLiteral("Ignoring %1 [%2]: not a folder").arg(origin, folder));
    }
}

QString describeOwner(qint64 pid) {
    return pid > 0 ? QStringLiteral("%1 is already running (pid %2)")
                         .arg(kivo::bundle::displayName())
                         .arg(pid)
                   : QStringLiteral("%1 is already running").arg(kivo::bundle::displayName());
}

} // namespace

int main(int argc, char** argv) {
    // Before Qt takes its own options (-platform ...) out: a relaunch must pass them on.
    kivo::rememberProgramArguments(argc, argv);
    // Answered before Qt starts, so they need no display and touch no instance or log.
    const kivo::CommandLine commandLine = kivo::parseCommandLine(argc, argv);
    if (commandLine.action != kivo::CommandLine::Action::Run)
        return kivo::answerCommandLine(commandLine);
    // Qt takes its options from anywhere it is given; it is not given what follows "--".
    int qtArgc = int(commandLine.arguments.size()) + 1;
    std::vector<char*> qtArgv(argv, argv + qtArgc);
    qtArgv.push_back(nullptr);
    QApplication app(qtArgc, qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("KivoUploader"));
    QApplication::setQuitOnLastWindowClosed(false);

    // "-key value" pairs override settings for this run only; what is left are folders to open.
    const QStringList folders =
        kivo::Defaults::standard().setArgumentDomainFromArguments(app.arguments().mid(1)) +
        commandLine.foldersAfterSeparator;
    kivo::setBeepHandler([] {
        // Also in the log: a refused command should be visible to whoever reads it later.
        kivo::consoleLine(QStringLiteral("(beep)"));
        QApplication::beep();
    });

    // Before the log files and housekeeping are set up: a second start must touch neither.
    auto* instance = new kivo::SingleInstance(kivo::bundle::identifier(), QString(), &app);
    QStringList handOver;
    for (const QString& folder : folders) {
        if (!folder.isEmpty())
            handOver << QFileInfo(folder).absoluteFilePath();
    }
    constexpr int kHandOverLimitMs = 10000;
    const kivo::SingleInstance::Claim claim = instance->claim(handOver, kHandOverLimitMs);
    if (claim.role == kivo::SingleInstance::Role::HandedOver) {
        const QString what = handOver.isEmpty()
                                 ? QStringLiteral("it had no folder to hand over")
                                 : QStringLiteral("handed over %1").arg(handOver.join(", "));
        fprintf(stderr, "%s; %s\n", qPrintable(describeOwner(claim.ownerPid)), qPrintable(what));
        return 0;
    }
    if (claim.role == kivo::SingleInstance::Role::NoAnswer) {
        fprintf(stderr, "%s but did not answer within %d s (%s); nothing handed over\n",
                qPrintable(describeOwner(claim.ownerPid)), kHandOverLimitMs / 1000,
                qPrintable(claim.error));
        return 1;
    }

    catchTerminationSignals();
    kivo::AppController::initializeClass();
    if (claim.role == kivo::SingleInstance::Role::Unguarded)
        kivo::consoleLine(
            QStringLiteral("Cannot make sure that only one instance runs: %1").arg(claim.error));
    // Both live until the process ends: detached pipeline threads may use them until then.
    auto* controller = new kivo::AppController;
    auto* window = new kivo::MainStatusWindow;
    window->setAppActions(controller);
    window->setLoginPanel(new kivo::SettingsWindowController(window, controller));
    controller->setStatusDisplay(window);
    controller->station().useDesktopNotifier(new kivo::DesktopNotifier(&app));
    auto* tray = new kivo::TrayIcon(
        controller, [window] { window->showOnRequest(); }, &app);
    controller->station().setStateObserver(tray);
    tray->showInTrayOnceThereIsOne();
    quitOnTerminationSignals(app, controller);
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, controller,
                     [controller] { controller->requestTermination(); });

    QObject::connect(
        instance, &kivo::SingleInstance::pathsReceived, controller,
        [controller, window](const QStringList& paths) {
            if (!paths.isEmpty()) {
                kivo::consoleLine(
                    QStringLiteral("Another start handed over [%1]").arg(paths.join(", ")));
                openFolders(controller, paths, QStringLiteral("handed-over path"));
                return;
            }
            // Started again by hand: the user is looking for this one.
            kivo::consoleLine(QStringLiteral("Another start asks to be shown"));
            window->showOnRequest();
        });
    QString listenError;
    if (claim.role == kivo::SingleInstance::Role::First && !instance->listen(&listenError))
        kivo::consoleLine(
            QStringLiteral("Later starts cannot hand their folders over: %1").arg(listenError));
    // Folders handed to an instance on its way out would be lost; later starts wait for it.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, instance,
                     [instance] { instance->stopListening(); });

    controller->awakeFromNib();
    // Asked to quit while starting up (a signal, an unsupported system): no window and no
    // pass; the event loop ends as soon as it starts.
    if (gTerminationSignalled || kivo::isTerminating())
        runUntilQuit(app, controller);
    // A relaunch after a hung upload may ask to come back without showing the window.
    if (!kivo::Defaults::standard().boolForKey(QStringLiteral("KivoStartHidden")))
        window->show();
    else
        window->startHidden();
    controller->applicationWillFinishLaunching();
    // A settings file refused at load was reported before the log file and the window existed.
    // (Its console line, written then, was carried into the log when the log opened.)
    if (const auto& settings = kivo::Defaults::standard().loadReport(); settings.isProblem())
        controller->ibUpdateFTPCallbackStatusTextField(settings.text, true);
    openFolders(controller, folders, QStringLiteral("argument"));
    QTimer::singleShot(0, controller, [controller, &app] {
        controller->applicationDidFinishLaunching();
        app.installEventFilter(new kivo::WindowEventObserver(&app));
    });
    runUntilQuit(app, controller);
}
