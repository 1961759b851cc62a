#pragma once
// Small windows for maintenance work (order queries, folder clean-up) and the upload window,
// a second copy of the main status fields. Controllers are made on the main thread (the
// create() factories may be called from any thread and wait for it); their update methods may
// be called from any thread.
#include "ui/StatusDisplay.h"

#include <QMap>
#include <QMutex>
#include <QPointer>
#include <QString>
#include <atomic>
#include <memory>
#include <variant>

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace kivo {

class ImageView;

class myProgressWindowController : public MaintenanceProgress {
public:
    // Takes ownership of window (may be null) and finds the outlets in it by object name.
    // Main thread only.
    explicit myProgressWindowController(QWidget* window = nullptr);
    // The window is destroyed on the main thread (waiting for it when called elsewhere).
    ~myProgressWindowController() override;
    myProgressWindowController(const myProgressWindowController&) = delete;
    myProgressWindowController& operator=(const myProgressWindowController&) = delete;

    virtual const char* className() const { return "myProgressWindowController"; }
    QWidget* window() const;

    // Reports each outlet that the window description does not provide.
    void awakeFromNib();

    void ibUpdateProgressBar(const QString& yesOrNo) override;
    void ibUpdateNSTextField(QLabel* field, const QString& text, bool wait, bool isError);
    void ibUpdateNSTextField(QLabel* field, const QString& text, bool wait);
    void ibUpdateLine1TextField(const QString& text, bool wait) override;
    void ibUpdateLine2TextField(const QString& text, bool wait) override;
    void ibSetWindowTitle(const QString& title) override;

    AppActions* appDelegate() const { return fAppDelegate.load(); }
    void setAppDelegate(AppActions* delegate) { fAppDelegate.store(delegate); }

    // Any thread; both wait for the main thread.
    void show() override;
    void close() override;

    QLabel* ibUtilFunctionName() const;
    QLabel* ibUtilStatus() const;
    QProgressBar* ibUtilProgressBar() const;

protected:
    // Destroys the window on the main thread; safe to call more than once. A subclass whose
    // window calls back into it calls this first in its own destructor.
    void releaseWindow();

private:
    QPointer<QWidget> fWindow;
    QPointer<QLabel> fUtilFunctionName; // line 1: what is being done
    QPointer<QLabel> fUtilStatus;       // line 2: progress detail
    QPointer<QProgressBar> fUtilProgressBar;
    std::atomic<AppActions*> fAppDelegate{nullptr};
};

// The progress window of maintenance tasks, from the window description "maintenanceWindow".
class maintenanceWindowController : public myProgressWindowController {
public:
    maintenanceWindowController(); // main thread
    static std::unique_ptr<maintenanceWindowController> create();
    const char* className() const override { return "maintenanceWindowController"; }
};

// A window with a full copy of the main status fields, addressed by outlet name.
class uploadWindowController : public myProgressWindowController {
public:
    // "Version" maps to a text, every other label to its outlet.
    using LabelValue = std::variant<QString, QPointer<QObject>>;
    using LabelDictionary = QMap<QString, LabelValue>;

    uploadWindowController(); // main thread
    ~uploadWindowController() override;
    // Sets the delegate before the window "loads", so windowDidLoad can ask it for versions.
    static std::unique_ptr<uploadWindowController> create(AppActions* appDelegate = nullptr);
    const char* className() const override { return "uploadWindowController"; }

    void buildTextLabelDictionary();
    LabelDictionary textLabelDictionary() const;
    void windowDidLoad();
    void ibUpdateTextField(const QString& text, const QString& label, bool wait);

    void ibClickedOnQuit(QObject* sender);
    void ibClickedOnHalt(QObject* sender);
    void ibClickedOnOpenPref(QObject* sender);
    void ibUserClickedOnSynchronize(QObject* sender);

private:
    QPointer<QLabel> fFileNameField;
    QPointer<QLabel> fUploadFileStatusField;
    QPointer<QLabel> fFTPCallbackStatusField;
    QPointer<QLabel> fLoginName;
    QPointer<QLabel> fUploadMainPath;
    QPointer<QLabel> fSourceFolderPath;
    QPointer<QLabel> fVersion;
    QPointer<QLabel> fCopyright;
    QPointer<QLabel> fMacOSVersion;
    QPointer<ImageView> fImageView;
    QPointer<QPushButton> fPauseResumeButton;
    QPointer<QPushButton> fOpenPrefButton;

    mutable QMutex fDictionaryLock; // rebuilt on the main thread, read from any thread
    LabelDictionary fMyTextLabelDictionary;
};

} // namespace kivo
