#include "ui/SettingsWindowController.h"

#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/Volumes.h"
#include "settings/Preferences.h"
#include "settings/SettingsFile.h"
#include "settings/ValueTransformers.h"
#include "ui/AlertPanel.h"
#include "ui/PrefBinding.h"
#include "ui/newNSPanel.h"
#include "ui_SettingsWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTabWidget>
#include <mutex>

namespace kivo {

namespace {

const QString kTable = QStringLiteral("myLocalDictionary");
const QString kSavePanelTitle = QStringLiteral("SavePanel");
constexpr int kLockTag = 98;
const QString kSoundType = QStringLiteral("wav");

int tagOf(const QObject* object) {
    const QVariant tag = object->property("tag");
    return tag.isValid() ? tag.toInt() : 0;
}

bool isControl(const QWidget* w) {
    return w->inherits("QAbstractButton") || w->inherits("QLineEdit") ||
           w->inherits("QAbstractSpinBox") || w->inherits("QComboBox") ||
           w->inherits("QAbstractSlider") || w->inherits("QLabel") || w->inherits("QTextEdit") ||
           w->inherits("QPlainTextEdit");
}

void setTextColour(QWidget* w, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = w->palette();
    palette.setColor(role, colour);
    w->setPalette(palette);
}

QString desktopFolder() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QFileInfo(desktop).isDir() ? desktop : bundle::homeFolder();
}

QString folderOf(const QString& key) {
    return bundle::expandTilde(Preferences::store().stringForKey(key).value_or(QString()));
}

bool folderExists(const QString& key) {
    const QString path = folderOf(key);
    return !path.isEmpty() && QFileInfo(path).isDir();
}

// The prompt of an open panel names what is selected.
QString promptFor(const QString& selected) {
    return selected.isEmpty() ? QStringLiteral("Select")
                              : QStringLiteral("Choose \"%1\"").arg(QFileInfo(selected).fileName());
}

// A save panel that applies the suffix rule to the typed name before it asks about replacing
// a file, so the question is about the file that will be written.
class SaveDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    void accept() override {
        const QStringList files = selectedFiles();
        if (files.size() == 1) {
            const QFileInfo typed(files.first());
            const QString name = settingsFileNameForEnteredName(typed.fileName());
            if (name != typed.fileName())
                selectFile(typed.dir().filePath(name));
            if (!isValidSettingsFileName(name))
                return;
        }
        QFileDialog::accept();
    }
};

void runFileDialog(const PanelRequest& r, std::function<void(int, const QString&)> done) {
    QFileDialog* dialog = r.kind == PanelRequest::Kind::SaveFile
                              ? new SaveDialog(r.parent, r.message, r.directory)
                              : new QFileDialog(r.parent, r.message, r.directory);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(r.title.isEmpty() ? QStringLiteral("OpenPanel") : r.title);
    // The same panel everywhere, with the options below honoured.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setWindowModality(r.parent ? Qt::WindowModal : Qt::ApplicationModal);
    switch (r.kind) {
    case PanelRequest::Kind::ChooseFolder:
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
        break;
    case PanelRequest::Kind::ChooseFile:
        dialog->setFileMode(QFileDialog::ExistingFile);
        break;
    case PanelRequest::Kind::SaveFile:
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
        break;
    }
    if (!r.canCreateDirectories && r.kind != PanelRequest::Kind::SaveFile)
        dialog->setOption(QFileDialog::ReadOnly);
    if (!r.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, r.prompt);
    if (r.kind != PanelRequest::Kind::SaveFile) {
        const QPointer<QFileDialog> d(dialog);
        QObject::connect(dialog, &QFileDialog::currentChanged, dialog, [d](const QString& path) {
            if (d)
                d->setLabelText(QFileDialog::Accept, promptFor(path));
        });
        QObject::connect(dialog, &QFileDialog::directoryEntered, dialog, [d](const QString&) {
            if (d && !d->selectedFiles().isEmpty())
                d->setLabelText(QFileDialog::Accept, promptFor(d->selectedFiles().last()));
        });
    }
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done](int result) {
        const QStringList files = dialog->selectedFiles();
        done(result == QDialog::Accepted ? 1 : 0, files.isEmpty() ? QString() : files.last());
    });
    dialog->open();
}

} // namespace

