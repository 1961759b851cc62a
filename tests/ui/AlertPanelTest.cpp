#include "ui/AlertPanel.h"
#include "WindowLook.h"
#include "app/AppController.h"
#include "platform/Bundle.h"
#include "platform/StringsFile.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <tuple>
#include <vector>

using kivo::AlertPresentation;
using kivo::myNSRunAlertPanel;
using kivo::myNSRunAlertPanelOnWindow;
using kivo::test::FdCapture;

namespace {

const QString kTable = QStringLiteral("myLocalDictionary");
const QString kTestTable = QStringLiteral("kivoTestAlerts");

// Sets the locale variables for one test and puts the old values back.
class LanguageEnv {
public:
    using Values = std::vector<std::pair<QByteArray, QByteArray>>;
    LanguageEnv(std::initializer_list<Values::value_type> values) : LanguageEnv(Values(values)) {}
    explicit LanguageEnv(const Values& values) {
        for (const char* name : kNames) {
            if (qEnvironmentVariableIsSet(name))
                fSaved[name] = qgetenv(name);
            qunsetenv(name);
        }
        for (const auto& [name, value] : values)
            qputenv(name.constData(), value);
    }
    ~LanguageEnv() {
        for (const char* name : kNames)
            fSaved.count(name) ? qputenv(name, fSaved[name]) : qunsetenv(name);
    }

private:
    static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::map<QByteArray, QByteArray> fSaved;
};

// What a panel showed before the test pressed one of its buttons.
struct Shown {
    bool seen = false;
    QString text, informative;
    QStringList buttons;
    Qt::WindowModality modality = Qt::NonModal;
};

// Presses the button labelled `label` on the next message box that comes up.
class Presser {
public:
    explicit Presser(QString label, std::function<void(QMessageBox*)> onShown = {})
        : fLabel(std::move(label)), fOnShown(std::move(onShown)) {
        QObject::connect(&fTimer, &QTimer::timeout, [this] { poll(); });
        fTimer.start(10);
    }
    Shown shown;

private:
    void poll() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            fTimer.stop();
            shown.seen = true;
            shown.text = box->text();
            shown.informative = box->informativeText();
            shown.modality = box->windowModality();
            if (fOnShown)
                fOnShown(box);
            QAbstractButton* press = nullptr;
            for (QAbstractButton* b : box->buttons()) {
                shown.buttons << b->text();
                if (b->text() == fLabel)
                    press = b;
            }
            if (press)
                press->click();
            else
                box->done(0); // never leave a test hanging on a panel
            return;
        }
    }
    QString fLabel;
    std::function<void(QMessageBox*)> fOnShown;
    QTimer fTimer;
};

struct WidgetsPresentation {
    WidgetsPresentation() { kivo::setAlertPresentation(AlertPresentation::Widgets); }
    ~WidgetsPresentation() { kivo::setAlertPresentation(AlertPresentation::Automatic); }
};

} // namespace

TEST(AlertPanel, LanguageComesFromTheFirstLocaleVariableThatIsSet) {
    const std::pair<LanguageEnv::Values, const char*> cases[] = {
        {{{"LANGUAGE", "es_ES:en"}, {"LANG", "en_US.UTF-8"}}, "Spanish"},
        {{{"LANGUAGE", ""}, {"LC_MESSAGES", "es_MX.UTF-8"}, {"LANG", "de_DE"}}, "Spanish"},
        {{{"LC_ALL", "C.UTF-8"}, {"LANG", "es_ES"}}, "English"},
        {{{"LANG", "POSIX"}}, "English"},
    };
    for (const auto& [values, language] : cases) {
        LanguageEnv env(values);
        EXPECT_EQ(kivo::getPreferredLanguage(), language);
    }
    FdCapture err;
    {
        LanguageEnv env({{"LANG", "fr_FR@euro"}});
        EXPECT_EQ(kivo::getPreferredLanguage(), "fr");
    }
    EXPECT_TRUE(err.text().contains("NOT translated = fr")) << err.text().constData();
}

