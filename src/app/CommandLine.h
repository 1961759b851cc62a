#pragma once
// The double-dash options, read before Qt is started: --help and --version answer without a
// display and without touching the running instance, the settings or the logs.
#include <QString>
#include <QStringList>

namespace kivo {

struct CommandLine {
    enum class Action { Run, Help, Version, UnknownOption };
    Action action = Action::Run;
    QString unknownOption; // as given, for Action::UnknownOption
    // Arguments before "--", for Qt and the "-key value" settings; those after it are folders
    // whatever they look like.
    QStringList arguments;
    QStringList foldersAfterSeparator;
};

// args without the program name. Single-dash arguments are never options of ours: they are
// Qt's or "-key value" settings, whose values are skipped so that a value may begin with "--".
CommandLine parseCommandLine(const QStringList& args);
CommandLine parseCommandLine(int argc, char** argv);

// Prints the answer to --help, --version or an unknown option; the process's exit status.
int answerCommandLine(const CommandLine& commandLine);

QString versionText();
// Usage, the common settings, and where settings and logs are for this user and environment.
QString helpText();
QString unknownOptionText(const QString& option);

} // namespace kivo