// ---- free functions -----------------------------------------------------------------------

void viewSetEnabled(QWidget* view, bool enabled) {
    if (!view)
        return;
    for (QObject* child : view->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w->isWindow())
            continue;
        if (!isControl(w)) {
            viewSetEnabled(w, enabled);
            continue;
        }
        const int tag = tagOf(w);
        if (tag == -99)
            continue;
        if (w->inherits("QAbstractButton") &&
            w->property("imageName")
                    .toString()
                    .compare(QLatin1String("DownloadReveal"), Qt::CaseInsensitive) == 0)
            continue;
        w->setEnabled(enabled);
        if (tag == -100)
            setTextColour(w, QPalette::WindowText, enabled ? QColor(Qt::black) : QColor(Qt::gray));
    }
}

QWidget* findSubView(QWidget* view, const QString& title) {
    if (!view)
        return nullptr;
    for (QObject* child : view->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w)
            continue;
        // On screen a box carries a readable title; its name or "boxTitle" is what code uses.
        for (const QString& candidate :
             {w->objectName(), w->property("boxTitle").toString(), w->property("title").toString()})
            if (!candidate.isEmpty() && candidate.compare(title, Qt::CaseInsensitive) == 0)
                return w;
    }
    return nullptr;
}

void doPlaySound(const QString& name, const QString& type) {
    const QString resource = bundle::pathForResource(name, type);
    if (resource.isEmpty()) {
        consoleLine(QStringLiteral("doPlaySound: no sound resource [%1.%2]").arg(name, type));
        return;
    }
    static std::once_flag toldNoDevice;
    QString player;
    for (const char* candidate : {"paplay", "aplay"}) {
        player = QStandardPaths::findExecutable(QLatin1String(candidate));
        if (!player.isEmpty())
            break;
    }
    if (player.isEmpty()) {
        std::call_once(toldNoDevice, [] {
            consoleLine(QStringLiteral("doPlaySound: no sound device (neither paplay nor aplay "
                                       "is installed); sounds are not played"));
        });
        return;
    }
    // The players read files, not compiled-in resources: each sound is copied out once.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                           QStringLiteral("/KivoUploader/sounds");
    const QString file = folder + QLatin1Char('/') + name + QLatin1Char('.') + type;
    if (!QFileInfo::exists(file) && (!QDir().mkpath(folder) || !QFile::copy(resource, file))) {
        consoleLine(QStringLiteral("doPlaySound: cannot copy [%1] out to play it").arg(resource));
        return;
    }
    auto* process = new QProcess(QCoreApplication::instance());
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, name](QProcess::ProcessError) {
                         consoleLine(QStringLiteral("doPlaySound: [%1] did not play: %2")
                                         .arg(name, process->errorString()));
                         process->deleteLater();
                     });
    process->start(player, {file});
}

// ---- the window ---------------------------------------------------------------------------

