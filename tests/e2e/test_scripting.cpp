// Other programs drive the running program over a session bus of its own for each test, with the
// same command-line tools a user's script would use.
#include "ProgramRun.h"

#include "platform/Defaults.h"

#include <QFileInfo>
#include <QProcess>

namespace {

using namespace kivo::test;

const QStringList kDest{"--dest",        "com.quandril.KivoUploader",
                        "--object-path", "/",
                        "--method",      "com.quandril.KivoUploader.Events.HandleEvent"};

class ScriptingRun : public ProgramWithService {
protected:
    void SetUp() override {
        ProgramWithService::SetUp();
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        ASSERT_TRUE(bus.waitForStarted(5000));
        ASSERT_TRUE(waitUntil([&] { return bus.canReadLine(); }, 5000));
        address = QString::fromUtf8(bus.readLine()).trimmed();
        ASSERT_TRUE(address.startsWith("unix:")) << address.toStdString();
        run.setEnvironment("DBUS_SESSION_BUS_ADDRESS", address);
    }
    void TearDown() override {
        run.stop();
        bus.terminate();
        bus.waitForFinished(5000);
    }
    // Starts the program idle and waits until scripts can reach it.
    void startIdle() {
        const auto ready = [&] { return run.console().count("] setupForAppleEventsForThisApp\n"); };
        const qsizetype before = ready();
        ASSERT_TRUE(run.startWith(service.url(), {}, {}));
        ASSERT_TRUE(waitUntil([&] { return ready() > before; }, 20000))
            << run.console().toStdString();
    }
    // What gdbus prints for the call (its error text when the call failed).
    QString gdbus(const QString& eventClass, const QString& eventID, const QString& items) {
        return tool("gdbus", QStringList{"call", "--address", address} + kDest +
                                 QStringList{eventClass, eventID, items});
    }
    QString setValue(const QString& name, const QString& value) {
        return gdbus("kivo", "1234", QString("['setValue', '%1', '%2']").arg(name, value));
    }
    QString tool(const QString& program, const QStringList& args, int* exitCode = nullptr) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        p.waitForFinished(20000);
        if (exitCode)
            *exitCode = p.exitCode();
        return QString::fromUtf8(p.readAll()).trimmed();
    }
    QString settingsPath() const {
        return run.root() + "/home/.config/com.quandril.KivoUploader.plist";
    }
    int photosReceived() { return int(service.receivedDirs().size()); }

    QProcess bus;
    QString address;
};

TEST_F(ScriptingRun, SynchronizeStartsAPassAndResumesAfterTheServiceStoppedIt) {
    run.makePhotos(3);
    ASSERT_TRUE(service.setFault("status", {{"status", "ERROR"}, {"message", "Try later"}}));
    startIdle();

    EXPECT_EQ(gdbus("kivo", "upnw", "[]"), "(<'ACCEPTED'>,)");
    ASSERT_TRUE(waitUntil([&] { return service.state().value("faulted").toInt() == 1; }, 15000));
    waitUntil([] { return false; }, 2500);
    EXPECT_EQ(photosReceived(), 0) << "the service's ERROR stops the loop";

    EXPECT_EQ(gdbus("kivo", "upnw", "[]"), "(<'ACCEPTED'>,)");
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 30000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(photosReceived(), 3);
}

TEST_F(ScriptingRun, SettingsAreWrittenAtOnceKeptAcrossARestartAndRefusalsChangeNothing) {
    startIdle();
    EXPECT_EQ(setValue("userEnteredEventName", "Harvest Ball"), "(<'COMMAND SUCCESS'>,)");
    EXPECT_EQ(setValue("prefSecondsBetweenScans", "45.5"), "(<'COMMAND SUCCESS'>,)");
    const QVariantMap written = kivo::Defaults(settingsPath(), -1).userValues();
    EXPECT_EQ(written.value("userEnteredEventName").toString(), "Harvest Ball");
    EXPECT_DOUBLE_EQ(written.value("prefSecondsBetweenScans").toDouble(), 45.5);

    // A refused value, and calls only the bus can make malformed: too many items, an item too
    // long, the wrong types.
    const QByteArray before = readFile(settingsPath());
    EXPECT_EQ(setValue("prefSecondsBetweenScans", "0"), "(<'COMMAND FAILED'>,)");
    QStringList many(17, "'x'");
    EXPECT_EQ(gdbus("kivo", "1234", "[" + many.join(", ") + "]"), "(<'COMMAND FAILED'>,)");
    EXPECT_EQ(setValue("userEnteredEventName", QString(70 * 1024, 'x')), "(<'COMMAND FAILED'>,)");
    int code = 0;
    const QString wrongTypes =
        tool("busctl",
             {"--address=" + address, "call", "com.quandril.KivoUploader", "/",
              "com.quandril.KivoUploader.Events", "HandleEvent", "sss", "kivo", "1234", "setValue"},
             &code);
    EXPECT_NE(code, 0) << wrongTypes.toStdString();
    EXPECT_EQ(readFile(settingsPath()), before);

    EXPECT_EQ(tool("busctl", {"--address=" + address, "call", "com.quandril.KivoUploader", "/",
                              "com.quandril.KivoUploader.Events", "HandleEvent", "ssas", "kivo",
                              "1234", "3", "getValue", "userLoginName", ""}),
              R"(v av 2 s "COMMAND SUCCESS" as 3 "getValue" "userLoginName" "demo")");

    // Quit ends the program through its normal way out.
    EXPECT_EQ(gdbus("aevt", "quit", "[]"), "(<''>,)");
    ASSERT_TRUE(waitUntil([&] { return !run.isRunning(); }, 20000));
    EXPECT_TRUE(run.stop()) << "ended cleanly with 0";
    EXPECT_TRUE(run.console().contains("Received kAEQuitApplication..."));

    startIdle();
    EXPECT_EQ(gdbus("kivo", "1234", "['getValue', 'prefSecondsBetweenScans', '']"),
              "(<[<'COMMAND SUCCESS'>, <['getValue', 'prefSecondsBetweenScans', '45.50']>]>,)");
}

TEST_F(ScriptingRun, WithoutALocalSessionBusScriptingIsOffAndTheProgramWorks) {
    run.makePhotos(2);
    run.setEnvironment("DBUS_SESSION_BUS_ADDRESS", "tcp:host=127.0.0.1,port=9");
    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 30000));
    EXPECT_TRUE(run.console().contains("UNABLE setupForAppleEventsForThisApp: scripting is off"))
        << run.console().toStdString();
    EXPECT_TRUE(run.stop());
}

} // namespace
