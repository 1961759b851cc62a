#include "PipelineFixture.h"
#include "platform/DBusEventBridge.h"

#include <QFile>

using namespace kivo;
using namespace kivo::test;

namespace {

class Scripting : public PipelineTest {
protected:
    AppController::ScriptReply send(const QString& eventID, std::optional<QStringList> items) {
        return controller->handleTestAEHandler({"kivo", eventID, std::move(items), true});
    }
    QString command(const QString& c, const QString& name, const QString& value) {
        const auto reply = send("1234", QStringList{c, name, value});
        return std::holds_alternative<QString>(reply) ? std::get<QString>(reply) : "(a list)";
    }
    QVariantList getList(const QString& name) {
        const auto reply = send("1234", QStringList{"getValue", name, "x"});
        return std::holds_alternative<QVariantList>(reply) ? std::get<QVariantList>(reply)
                                                           : QVariantList{};
    }
    // What a later start would read.
    QVariantMap onDisk() const { return Defaults(store->path(), -1).userValues(); }
};

TEST_F(Scripting, SetValueStoresEachKindUnderTheSettingsOwnKeyAndWritesTheFileAtOnce) {
    EXPECT_EQ(command("setValue", "userEnteredEventName", "Autumn Fair"), "COMMAND SUCCESS");
    EXPECT_EQ(command("SETVALUE", "PREFAUTOSYNCHRONIZE", "Yes"), "COMMAND SUCCESS");
    EXPECT_EQ(command("setValue", "prefDoUseDeleteOldPhotos", "nO"), "COMMAND SUCCESS");
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", " 30s"), "COMMAND SUCCESS");
    EXPECT_EQ(command("setValue", "prefdaysoldbeforedeleting", "7.9"), "COMMAND SUCCESS");

    // The store never flushes by itself here: the file holds them only if each set wrote it.
    const QVariantMap disk = onDisk();
    EXPECT_EQ(disk.value(sPrefUserEnteredEventName).toString(), "Autumn Fair");
    EXPECT_EQ(disk.value(sPrefAutoSynchronize).toString(), "Yes");
    EXPECT_FALSE(disk.contains("PREFAUTOSYNCHRONIZE"));
    EXPECT_DOUBLE_EQ(disk.value(sPrefSecondsBetweenScans).toDouble(), 30.0);
    EXPECT_EQ(disk.value(sPrefDaysOldBeforeDeleting).toLongLong(), 7);
    EXPECT_TRUE(Preferences::getDoAutoSynchronize());
    EXPECT_FALSE(Preferences::getPrefUseDoDeleteOldPhotos());
}

TEST_F(Scripting, RefusedValuesUnknownNamesAndMalformedCommandsChangeNothing) {
    store->synchronize();
    const QVariantMap before = store->userValues();
    const QByteArray fileBefore = readFile(store->path());
    const QStringList refused[] = {
        {"setValue", "prefAutoSynchronize", "true"},
        {"setValue", "prefAutoSynchronize", "yess"},
        {"setValue", "prefSecondsBetweenScans", "0"},
        {"setValue", "prefSecondsBetweenScans", "letters"},
        {"setValue", "prefSecondsBetweenScans", "-5"},
        {"setValue", "prefSecondsBetweenScans", "1e999"},
        {"setValue", "prefSecondsBetweenScans", "1e-60"},
        {"setValue", "prefDaysOldBeforeDeleting", "0.5"},
        {"setValue", "prefGlvURL", "http://elsewhere.example/"},
        {"getValue", "prefShowPreviewWhenUploading", ""},
        {"getValue", "prefGlvURL", ""},
        {"setValu", "userLoginName", "mallory"},
    };
    for (const QStringList& items : refused) {
        const auto reply = send("1234", items);
        ASSERT_TRUE(std::holds_alternative<QString>(reply)) << items.join(' ').toStdString();
        EXPECT_EQ(std::get<QString>(reply), "COMMAND FAILED") << items.join(' ').toStdString();
    }
    for (const auto& items :
         {std::optional<QStringList>{}, std::optional<QStringList>{{"setValue", "userLoginName"}}})
        EXPECT_EQ(std::get<QString>(send("1234", items)), "COMMAND FAILED");
    EXPECT_EQ(std::get<QString>(controller->handleTestAEHandler(
                  {"aevt", "1234", QStringList{"setValue", "userLoginName", "x"}, true})),
              "COMMAND FAILED");
    EXPECT_EQ(store->userValues(), before);
    EXPECT_EQ(readFile(store->path()), fileBefore);
}

TEST_F(Scripting, GetValueAnswersTheListWithTheValueRead) {
    const QVariantList name = getList("USERLOGINNAME");
    ASSERT_EQ(name.size(), 2);
    EXPECT_EQ(name[0].toString(), "COMMAND SUCCESS");
    EXPECT_EQ(name[1].toStringList(), (QStringList{"getValue", "USERLOGINNAME", "demo"}));

    store->setDouble(sPrefSecondsBetweenScans, 7.5);
    EXPECT_EQ(getList("prefSecondsBetweenScans").value(1).toStringList().value(2), "7.50");
    // Unset: an empty value, never the request's own.
    store->removeObject(sPrefSecondsBetweenScans);
    store->removeObject(sPrefUserEnteredEventName);
    EXPECT_EQ(getList("prefSecondsBetweenScans").value(1).toStringList().value(2), "");
    EXPECT_EQ(getList("userEnteredEventName").value(1).toStringList().value(2), "");
}

TEST_F(Scripting, PauseAndSynchronizeGoThroughRunControl) {
    EXPECT_EQ(std::get<QString>(send("paus", std::nullopt)), "ACCEPTED");
    EXPECT_FALSE(gWantsToHaltProcess) << "a pause while idle changes nothing";
    EXPECT_EQ(std::get<QString>(send("upnw", std::nullopt)), "ACCEPTED");
    EXPECT_EQ(scans.size(), 1u);
    gStartedUploadProcess = true;
    send("paus", std::nullopt);
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_FALSE(gDidHaltProcess) << "halted only once the item is done";
}

TEST_F(Scripting, ASettingThatCannotBeWrittenKeepsItsEarlierValueAndFails) {
    ASSERT_TRUE(writeFile(folder + "/not-a-folder", "x"));
    Defaults unwritable(folder + "/not-a-folder/settings.plist", -1);
    unwritable.setString(sUserLoginName, "demo");
    Preferences::useStore(&unwritable);
    EXPECT_EQ(command("setValue", "userLoginName", "other"), "COMMAND FAILED");
    EXPECT_EQ(unwritable.stringForKey(sUserLoginName).value_or(""), "demo");
    Preferences::useStore(store.get());
}

TEST_F(Scripting, ThePasswordIsAnsweredButNeverWrittenToTheConsole) {
    FdCapture console(2);
    EXPECT_EQ(command("setValue", "userLoginPassword", "hunter2-secret"), "COMMAND SUCCESS");
    EXPECT_EQ(getList("userLoginPassword").value(1).toStringList().value(2), "hunter2-secret");
    fflush(stderr);
    EXPECT_FALSE(console.text().contains("hunter2")) << console.text().toStdString();
    EXPECT_TRUE(console.text().contains("SETTING parameterValue=[********]"));
}

TEST(ScriptingBus, OnlyLocalSocketsOtherThanTheSystemBusAreUsed) {
    for (const char* local : {"unix:path=/run/user/1000/bus", "unix:abstract=/tmp/dbus-Q,guid=ab",
                              "unix:tmpdir=/tmp;unix:path=/tmp/bus"})
        EXPECT_TRUE(DBusEventBridge::isLocalSessionAddress(local)) << local;
    for (const char* other :
         {"", "tcp:host=127.0.0.1,port=4000", "unix:path=/tmp/bus;tcp:host=10.0.0.1,port=1",
          "nonce-tcp:host=localhost,port=1,noncefile=/tmp/n", "unixexec:path=/bin/sh",
          "autolaunch:", "unix:path=/var/run/dbus/system_bus_socket"})
        EXPECT_FALSE(DBusEventBridge::isLocalSessionAddress(other)) << other;
}

} // namespace