SettingsWindowController::SettingsWindowController(QWidget* mainWindow, AppActions* actions)
    : fMainWindow(mainWindow), fActions(actions), fUi(std::make_unique<Ui::SettingsWindow>()),
      fPanel(new newNSPanel(mainWindow, Qt::Dialog)),
      fBinding(new PrefBinding(Preferences::store(), this)), fPanelRunner(runFileDialog) {
    fUi->setupUi(fPanel);
    fPanel->installEventFilter(this);

    auto* group = fUi->ibSearchPathMethod;
    group->setId(fUi->ibSearchNowhere, 0);
    group->setId(fUi->ibSearchOriginalPath, 1);
    group->setId(fUi->ibSearchAlternatePath, 2);
    group->setId(fUi->ibSearchBoth, 3);
    bindControls();

    connect(fUi->ibLockButton, &QToolButton::clicked, this,
            [this] { ibClickedOnLockIcon(fUi->ibLockButton); });
    connect(fUi->ibTabView, &QTabWidget::currentChanged, this,
            &SettingsWindowController::tabViewWillSelect);
    const auto onClick = [this](QAbstractButton* button, auto handler) {
        connect(button, &QAbstractButton::clicked, this,
                [this, button, handler] { (this->*handler)(button); });
    };
    onClick(fUi->ibChangeLocalSourceFolder,
            &SettingsWindowController::ibClickedOnChangeLocalSourceFolder);
    onClick(fUi->ibChangeLocalMirrorSiteFolder,
            &SettingsWindowController::ibClickedOnChangeLocalMirrorSiteFolder);
    onClick(fUi->ibChangeGlvSearchPath1,
            &SettingsWindowController::ibClickedOnChangeGlvSearchPath1);
    onClick(fUi->ibSavePrefToFile, &SettingsWindowController::ibSavePrefToFile);
    onClick(fUi->ibLoadPrefFromFile, &SettingsWindowController::ibLoadPrefFromFile);
    const auto forward = [this](QAbstractButton* button, void (AppActions::*action)(QObject*)) {
        connect(button, &QAbstractButton::clicked, this, [this, button, action] {
            if (fActions)
                (fActions->*action)(button);
        });
    };
    forward(fUi->ibQuitButton, &AppActions::ibClickedOnQuit);
    forward(fUi->ibSaveAndCloseButton, &AppActions::ibClickedOnSaveAndClose);
    forward(fUi->ibRevealFinder1, &AppActions::ibClickedOnRevealFinder1);
    forward(fUi->ibRevealFinder2, &AppActions::ibClickedOnRevealFinder2);
    forward(fUi->ibRevealFinder3, &AppActions::ibClickedOnRevealFinder3);

    // The lock button starts closed; the controls follow it from the start.
    viewSetEnabled(fUi->ibChangeablePrefView, false);
    viewSetEnabled(fUi->ibChangeablePref2View, false);
    viewSetEnabled(fUi->ibChangeablePref3View, false);
}

SettingsWindowController::~SettingsWindowController() {
    // Observers first: nothing may reach the controls once they start to go.
    delete fBinding;
    fBinding = nullptr;
    delete fPanel.data();
}

