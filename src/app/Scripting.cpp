// Commands from other programs: synchronize, pause, quit, and reading or changing a few
// settings by name. They arrive on the main thread and reach the pipeline only through the
// same run-control methods as the buttons.
#include "app/AppController.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/DBusEventBridge.h"
#include "platform/Defaults.h"
#include "settings/Preferences.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace kivo {

namespace {

const QString kAccepted = QStringLiteral("ACCEPTED");
const QString kSuccess = QStringLiteral("COMMAND SUCCESS");
const QString kFailed = QStringLiteral("COMMAND FAILED");
const QString kPasswordShown = QStringLiteral("********");

enum class SettingKind { Text, YesNo, Seconds, Days };

struct ScriptSetting {
    const QString& key;
    SettingKind kind;
    bool readable;
};

const ScriptSetting kScriptSettings[] = {
    {sPrefUserEnteredEventName, SettingKind::Text, true},
    {sUserLoginName, SettingKind::Text, true},
    {sUserLoginPassword, SettingKind::Text, true},
    {sPrefShowPreviewWhenUploading, SettingKind::YesNo, false},
    {sPrefDeleteEmptyFtpFolders, SettingKind::YesNo, false},
    {sPrefAutoSynchronize, SettingKind::YesNo, false},
    {sPrefUseEventName, SettingKind::YesNo, false},
    {sPrefUseDoDeleteOldPhotos, SettingKind::YesNo, false},
    {sPrefAutoStartUploadAtStartup, SettingKind::YesNo, false},
    {sPrefSecondsBetweenScans, SettingKind::Seconds, true},
    {sPrefDaysOldBeforeDeleting, SettingKind::Days, false},
};

const ScriptSetting* findSetting(const QString& name) {
    for (const ScriptSetting& s : kScriptSettings)
        if (s.key.compare(name, Qt::CaseInsensitive) == 0)
            return &s;
    return nullptr;
}

bool isPassword(const QString& name) {
    return sUserLoginPassword.compare(name, Qt::CaseInsensitive) == 0;
}

// Script texts in console lines: one line each, of a readable length.
QString shown(const QString& text) {
    constexpr qsizetype kShownChars = 256;
    QString out = text.left(kShownChars);
    for (QChar& c : out)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
            c.category() == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    if (text.size() > kShownChars)
        out += QStringLiteral("...(%1 characters)").arg(text.size());
    return out;
}

QString shownValue(const QString& name, const QString& value) {
    return isPassword(name) ? kPasswordShown : shown(value);
}

// The longest leading decimal number of the text ("30s" is 30), 0 when there is none.
double leadingDecimal(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    auto digitsFrom = [&](qsizetype at) {
        qsizetype end = at;
        while (end < n && bytes[end] >= '0' && bytes[end] <= '9')
            ++end;
        return end;
    };
    while (i < n && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n'))
        ++i;
    const qsizetype start = i;
    if (i < n && (bytes[i] == '+' || bytes[i] == '-'))
        ++i;
    const qsizetype intEnd = digitsFrom(i);
    qsizetype end = intEnd;
    bool anyDigit = intEnd > i;
    if (end < n && bytes[end] == '.') {
        const qsizetype fracEnd = digitsFrom(end + 1);
        anyDigit = anyDigit || fracEnd > end + 1;
        end = fracEnd;
    }
    if (!anyDigit)
        return 0.0;
    if (end < n && (bytes[end] == 'e' || bytes[end] == 'E')) {
        qsizetype e = end + 1;
        if (e < n && (bytes[e] == '+' || bytes[e] == '-'))
            ++e;
        const qsizetype expEnd = digitsFrom(e);
        if (expEnd > e)
            end = expEnd;
    }
    bool ok = false;
    const double v = bytes.mid(start, end - start).toDouble(&ok);
    // Out of range: toDouble answers 0 with ok false; infinity lets the range check refuse it.
    return ok ? v : std::numeric_limits<double>::infinity();
}

// Beyond the single-precision range is infinity (a plain conversion would be undefined).
float singlePrecision(double v) {
    if (std::isfinite(v) && std::fabs(v) > double(std::numeric_limits<float>::max()))
        return v > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
    return float(v);
}

void printEventIdentity(const QString& eventClass, const QString& eventID) {
    auto code = [](const QString& text) {
        QByteArray out = text.left(4).toLatin1();
        for (char& c : out)
            if (c < 0x20 || c > 0x7e)
                c = '?';
        return out;
    };
    fprintf(stdout, "theEventClass = [%s]\ntheEventID = [%s]\n", code(eventClass).constData(),
            code(eventID).constData());
    fflush(stdout);
}

void logInvalid(const QString& name, const QString& value) {
    consoleLine(QStringLiteral("INVALID parameterValue=[%1] for parameterName=[%2]")
                    .arg(shownValue(name, value), shown(name)));
}

void logUnsupported(const QString& name, const QString& value) {
    consoleLine(QStringLiteral("Unsupported keyname=[%1] and keyValue=[%2]")
                    .arg(shown(name), shownValue(name, value)));
}

// The value a setValue stores, or none when the value is refused.
std::optional<QVariant> scriptValue(SettingKind kind, const QString& value) {
    switch (kind) {
    case SettingKind::Text:
        return QVariant(value);
    case SettingKind::YesNo:
        if (!AppController::isValidYesNoString(value))
            return std::nullopt;
        return QVariant(value);
    case SettingKind::Seconds:
    case SettingKind::Days: {
        const float number = singlePrecision(leadingDecimal(value));
        // Infinity would be written to the settings file and spin or stall the timer.
        if (!(number > 0.0f) || !std::isfinite(number))
            return std::nullopt;
        if (kind == SettingKind::Seconds)
            return QVariant(double(number));
        // Under one day would store 0: a cut-off of now, which deletes every mirrored photo.
        if (number < 1.0f || number > float(std::numeric_limits<qint32>::max()))
            return std::nullopt;
        return QVariant(qint64(std::trunc(number)));
    }
    }
    return std::nullopt;
}

} // namespace

bool AppController::isValidYesNoString(const std::optional<QString>& text) {
    return text && (text->compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0 ||
                    text->compare(QLatin1String("no"), Qt::CaseInsensitive) == 0);
}

bool AppController::saveSettingToUserDefaults(const QVariant& value, const QString& name) {
    consoleLine(QStringLiteral("SETTING parameterValue=[%1] for parameterName=[%2]")
                    .arg(shownValue(name, Defaults::stringFromValue(value).value_or(QString())),
                         shown(name)));
    Defaults& store = Preferences::store();
    const QVariant before = store.userValues().value(name);
    store.setObject(name, value);
    if (store.synchronize())
        return true;
    store.setObject(name, before);
    consoleLine(QStringLiteral("The settings file [%1] could not be written: [%2] keeps its "
                               "earlier value")
                    .arg(store.path(), shown(name)));
    return false;
}

void AppController::setupForAppleEventsForThisApp() {
    auto* bridge = new DBusEventBridge(
        [this](const DBusEventBridge::Call& call) -> QVariant {
            ScriptEvent event{call.eventClass, call.eventID, std::nullopt, call.wantsReply};
            if (!call.directObject.isEmpty())
                event.directObject = call.directObject;
            const ScriptReply reply = handleTestAEHandler(event);
            if (const auto* text = std::get_if<QString>(&reply))
                return *text;
            if (const auto* list = std::get_if<QVariantList>(&reply))
                return *list;
            return QVariant();
        },
        kFailed, this);
    const QString service = bundle::identifier();
    using Outcome = DBusEventBridge::Registration::Outcome;
    const DBusEventBridge::Registration r = bridge->registerOnSessionBus(service);
    switch (r.outcome) {
    case Outcome::Registered:
        consoleLine(QStringLiteral("setupForAppleEventsForThisApp"));
        return;
    case Outcome::NameTaken:
        // Another process (not another instance: that is kept out before start-up) has it.
        consoleLine(QStringLiteral("setupForAppleEventsForThisApp: the bus name %1 belongs to "
                                   "another process; scripts addressing it reach that one (%2)")
                        .arg(service, r.detail));
        return;
    case Outcome::NoBus:
        consoleLine(QStringLiteral("UNABLE setupForAppleEventsForThisApp"));
        break;
    case Outcome::Refused:
        consoleLine(QStringLiteral("UNABLE setupForAppleEventsForThisApp: scripting is off, the "
                                   "session bus address [%1] is not a local socket")
                        .arg(r.detail));
        break;
    case Outcome::Failed:
        consoleLine(QStringLiteral("UNABLE setupForAppleEventsForThisApp: %1").arg(r.detail));
        break;
    }
    delete bridge;
}

AppController::ScriptReply AppController::handleTestAEHandler(const ScriptEvent& event) {
    printEventIdentity(event.eventClass, event.eventID);
    const bool ours = event.eventClass == QLatin1String("kivo");
    if (ours && event.eventID == QLatin1String("paus")) {
        forceProcessToPause(this);
        return kAccepted;
    }
    if (ours && event.eventID == QLatin1String("upnw")) {
        ibClickedOnSynchronizeAgain(this);
        return kAccepted;
    }
    if (event.eventClass == QLatin1String("aevt") && event.eventID == QLatin1String("quit")) {
        consoleLine(QStringLiteral("\n\nReceived kAEQuitApplication...\n\n"));
        closeCurrentAlert(this);
        ibClickedOnQuit(nullptr);
        return std::monostate{};
    }
    if (!ours || event.eventID != QLatin1String("1234")) {
        consoleLine(QStringLiteral("Unsupported event [%1] [%2]")
                        .arg(shown(event.eventClass), shown(event.eventID)));
        return kFailed;
    }
    if (!event.hasReply)
        return std::monostate{};
    if (!event.directObject || event.directObject->size() < 3) {
        consoleLine(
            QStringLiteral("Parameter command without its three items: [%1]")
                .arg(
                    shown(event.directObject.value_or(QStringList()).join(QStringLiteral("] [")))));
        return kFailed;
    }
    const QString& command = event.directObject->at(0);
    const QString& name = event.directObject->at(1);
    const QString& value = event.directObject->at(2);
    const bool isSet = command.compare(QLatin1String("setValue"), Qt::CaseInsensitive) == 0;
    const bool isGet = command.compare(QLatin1String("getValue"), Qt::CaseInsensitive) == 0;
    consoleLine(
        QStringLiteral("Got the Command Line = [%1] [%2] [%3]")
            .arg(shown(command), shown(name), isSet ? shownValue(name, value) : shown(value)));

    if (isSet) {
        const ScriptSetting* setting = findSetting(name);
        if (!setting) {
            logUnsupported(name, value);
            logInvalid(name, value);
            return kFailed;
        }
        const std::optional<QVariant> stored = scriptValue(setting->kind, value);
        if (!stored) {
            logInvalid(name, value);
            return kFailed;
        }
        // Under the setting's own spelling: a key in other letter case would be a setting
        // nothing reads.
        return saveSettingToUserDefaults(*stored, setting->key) ? kSuccess : kFailed;
    }
    if (isGet) {
        const ScriptSetting* setting = findSetting(name);
        if (!setting || !setting->readable) {
            logUnsupported(name, value);
            return kFailed;
        }
        const std::optional<QString> text = Preferences::store().stringForKey(setting->key);
        QString read;
        if (setting->kind == SettingKind::Seconds) {
            if (text)
                read = QString::asprintf("%3.2f", double(singlePrecision(leadingDecimal(*text))));
        } else {
            consoleLine(QStringLiteral("Is Valid keyNameString = [%1]").arg(shown(name)));
            if (text) {
                read = *text;
                consoleLine(QStringLiteral("Get Parameter value for keyName [%1] => [%2]")
                                .arg(shown(name), shownValue(name, read)));
            }
        }
        return QVariantList{kSuccess, QStringList{command, name, read}};
    }
    // A misspelt command word changes nothing, so it must not read as done.
    consoleLine(QStringLiteral("Unsupported command=[%1]").arg(shown(command)));
    return kFailed;
}

} // namespace kivo
