#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "process/ProcessControl.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QUuid>
#include <QWidget>
#include <cstdlib>
#include <gtest/gtest.h>

using kivo::test::FdCapture;
using kivo::test::makeTempFolder;
using kivo::test::readFile;
using kivo::test::waitUntil;
using kivo::test::writeFile;

namespace {

bool writeScript(const QString& path, const QByteArray& body) {
    if (!writeFile(path, "#!/bin/sh\n" + body))
        return false;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A helper placed next to the test program for the length of one test.
class TempHelper {
public:
    explicit TempHelper(const QByteArray& body)
        : fName("kivo-test-helper-" + QUuid::createUuid().toString(QUuid::Id128)),
          fPath(kivo::bundle::executableFolder() + "/" + fName) {
        fOk = writeScript(fPath, body);
    }
    ~TempHelper() { QFile::remove(fPath); }
    QString name() const { return fName; }
    bool ok() const { return fOk; }

private:
    QString fName;
    QString fPath;
    bool fOk = false;
};

class PathGuard {
public:
    explicit PathGuard(const QString& path) : fSaved(qgetenv("PATH")) {
        qputenv("PATH", path.toLocal8Bit());
    }
    ~PathGuard() { qputenv("PATH", fSaved); }

private:
    QByteArray fSaved;
};

// A program that records its arguments, one a line, and whether `marker` existed when it ran.
QString makeRecorder(const QString& folder, const QString& out, const QString& marker) {
    const QString path = folder + "/recorder.sh";
    const QByteArray body = QStringLiteral("{ [ -e '%1' ] && echo '[after]'; for a in \"$@\"; do "
                                           "printf '%s\\n' \"$a\"; done; } > '%2.tmp' && "
                                           "mv '%2.tmp' '%2'\n")
                                .arg(marker, out)
                                .toUtf8();
    return writeScript(path, body) ? path : QString();
}

struct HelperRun {
    int exitCode = -1;
    QByteArray err;
};

HelperRun runRelaunchHelper(const QStringList& args) {
    QProcess p;
    p.start(kivo::bundle::helperPath("relaunch"), args);
    HelperRun r;
    if (!p.waitForFinished(10000))
        return r;
    r.exitCode = p.exitCode();
    r.err = p.readAllStandardError();
    return r;
}

qint64 pidOfEndedProcess() {
    QProcess p;
    p.start("/bin/true");
    p.waitForFinished();
    return p.processId() ? p.processId() : 999999;
}

} // namespace

TEST(RunShellScript2, ReturnsOutputWithLineEndAndKeepsStderrSeparate) {
    FdCapture err;
    const auto out = kivo::runShellScript2("/bin/sh", {"-c", "echo 'héllo wörld'; echo oops >&2"});
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, QString::fromUtf8("héllo wörld\n"));
    const QByteArray log = err.text();
    EXPECT_TRUE(log.contains("runShellScript2 => scriptName = [/bin/sh]"));
    EXPECT_TRUE(log.contains("runShellScript2 got back:\nhéllo wörld"));
    // The child's standard error is ours, not part of the output.
    EXPECT_TRUE(log.contains("oops"));
    EXPECT_FALSE(log.contains("Task failed."));
}

TEST(RunShellScript2, LargeOutputOnWorkerThreadCompletes) {
    std::optional<QString> out;
    {
        FdCapture swallow; // the whole output is echoed to the console
        ASSERT_TRUE(kivo::test::runOnWorker(
            [&] {
                out = kivo::runShellScript2(
                    "/bin/sh", {"-c", "head -c 10000000 /dev/zero | tr '\\0' x; echo"});
            },
            60000));
    }
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->size(), 10000001);
    EXPECT_EQ(out->count(QLatin1Char('x')), 10000000);
}

TEST(RunShellScript2, FailedChildStillReturnsOutputMissingProgramReturnsNothing) {
    FdCapture err;
    const auto out = kivo::runShellScript2("/bin/sh", {"-c", "echo partial; exit 3"});
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, "partial\n");
    EXPECT_TRUE(err.text().contains("runShellScript2 Task failed."));

    EXPECT_FALSE(kivo::runShellScript2("/nonexistent/kivo-tool", {}).has_value());
    EXPECT_FALSE(kivo::runShellScript2(QString(), {"x"}).has_value());
    EXPECT_TRUE(err.text().contains("runShellScript2 FAILED => scriptName==nil!"));
}

TEST(RunShellScript, NotConnectedInAnyCaseMeansFalse) {
    TempHelper offline("echo 'ftp: NOT CONNECTED to host'\n");
    TempHelper online("echo ok; exit 1\n");
    ASSERT_TRUE(offline.ok() && online.ok());

    FdCapture err;
    EXPECT_FALSE(kivo::runShellScript(offline.name(), {"a"}));
    EXPECT_TRUE(err.text().contains("THERE IS NO INTERNET CONNECTION on ftp shell level..."));
    EXPECT_TRUE(err.text().contains("Task succeeded."));

    // A non-zero status alone does not make the run fail.
    EXPECT_TRUE(kivo::runShellScript(online.name(), {}));
    EXPECT_TRUE(err.text().contains("Task failed."));
}

