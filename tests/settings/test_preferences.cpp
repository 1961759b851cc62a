#include "../platform/HostileFiles.h"
#include "platform/Defaults.h"
#include "platform/PropertyList.h"
#include "settings/Preferences.h"
#include "support/TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

using namespace kivo;

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::makeTempFolder("prefs");
        store = std::make_unique<Defaults>(folder + "/settings.plist", -1);
        Preferences::useStore(store.get());
    }
    void TearDown() override { Preferences::useStore(nullptr); }

    QString folder;
    std::unique_ptr<Defaults> store;
};

TEST_F(PreferencesTest, WriteBackReadersStoreNoWhenTheKeyIsAbsent) {
    ASSERT_FALSE(store->objectForKey(sPrefAutoSynchronize).isValid());
    EXPECT_FALSE(Preferences::getDoAutoSynchronize());
    ASSERT_TRUE(store->objectForKey(sPrefAutoSynchronize).isValid());
    EXPECT_FALSE(store->boolForKey(sPrefAutoSynchronize));

    // A registered default counts as present: nothing is written over it.
    store->registerDefaults({{sPrefShowWindowAtStartup, true}});
    EXPECT_TRUE(Preferences::getPrefShowWindowAtStartup());
    EXPECT_FALSE(store->userValues().contains(sPrefShowWindowAtStartup));

    // Plain readers never write.
    EXPECT_FALSE(Preferences::getPrefShowPreviewWhenUploading());
    EXPECT_FALSE(store->userValues().contains(sPrefShowPreviewWhenUploading));
}

TEST_F(PreferencesTest, LogDaysAreClampedAndWrittenBack) {
    const std::pair<int, int> cases[] = {{-5, 14}, {0, 14},  {1, 3},  {2, 3},
                                         {3, 3},   {90, 90}, {91, 90}};
    for (auto [stored, expected] : cases) {
        store->setInteger(sPrefs_DaysToSaveLogs, stored);
        EXPECT_EQ(Preferences::getDaysToSaveLogs(), expected) << stored;
        EXPECT_EQ(store->integerForKey(sPrefs_DaysToSaveLogs), expected) << stored;
    }
    store->removeObject(sPrefs_DaysToSaveLogs);
    EXPECT_EQ(Preferences::getDaysToSaveLogs(), 14);
    EXPECT_EQ(store->integerForKey(sPrefs_DaysToSaveLogs), 14);
}

TEST_F(PreferencesTest, UploadTimeOutFallsBackForAbsentOrNonPositive) {
    EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
    const std::pair<QVariant, float> cases[] = {
        {0.0, 500.0f}, {-1.0, 500.0f}, {30.0, 30.0f}, {QStringLiteral("45"), 45.0f}};
    for (const auto& [stored, expected] : cases) {
        store->setObject(sPrefUploadTimeOut, stored);
        EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), expected)
            << stored.toString().toStdString();
    }
}

TEST_F(PreferencesTest, SearchPathTagSelectsOriginalAndAlternateSearches) {
    const bool original[] = {false, true, false, true};
    const bool alternate[] = {false, false, true, true};
    for (int tag = 0; tag < 4; ++tag) {
        store->setInteger(sPrefSearchPathMethodTag, tag);
        EXPECT_EQ(Preferences::getPrefAlwaysSearchOriginalPath(), original[tag]) << tag;
        EXPECT_EQ(Preferences::getPrefDoUseGlvHiResAlternatePath1(), alternate[tag]) << tag;
    }
    // Narrowed to 16 bits like the stored field it replaces.
    store->setInteger(sPrefSearchPathMethodTag, 65536 + 3);
    EXPECT_EQ(Preferences::getPrefSearchPathMethodTag(), 3);
}

TEST_F(PreferencesTest, ProblemFolderSitsBesideTheMirrorFolder) {
    EXPECT_FALSE(Preferences::getLocalProblemUploadFolder().has_value());
    store->setString(sPrefLocalMasterMirrorSiteFolder, QString());
    EXPECT_FALSE(Preferences::getLocalProblemUploadFolder().has_value());
    store->setString(sPrefLocalMasterMirrorSiteFolder, QStringLiteral("/Volumes/Data/Mirror"));
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder().value(),
              QStringLiteral("/Volumes/Data/Problem Folder"));
    store->setString(sPrefLocalMasterMirrorSiteFolder, QStringLiteral("/data/Mirror/"));
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder().value(),
              QStringLiteral("/data/Problem Folder"));
}

