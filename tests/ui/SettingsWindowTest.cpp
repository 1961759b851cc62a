// The settings window with real widgets offscreen, over a private settings store.
#include "FakeAppActions.h"
#include "WindowLook.h"
#include "app/PipelineFixture.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Defaults.h"
#include "platform/PropertyList.h"
#include "platform/StringsFile.h"
#include "settings/Preferences.h"
#include "settings/ValueTransformers.h"
#include "ui/AlertPanel.h"
#include "ui/SettingsWindowController.h"
#include "ui/newNSPanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

class RecordingActions : public FakeAppActions {
public:
    bool uploading = false;
    QList<int> sheetEnds;
    void ibClickedOnSaveAndClose(QObject* sender) override {
        calls.append({"saveAndClose", sender});
    }
    void sheetDidEnd(int returnCode, const QVariant&) override { sheetEnds << returnCode; }
    bool uploadProcessStarted() const override { return uploading; }
};

// The English title of an alert, as the console shows it without a display.
QByteArray alertLine(const QString& key) {
    const strings::Table table =
        strings::load(":/resources/English.lproj/myLocalDictionary.strings");
    const QString title = table.dictionary.value(key).toMap().value("title").toString();
    return ("Alert without a display: \"" + title + "\"").toUtf8();
}

bool isRed(const QWidget* w, QPalette::ColorRole role = QPalette::Text) {
    return w->palette().color(role) == QColor(Qt::red);
}

class SettingsWindow : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("LANGUAGE", "en");
        setAlertPresentation(AlertPresentation::Console);
        registerValueTransformers();
        folder = makeTempFolder("settingswindow");
        store = std::make_unique<Defaults>(folder + "/store.plist", 20);
        Preferences::useStore(store.get());
        mainWindow.show();
        controller = std::make_unique<SettingsWindowController>(&mainWindow, &actions);
        controller->setPanelRunner([this](const PanelRequest& r, auto done) {
            requests.push_back(r);
            done(answerCode, answerPath);
        });
    }
    void TearDown() override {
        controller.reset();
        Preferences::useStore(nullptr);
        setAlertPresentation(AlertPresentation::Automatic);
    }
    template <typename T> T* find(const char* name) {
        T* w = controller->panel()->findChild<T*>(name);
        EXPECT_TRUE(w) << name;
        return w;
    }
    void selectTab(int identifier) {
        QTabWidget* tabs = controller->tabView();
        for (int i = 0; i < tabs->count(); ++i)
            if (tabs->widget(i)->property("identifier").toString() == QString::number(identifier))
                tabs->setCurrentIndex(i);
    }

    QString folder;
    std::unique_ptr<Defaults> store;
    QWidget mainWindow;
    RecordingActions actions;
    std::unique_ptr<SettingsWindowController> controller;
    std::vector<PanelRequest> requests;
    int answerCode = 1;
    QString answerPath;
};

TEST_F(SettingsWindow, TheLockEnablesTheThreeViewsExceptTheOrderBoxWhileOrdersAreOff) {
    auto* lock = find<QToolButton>("ibLockButton");
    auto* choose = find<QPushButton>("ibChangeLocalSourceFolder");
    auto* reveal = find<QPushButton>("ibRevealFinder1");
    auto* path = find<QLineEdit>("ibMainWindowLocalSourcePath");
    auto* url = find<QLineEdit>("ibGlvURL");
    auto* checkOrders = find<QCheckBox>("ibDoCheckOrders");
    auto* minutes = find<QDoubleSpinBox>("ibMinutesForCheckOrders");
    auto* alternate = find<QPushButton>("ibChangeGlvSearchPath1");
    QLabel* greyed = nullptr;
    for (auto* label : controller->changeableView(1)->findChildren<QLabel*>())
        if (label->property("tag").toInt() == -100)
            greyed = label;
    ASSERT_TRUE(greyed);
    EXPECT_FALSE(lock->isChecked());
    EXPECT_FALSE(choose->isEnabled()) << "locked from the start";
    EXPECT_TRUE(reveal->isEnabled()) << "reveal buttons are never disabled";
    path->setEnabled(false); // a tag -99 control keeps whatever state it has

    lock->click();
    EXPECT_TRUE(choose->isEnabled());
    EXPECT_TRUE(url->isEnabled());
    EXPECT_TRUE(checkOrders->isEnabled());
    EXPECT_FALSE(minutes->isEnabled()) << "nsbox1 stays off while orders are off";
    EXPECT_FALSE(alternate->isEnabled());
    EXPECT_FALSE(path->isEnabled());
    EXPECT_EQ(greyed->palette().color(QPalette::WindowText), QColor(Qt::black));

    checkOrders->click(); // written to the store, which the box follows
    EXPECT_TRUE(store->boolForKey(sPrefDoCheckOrders));
    EXPECT_TRUE(minutes->isEnabled());
    EXPECT_TRUE(alternate->isEnabled());

    path->setEnabled(true);
    controller->forceLockedIcon(0);
    EXPECT_FALSE(lock->isChecked());
    EXPECT_FALSE(url->isEnabled());
    EXPECT_FALSE(minutes->isEnabled());
    EXPECT_TRUE(path->isEnabled());
    EXPECT_EQ(greyed->palette().color(QPalette::WindowText), QColor(Qt::gray));
    // A script turning orders on does not open a locked window.
    store->setBool(sPrefDoCheckOrders, false);
    ASSERT_TRUE(runOnWorker([&] { store->setBool(sPrefDoCheckOrders, true); }));
    waitUntil([] { return false; }, 50);
    EXPECT_FALSE(minutes->isEnabled());

    controller->forceLockedIcon(1);
    EXPECT_TRUE(lock->isChecked());
    EXPECT_TRUE(minutes->isEnabled());
    controller->ibClickedOnLockIcon(url); // not the lock: nothing
    EXPECT_TRUE(url->isEnabled());
}