void SettingsWindowController::bindControls() {
    PrefBinding& b = *fBinding;
    Ui::SettingsWindow& ui = *fUi;
    b.bindText(ui.ibLoginName, sUserLoginName);
    b.bindText(ui.ibLoginPassword, sUserLoginPassword);
    b.bindDisplay(ui.ibLoginSite, sUserLoginName, kLoginNameToFtpName);
    b.bindText(ui.ibMainWindowLocalSourcePath, sPrefLocalSourceUploadFolder);
    b.bindText(ui.ibMainWindowLocalMirrorSitePath, sPrefLocalMasterMirrorSiteFolder);
    b.bindText(ui.ibGlvHiResAlternatePath1, sPrefGlvHiResAlternatePath1);
    b.bindCheck(ui.ibDoCheckOrders, sPrefDoCheckOrders);
    b.bindReal(ui.ibMinutesForCheckOrders, sPrefMinutesForCheckOrders);
    b.bindText(ui.ibCheckHiResOrderFuseAction, sPrefCheckHiResOrderFuseAction);
    b.bindText(ui.ibUploadHiResOrderFuseAction, sPrefUploadHiResOrderFuseAction);
    b.bindChoice(ui.ibSearchPathMethod, sPrefSearchPathMethodTag);
    b.bindCheck(ui.ibAllowRootVolumeSelections, sPrefAllowRootVolumeSelections);
    b.bindCheck(ui.ibUseEventName, sPrefUseEventName);
    b.bindText(ui.ibEventName, sPrefUserEnteredEventName);
    b.bindDisplay(ui.ibEventNameShown, sPrefUserEnteredEventName, kShowSpacesTransformer);
    b.bindText(ui.ibGlvURL, sPrefGlvURL);
    b.bindText(ui.ibGlvFuseAction, sPrefGlvFuseAction);
    b.bindText(ui.ibMetaData, sPrefMetaData);
    b.bindReal(ui.ibUploadTimeOut, sPrefUploadTimeOut);
    b.bindCheck(ui.ibFormBaseIdFromFileName, sPrefFormBaseIdFromFileName);
    b.bindCheck(ui.ibAutoSynchronize, sPrefAutoSynchronize);
    b.bindReal(ui.ibSecondsBetweenScans, sPrefSecondsBetweenScans);
    b.bindCheck(ui.ibDoUseDeleteOldPhotos, sPrefUseDoDeleteOldPhotos);
    b.bindInteger(ui.ibDaysOldBeforeDeleting, sPrefDaysOldBeforeDeleting);
    b.bindCheck(ui.ibDeleteEmptyFtpFolders, sPrefDeleteEmptyFtpFolders);
    b.bindInteger(ui.ibDaysToSaveLogs, sPrefs_DaysToSaveLogs);
    b.bindCheck(ui.ibUploadMovie, sPrefUploadMovie);
    b.bindCheck(ui.ibShowPreviewWhenUploading, sPrefShowPreviewWhenUploading);
    b.bindCheck(ui.ibShowWindowAtStartup, sPrefShowWindowAtStartup);
    b.bindCheck(ui.ibAutoStartUploadAtStartup, sPrefAutoStartUploadAtStartup);

    // Path fields are coloured by their validity flags. The source field follows its flag
    // also when the path itself changes: read as a flag, a path would always mean red.
    const QPointer<QLineEdit> source(ui.ibMainWindowLocalSourcePath);
    const QPointer<QLineEdit> mirror(ui.ibMainWindowLocalMirrorSitePath);
    const QPointer<QLineEdit> alternate(ui.ibGlvHiResAlternatePath1);
    for (const QString& key : {sPrefLocalSourceUploadFolder, sPrefIsValidLocalSourceUploadFolder})
        b.observe(key,
                  [this, source] { colourPathField(source, sPrefIsValidLocalSourceUploadFolder); });
    b.observe(sPrefIsValidLocalMasterMirrorSiteFolder,
              [this, mirror] { colourPathField(mirror, sPrefIsValidLocalMasterMirrorSiteFolder); });
    b.observe(sPrefIsValidGlvHiResAlternatePath1, [this, alternate] {
        colourPathField(alternate, sPrefIsValidGlvHiResAlternatePath1);
    });
    // The tooltips repeat the paths, which may be too long for the fields.
    const std::pair<QPointer<QLineEdit>, QString> tips[] = {
        {source, sPrefLocalSourceUploadFolder},
        {mirror, sPrefLocalMasterMirrorSiteFolder},
        {alternate, sPrefGlvHiResAlternatePath1}};
    for (const auto& [field, key] : tips)
        b.observe(key, [field, key] {
            if (field)
                field->setToolTip(Preferences::store().stringForKey(key).value_or(QString()));
        });
    b.observe(sPrefDoCheckOrders, [this] { updateOrdersBox(); });
}

void SettingsWindowController::colourPathField(QLineEdit* field, const QString& validityKey) {
    if (!field)
        return;
    const bool valid = Preferences::store().boolForKey(validityKey);
    setTextColour(field, QPalette::Text, valid ? QColor(Qt::black) : QColor(Qt::red));
}

bool SettingsWindowController::isUnlocked() const {
    return fUi->ibLockButton->isChecked();
}

void SettingsWindowController::updateOrdersBox() {
    QWidget* box = findSubView(fUi->ibChangeablePref3View, QStringLiteral("nsbox1"));
    // A closed lock keeps the box closed too, whatever a script turns on.
    if (box)
        viewSetEnabled(box, isUnlocked() && Preferences::getPrefDoCheckOrders());
}

// ---- presentation -------------------------------------------------------------------------

void SettingsWindowController::beginSheet(QObject* parentButton, const QVariant& context) {
    auto* buttonWidget = qobject_cast<QWidget*>(parentButton);
    QWidget* parent = buttonWidget ? buttonWidget->window() : fMainWindow.data();
    // Modality and parent only change while the panel is hidden.
    fPanel->hide();
    if (parent && parent != fPanel && fPanel->parentWidget() != parent)
        fPanel->setParent(parent, fPanel->windowFlags());
    fPanel->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    fPanel->setDisplayAsSheet(true);
    fSheetContext = context;
    fillVersionText();
    fPanel->show();
    fPanel->raise();
    fPanel->activateWindow();
}

