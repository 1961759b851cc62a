#include "app/CommandLine.h"

#include "log/MessageLog.h"
#include "log/QDLogFileManager.h"
#include "platform/Bundle.h"
#include "platform/Defaults.h"

#include <cstdio>

namespace kivo {

namespace {

// Qt's own options (QGuiApplication, QApplication, the xcb platform). Qt takes them with one
// dash or two, anywhere on the line; those with a value may also be written "-name=value".
struct QtOption {
    const char* name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"geometry", true},
    {"qwindowtitle", true},
    {"title", true},
    {"qwindowicon", true},
    {"icon", true},
    {"session", true},
    {"display", true},
    {"name", true},
    {"style", true},
    {"stylesheet", true},
    {"qmljsdebugger", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
    {"testability", false},
};

// The Qt option an argument names, with one dash or two; nullptr when it names none.
const QtOption* qtOption(const QString& arg, bool* valueAttached) {
    QString word = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype eq = word.indexOf(QLatin1Char('='));
    *valueAttached = eq >= 0;
    if (eq >= 0)
        word.truncate(eq);
    for (const QtOption& o : kQtOptions) {
        if (word == QLatin1String(o.name))
            return (eq < 0 || o.takesValue) ? &o : nullptr;
    }
    return nullptr;
}

} // namespace

CommandLine parseCommandLine(const QStringList& args) {
    CommandLine result;
    // Qt's options go first, wherever they are: Qt takes them and their values out before
    // the settings are read.
    QStringList ours;
    qsizetype i = 0;
    for (; i < args.size() && args[i] != QLatin1String("--"); ++i) {
        const QString& arg = args[i];
        result.arguments << arg;
        bool valueAttached = false;
        const QtOption* o =
            arg.startsWith(QLatin1Char('-')) ? qtOption(arg, &valueAttached) : nullptr;
        if (!o)
            ours << arg;
        else if (o->takesValue && !valueAttached && i + 1 < args.size())
            result.arguments << args[++i];
    }
    if (i < args.size())
        result.foldersAfterSeparator = args.mid(i + 1);

    for (qsizetype k = 0; k < ours.size(); ++k) {
        const QString& arg = ours[k];
        if (arg.startsWith(QLatin1String("--"))) {
            if (arg == QLatin1String("--help")) {
                result.action = CommandLine::Action::Help;
            } else if (arg == QLatin1String("--version")) {
                result.action = CommandLine::Action::Version;
            } else {
                result.action = CommandLine::Action::UnknownOption;
                result.unknownOption = arg;
            }
            return result;
        }
        // The settings' rule: "-key value" whenever a value follows.
        if (arg.size() >= 2 && arg[0] == QLatin1Char('-') && arg[1].isLetter() &&
            k + 1 < ours.size())
            ++k;
    }
    return result;
}

CommandLine parseCommandLine(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return parseCommandLine(args);
}

int answerCommandLine(const CommandLine& commandLine) {
    const auto print = [](const QString& text, FILE* to) {
        const QByteArray bytes = text.toLocal8Bit();
        fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
        fflush(to);
    };
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        print(helpText(), stdout);
        return 0;
    case CommandLine::Action::Version:
        print(versionText(), stdout);
        return 0;
    case CommandLine::Action::UnknownOption:
        print(unknownOptionText(commandLine.unknownOption), stderr);
        return 2;
    case CommandLine::Action::Run:
        break;
    }
    return 0;
}

QString versionText() {
    return QStringLiteral("%1 %2\n").arg(
        bundle::displayName(),
        bundle::infoValue(QStringLiteral("CFBundleShortVersionString")).toString());
}

QString unknownOptionText(const QString& option) {
    const QString name = bundle::displayName();
    return QStringLiteral("%1: unknown option %2\nTry '%1 --help'. Settings take one dash "
                          "(-<setting> <value>);\na folder whose name begins with '-' goes "
                          "after '--'.\n")
        .arg(name, option);
}

QString helpText() {
    const QString name = bundle::displayName();
    const QString logs = QDLogFileManager::logFolder();
    QString t;
    t += QStringLiteral("Usage: %1 [Qt options] [-<setting> <value> ...] [--] [folder ...]\n\n")
             .arg(name);
    t += QStringLiteral(
        "Uploads the photos dropped into the client folders of the source folder to the photo\n"
        "service and files each into the mirror folder (accepted) or \"Problem Folder\" beside\n"
        "it (refused); photos that could not be sent stay to be tried again.\n\n");
    t += QStringLiteral("Options:\n"
                        "  --help                 print this text and exit\n"
                        "  --version              print the version and exit\n"
                        "  --                     what follows are folders, even names "
                        "beginning with '-'\n\n");
    t += QStringLiteral(
        "Settings, for this run only (never saved). A value is read as a property-list value\n"
        "when it parses as one, else as text; switches take YES or NO:\n"
        "  -prefLocalSourceUploadFolder <folder>      the source folder to upload from\n"
        "  -prefLocalMasterMirrorSiteFolder <folder>  where uploaded photos go; \"Problem "
        "Folder\"\n"
        "                                             is made beside it\n"
        "  -userEnteredEventName <name>               the event the photos belong to\n"
        "  -userLoginName <name>                      the service account\n"
        "  -userLoginPassword <password>              its password (other local users can "
        "see\n"
        "                                             the command line: prefer the settings "
        "file)\n"
        "  -prefGlvURL <url>                          the service's address\n"
        "  -prefAutoSynchronize YES|NO                rescan the source folder on a timer\n"
        "  -prefSecondsBetweenScans <seconds>         that timer (120 when unset)\n"
        "  -prefAutoStartUploadAtStartup YES|NO       start a pass by itself after launch\n"
        "  -prefShowWindowAtStartup YES|NO            with it, that first pass waits 30 s, "
        "not 10 s\n"
        "  -prefDaysToSaveLogs <days>                 daily logs older than this go to the "
        "Trash\n"
        "Any other setting of the settings file is given the same way.\n\n");
    t += QStringLiteral(
        "A folder given as an argument starts a pass over it at launch. When the program is\n"
        "already running for this user, the folder is handed to it and this start exits.\n\n"
        "Qt options: -platform offscreen runs without a display; alerts are then written to\n"
        "the log and answered with their default button.\n\n");
    t += QStringLiteral("Files:\n"
                        "  settings          %1\n"
                        "  daily logs        %2/%3_yyyy_MM_dd.log\n"
                        "  milestone log     %4\n"
                        "  state             %2/\n\n")
             .arg(Defaults::standardPath(), logs, QDLogFileManager::getApplicationName(),
                  MessageLog::logPathFor(bundle::executableFolder(), false));
    t += QStringLiteral("Exit status: 0 when done (or handed over to the running instance), 1 "
                        "when the\nrunning instance did not answer, 2 for an unknown option.\n");
    return t;
}

} // namespace kivo
