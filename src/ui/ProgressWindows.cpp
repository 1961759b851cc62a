#include "ui/ProgressWindows.h"

#include "platform/Console.h"
#include "platform/MainThread.h"
#include "ui/FieldUpdate.h"
#include "ui/ImageView.h"
#include "ui_MainStatusWindow.h"
#include "ui_maintenanceWindow.h"

#include <QLabel>
#include <QMutexLocker>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

namespace kivo {

namespace {

template <class T> QPointer<T> outlet(QWidget* window, const char* name) {
    return window ? window->findChild<T*>(QLatin1String(name)) : nullptr;
}

QWidget* loadMaintenanceWindow() {
    auto* window = new QWidget;
    Ui::maintenanceWindow ui;
    ui.setupUi(window);
    return window;
}

QWidget* loadUploadWindow() {
    auto* window = new QWidget;
    Ui::MainStatusWindow ui;
    ui.setupUi(window);
    // Nothing drives the busy indicator of this copy.
    ui.ibProgressBar->hide();
    return window;
}

} // namespace

// ---- myProgressWindowController

myProgressWindowController::myProgressWindowController(QWidget* window)
    : fWindow(window), fUtilFunctionName(outlet<QLabel>(window, "ibUtilFunctionName")),
      fUtilStatus(outlet<QLabel>(window, "ibUtilStatus")),
      fUtilProgressBar(outlet<QProgressBar>(window, "ibUtilProgressBar")) {}

myProgressWindowController::~myProgressWindowController() {
    releaseWindow();
}

QWidget* myProgressWindowController::window() const {
    return fWindow;
}
QLabel* myProgressWindowController::ibUtilFunctionName() const {
    return fUtilFunctionName;
}
QLabel* myProgressWindowController::ibUtilStatus() const {
    return fUtilStatus;
}
QProgressBar* myProgressWindowController::ibUtilProgressBar() const {
    return fUtilProgressBar;
}

void myProgressWindowController::releaseWindow() {
    const QPointer<QWidget> window = fWindow;
    fWindow.clear();
    if (!window)
        return;
    onMainThread([window] { delete window.data(); }, true);
}

void myProgressWindowController::awakeFromNib() {
    const auto report = [this](const QObject* object, const char* name) {
        if (!object)
            consoleLine(QStringLiteral("Inside %1 => awakeFromNib... %2 is not connected")
                            .arg(QLatin1String(className()), QLatin1String(name)));
    };
    report(fUtilFunctionName.data(), "ibUtilFunctionName");
    report(fUtilStatus.data(), "ibUtilStatus");
    report(fUtilProgressBar.data(), "ibUtilProgressBar");
}

void myProgressWindowController::ibUpdateProgressBar(const QString& yesOrNo) {
    detail::setBusyIndicator(fUtilProgressBar, yesOrNo);
}

void myProgressWindowController::ibUpdateNSTextField(QLabel* field, const QString& text, bool wait,
                                                     bool isError) {
    if (!field) {
        consoleLine(QStringLiteral("Inside %1 => %2... NIL NSTextField....")
                        .arg(QLatin1String(className()),
                             QLatin1String("ibUpdateNSTextField:withString:doWait:isError:")));
        return;
    }
    // Unlike the main window, a progress window shows its texts even while hidden.
    detail::setFieldText(field, text, wait, isError);
}

void myProgressWindowController::ibUpdateNSTextField(QLabel* field, const QString& text,
                                                     bool wait) {
    ibUpdateNSTextField(field, text, wait, false);
}

void myProgressWindowController::ibUpdateLine1TextField(const QString& text, bool wait) {
    ibUpdateNSTextField(fUtilFunctionName.data(), text, wait, false);
}

void myProgressWindowController::ibUpdateLine2TextField(const QString& text, bool wait) {
    ibUpdateNSTextField(fUtilStatus.data(), text, wait, false);
}

void myProgressWindowController::ibSetWindowTitle(const QString& title) {
    const QPointer<QWidget> window = fWindow;
    if (!window)
        return;
    onMainThread(
        [window, title] {
            if (window)
                window->setWindowTitle(title);
        },
        false);
}

void myProgressWindowController::show() {
    const QPointer<QWidget> window = fWindow;
    onMainThread(
        [window] {
            if (!window)
                return;
            window->show();
            window->raise();
        },
        true);
}

void myProgressWindowController::close() {
    const QPointer<QWidget> window = fWindow;
    onMainThread(
        [window] {
            if (window)
                window->close();
        },
        true);
}

// ---- maintenanceWindowController

maintenanceWindowController::maintenanceWindowController()
    : myProgressWindowController(loadMaintenanceWindow()) {}

std::unique_ptr<maintenanceWindowController> maintenanceWindowController::create() {
    std::unique_ptr<maintenanceWindowController> controller;
    onMainThread(
        [&] {
            controller = std::make_unique<maintenanceWindowController>();
            controller->awakeFromNib();
        },
        true);
    return controller;
}

// ---- uploadWindowController

uploadWindowController::uploadWindowController() : myProgressWindowController(loadUploadWindow()) {
    QWidget* w = window();
    fFileNameField = outlet<QLabel>(w, "ibFileNameField");
    fUploadFileStatusField = outlet<QLabel>(w, "ibUploadFileStatusField");
    fFTPCallbackStatusField = outlet<QLabel>(w, "ibFTPCallbackStatusField");
    fLoginName = outlet<QLabel>(w, "ibLoginName");
    fUploadMainPath = outlet<QLabel>(w, "ibUploadMainPath");
    fSourceFolderPath = outlet<QLabel>(w, "ibSourceFolderPath");
    fVersion = outlet<QLabel>(w, "ibVersion");
    fCopyright = outlet<QLabel>(w, "ibCopyright");
    fMacOSVersion = outlet<QLabel>(w, "ibMacOSVersion");
    fImageView = outlet<ImageView>(w, "ibImageView");
    fPauseResumeButton = outlet<QPushButton>(w, "ibPauseResumeButton");
    fOpenPrefButton = outlet<QPushButton>(w, "ibOpenPrefButton");

    // The window is the connections' context: it is destroyed (on the main thread) before
    // this controller, so no click can reach a half-destroyed controller.
    const auto wire = [this, w](const char* name,
                                void (uploadWindowController::*action)(QObject*)) {
        if (QPushButton* button = w ? w->findChild<QPushButton*>(QLatin1String(name)) : nullptr)
            QObject::connect(button, &QPushButton::clicked, w,
                             [this, button, action] { (this->*action)(button); });
    };
    wire("ibQuitButton", &uploadWindowController::ibClickedOnQuit);
    wire("ibPauseResumeButton", &uploadWindowController::ibClickedOnHalt);
    wire("ibOpenPrefButton", &uploadWindowController::ibClickedOnOpenPref);
    wire("ibSynchronizeButton", &uploadWindowController::ibUserClickedOnSynchronize);

    buildTextLabelDictionary();
}

uploadWindowController::~uploadWindowController() {
    releaseWindow();
}

std::unique_ptr<uploadWindowController> uploadWindowController::create(AppActions* appDelegate) {
    std::unique_ptr<uploadWindowController> controller;
    onMainThread(
        [&] {
            controller = std::make_unique<uploadWindowController>();
            controller->setAppDelegate(appDelegate);
            controller->awakeFromNib();
            controller->windowDidLoad();
        },
        true);
    return controller;
}

void uploadWindowController::buildTextLabelDictionary() {
    LabelDictionary dictionary;
    dictionary.insert(QStringLiteral("Version"), QStringLiteral("This is a new dictionary.."));
    const auto add = [&dictionary](const char* label, QObject* object) {
        if (object)
            dictionary.insert(QLatin1String(label), QPointer<QObject>(object));
    };
    add("ibUtilStatus", ibUtilStatus());
    add("ibFileNameField", fFileNameField);
    add("ibUploadFileStatusField", fUploadFileStatusField);
    add("ibFTPCallbackStatusField", fFTPCallbackStatusField);
    add("ibLoginName", fLoginName);
    add("ibUploadMainPath", fUploadMainPath);
    add("ibSourceFolderPath", fSourceFolderPath);
    add("ibImageView", fImageView);
    add("ibVersion", fVersion);
    add("ibCopyright", fCopyright);
    add("ibMacOSVersion", fMacOSVersion);
    add("ibUtilFunctionName", ibUtilFunctionName());

    const QMutexLocker lock(&fDictionaryLock);
    fMyTextLabelDictionary = std::move(dictionary);
}

uploadWindowController::LabelDictionary uploadWindowController::textLabelDictionary() const {
    const QMutexLocker lock(&fDictionaryLock);
    return fMyTextLabelDictionary;
}

void uploadWindowController::windowDidLoad() {
    buildTextLabelDictionary();
    QString version = QStringLiteral("?Unknown App Version?");
    QString copyright = QStringLiteral("Unknown Copyright?");
    QString osVersion = QStringLiteral("?Unknown OSVersion?");
    if (AppActions* delegate = appDelegate()) {
        version = delegate->getAppVersionString();
        copyright = delegate->getCopyrightString();
        osVersion = delegate->getMacOsVersionString();
    }
    ibUpdateTextField(QStringLiteral("App Vers: v") + version, QStringLiteral("ibVersion"), true);
    ibUpdateTextField(QStringLiteral("OS Vers: ") + osVersion, QStringLiteral("ibMacOSVersion"),
                      true);
    ibUpdateTextField(copyright, QStringLiteral("ibCopyright"), true);
}

void uploadWindowController::ibUpdateTextField(const QString& text, const QString& label,
                                               bool wait) {
    if (label.isNull())
        return;
    LabelValue value;
    bool found = false;
    {
        const QMutexLocker lock(&fDictionaryLock);
        const auto it = fMyTextLabelDictionary.constFind(label);
        if (it != fMyTextLabelDictionary.constEnd()) {
            value = *it;
            found = true;
        }
    }
    if (!found) {
        consoleLine(QStringLiteral("Unable to Find the Object for [%1]").arg(label));
        return;
    }
    const QPointer<QObject>* object = std::get_if<QPointer<QObject>>(&value);
    QLabel* field = object ? qobject_cast<QLabel*>(object->data()) : nullptr;
    if (!field) {
        consoleLine(QStringLiteral("Inside %1 => %2... NOT [%3]!!!!")
                        .arg(QLatin1String(className()),
                             QLatin1String("ibUpdateTextField:forLabel:doWait:"), label));
        return;
    }
    ibUpdateNSTextField(field, text, wait, false);
}

void uploadWindowController::ibClickedOnQuit(QObject* sender) {
    if (AppActions* delegate = appDelegate())
        delegate->ibClickedOnQuit(sender);
}

void uploadWindowController::ibClickedOnHalt(QObject* sender) {
    if (AppActions* delegate = appDelegate())
        delegate->ibClickedOnHalt(sender);
}

void uploadWindowController::ibClickedOnOpenPref(QObject* sender) {
    if (AppActions* delegate = appDelegate())
        delegate->ibClickedOnOpenPref(sender);
}

void uploadWindowController::ibUserClickedOnSynchronize(QObject* sender) {
    if (AppActions* delegate = appDelegate())
        delegate->ibUserClickedOnSynchronize(sender);
}

} // namespace kivo