void SettingsWindowController::showAsWindow() {
    if (fPanel->windowModality() != Qt::NonModal) {
        fPanel->hide();
        fPanel->setWindowModality(Qt::NonModal);
    }
    fPanel->setDisplayAsSheet(false);
    fillVersionText();
    fPanel->show();
    fPanel->raise();
    fPanel->activateWindow();
}

bool SettingsWindowController::isShown() const {
    return fPanel->isVisible();
}

bool SettingsWindowController::displayAsSheet() const {
    return fPanel->displayAsSheet();
}

void SettingsWindowController::endSheet(int returnCode) {
    if (!fPanel->isVisible() || !fPanel->displayAsSheet())
        return;
    fPanel->hide();
    const QVariant context = fSheetContext;
    fSheetContext = QVariant();
    if (fActions)
        fActions->sheetDidEnd(returnCode, context);
}

void SettingsWindowController::close() {
    fPanel->hide();
}

void SettingsWindowController::selectFirstTab() {
    fUi->ibTabView->setCurrentIndex(0);
}

void SettingsWindowController::fillVersionText() {
    if (fActions)
        fUi->ibVersionText->setText(
            QStringLiteral("Version: %1").arg(fActions->getAppVersionString()));
}

bool SettingsWindowController::eventFilter(QObject* watched, QEvent* event) {
    // Only these two are looked at: the panel is not touched while it is being destroyed.
    const bool escape = event->type() == QEvent::KeyPress &&
                        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
    if (event->type() != QEvent::Close && !escape)
        return QObject::eventFilter(watched, event);
    if (watched != fPanel.data() || !fPanel->displayAsSheet() || !fPanel->isVisible())
        return QObject::eventFilter(watched, event);
    // A sheet ends through its buttons only: closing it any other way would leave the work
    // paused. The window's close box and Escape ask to save and close instead.
    event->ignore();
    if (fActions)
        fActions->ibClickedOnSaveAndClose(fPanel);
    return true;
}

// ---- lock ---------------------------------------------------------------------------------

void SettingsWindowController::ibClickedOnLockIcon() {
    ibClickedOnLockIcon(fUi->ibLockButton);
}

void SettingsWindowController::ibClickedOnLockIcon(QObject* sender) {
    if (!sender || tagOf(sender) != kLockTag || !fPanel)
        return;
    int state = 0;
    if (auto* box = qobject_cast<QCheckBox*>(sender); box && box->isTristate())
        state = box->checkState() == Qt::PartiallyChecked ? -1 : box->isChecked() ? 1 : 0;
    else if (auto* button = qobject_cast<QAbstractButton*>(sender))
        state = button->isChecked() ? 1 : 0;
    if (state == 0) {
        doPlaySound(QStringLiteral("lockClosing"), kSoundType);
        if (fUi->ibChangeablePrefView) {
            viewSetEnabled(fUi->ibChangeablePrefView, false);
            viewSetEnabled(fUi->ibChangeablePref2View, false);
            viewSetEnabled(fUi->ibChangeablePref3View, false);
        }
    } else if (state == 1) {
        doPlaySound(QStringLiteral("lockOpening"), kSoundType);
        viewSetEnabled(fUi->ibChangeablePrefView, true);
        viewSetEnabled(fUi->ibChangeablePref2View, true);
        viewSetEnabled(fUi->ibChangeablePref3View, true);
        if (!Preferences::getPrefDoCheckOrders())
            viewSetEnabled(findSubView(fUi->ibChangeablePref3View, QStringLiteral("nsbox1")),
                           false);
    } else {
        return;
    }
    fUi->ibLockButton->setText(state == 1 ? QStringLiteral("Unlocked") : QStringLiteral("Locked"));
    fUi->ibLockText->setText(state == 1 ? QStringLiteral("Click the lock to prevent changes.")
                                        : QStringLiteral("Click the lock to make changes."));
}

