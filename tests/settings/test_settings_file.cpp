#include "platform/Defaults.h"
#include "platform/PropertyList.h"
#include "settings/Preferences.h"
#include "settings/SettingsFile.h"
#include "settings/ValueTransformers.h"
#include "support/TestSupport.h"

#include <QSet>
#include <gtest/gtest.h>
#include <memory>

using namespace kivo;

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::makeTempFolder("settingsfile");
        store = std::make_unique<Defaults>(folder + "/store.plist", -1);
    }
    QString folder;
    std::unique_ptr<Defaults> store;
};

TEST_F(SettingsFileTest, SavedFileHoldsTheListedKeysAndLoadsBackWithTheirKinds) {
    store->registerDefaults({{sPrefAutoSynchronize, true},
                             {sPrefSecondsBetweenScans, 120.5},
                             {sPrefGlvURL, QStringLiteral("https://photos.kivo.example/x")}});
    store->setString(sUserLoginName, QStringLiteral("demo"));
    store->setString(sUserLoginPassword, QStringLiteral("s3cret"));
    store->setInteger(sPrefDaysOldBeforeDeleting, 30);
    store->setString(sPrefMetaData, QStringLiteral("not a listed key"));
    const QString path = folder + "/saved.plist";

    const SettingsFileResult saved = savePrefsToFile(*store, path);
    ASSERT_TRUE(saved.ok()) << saved.error.toStdString();
    const auto dict = plist::readDictionaryFile(path);
    ASSERT_TRUE(dict);
    const QStringList keys = dict->keys();
    EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()),
              QSet<QString>({sPrefAutoSynchronize, sPrefSecondsBetweenScans, sUserLoginName,
                             sUserLoginPassword, sPrefDaysOldBeforeDeleting}))
        << "registered defaults count; service keys and keys without a value do not";

    Defaults other(folder + "/other.plist", -1);
    other.setString(sUserLoginName, QStringLiteral("old"));
    other.setString(sPrefGlvURL, QStringLiteral("https://kept.example/"));
    const SettingsFileResult loaded = loadPrefsFromFile(other, path);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(other.stringForKey(sUserLoginName), QStringLiteral("demo"));
    EXPECT_EQ(other.objectForKey(sPrefAutoSynchronize).typeId(), QMetaType::Bool);
    EXPECT_DOUBLE_EQ(other.doubleForKey(sPrefSecondsBetweenScans), 120.5);
    EXPECT_EQ(other.integerForKey(sPrefDaysOldBeforeDeleting), 30);
    EXPECT_EQ(other.stringForKey(sPrefGlvURL), QStringLiteral("https://kept.example/"));
}

TEST_F(SettingsFileTest, LoadingTakesListedKeysOnlyLogsTheRestAsNilAndNeverThePassword) {
    const QString path = folder + "/partial.plist";
    ASSERT_TRUE(plist::writeXmlFileAtomically(
        path, QVariantMap{{sUserLoginName, QStringLiteral("alice")},
                          {sUserLoginPassword, QStringLiteral("hunter2")},
                          {sPrefGlvURL, QStringLiteral("https://evil.example/")},
                          {QStringLiteral("somethingElse"), 1}}));
    store->setBool(sPrefAutoSynchronize, true);

    test::FdCapture err;
    const SettingsFileResult result = loadPrefsFromFile(*store, path);
    const QByteArray log = err.text();
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.keys, QStringList({sUserLoginName, sUserLoginPassword}));
    EXPECT_EQ(store->stringForKey(sUserLoginName), QStringLiteral("alice"));
    EXPECT_FALSE(store->objectForKey(sPrefGlvURL).isValid()) << "unlisted keys are ignored";
    EXPECT_FALSE(store->objectForKey(QStringLiteral("somethingElse")).isValid());
    EXPECT_TRUE(store->boolForKey(sPrefAutoSynchronize)) << "absent from the file: unchanged";
    EXPECT_TRUE(log.contains("02 => [userLoginName] = [alice]")) << log.toStdString();
    EXPECT_TRUE(log.contains("03 => [userLoginPassword] = [********]"));
    EXPECT_FALSE(log.contains("hunter2"));
    EXPECT_TRUE(log.contains("09 => [prefAutoSynchronize] = [NIL]"));
    EXPECT_EQ(log.count("] = [NIL]"), 16);
}

TEST_F(SettingsFileTest, AFailedSaveLeavesTheOldFileAndABadFileLoadsNothing) {
    const QString path = folder + "/keep.plist";
    ASSERT_TRUE(test::writeFile(path, "<plist><dict><key>userLoginName</key><string>kept</string>"
                                      "</dict></plist>"));
    const QByteArray before = test::readFile(path);
    // Too large to be read back, so it is never written.
    store->setString(sPrefUserEnteredEventName, QString(plist::kMaxFileBytes, QLatin1Char('x')));
    const SettingsFileResult saved = savePrefsToFile(*store, path);
    EXPECT_EQ(saved.outcome, SettingsFileResult::Outcome::WriteFailed);
    EXPECT_FALSE(saved.error.isEmpty());
    EXPECT_EQ(test::readFile(path), before);

    store->setString(sUserLoginName, QStringLiteral("mine"));
    const QString junk = folder + "/junk.plist";
    ASSERT_TRUE(test::writeFile(junk, "not a property list"));
    for (const QString& bad : {junk, folder + "/missing.plist", folder}) {
        const SettingsFileResult loaded = loadPrefsFromFile(*store, bad);
        EXPECT_EQ(loaded.outcome, SettingsFileResult::Outcome::Unreadable) << bad.toStdString();
        EXPECT_TRUE(loaded.error.contains(bad));
    }
    EXPECT_EQ(store->stringForKey(sUserLoginName), QStringLiteral("mine"));
}

TEST(SettingsFileName, TheSuffixIsAppendedUnlessTheNameEndsWithItExactly) {
    EXPECT_EQ(settingsFileNameForEnteredName("mysettings"), "mysettings.plist");
    EXPECT_EQ(settingsFileNameForEnteredName("mysettings.PLIST"), "mysettings.PLIST.plist");
    EXPECT_EQ(settingsFileNameForEnteredName("a.plist"), "a.plist");
    EXPECT_TRUE(isValidSettingsFileName("a.plist"));
    EXPECT_FALSE(isValidSettingsFileName("a.PLIST"));
    EXPECT_FALSE(isValidSettingsFileName("plist"));
}

TEST(ValueTransformers, LoginSiteAndVisibleSpaces) {
    registerValueTransformers();
    const ValueTransformer* site = valueTransformerForName("LoginNameToFtpName");
    const ValueTransformer* spaces = valueTransformerForName("ShowSpacesTransformer");
    ASSERT_TRUE(site && spaces);
    const QString unknown = "<Site Unknown - Please Fill In Your Login Name Below...>";
    EXPECT_EQ(site->transformedValue(QVariant()).toString(), unknown);
    EXPECT_EQ(site->transformedValue(QString("")).toString(), "Please Enter Your Login Name...");
    EXPECT_EQ(site->transformedValue(QString("demo")).toString(), "http://demo.kivo.example");
    EXPECT_EQ(spaces->transformedValue(QVariant()).toString(), unknown);
    EXPECT_EQ(spaces->transformedValue(QString("")).toString(), "");
    EXPECT_EQ(spaces->transformedValue(QString(" Gala ")).toString(), "[ Gala ]");
    EXPECT_FALSE(ValueTransformer::allowsReverseTransformation());
}

} // namespace