TEST(AlertPanel, AMissingTableOrKeyIsNamedOnThePanel) {
    WidgetsPresentation widgets;
    const QString missing = QStringLiteral("name.strings = \"%1\"\nkey = \"%2\"");
    const auto expectFallBack = [&](const QString& table, const QString& key, const char* nil) {
        FdCapture out(1);
        Presser presser("OK");
        EXPECT_EQ(myNSRunAlertPanel(table, key), -2) << key.toStdString();
        EXPECT_EQ(presser.shown.text, "Unable to Find Resource For:");
        EXPECT_EQ(presser.shown.informative, missing.arg(table, key));
        EXPECT_EQ(presser.shown.buttons, QStringList{"OK"});
        EXPECT_TRUE(out.text().contains(QByteArray("WHAT???\n") + nil)) << out.text().constData();
    };
    {
        // No French table: the panel says which table and key were not found.
        LanguageEnv env({{"LANGUAGE", "fr"}});
        expectFallBack(kTable, "NSAlertWindow_9003", "myTestDictionary is nil");
    }
    LanguageEnv env({{"LANGUAGE", "en"}});
    expectFallBack(kTable, "NSAlertWindow_0000", "mySubDictionary is nil");
    // The sheet form also names what is missing, with a modal panel.
    Presser presser("OK");
    EXPECT_EQ(myNSRunAlertPanelOnWindow(nullptr, nullptr, kTable, "NSAlertWindow_0000"), -2);
    EXPECT_EQ(presser.shown.text, "Unable to Find Resource For:");
}

TEST(AlertPanel, FieldsFallBackArgumentsFillTheMessageAndButtonsAnswer) {
    WidgetsPresentation widgets;
    LanguageEnv env({{"LANGUAGE", "en"}});
    {
        Presser presser("OK");
        EXPECT_EQ(myNSRunAlertPanel(kTestTable, "onlyTitle"), 1);
        EXPECT_EQ(presser.shown.text, "Just a title");
        EXPECT_EQ(presser.shown.informative, "(No Further Info Given)");
        EXPECT_EQ(presser.shown.buttons, QStringList{"OK"});
    }
    // The second argument holds a placeholder of its own: it is shown, not filled again.
    const std::pair<const char*, int> choices[] = {{"Go", 1}, {"Stop", 0}, {"Later", -1}};
    for (const auto& [label, answer] : choices) {
        Presser presser(label);
        EXPECT_EQ(myNSRunAlertPanel(kTestTable, "filled", "a.jpg", "/in/%@"), answer) << label;
        EXPECT_EQ(presser.shown.informative, "Copy a.jpg to /in/%@ (100%),  left");
        EXPECT_EQ(presser.shown.buttons.size(), 3);
    }
    {
        // Fields after one of the wrong kind take their fall-backs; the panel still comes up.
        FdCapture err;
        Presser presser("OK");
        EXPECT_EQ(myNSRunAlertPanel(kTestTable, "badField"), 1);
        EXPECT_EQ(presser.shown.text, "Half read");
        EXPECT_EQ(presser.shown.informative, "(No Further Info Given)");
        EXPECT_TRUE(err.text().contains("CFArrayGetValueAtIndex: Caught exception name = "));
    }
    FdCapture err;
    Presser presser("OK");
    EXPECT_EQ(myNSRunAlertPanel(kTestTable, "notADictionary"), -2);
    QCoreApplication::processEvents();
    EXPECT_FALSE(presser.shown.seen);
    EXPECT_TRUE(err.text().contains("myTestDictionary count: Caught exception name = "));
}

TEST(AlertPanel, ARealAlertShowsItsWholeTextsInEitherLanguage) {
    WidgetsPresentation widgets;
    const std::tuple<const char*, const char*, const char*> languages[] = {
        {"english", "en", "OK"}, {"spanish", "es", "Aceptar"}};
    for (const auto& [language, code, ok] : languages) {
        LanguageEnv env({{"LANGUAGE", code}});
        QStringList clipped;
        QSize size;
        const QString shot = QString("alert-%1.png").arg(language);
        Presser presser(ok, [&](QMessageBox* box) {
            clipped = kivo::test::clippedTexts(box);
            size = box->size();
            kivo::test::saveScreenshot(box, shot);
        });
        EXPECT_EQ(myNSRunAlertPanel(kTable, "NSAlertWindow_9008"), 1) << language;
        ASSERT_TRUE(presser.shown.seen) << language;
        EXPECT_EQ(presser.shown.modality, Qt::ApplicationModal);
        EXPECT_TRUE(clipped.isEmpty()) << language << ": " << clipped.join(", ").toStdString();
        EXPECT_LE(size.width(), kivo::test::kSmallScreen.width()) << language;
        EXPECT_LE(size.height(), kivo::test::kSmallScreen.height()) << language;
    }
}