void SettingsWindowController::forceLockedIcon(int state) {
    QAbstractButton* lock = nullptr;
    for (auto* button : fPanel->findChildren<QAbstractButton*>()) {
        if (tagOf(button) == kLockTag) {
            lock = button;
            break;
        }
    }
    if (!lock)
        return;
    const int current = lock->isChecked() ? 1 : 0;
    if (current == state)
        return;
    lock->setChecked(current != 1);
    ibClickedOnLockIcon(lock);
}

// ---- folders ------------------------------------------------------------------------------

void SettingsWindowController::ibClickedOnChangeLocalSourceFolder(QObject* sender) {
    chooseFolder(sender, sPrefLocalSourceUploadFolder,
                 QStringLiteral("Please Select Your LOCAL SOURCE (To Be Uploaded) Folder"), false);
}

void SettingsWindowController::ibClickedOnChangeLocalMirrorSiteFolder(QObject* sender) {
    chooseFolder(sender, sPrefLocalMasterMirrorSiteFolder,
                 QStringLiteral("Please Select Your LOCAL MIRROR Site (Upload Completed) Folder"),
                 true);
}

void SettingsWindowController::ibClickedOnChangeGlvSearchPath1(QObject* sender) {
    chooseFolder(sender, sPrefGlvHiResAlternatePath1,
                 QStringLiteral("Please Select Your HiRes Alternate Search Path..."), false);
}

void SettingsWindowController::chooseFolder(QObject* sender, const QString& key,
                                            const QString& message, bool canCreateDirectories) {
    if (!sender)
        return;
    if (fActions && fActions->uploadProcessStarted()) {
        myNSRunAlertPanel(kTable, QStringLiteral("NSAlertWindow_9003"));
        return;
    }
    PanelRequest request;
    request.kind = PanelRequest::Kind::ChooseFolder;
    request.message = message;
    request.prompt = QStringLiteral("Select");
    request.directory = folderOf(key);
    request.canCreateDirectories = canCreateDirectories;
    request.parent = windowOf(sender);
    runPanel(request,
             [this, key](int code, const QString& path) { openPanelDidEnd(code, path, key); });
}

void SettingsWindowController::openPanelDidEnd(int returnCode, const QString& path,
                                               const QString& contextKey) {
    if (returnCode != 1) {
        consoleLine(QStringLiteral("openPanelDidEnd: Cancelled"));
        return;
    }
    if (contextKey.isEmpty() || path.isEmpty())
        return;
    if (contextKey == sPrefGlvHiResAlternatePath1) {
        const bool root = isRootVolume(path);
        QWidget* keyWindow = QApplication::activeWindow() ? QApplication::activeWindow() : fPanel;
        if (root && Preferences::getPrefAllowRootVolumeSelections()) {
            myNSRunAlertPanelOnWindow(this, keyWindow, kTable,
                                      QStringLiteral("NSAlertWindow_9009"));
        } else if (root) {
            systemBeep();
            myNSRunAlertPanelOnWindow(this, keyWindow, kTable,
                                      QStringLiteral("NSAlertWindow_9008"));
            return;
        }
    }
    acceptFolder(contextKey, path);
}

void SettingsWindowController::acceptFolder(const QString& key, const QString& path) {
    QLineEdit* field = nullptr;
    QString validityKey;
    if (key == sPrefGlvHiResAlternatePath1) {
        field = fUi->ibGlvHiResAlternatePath1;
        validityKey = sPrefIsValidGlvHiResAlternatePath1;
    } else if (key == sPrefLocalMasterMirrorSiteFolder) {
        field = fUi->ibMainWindowLocalMirrorSitePath;
        validityKey = sPrefIsValidLocalMasterMirrorSiteFolder;
    } else if (key == sPrefLocalSourceUploadFolder) {
        field = fUi->ibMainWindowLocalSourcePath;
        validityKey = sPrefIsValidLocalSourceUploadFolder;
    } else {
        return;
    }
    Defaults& store = Preferences::store();
    store.setString(key, path);
    field->setToolTip(path);
    store.setBool(validityKey, true);
}

