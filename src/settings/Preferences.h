#pragma once
// Typed, fall-back-aware reads of the settings. A class of static methods over the
// process-wide settings store; nothing here keeps state of its own but the key list.
#include "settings/PrefKeys.h"

#include <QStringList>
#include <QVariant>
#include <optional>

namespace kivo {

class Defaults;

class Preferences {
public:
    // The store every reader uses: Defaults::standard() unless a test replaced it.
    static Defaults& store();
    static void useStore(Defaults* store); // nullptr restores the standard store

    // Registers the factory defaults from the compiled-in "FactoryDefault.plist" and builds
    // the key list. The path form lets a caller name another file (missing or broken ones
    // fall back as documented: nothing registered, empty initial values).
    static void setupFactoryDefaults();
    static void setupFactoryDefaultsFromPath(const QString& path);
    // The 18 keys copied as a block (settings files, migration, initial values), in order.
    static const QStringList& myPrefKeyNameArray();
    // Values a revert in the settings window restores (absent keys map to invalid values).
    static QVariantMap initialValues();
    static bool appliesImmediately();

    // Copies the earlier product's settings once; the flag makes it a one-time step.
    static void migrateOldSettingsIfNeeded();
    static QString oldSettingsFilePath();

    static std::optional<QString> getLocalSourceUploadFolder();
    static std::optional<QString> getLocalMasterMirrorSiteFolder();
    // Parent of the mirror folder joined with "Problem Folder"; none while no mirror is set.
    static std::optional<QString> getLocalProblemUploadFolder();
    static std::optional<QString> getCurUserLoginName();
    static std::optional<QString> getCurUserLoginPassword();
    static bool getUseEventName() { return true; }

    static bool getDoAutoSynchronize();
    static QVariant getPrefSecondsBetweenScans();
    static bool getPrefUseDoDeleteOldPhotos();
    static QVariant getPrefDaysOldBeforeDeleting();
    static bool getPrefDeleteEmptyFtpFolders();
    static bool getPrefShowPreviewWhenUploading();
    static bool getPrefShowWindowAtStartup();
    static bool getAutoStartUploadAtStartup();

    static std::optional<QString> getGlvFuseAction();
    static std::optional<QString> getPrefGlvURL();
    static std::optional<QString> getPrefMetaData();
    static bool getPrefFormBaseIdFromFileName();
    static bool getPrefDoCheckOrders();
    static QVariant getPrefMinutesForCheckOrders();
    static std::optional<QString> getPrefCheckHiResOrderFuseAction();
    static std::optional<QString> getPrefUploadHiResOrderFuseAction();
    static std::optional<QString> getPrefGlvHiResAlternatePath1();
    static qint16 getPrefSearchPathMethodTag();
    static bool getPrefAlwaysSearchOriginalPath();
    static bool getPrefDoUseGlvHiResAlternatePath1();
    static bool getPrefAllowRootVolumeSelections();
    static qint32 getDaysToSaveLogs();
    static float getUploadTimeOut();

    // Text form of a settings value for log lines ({ key = value; ... } for dictionaries).
    static QString describe(const QVariant& value);
};

} // namespace kivo