TEST(AlertPanel, SheetReturnsAtOnceAndGoesAwayWhenAnswered) {
    WidgetsPresentation widgets;
    LanguageEnv env({{"LANGUAGE", "en"}});
    QWidget window;
    window.show();
    EXPECT_EQ(myNSRunAlertPanelOnWindow(&window, &window, kTestTable, "filled", "x"), -2);
    QPointer<QMessageBox> sheet = window.findChild<QMessageBox*>();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->informativeText(), "Copy x to  (100%),  left");
    sheet->defaultButton()->click();
    EXPECT_TRUE(kivo::test::waitUntil([&] { return sheet.isNull(); }));
}

TEST(AlertPanel, WithoutADisplayAlertsGoToTheConsoleAndTakeTheDefault) {
    // The test program runs on the offscreen platform: no panel may block it.
    LanguageEnv env({{"LANGUAGE", "en"}});
    Presser presser("never pressed");
    FdCapture err;
    EXPECT_EQ(myNSRunAlertPanel(kTable, "NSAlertWindow_1002"), 1);
    EXPECT_EQ(myNSRunAlertPanelOnWindow(nullptr, nullptr, kTable, "NSAlertWindow_9009"), -2);
    EXPECT_EQ(myNSRunAlertPanel(kTable, "NSAlertWindow_0000"), -2);
    QCoreApplication::processEvents();
    EXPECT_FALSE(presser.shown.seen);
    const QString console = QString::fromUtf8(err.text());
    EXPECT_TRUE(console.contains("\"Pause Uploading?\" | The photo being sent now"));
    EXPECT_TRUE(console.contains("buttons: Pause, Cancel | answer: 1 (Pause)"));
    EXPECT_TRUE(console.contains("\"A Whole Disk Was Chosen\""));
    EXPECT_TRUE(console.contains("\"Unable to Find Resource For:\" | name.strings = "));
}

TEST(AlertPanel, BothTablesHoldEveryAlertWithItsButtons) {
    const QStringList confirmations{"NSAlertWindow_1002", "NSAlertWindow_9002",
                                    "NSAlertWindow_9007"};
    const QStringList keys =
        QStringList{"NSAlertWindow_9003", "NSAlertWindow_9008", "NSAlertWindow_9009"} +
        confirmations;
    std::map<QString, QVariantMap> tables;
    for (const char* language : {"English", "Spanish"}) {
        const kivo::strings::Table table = kivo::strings::load(
            kivo::bundle::pathForResource(kTable, "strings", QString::fromLatin1(language)));
        ASSERT_EQ(table.problem, kivo::strings::Problem::None) << table.reason.toStdString();
        tables[language] = table.dictionary;
        for (const QString& key : keys) {
            const QVariantMap entry = table.dictionary.value(key).toMap();
            for (const char* field : {"title", "mesg", "defaultButton"})
                EXPECT_FALSE(entry.value(field).toString().isEmpty())
                    << language << " " << key.toStdString() << " " << field;
            EXPECT_EQ(entry.contains("alternateButton"), confirmations.contains(key))
                << language << " " << key.toStdString();
        }
    }
    for (const QString& key : keys)
        EXPECT_NE(tables["English"].value(key).toMap().value("mesg"),
                  tables["Spanish"].value(key).toMap().value("mesg"))
            << "untranslated " << key.toStdString();
}

namespace {
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};
} // namespace

TEST(AppControllerAlerts, MailToSupportAndClosingWithNoAlert) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("mailto", &catcher, "open");
    kivo::AppController controller;
    controller.sendMailCocoa(nullptr);
    QDesktopServices::unsetUrlHandler("mailto");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0].toString(QUrl::FullyEncoded),
              "mailto:support@kivo.example?subject=System%20Has%20A%20Problem!!"
              "&body=NEED%20Tech%20Support!!!!");

    controller.closeCurrentAlert(nullptr); // nothing recorded: nothing happens
    auto* alert = new QWidget;
    alert->show();
    controller.fCurAlert = alert;
    QPointer<QWidget> watch(alert);
    controller.closeCurrentAlert(nullptr);
    EXPECT_TRUE(controller.fCurAlert.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull());
}

#include "AlertPanelTest.moc"