TEST(RunShellScript, MissingHelperOrNameIsFalse) {
    FdCapture err;
    EXPECT_FALSE(kivo::runShellScript("kivo-no-such-helper", {}));
    EXPECT_TRUE(err.text().contains(
        "runShellScript FAILED => UNABLE to find script named: [kivo-no-such-helper]!"));
    EXPECT_FALSE(kivo::runShellScript(QString(), {}));
    EXPECT_TRUE(err.text().contains("runShellScript FAILED => scriptName==nil!"));
}

TEST(RelaunchRequest, SenderAndFlagsFollowTheKindOfRequest) {
    QObject controller;
    QVariantMap withFlags{{"LSLaunchFlags", 1049344}, {"sender", QVariant::fromValue(&controller)}};
    auto r = kivo::parseRelaunchRequest(withFlags);
    EXPECT_EQ(r.sender, &controller);
    EXPECT_EQ(r.launchFlags, 1049344);

    r = kivo::parseRelaunchRequest(QVariantMap{{"sender", QVariant::fromValue(&controller)}});
    EXPECT_EQ(r.sender, &controller);
    EXPECT_EQ(r.launchFlags, 0);

    QPushButton button;
    r = kivo::parseRelaunchRequest(QVariant::fromValue(&button));
    EXPECT_EQ(r.sender, &button);
    EXPECT_EQ(r.launchFlags, 1);
    // A button stored under its own type counts the same.
    r = kivo::parseRelaunchRequest(QVariantMap{{"sender", QVariant::fromValue(&button)}});
    EXPECT_EQ(r.sender, &button);

    for (const QVariant& other :
         {QVariant(), QVariant::fromValue(&controller), QVariant(QStringLiteral("x"))}) {
        r = kivo::parseRelaunchRequest(other);
        EXPECT_EQ(r.sender, nullptr);
        EXPECT_EQ(r.launchFlags, 1);
    }
}

TEST(RelaunchHelper, StartsProgramAfterProcessEndsWithArgumentsAndHiddenPair) {
    ASSERT_FALSE(kivo::bundle::helperPath("relaunch").isEmpty());
    const QString dir = makeTempFolder("relaunch");
    const QString out = dir + "/args.txt";
    const QString marker = dir + "/ended";
    const QString recorder = makeRecorder(dir, out, marker);
    ASSERT_FALSE(recorder.isEmpty());

    QProcess dummy;
    dummy.start("/bin/sh", {"-c", QStringLiteral("sleep 1; touch '%1'").arg(marker)});
    ASSERT_TRUE(dummy.waitForStarted());

    QString error;
    // A hidden pair from an earlier relaunch is replaced, never repeated.
    ASSERT_TRUE(kivo::startRelaunchHelperFor(recorder, dummy.processId(), 0x100300,
                                             {"a b", "-prefX", "YES", "-KivoStartHidden", "NO"},
                                             &error))
        << error.toStdString();
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(out); }, 15000));
    dummy.waitForFinished();
    EXPECT_EQ(readFile(out).toStdString(), "[after]\na b\n-prefX\nYES\n-KivoStartHidden\nYES\n");
}

TEST(RelaunchHelper, DefaultFlagsStartVisibleAndBadUsageExitsTwo) {
    const QString dir = makeTempFolder("relaunch");
    const QString out = dir + "/args.txt";
    const QString recorder = makeRecorder(dir, out, dir + "/none");
    ASSERT_FALSE(recorder.isEmpty());
    const QString gone = QString::number(pidOfEndedProcess());

    HelperRun run = runRelaunchHelper({recorder, gone, "1", "--", "x", "-KivoStartHidden", "YES"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(out); }, 10000));
    EXPECT_EQ(readFile(out).toStdString(), "x\n");

    for (const QStringList& bad :
         {QStringList{}, QStringList{recorder, "12x", "1"}, QStringList{recorder, gone, "1", "x"},
          QStringList{recorder, "0", "1"}}) {
        run = runRelaunchHelper(bad);
        EXPECT_EQ(run.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(run.err.contains("usage:"));
    }

    run = runRelaunchHelper({dir + "/missing-program", gone, "0"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("cannot start"));
}

TEST(RelaunchHelper, WaitsAsLongAsTheProcessLivesAndSaysSoAtIntervals) {
    const QString dir = makeTempFolder("relaunch");
    const QString out = dir + "/args.txt";
    const QString recorder = makeRecorder(dir, out, dir + "/ended");
    ASSERT_FALSE(recorder.isEmpty());
    QProcess old;
    old.start("/bin/sleep", {"600"});
    ASSERT_TRUE(old.waitForStarted());
    QProcess helper;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KIVO_RELAUNCH_NOTE_MS", "50");
    helper.setProcessEnvironment(env);
    helper.start(kivo::bundle::helperPath("relaunch"),
                 {recorder, QString::number(old.processId()), "1", "--", "again"});
    QByteArray err;
    const QByteArray waiting =
        "relaunch: still waiting for process " + QByteArray::number(old.processId()) + " to end";
    // Many intervals go by without the helper giving up or starting anything.
    ASSERT_TRUE(waitUntil(
        [&] {
            helper.waitForReadyRead(50);
            err += helper.readAllStandardError();
            return err.count(waiting) >= 5 || helper.state() == QProcess::NotRunning;
        },
        30000));
    EXPECT_EQ(helper.state(), QProcess::Running) << err.toStdString();

    ASSERT_TRUE(writeFile(dir + "/ended", "x"));
    old.kill();
    old.waitForFinished();
    ASSERT_TRUE(helper.waitForFinished(15000));
    EXPECT_EQ(helper.exitCode(), 0);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(out); }, 10000));
    EXPECT_EQ(readFile(out).toStdString(), "[after]\nagain\n");
}