TEST_F(SettingsWindow, FolderChoosersStoreTheFolderAndRefuseOrWarnAboutWholeDisks) {
    const QString chosen = makeTempFolder("chosen");
    auto* choose = find<QPushButton>("ibChangeLocalSourceFolder");
    FdCapture err;

    actions.uploading = true;
    controller->ibClickedOnChangeLocalSourceFolder(choose);
    EXPECT_TRUE(requests.empty()) << "no panel while an upload runs";
    EXPECT_TRUE(err.text().contains(alertLine("NSAlertWindow_9003")));
    actions.uploading = false;

    answerPath = chosen;
    controller->ibClickedOnChangeLocalSourceFolder(choose);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].message, "Please Select Your LOCAL SOURCE (To Be Uploaded) Folder");
    EXPECT_EQ(requests[0].prompt, "Select");
    EXPECT_FALSE(requests[0].canCreateDirectories);
    EXPECT_EQ(store->stringForKey(sPrefLocalSourceUploadFolder), chosen);
    EXPECT_TRUE(store->boolForKey(sPrefIsValidLocalSourceUploadFolder));
    EXPECT_EQ(find<QLineEdit>("ibMainWindowLocalSourcePath")->toolTip(), chosen);

    answerCode = 0; // cancelled
    answerPath = folder;
    controller->ibClickedOnChangeLocalMirrorSiteFolder(choose);
    EXPECT_TRUE(requests.back().canCreateDirectories);
    EXPECT_FALSE(store->objectForKey(sPrefLocalMasterMirrorSiteFolder).isValid());
    EXPECT_EQ(requests.back().directory, QString()) << "starts where the unset key points";

    // A whole disk as the alternate folder: refused while root selections are off.
    answerCode = 1;
    answerPath = "/";
    store->setString(sPrefGlvHiResAlternatePath1, chosen);
    const int beeps = beepCount();
    controller->ibClickedOnChangeGlvSearchPath1(choose);
    EXPECT_EQ(requests.back().directory, chosen);
    EXPECT_EQ(beepCount() - beeps, 1);
    EXPECT_TRUE(err.text().contains(alertLine("NSAlertWindow_9008")));
    EXPECT_EQ(store->stringForKey(sPrefGlvHiResAlternatePath1), chosen);
    EXPECT_FALSE(store->boolForKey(sPrefIsValidGlvHiResAlternatePath1));

    store->setBool(sPrefAllowRootVolumeSelections, true);
    controller->ibClickedOnChangeGlvSearchPath1(choose);
    EXPECT_TRUE(err.text().contains(alertLine("NSAlertWindow_9009")));
    EXPECT_EQ(store->stringForKey(sPrefGlvHiResAlternatePath1), "/");
    EXPECT_TRUE(store->boolForKey(sPrefIsValidGlvHiResAlternatePath1));
    EXPECT_EQ(beepCount() - beeps, 1);
}

