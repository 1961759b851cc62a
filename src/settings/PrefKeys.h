#pragma once
// Setting keys. Some constant names differ from their strings; the strings are what the
// settings files, the scripting interface and older stores use.
#include <QString>

namespace kivo {

inline const QString sPrefLocalSourceUploadFolder = QStringLiteral("prefLocalSourceUploadFolder");
inline const QString sPrefLocalMasterMirrorSiteFolder =
    QStringLiteral("prefLocalMasterMirrorSiteFolder");
inline const QString sUserLoginName = QStringLiteral("userLoginName");
inline const QString sUserLoginPassword = QStringLiteral("userLoginPassword");
inline const QString sPrefUserEnteredEventName = QStringLiteral("userEnteredEventName");
inline const QString sPrefUseEventName = QStringLiteral("prefUseEventName");
inline const QString sPrefAutoSynchronize = QStringLiteral("prefAutoSynchronize");
inline const QString sPrefSecondsBetweenScans = QStringLiteral("prefSecondsBetweenScans");
inline const QString sPrefUseDoDeleteOldPhotos = QStringLiteral("prefDoUseDeleteOldPhotos");
inline const QString sPrefDaysOldBeforeDeleting = QStringLiteral("prefDaysOldBeforeDeleting");
inline const QString sPrefDeleteEmptyFtpFolders = QStringLiteral("prefDeleteEmptyFtpFolders");
inline const QString sPrefShowPreviewWhenUploading = QStringLiteral("prefShowPreviewWhenUploading");
inline const QString sPrefUploadMovie = QStringLiteral("prefUploadMovie");
inline const QString sPrefCreateEncapsulatingFolder =
    QStringLiteral("prefCreateEncapsulatingFolder");
inline const QString sPrefShowWindowAtStartup = QStringLiteral("prefShowWindowAtStartup");
inline const QString sPrefAutoStartUploadAtStartup = QStringLiteral("prefAutoStartUploadAtStartup");
inline const QString sPrefAutoQuitAndRelaunchPerIteration =
    QStringLiteral("prefAutoQuitAndRelaunchPerIteration");
inline const QString sPrefDeleteServerItemFirst = QStringLiteral("prefDeleteServerItemFirst");
inline const QString sPrefDoCopyOldFtpPref = QStringLiteral("prefDoCopyOldFtpPref");
inline const QString sPrefGlvFuseAction = QStringLiteral("prefGlvFuseAction");
inline const QString sPrefGlvURL = QStringLiteral("prefGlvURL");
inline const QString sPrefMetaData = QStringLiteral("prefMetaData");
inline const QString sPrefFormBaseIdFromFileName = QStringLiteral("prefFormBaseIdFromFileName");
inline const QString sPrefDoCheckOrders = QStringLiteral("prefDoCheckOrders");
inline const QString sPrefMinutesForCheckOrders = QStringLiteral("prefMinutesForCheckOrders");
inline const QString sPrefCheckHiResOrderFuseAction =
    QStringLiteral("prefCheckHiResOrderFuseAction");
inline const QString sPrefUploadHiResOrderFuseAction =
    QStringLiteral("prefUploadHiResOrderFuseAction");
inline const QString sPrefGlvHiResAlternatePath1 = QStringLiteral("prefGlvHiResAlternatePath1");
inline const QString sPrefSearchPathMethodTag = QStringLiteral("prefSearchPathMethodTag");
inline const QString sPrefAlwaysSearchOriginalPath = QStringLiteral("prefAlwaysSearchOriginalPath");
inline const QString sPrefDoUseGlvHiResAlternatePath1 =
    QStringLiteral("prefDoUseGlvHiResAlternatePath1");
inline const QString sPrefAllowRootVolumeSelections =
    QStringLiteral("prefAllowRootVolumeSelections");
inline const QString sPrefs_DaysToSaveLogs = QStringLiteral("prefDaysToSaveLogs");
inline const QString sPrefUploadTimeOut = QStringLiteral("prefUploadTimeOut");
inline const QString sPrefIsValidLocalSourceUploadFolder =
    QStringLiteral("prefIsValidLocalSourceUploadFolder");
inline const QString sPrefIsValidLocalMasterMirrorSiteFolder =
    QStringLiteral("prefIsValidLocalMasterMirrorSiteFolder");
inline const QString sPrefIsValidGlvHiResAlternatePath1 =
    QStringLiteral("prefIsValidGlvHiResAlternatePath1");

// The event-name placeholder that the factory settings carry until the user types a name.
inline const QString sEventNamePlaceholder = QStringLiteral("turnOnCheckBoxIfUsingThisOption");

} // namespace kivo