TEST(RelaunchHelper, HelperMessagesReachOurStandardError) {
    const QString dir = makeTempFolder("relaunch");
    FdCapture err;
    ASSERT_TRUE(kivo::startRelaunchHelperFor(dir + "/missing-program", pidOfEndedProcess(), 0, {}));
    EXPECT_TRUE(waitUntil([&] { return err.text().contains("relaunch: cannot start"); }, 10000));
}

TEST(RelaunchRequest, RememberedCommandLineKeepsOptionsTheApplicationRemoves) {
    char a0[] = "KivoUploader", a1[] = "-platform", a2[] = "offscreen", a3[] = "/data/in";
    char* argv[] = {a0, a1, a2, a3, nullptr};
    kivo::rememberProgramArguments(4, argv);
    EXPECT_EQ(kivo::programArguments(), QStringList({"-platform", "offscreen", "/data/in"}));
}

// Once per process: the quit cannot be taken back, so the whole story is one test.
TEST(TerminateApplication, AQuitAskedBeforeTheLoopRunsEndsItAndIsAskedForOnce) {
    EXPECT_FALSE(kivo::terminateApplication([] { return false; }));
    EXPECT_FALSE(kivo::isTerminating());

    int asked = 0;
    const auto shouldTerminate = [&] {
        ++asked;
        return true;
    };
    QWidget window;
    window.show();
    QObject context;
    // Quitting closes the windows; closing the last one asks again, as the program's does.
    QObject::connect(qApp, &QApplication::lastWindowClosed, &context,
                     [&] { EXPECT_FALSE(kivo::terminateApplication(shouldTerminate)); });
    EXPECT_TRUE(kivo::terminateApplication(shouldTerminate));
    EXPECT_TRUE(kivo::isTerminating());
    // Only there so that a lost quit fails the test instead of hanging it.
    QTimer::singleShot(30000, &context, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(window.isVisible());
}

TEST(RevealItemInFinder, InvalidPathsBeepOnceEach) {
    const QString dir = makeTempFolder("reveal");
    ASSERT_TRUE(writeFile(dir + "/file.txt", "x"));
    for (const QString& path : {QString(), dir + "/missing", dir + "/file.txt"}) {
        FdCapture err;
        const int before = kivo::beepCount();
        EXPECT_FALSE(kivo::revealItemInFinder(path));
        EXPECT_EQ(kivo::beepCount(), before + 1);
        EXPECT_TRUE(err.text().contains("User Needs to Select a Valid Existing Folder..."));
        EXPECT_FALSE(err.text().contains("runShellScript"));
    }
}

TEST(RevealItemInFinder, TildeFolderReachesFileBrowserAsAbsolutePath) {
    const QString folder = kivo::bundle::homeFolder() + "/Reveal Me";
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString bin = makeTempFolder("bin");
    const QString out = bin + "/opened.txt";
    ASSERT_TRUE(writeScript(
        bin + "/xdg-open",
        QStringLiteral("printf '%s' \"$*\" > '%1.tmp' && mv '%1.tmp' '%1'\n").arg(out).toUtf8()));

    const int before = kivo::beepCount();
    {
        PathGuard path(bin + ":/usr/bin:/bin");
        EXPECT_TRUE(kivo::revealItemInFinder("~/Reveal Me"));
        ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(out); }, 10000));
    }
    EXPECT_EQ(QString::fromUtf8(readFile(out)), folder);

    // Without xdg-open the helper says so and fails, which is no connection problem.
    {
        PathGuard path(makeTempFolder("empty-bin"));
        FdCapture err;
        EXPECT_TRUE(kivo::revealItemInFinder(folder));
        EXPECT_TRUE(err.text().contains("xdg-open not found"));
        EXPECT_TRUE(err.text().contains("Task failed."));
    }
    EXPECT_EQ(kivo::beepCount(), before);
}