void SettingsWindowController::tabViewWillSelect(int index) {
    QWidget* page = fUi->ibTabView->widget(index);
    if (!page)
        return;
    bool ok = false;
    const int identifier = page->property("identifier").toString().toInt(&ok);
    if (!ok)
        return;
    Defaults& store = Preferences::store();
    if (identifier == 2) {
        store.setBool(sPrefIsValidLocalSourceUploadFolder,
                      folderExists(sPrefLocalSourceUploadFolder));
        store.setBool(sPrefIsValidLocalMasterMirrorSiteFolder,
                      folderExists(sPrefLocalMasterMirrorSiteFolder));
    } else if (identifier == 3) {
        store.setBool(sPrefIsValidGlvHiResAlternatePath1,
                      folderExists(sPrefGlvHiResAlternatePath1));
    }
}

// ---- settings files -----------------------------------------------------------------------

void SettingsWindowController::ibSavePrefToFile(QObject* sender) {
    if (!sender)
        return;
    PanelRequest request;
    request.kind = PanelRequest::Kind::SaveFile;
    request.title = kSavePanelTitle;
    request.message = QStringLiteral("Saving the Current Preferences to File...");
    request.directory = desktopFolder();
    request.canCreateDirectories = true;
    request.parent = windowOf(sender);
    runPanel(request,
             [this](int code, const QString& path) { savePrefToFilePanelDidEnd(code, path); });
}

void SettingsWindowController::savePrefToFilePanelDidEnd(int returnCode, const QString& path) {
    if (returnCode != 1) {
        consoleLine(QStringLiteral("savePrefToFilePanelDidEnd: Cancelled"));
        return;
    }
    if (path.isEmpty())
        return;
    const QFileInfo typed(path);
    const QString target = typed.dir().filePath(settingsFileNameForEnteredName(typed.fileName()));
    const SettingsFileResult result = savePrefsToFile(Preferences::store(), target);
    showStatus(result.ok() ? QString() : result.error);
}

void SettingsWindowController::ibLoadPrefFromFile(QObject* sender) {
    if (!sender)
        return;
    PanelRequest request;
    request.kind = PanelRequest::Kind::ChooseFile;
    request.message = QStringLiteral("Please Choose A Preference File...");
    request.prompt = QStringLiteral("Select");
    request.directory = desktopFolder();
    request.parent = windowOf(sender);
    runPanel(request,
             [this](int code, const QString& path) { openPanelForLoadPrefDidEnd(code, path); });
}

void SettingsWindowController::openPanelForLoadPrefDidEnd(int returnCode, const QString& path) {
    if (returnCode != 1) {
        consoleLine(QStringLiteral("openPanelForLoadPrefDidEnd: Cancelled"));
        return;
    }
    if (path.isEmpty())
        return;
    const SettingsFileResult result = loadPrefsFromFile(Preferences::store(), path);
    showStatus(result.ok() ? QString() : result.error);
}

void SettingsWindowController::showStatus(const QString& text) {
    setTextColour(fUi->ibSettingsStatus, QPalette::WindowText, QColor(Qt::red));
    fUi->ibSettingsStatus->setText(text);
}

// ---- panels -------------------------------------------------------------------------------

void SettingsWindowController::setPanelRunner(PanelRunner runner) {
    fPanelRunner = runner ? std::move(runner) : PanelRunner(runFileDialog);
}

void SettingsWindowController::runPanel(const PanelRequest& request,
                                        std::function<void(int, const QString&)> done) {
    const QPointer<SettingsWindowController> self(this);
    fPanelRunner(request, [self, done](int code, const QString& path) {
        if (self)
            done(code, path);
    });
}

// Panels go on the window of the control that asked for them.
QWidget* SettingsWindowController::windowOf(QObject* sender) const {
    auto* widget = qobject_cast<QWidget*>(sender);
    return widget ? widget->window() : fPanel.data();
}

newNSPanel* SettingsWindowController::panel() const {
    return fPanel;
}

QTabWidget* SettingsWindowController::tabView() const {
    return fUi->ibTabView;
}

QWidget* SettingsWindowController::changeableView(int n) const {
    switch (n) {
    case 1:
        return fUi->ibChangeablePrefView;
    case 2:
        return fUi->ibChangeablePref2View;
    case 3:
        return fUi->ibChangeablePref3View;
    default:
        return nullptr;
    }
}

} // namespace kivo
