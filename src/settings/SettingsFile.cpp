#include "settings/SettingsFile.h"

#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/PropertyList.h"
#include "settings/Preferences.h"

namespace kivo {

namespace {

const QString kSuffix = QStringLiteral(".plist");

QString logText(const QString& key, const QVariant& value) {
    // The password never reaches a log.
    if (key == sUserLoginPassword)
        return QStringLiteral("********");
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    return Preferences::describe(value);
}

} // namespace

SettingsFileResult savePrefsToFile(Defaults& store, const QString& path) {
    SettingsFileResult result;
    result.path = path;
    QVariantMap dictionary;
    for (const QString& key : Preferences::myPrefKeyNameArray()) {
        const QVariant value = store.objectForKey(key);
        if (value.isValid()) {
            dictionary.insert(key, value);
            result.keys << key;
        }
    }
    QString error;
    // Owner-only, like the settings store: the file holds the account password.
    if (!plist::writeXmlFileAtomically(path, dictionary, &error)) {
        result.outcome = SettingsFileResult::Outcome::WriteFailed;
        result.error = QStringLiteral("Could not save the settings to [%1]: %2").arg(path, error);
        consoleLine(result.error);
    }
    return result;
}

SettingsFileResult loadPrefsFromFile(Defaults& store, const QString& path) {
    SettingsFileResult result;
    result.path = path;
    const plist::DictionaryFile file = plist::loadDictionaryFile(path);
    if (file.failure.problem != plist::Problem::None) {
        result.outcome = SettingsFileResult::Outcome::Unreadable;
        result.error = QStringLiteral("Settings file [%1] %2; nothing was loaded")
                           .arg(path, file.failure.reason);
        consoleLine(result.error);
        return result;
    }
    const QStringList& keys = Preferences::myPrefKeyNameArray();
    for (int i = 0; i < keys.size(); ++i) {
        const QString& key = keys[i];
        const QVariant value = file.dictionary.value(key);
        if (!value.isValid()) {
            consoleLine(
                QStringLiteral("%1 => [%2] = [NIL]").arg(i, 2, 10, QLatin1Char('0')).arg(key));
            continue;
        }
        consoleLine(QStringLiteral("%1 => [%2] = [%3]")
                        .arg(i, 2, 10, QLatin1Char('0'))
                        .arg(key, logText(key, value)));
        store.setObject(key, value);
        result.keys << key;
    }
    return result;
}

QString settingsFileNameForEnteredName(const QString& name) {
    return name.endsWith(kSuffix) ? name : name + kSuffix;
}

bool isValidSettingsFileName(const QString& name) {
    return name.endsWith(kSuffix);
}

} // namespace kivo
