// The double-dash options of the real program, and what the rest of the line still means.
#include "ProgramRun.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

struct Answer {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The program with nowhere to show a window: Qt's default platform would end it at start.
Answer runProgram(const QString& home, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/.config");
    env.insert("XDG_STATE_HOME", home + "/.local/state");
    env.insert("XDG_DATA_HOME", home + "/.local/share");
    env.insert("XDG_RUNTIME_DIR", home + "/run");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QFileInfo(RefService::executablePath()).path() + "/KivoUploader", args);
    Answer a;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        return a;
    }
    a.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    a.out = p.readAllStandardOutput();
    a.err = p.readAllStandardError();
    return a;
}

bool isEmptyFolder(const QString& path) {
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty();
}

TEST(CommandLine, HelpAndVersionAnswerWithoutADisplayAndTouchNothing) {
    const QString home = makeTempFolder("home");
    const Answer help = runProgram(home, {"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
    EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();
    const QString text = QString::fromUtf8(help.out);
    EXPECT_TRUE(text.startsWith("Usage: KivoUploader ")) << text.toStdString();
    for (const char* key :
         {"prefLocalSourceUploadFolder", "prefLocalMasterMirrorSiteFolder", "userEnteredEventName",
          "userLoginName", "userLoginPassword", "prefGlvURL", "prefAutoSynchronize",
          "prefAutoStartUploadAtStartup", "prefShowWindowAtStartup"})
        EXPECT_TRUE(text.contains(QStringLiteral("\n  -%1 ").arg(key))) << key;
    // Where this user's files are, as the environment has them.
    EXPECT_TRUE(text.contains(home + "/.config/com.quandril.KivoUploader.plist"));
    EXPECT_TRUE(text.contains(home + "/.local/state/Kivo/KivoUploader_yyyy_MM_dd.log"));

    const Answer version = runProgram(home, {"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err.toStdString();
    EXPECT_TRUE(QRegularExpression("^KivoUploader \\d+\\.\\d+\\.\\d+\\n$")
                    .match(QString::fromUtf8(version.out))
                    .hasMatch())
        << version.out.toStdString();
    // No settings, log, lock or socket: nothing was started.
    EXPECT_TRUE(isEmptyFolder(home)) << QDir(home).entryList().join(' ').toStdString();
}

TEST(CommandLine, AnUnknownOptionIsAnErrorWithAHintAndValuesAndQtOptionsAreNotOptions) {
    const QString home = makeTempFolder("home");
    // A setting's value and Qt's options (one dash or two, with a value or without) are
    // skipped: the option after them is the one named.
    const Answer a = runProgram(home, {"-userLoginPassword", "--secret", "-reverse", "--platform",
                                       "offscreen", "-style=fusion", "--verbose", "--help"});
    EXPECT_EQ(a.exitCode, 2);
    EXPECT_TRUE(a.out.isEmpty()) << a.out.toStdString();
    EXPECT_TRUE(a.err.contains("unknown option --verbose")) << a.err.toStdString();
    EXPECT_TRUE(a.err.contains("'KivoUploader --help'")) << a.err.toStdString();
    EXPECT_TRUE(isEmptyFolder(home));
}

using CommandLineRun = ProgramWithService;

TEST_F(CommandLineRun, AfterTheSeparatorEverythingIsAFolder) {
    ASSERT_EQ(run.makePhotos(1).size(), 1);
    ASSERT_TRUE(run.startWith(service.url(), {}, {"--", "--not-an-option", run.source()}));
    EXPECT_TRUE(waitUntil([&] { return run.whereIs("Smith/IMG_0001.jpg") == "mirror"; }, 60000))
        << run.console().right(3000).toStdString();
    EXPECT_TRUE(run.isRunning());
    EXPECT_TRUE(run.console().contains("Ignoring argument [--not-an-option]: not a folder"));
    EXPECT_TRUE(run.stop());
}

} // namespace
