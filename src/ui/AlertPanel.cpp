#include "ui/AlertPanel.h"

#include "log/Printing.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/MainThread.h"
#include "platform/StringsFile.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <atomic>
#include <optional>

namespace kivo {

namespace {

std::atomic<AlertPresentation> gPresentation{AlertPresentation::Automatic};

// What one alert shows. Empty alternate and other labels mean no such button.
struct AlertTexts {
    QString title;
    QString message;
    QString defaultButton;
    QString alternateButton;
    QString otherButton;
};

enum class Lookup { Found, NoTable, NoEntry, NotADictionary };

struct AlertEntry {
    Lookup outcome = Lookup::NoTable;
    AlertTexts texts; // message still a format
};

QString languageOf(QString code) {
    for (qsizetype i = 0; i < code.size(); ++i) {
        if (QStringView(u"_.@-").contains(code.at(i))) {
            code.truncate(i);
            break;
        }
    }
    if (code == QLatin1String("C") || code == QLatin1String("POSIX"))
        return QStringLiteral("en");
    return code;
}

QString preferredLanguageCode() {
    const QString language = qEnvironmentVariable("LANGUAGE");
    for (const QString& entry : language.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        return languageOf(entry);
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(var);
        if (!value.isEmpty())
            return languageOf(value);
    }
    const QStringList ui = QLocale::system().uiLanguages();
    return ui.isEmpty() ? QStringLiteral("en") : languageOf(ui.first());
}

bool writesToConsole() {
    const bool haveWidgets = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
    switch (gPresentation.load()) {
    case AlertPresentation::Console:
        return true;
    case AlertPresentation::Widgets:
        return !haveWidgets;
    case AlertPresentation::Automatic:
        break;
    }
    if (!haveWidgets)
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// "%@" placeholders take the two arguments in order, in one pass; "%%" is a percent sign.
// Nothing else is a format: table texts never reach a real printf.
QString fillMessage(const QString& format, const QString& arg1, const QString& arg2) {
    QString out;
    int used = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'%' && i + 1 < format.size()) {
            const QChar next = format.at(i + 1);
            if (next == u'@') {
                out += used == 0 ? arg1 : used == 1 ? arg2 : QString();
                ++used;
                ++i;
                continue;
            }
            if (next == u'%') {
                out += c;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

AlertEntry lookUp(const QString& tableName, const QString& key) {
    AlertEntry entry;
    const QString path =
        bundle::pathForResource(tableName, QStringLiteral("strings"), getPreferredLanguage());
    strings::Table table;
    if (!path.isEmpty()) {
        table = strings::load(path);
        if (table.problem != strings::Problem::None)
            consoleLine(QStringLiteral("Message table %1 is unusable: %2").arg(path, table.reason));
    }
    if (path.isEmpty() || table.problem != strings::Problem::None) {
        myPrintf("WHAT???\n");
        myPrintf("myTestDictionary is nil\n");
        entry.outcome = Lookup::NoTable;
        return entry;
    }
    const auto found = table.dictionary.constFind(key);
    if (found == table.dictionary.constEnd()) {
        myPrintf("WHAT???\n");
        myPrintf("mySubDictionary is nil\n");
        entry.outcome = Lookup::NoEntry;
        return entry;
    }
    if (found->typeId() != QMetaType::QVariantMap) {
        consoleLine(QStringLiteral("myTestDictionary count: Caught exception name = %1")
                        .arg(QStringLiteral("NSInvalidArgumentException")));
        entry.outcome = Lookup::NotADictionary;
        return entry;
    }
    myPrintf("YES Found my dictionary1!!!\n");
    entry.outcome = Lookup::Found;
    const QVariantMap fields = found->toMap();
    AlertTexts& t = entry.texts;
    const struct {
        const char* name;
        QString* into;
    } order[] = {{"title", &t.title},
                 {"mesg", &t.message},
                 {"defaultButton", &t.defaultButton},
                 {"alternateButton", &t.alternateButton},
                 {"otherAltButton", &t.otherButton}};
    for (const auto& field : order) {
        const QVariant v = fields.value(QLatin1String(field.name));
        if (v.isValid() && v.typeId() != QMetaType::QString) {
            // The fields read so far are kept; the rest take their fall-backs.
            consoleLine(QStringLiteral("CFArrayGetValueAtIndex: Caught exception name = %1")
                            .arg(QStringLiteral("NSInvalidArgumentException")));
            break;
        }
        *field.into = v.toString();
    }
    if (t.title.isEmpty())
        t.title = QStringLiteral("NO INFO");
    if (t.message.isEmpty())
        t.message = QStringLiteral("(No Further Info Given)");
    if (t.defaultButton.isEmpty())
        t.defaultButton = QStringLiteral("OK");
    return entry;
}

QStringList buttonsOf(const AlertTexts& t) {
    QStringList labels{t.defaultButton};
    for (const QString& label : {t.alternateButton, t.otherButton})
        if (!label.isEmpty())
            labels << label;
    return labels;
}

void writeAlertToConsole(const AlertTexts& t, int answer) {
    const QString answered = answer == 1 ? QStringLiteral("1 (%1)").arg(t.defaultButton)
                                         : QStringLiteral("%1 (no answer)").arg(answer);
    consoleLine(QStringLiteral("Alert without a display: \"%1\" | %2 | buttons: %3 | answer: %4")
                    .arg(t.title, t.message, buttonsOf(t).join(QStringLiteral(", ")), answered));
}

struct PanelButtons {
    QAbstractButton* defaultButton = nullptr;
    QAbstractButton* alternateButton = nullptr;
    QAbstractButton* otherButton = nullptr;
};

PanelButtons fillPanel(QMessageBox& box, const AlertTexts& t) {
    QString message = t.message;
    // Lines separated by a carriage return, as the tables and the resource panel have them.
    message.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    message.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setWindowTitle(bundle::displayName());
    // Arguments are paths and service texts: never rich text.
    box.setTextFormat(Qt::PlainText);
    box.setText(t.title);
    box.setInformativeText(message);
    // Qt makes the box as wide as its title, which squeezes a long message into a narrow
    // column: wrap it at a readable width instead, under a title set apart in bold.
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
        informative->setMinimumWidth(informative->fontMetrics().averageCharWidth() * 52);
    }
    if (auto* title = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
    }
    PanelButtons b;
    b.defaultButton = box.addButton(t.defaultButton, QMessageBox::AcceptRole);
    if (!t.alternateButton.isEmpty())
        b.alternateButton = box.addButton(t.alternateButton, QMessageBox::RejectRole);
    if (!t.otherButton.isEmpty())
        b.otherButton = box.addButton(t.otherButton, QMessageBox::ActionRole);
    box.setDefaultButton(qobject_cast<QPushButton*>(b.defaultButton));
    // Escape means the cautious choice: the alternate (Cancel) when there is one.
    if (b.alternateButton)
        box.setEscapeButton(b.alternateButton);
    else if (!b.otherButton)
        box.setEscapeButton(b.defaultButton);
    return b;
}

int runModal(const AlertTexts& t) {
    if (writesToConsole()) {
        writeAlertToConsole(t, 1);
        return 1;
    }
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    const PanelButtons b = fillPanel(box, t);
    box.exec();
    const QAbstractButton* clicked = box.clickedButton();
    if (clicked && clicked == b.defaultButton)
        return 1;
    if (clicked && clicked == b.alternateButton)
        return 0;
    if (clicked && clicked == b.otherButton)
        return -1;
    return -2;
}

// The panel that names a missing table or key; answers -2 whatever is pressed.
void showMissingResource(const QString& tableName, const QString& key) {
    AlertTexts t;
    t.title = QStringLiteral("Unable to Find Resource For:");
    t.message = QStringLiteral("name.strings = \"%1\"\rkey = \"%2\"").arg(tableName, key);
    t.defaultButton = QStringLiteral("OK");
    if (writesToConsole()) {
        writeAlertToConsole(t, -2);
        return;
    }
    runModal(t);
}

// The texts of the entry with the message filled in; none when the entry cannot be shown (a
// missing table or key has been reported with its own panel by then).
std::optional<AlertTexts> alertToShow(const QString& tableName, const QString& key,
                                      const QString& arg1, const QString& arg2) {
    AlertEntry entry = lookUp(tableName, key);
    switch (entry.outcome) {
    case Lookup::NoTable:
    case Lookup::NoEntry:
        showMissingResource(tableName, key);
        return std::nullopt;
    case Lookup::NotADictionary:
        return std::nullopt;
    case Lookup::Found:
        break;
    }
    entry.texts.message = fillMessage(entry.texts.message, arg1, arg2);
    return entry.texts;
}

} // namespace

void setAlertPresentation(AlertPresentation presentation) {
    gPresentation.store(presentation);
}

QString getPreferredLanguage() {
    const QString code = preferredLanguageCode();
    if (code == QLatin1String("en"))
        return QStringLiteral("English");
    if (code == QLatin1String("es"))
        return QStringLiteral("Spanish");
    consoleLine(QStringLiteral("NOT translated = %1").arg(code));
    return code;
}

int myNSRunAlertPanel(const QString& tableName, const QString& key, const QString& arg1,
                      const QString& arg2) {
    // Panels exist only on the main thread; a caller elsewhere waits for the answer there.
    if (!isMainThread()) {
        int answer = -2;
        onMainThread([&] { answer = myNSRunAlertPanel(tableName, key, arg1, arg2); }, true);
        return answer;
    }
    const std::optional<AlertTexts> texts = alertToShow(tableName, key, arg1, arg2);
    return texts ? runModal(*texts) : -2;
}

int myNSRunAlertPanelOnWindow(QObject* modalDelegate, QWidget* window, const QString& tableName,
                              const QString& key, const QString& arg1, const QString& arg2) {
    // The sheet has no end handler, so the delegate is never called back.
    Q_UNUSED(modalDelegate);
    if (!isMainThread()) {
        const QPointer<QWidget> guarded(window);
        onMainThread(
            [guarded, tableName, key, arg1, arg2] {
                myNSRunAlertPanelOnWindow(nullptr, guarded, tableName, key, arg1, arg2);
            },
            false);
        return -2;
    }
    const std::optional<AlertTexts> texts = alertToShow(tableName, key, arg1, arg2);
    if (!texts)
        return -2;
    if (writesToConsole()) {
        writeAlertToConsole(*texts, -2);
        return -2;
    }
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    fillPanel(*box, *texts);
    box->open();
    return -2;
}

} // namespace kivo