TEST_F(PreferencesTest, FactoryDefaultsRegisterAndSeedTheInitialValues) {
    Preferences::setupFactoryDefaults();
    const QVariantMap registered = store->registeredDefaults();
    ASSERT_FALSE(registered.isEmpty());
    // The service address must never point at a real host.
    EXPECT_TRUE(
        Preferences::getPrefGlvURL().value_or(QString()).contains(QStringLiteral(".example")));
    EXPECT_FALSE(store->userValues().contains(sPrefGlvURL));
    EXPECT_FALSE(Preferences::myPrefKeyNameArray().contains(sPrefGlvURL));
    EXPECT_EQ(Preferences::initialValues().value(sPrefUserEnteredEventName),
              registered.value(sPrefUserEnteredEventName));
}

TEST_F(PreferencesTest, MissingOrBrokenFactoryDefaultsRegisterNothing) {
    test::writeFile(folder + "/broken.plist", "<plist><dict><key>x</key>");
    for (const QString& path : {folder + "/missing.plist", folder + "/broken.plist"}) {
        Defaults fresh(folder + "/fresh.plist", -1);
        Preferences::useStore(&fresh);
        Preferences::setupFactoryDefaultsFromPath(path);
        EXPECT_TRUE(fresh.registeredDefaults().isEmpty()) << path.toStdString();
        for (const QVariant& v : Preferences::initialValues())
            EXPECT_FALSE(v.isValid());
        // Readers fall back as documented.
        EXPECT_FALSE(Preferences::getPrefGlvURL().has_value());
        EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
        Preferences::useStore(store.get());
    }
}

TEST_F(PreferencesTest, OldSettingsAreMigratedExactlyOnce) {
    const QString oldPath = Preferences::oldSettingsFilePath();
    QFile::remove(oldPath);

    // Without the flag among the factory defaults the migration is not part of this version.
    Preferences::migrateOldSettingsIfNeeded();
    EXPECT_FALSE(store->objectForKey(sPrefDoCopyOldFtpPref).isValid());

    store->registerDefaults({{sPrefDoCopyOldFtpPref, false}});
    Preferences::migrateOldSettingsIfNeeded(); // no old file yet: the check repeats next start
    EXPECT_FALSE(store->boolForKey(sPrefDoCopyOldFtpPref));

    test::writeFile(oldPath, "this is not a property list");
    Preferences::migrateOldSettingsIfNeeded();
    EXPECT_FALSE(store->boolForKey(sPrefDoCopyOldFtpPref));
    // A FIFO in its place must not hold up the start until something writes to it.
    QFile::remove(oldPath);
    ASSERT_EQ(::mkfifo(QFile::encodeName(oldPath).constData(), 0600), 0);
    EXPECT_TRUE(test::finishesWhileFifoHasNoWriter(
        oldPath, [] { Preferences::migrateOldSettingsIfNeeded(); }));
    EXPECT_FALSE(store->boolForKey(sPrefDoCopyOldFtpPref));
    QFile::remove(oldPath);

    ASSERT_TRUE(plist::writeXmlFileAtomically(
        oldPath, QVariantMap{{sUserLoginName, QStringLiteral("old-user")},
                             {sPrefSecondsBetweenScans, 45.0},
                             {sPrefGlvURL, QStringLiteral("http://old.example/")}}));
    Preferences::migrateOldSettingsIfNeeded();
    EXPECT_TRUE(store->boolForKey(sPrefDoCopyOldFtpPref));
    EXPECT_EQ(store->stringForKey(sUserLoginName).value_or(QString()), QStringLiteral("old-user"));
    EXPECT_DOUBLE_EQ(store->doubleForKey(sPrefSecondsBetweenScans), 45.0);
    EXPECT_FALSE(store->objectForKey(sPrefGlvURL).isValid()) << "service keys are never migrated";
    // Flushed at once: a restarted store sees the result.
    Defaults reopened(store->path(), -1);
    EXPECT_TRUE(reopened.boolForKey(sPrefDoCopyOldFtpPref));

    // A second launch leaves a value changed since alone.
    store->setString(sUserLoginName, QStringLiteral("new-user"));
    test::FdCapture err;
    Preferences::migrateOldSettingsIfNeeded();
    EXPECT_TRUE(err.text().contains("ALREADY Copied OLD Ftp Prefs..."));
    EXPECT_EQ(store->stringForKey(sUserLoginName).value_or(QString()), QStringLiteral("new-user"));
    QFile::remove(oldPath);
}

} // namespace