TEST_F(SettingsWindow, PathFieldsTurnRedForMissingFoldersWhenTheirTabIsShown) {
    const QString existing = makeTempFolder("exists");
    auto* source = find<QLineEdit>("ibMainWindowLocalSourcePath");
    auto* mirror = find<QLineEdit>("ibMainWindowLocalMirrorSitePath");
    auto* alternate = find<QLineEdit>("ibGlvHiResAlternatePath1");
    store->setString(sPrefLocalSourceUploadFolder, folder + "/gone");
    store->setString(sPrefLocalMasterMirrorSiteFolder, existing);
    store->setString(sPrefGlvHiResAlternatePath1, existing);

    selectTab(2);
    EXPECT_FALSE(store->boolForKey(sPrefIsValidLocalSourceUploadFolder));
    EXPECT_TRUE(store->boolForKey(sPrefIsValidLocalMasterMirrorSiteFolder));
    EXPECT_TRUE(isRed(source));
    EXPECT_FALSE(isRed(mirror));
    EXPECT_TRUE(isRed(alternate)) << "its tab was not shown yet";
    selectTab(3);
    EXPECT_FALSE(isRed(alternate));

    // Flags written on another thread recolour the fields on this one.
    ASSERT_TRUE(runOnWorker([&] {
        store->setBool(sPrefIsValidLocalSourceUploadFolder, true);
        store->setBool(sPrefIsValidLocalMasterMirrorSiteFolder, false);
    }));
    EXPECT_TRUE(waitUntil([&] { return !isRed(source) && isRed(mirror); }));
    // A new source path keeps the colour of its flag (a path read as a flag would be red).
    store->setString(sPrefLocalSourceUploadFolder, existing);
    EXPECT_FALSE(isRed(source));
}

TEST_F(SettingsWindow, EditsReachTheSettingsFileAndChangesMadeElsewhereShow) {
    auto* login = find<QLineEdit>("ibLoginName");
    auto* password = find<QLineEdit>("ibLoginPassword");
    login->setFocus();
    for (const char c : QByteArray("demo")) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A + (c - 'a'), Qt::NoModifier, QString(QChar(c)));
        QApplication::sendEvent(login, &press);
    }
    find<QCheckBox>("ibAutoSynchronize")->click();
    EXPECT_EQ(store->stringForKey(sUserLoginName), "demo");
    EXPECT_EQ(find<QLabel>("ibLoginSite")->text(), "http://demo.kivo.example");
    EXPECT_TRUE(waitUntil([&] {
        const auto saved = plist::readDictionaryFile(store->path());
        return saved && saved->value(sUserLoginName) == "demo" &&
               saved->value(sPrefAutoSynchronize).toBool();
    })) << "the store writes its file shortly after an edit";

    ASSERT_TRUE(runOnWorker([&] {
        store->setString(sPrefUserEnteredEventName, " Spring Gala ");
        store->setString(sUserLoginPassword, "s3cret");
        store->setDouble(sPrefSecondsBetweenScans, 45);
    }));
    EXPECT_TRUE(
        waitUntil([&] { return find<QLineEdit>("ibEventName")->text() == " Spring Gala "; }));
    EXPECT_EQ(find<QLabel>("ibEventNameShown")->text(), "[ Spring Gala ]");
    EXPECT_EQ(find<QDoubleSpinBox>("ibSecondsBetweenScans")->value(), 45.0);
    EXPECT_EQ(password->text(), "s3cret");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_NE(password->displayText(), "s3cret");
}

TEST_F(SettingsWindow, SavingAndLoadingThroughThePanels) {
    store->setString(sUserLoginName, "saved");
    answerPath = folder + "/mysettings";
    controller->ibSavePrefToFile(find<QPushButton>("ibSavePrefToFile"));
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().title, "SavePanel");
    EXPECT_EQ(requests.back().message, "Saving the Current Preferences to File...");
    const auto saved = plist::readDictionaryFile(folder + "/mysettings.plist");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value(sUserLoginName), "saved");

    store->setString(sUserLoginName, "changed");
    answerPath = folder + "/mysettings.plist";
    controller->ibLoadPrefFromFile(find<QPushButton>("ibLoadPrefFromFile"));
    EXPECT_EQ(requests.back().message, "Please Choose A Preference File...");
    EXPECT_EQ(find<QLineEdit>("ibLoginName")->text(), "saved");

    // A file that is not a settings file: nothing loaded, and the window says so.
    ASSERT_TRUE(writeFile(folder + "/notes.txt", "hello"));
    answerPath = folder + "/notes.txt";
    controller->ibLoadPrefFromFile(find<QPushButton>("ibLoadPrefFromFile"));
    EXPECT_TRUE(find<QLabel>("ibSettingsStatus")->text().contains("notes.txt"));
    EXPECT_EQ(store->stringForKey(sUserLoginName), "saved");
}

