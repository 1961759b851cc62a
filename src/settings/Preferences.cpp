#include "settings/Preferences.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <atomic>
#include <mutex>

namespace kivo {

namespace {

std::atomic<Defaults*> gStoreOverride{nullptr};

std::mutex& initialLock() {
    static auto* m = new std::mutex;
    return *m;
}
QVariantMap& initialStorage() {
    static auto* m = new QVariantMap;
    return *m;
}
std::atomic<bool> gAppliesImmediately{false};

// Reads a boolean and, when the key is absent altogether, stores the NO that was read so the
// key exists from then on.
bool boolWithWriteBack(const QString& key) {
    Defaults& d = Preferences::store();
    const bool value = d.boolForKey(key);
    if (!d.objectForKey(key).isValid())
        d.setBool(key, value);
    return value;
}

std::optional<QString> stringSetting(const QString& key) {
    return Preferences::store().stringForKey(key);
}

} // namespace

Defaults& Preferences::store() {
    Defaults* d = gStoreOverride.load();
    return d ? *d : Defaults::standard();
}

void Preferences::useStore(Defaults* store) {
    gStoreOverride.store(store);
}

const QStringList& Preferences::myPrefKeyNameArray() {
    static const QStringList keys{
        sPrefLocalMasterMirrorSiteFolder,
        sPrefLocalSourceUploadFolder,
        sUserLoginName,
        sUserLoginPassword,
        sPrefCreateEncapsulatingFolder,
        sPrefShowPreviewWhenUploading,
        sPrefDeleteEmptyFtpFolders,
        sPrefUseEventName,
        sPrefUserEnteredEventName,
        sPrefAutoSynchronize,
        sPrefSecondsBetweenScans,
        sPrefUseDoDeleteOldPhotos,
        sPrefDaysOldBeforeDeleting,
        sPrefShowWindowAtStartup,
        sPrefAutoQuitAndRelaunchPerIteration,
        sPrefDeleteServerItemFirst,
        sPrefAutoStartUploadAtStartup,
        sPrefDoCopyOldFtpPref,
    };
    return keys;
}

void Preferences::setupFactoryDefaults() {
    consoleLine(QStringLiteral("setupFactoryDefaults"));
    setupFactoryDefaultsFromPath(
        bundle::pathForResource(QStringLiteral("FactoryDefault"), QStringLiteral("plist")));
}

void Preferences::setupFactoryDefaultsFromPath(const QString& path) {
    consoleLine(QStringLiteral("userDefaultsValuesPath = [%1]").arg(path));
    std::optional<QVariantMap> dict;
    if (!path.isEmpty())
        dict = plist::readDictionaryFile(path);
    if (!dict) {
        consoleLine(QStringLiteral("userDefaultsValuesDict == NIL!!!!"));
    } else {
        consoleLine(QStringLiteral("About to register factory default dictionary:\n%1\n\n")
                        .arg(describe(*dict)));
        store().registerDefaults(*dict);
    }
    QVariantMap initial;
    for (const QString& key : myPrefKeyNameArray())
        initial.insert(key, dict ? dict->value(key) : QVariant());
    {
        std::lock_guard<std::mutex> g(initialLock());
        initialStorage() = initial;
    }
    gAppliesImmediately = true;
}

QVariantMap Preferences::initialValues() {
    std::lock_guard<std::mutex> g(initialLock());
    return initialStorage();
}

bool Preferences::appliesImmediately() {
    return gAppliesImmediately.load();
}

QString Preferences::oldSettingsFilePath() {
    return bundle::configHome() + QStringLiteral("/com.quandril.Kivo-RAVIdovaziv.plist");
}

void Preferences::migrateOldSettingsIfNeeded() {
    Defaults& d = store();
    if (!d.objectForKey(sPrefDoCopyOldFtpPref).isValid()) {
        consoleLine(
            QStringLiteral("This version does NOT have pref = [%1]").arg(sPrefDoCopyOldFtpPref));
        return;
    }
    if (d.boolForKey(sPrefDoCopyOldFtpPref)) {
        consoleLine(QStringLiteral("ALREADY Copied OLD Ftp Prefs..."));
        return;
    }
    const QString oldPath = oldSettingsFilePath();
    if (!QFileInfo::exists(oldPath)) {
        consoleLine(QStringLiteral("NO OLD rav-idovaziv.plist to copy..."));
        return;
    }
    consoleLine(QStringLiteral("Need to Copy OLD Ftp Prefs from: [%1]").arg(oldPath));
    const std::optional<QVariantMap> old = plist::readDictionaryFile(oldPath);
    if (!old) {
        // Left unflagged so a repaired file is taken at the next start.
        consoleLine(QStringLiteral("Unable to read the old settings file [%1]; nothing copied")
                        .arg(oldPath));
        return;
    }
    for (const QString& key : myPrefKeyNameArray()) {
        if (old->contains(key))
            d.setObject(key, old->value(key));
    }
    d.setBool(sPrefDoCopyOldFtpPref, true);
    d.synchronize();
}

std::optional<QString> Preferences::getLocalSourceUploadFolder() {
    return stringSetting(sPrefLocalSourceUploadFolder);
}

std::optional<QString> Preferences::getLocalMasterMirrorSiteFolder() {
    return stringSetting(sPrefLocalMasterMirrorSiteFolder);
}

std::optional<QString> Preferences::getLocalProblemUploadFolder() {
    const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder();
    // An empty mirror setting would put the problem folder relative to wherever we run.
    if (!mirror || mirror->isEmpty())
        return std::nullopt;
    QString cleaned = QDir::cleanPath(*mirror);
    const QString parent = QFileInfo(cleaned).path();
    if (parent == QLatin1String("/"))
        return QStringLiteral("/Problem Folder");
    return parent + QStringLiteral("/Problem Folder");
}

std::optional<QString> Preferences::getCurUserLoginName() {
    return stringSetting(sUserLoginName);
}
std::optional<QString> Preferences::getCurUserLoginPassword() {
    return stringSetting(sUserLoginPassword);
}

bool Preferences::getDoAutoSynchronize() {
    return boolWithWriteBack(sPrefAutoSynchronize);
}

QVariant Preferences::getPrefSecondsBetweenScans() {
    const QVariant v = store().objectForKey(sPrefSecondsBetweenScans);
    consoleLine(
        QStringLiteral("getPrefSecondsBetweenScans = %1").arg(Defaults::doubleFromValue(v)));
    return v;
}

bool Preferences::getPrefUseDoDeleteOldPhotos() {
    return boolWithWriteBack(sPrefUseDoDeleteOldPhotos);
}

QVariant Preferences::getPrefDaysOldBeforeDeleting() {
    const QVariant v = store().objectForKey(sPrefDaysOldBeforeDeleting);
    consoleLine(
        QStringLiteral("getPrefDaysOldBeforeDeleting = %1").arg(Defaults::integerFromValue(v)));
    return v;
}

bool Preferences::getPrefDeleteEmptyFtpFolders() {
    return boolWithWriteBack(sPrefDeleteEmptyFtpFolders);
}
bool Preferences::getPrefShowPreviewWhenUploading() {
    return store().boolForKey(sPrefShowPreviewWhenUploading);
}
bool Preferences::getPrefShowWindowAtStartup() {
    return boolWithWriteBack(sPrefShowWindowAtStartup);
}
bool Preferences::getAutoStartUploadAtStartup() {
    return boolWithWriteBack(sPrefAutoStartUploadAtStartup);
}

std::optional<QString> Preferences::getGlvFuseAction() {
    return stringSetting(sPrefGlvFuseAction);
}
std::optional<QString> Preferences::getPrefGlvURL() {
    return stringSetting(sPrefGlvURL);
}
std::optional<QString> Preferences::getPrefMetaData() {
    return stringSetting(sPrefMetaData);
}
bool Preferences::getPrefFormBaseIdFromFileName() {
    return store().boolForKey(sPrefFormBaseIdFromFileName);
}
bool Preferences::getPrefDoCheckOrders() {
    return store().boolForKey(sPrefDoCheckOrders);
}

QVariant Preferences::getPrefMinutesForCheckOrders() {
    const QVariant v = store().objectForKey(sPrefMinutesForCheckOrders);
    consoleLine(
        QStringLiteral("getPrefMinutesForCheckOrders = %1").arg(Defaults::doubleFromValue(v)));
    return v;
}

std::optional<QString> Preferences::getPrefCheckHiResOrderFuseAction() {
    return stringSetting(sPrefCheckHiResOrderFuseAction);
}
std::optional<QString> Preferences::getPrefUploadHiResOrderFuseAction() {
    return stringSetting(sPrefUploadHiResOrderFuseAction);
}
std::optional<QString> Preferences::getPrefGlvHiResAlternatePath1() {
    return stringSetting(sPrefGlvHiResAlternatePath1);
}

qint16 Preferences::getPrefSearchPathMethodTag() {
    return static_cast<qint16>(store().integerForKey(sPrefSearchPathMethodTag));
}

bool Preferences::getPrefAlwaysSearchOriginalPath() {
    const qint16 tag = getPrefSearchPathMethodTag();
    return tag == 1 || tag == 3;
}

bool Preferences::getPrefDoUseGlvHiResAlternatePath1() {
    const qint16 tag = getPrefSearchPathMethodTag();
    return tag == 2 || tag == 3;
}

bool Preferences::getPrefAllowRootVolumeSelections() {
    return store().boolForKey(sPrefAllowRootVolumeSelections);
}

qint32 Preferences::getDaysToSaveLogs() {
    Defaults& d = store();
    const qint64 stored = d.integerForKey(sPrefs_DaysToSaveLogs);
    qint32 days;
    if (stored <= 0)
        days = 14;
    else if (stored <= 2)
        days = 3;
    else if (stored > 90)
        days = 90;
    else
        days = qint32(stored);
    if (days != stored)
        d.setInteger(sPrefs_DaysToSaveLogs, days);
    consoleLine(QStringLiteral("Preferences->getDaysToSaveLogs=> value = %1").arg(days));
    return days;
}

float Preferences::getUploadTimeOut() {
    const double v = Defaults::doubleFromValue(store().objectForKey(sPrefUploadTimeOut));
    return v > 0 ? float(v) : 500.0f;
}

QString Preferences::describe(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QString out = QStringLiteral("{\n");
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            out += QStringLiteral("    %1 = %2;\n").arg(it.key(), describe(it.value()));
        return out + QLatin1Char('}');
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QStringList parts;
        for (const QVariant& v : value.toList())
            parts << describe(v);
        return QStringLiteral("(") + parts.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::UnknownType:
        return QStringLiteral("<null>");
    default: {
        const QString s = value.toString();
        if (value.typeId() == QMetaType::QString &&
            (s.isEmpty() || s.contains(QRegularExpression(QStringLiteral("[^A-Za-z0-9_./]")))))
            return QLatin1Char('"') + s + QLatin1Char('"');
        return s;
    }
    }
}

} // namespace kivo