TEST_F(SettingsWindow, EveryTabFitsASmallScreenWithNothingCut) {
    const QString event = "Spring Gala at the Grand Harbour Hotel";
    const QString disk = makeTempFolder("disk") + "/Event Disk 2026/" + event;
    const QString source = disk + "/capture/incoming", mirror = disk + "/uploaded";
    ASSERT_TRUE(QDir().mkpath(source) && QDir().mkpath(mirror));
    Preferences::setupFactoryDefaults();
    actions.version = bundle::infoValue("CFBundleShortVersionString").toString();
    store->setString(sUserLoginName, "demo");
    store->setString(sUserLoginPassword, "s3cret");
    store->setString(sPrefLocalSourceUploadFolder, source);
    store->setString(sPrefLocalMasterMirrorSiteFolder, mirror);
    store->setString(sPrefGlvHiResAlternatePath1, mirror);
    store->setString(sPrefUserEnteredEventName, event);
    store->setBool(sPrefDoCheckOrders, true);
    // Built again so that its fields start from the factory defaults.
    controller = std::make_unique<SettingsWindowController>(&mainWindow, &actions);
    controller->showAsWindow();
    controller->forceLockedIcon(1);
    QWidget* panel = controller->panel();
    QTabWidget* tabs = controller->tabView();
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        const QStringList clipped = clippedTexts(panel);
        EXPECT_TRUE(clipped.isEmpty())
            << tabs->tabText(i).toStdString() << ": " << clipped.join(", ").toStdString();
        const QString name =
            tabs->tabText(i).toLower().replace(QRegularExpression("[^a-z0-9-]+"), "-");
        saveScreenshot(panel, QString("settings-%1-%2.png").arg(i + 1).arg(name));
    }
    EXPECT_LE(panel->width(), kSmallScreen.width());
    EXPECT_LE(panel->height(), kSmallScreen.height());
}

// The pipeline's side: opening the settings during an upload.
class SettingsDisplay : public RecordingDisplay {
public:
    SettingsPanel* panel = nullptr;
    QObject* button = nullptr;
    bool hasLoginPanel() const override { return panel; }
    SettingsPanel* loginPanel() const override { return panel; }
    QObject* openPrefButtonObject() const override { return button; }
};

class SettingsDuringUpload : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        prefs = new QPushButton("Settings…", &mainWindow);
        mainWindow.show();
        settings = std::make_unique<SettingsWindowController>(&mainWindow, controller.get());
        settingsDisplay.panel = settings.get();
        settingsDisplay.button = prefs;
        controller->setStatusDisplay(&settingsDisplay);
    }
    void TearDown() override {
        settings.reset();
        PipelineTest::TearDown();
    }
    QWidget mainWindow;
    QPushButton* prefs = nullptr;
    SettingsDisplay settingsDisplay;
    std::unique_ptr<SettingsWindowController> settings;
};

TEST_F(SettingsDuringUpload, TheSheetWaitsForTheCurrentItemAndClosingItResumes) {
    store->setBool(sPrefAutoSynchronize, true);
    controller->doSetupRetriggerTimer();
    controller->setStartedUploadProcess(true);

    controller->ibClickedOnOpenPref(prefs);
    EXPECT_EQ(settingsDisplay.last(StatusField::FTPCallbackStatus)->text,
              "Will Open Pref Panel After Current Item is Finished...");
    EXPECT_FALSE(prefs->isEnabled());
    EXPECT_TRUE(gWantsToHaltProcess);
    waitUntil([] { return false; }, 200);
    EXPECT_FALSE(settings->isShown()) << "not while the item uploads";

    // The item is done: the halt takes effect, then the clean-up ends the upload.
    controller->setDidHaltProcess(true);
    controller->setStartedUploadProcess(false);
    ASSERT_TRUE(waitUntil([&] { return settings->isShown(); }, 5000));
    EXPECT_TRUE(settings->displayAsSheet());
    EXPECT_EQ(settings->panel()->windowModality(), Qt::WindowModal);
    EXPECT_EQ(settings->panel()->parentWidget(), &mainWindow);
    EXPECT_TRUE(prefs->isEnabled());
    EXPECT_FALSE(controller->hasRetriggerTimer());
    EXPECT_TRUE(scans.empty());

    // Escape cannot leave the work paused: it asks to save and close like the button.
    settings->forceLockedIcon(1);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(settings->panel(), &escape);
    EXPECT_FALSE(settings->isShown());
    EXPECT_FALSE(settings->panel()->findChild<QToolButton*>("ibLockButton")->isChecked());
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_EQ(scans.size(), 1u) << "the work resumed with a pass";

    // Opened with no sender (as at start-up): a free window, and closing it resumes nothing.
    controller->ibClickedOnOpenPref(nullptr);
    EXPECT_TRUE(settings->isShown());
    EXPECT_FALSE(settings->displayAsSheet());
    EXPECT_EQ(settings->panel()->windowModality(), Qt::NonModal);
    settings->panel()->findChild<QPushButton*>("ibSaveAndCloseButton")->click();
    EXPECT_FALSE(settings->isShown());
    EXPECT_EQ(scans.size(), 1u);
}

} // namespace
