#pragma once
// The settings and login panel (ibLoginPanel): its lock, the folder choosers, validity colours,
// saving and loading settings files. Every control is bound to its settings key (PrefBinding).
#include "ui/StatusDisplay.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QTabWidget;
class QWidget;
namespace Ui {
class SettingsWindow;
}

namespace kivo {

class PrefBinding;
class newNSPanel;

// A file or folder panel the settings window asks for.
struct PanelRequest {
    enum class Kind { ChooseFolder, ChooseFile, SaveFile };
    Kind kind = Kind::ChooseFolder;
    QString title; // "SavePanel" names the save panel
    QString message;
    QString prompt;
    QString directory;
    bool canCreateDirectories = false;
    QWidget* parent = nullptr; // shown window-modal on it
};
// Shows the panel and calls done once with 1 (OK) and the chosen path, or 0 (cancel).
using PanelRunner = std::function<void(const PanelRequest& request,
                                       std::function<void(int returnCode, const QString& path)>)>;

// Enables or disables the controls under view: tag -99 and the reveal buttons (image name
// "DownloadReveal") are left as they are; tag -100 is also coloured black or grey.
void viewSetEnabled(QWidget* view, bool enabled);
// The first direct child of view with that name or title (case-insensitive), else none.
QWidget* findSubView(QWidget* view, const QString& title);
// Plays a sound resource once; a missing resource or sound device is logged and ignored.
void doPlaySound(const QString& name, const QString& type);

class SettingsWindowController : public QObject, public SettingsPanel {
    Q_OBJECT
public:
    // mainWindow is where sheets go without a button to go by; actions receives the commands.
    // Both outlive the controller. The settings are those of Preferences::store().
    SettingsWindowController(QWidget* mainWindow, AppActions* actions);
    ~SettingsWindowController() override;

    void beginSheet(QObject* parentButton, const QVariant& context) override;
    void showAsWindow() override;
    bool isShown() const override;
    bool displayAsSheet() const override;
    void endSheet(int returnCode) override;
    void close() override;
    void selectFirstTab() override;
    void forceLockedIcon(int state) override;
    void ibClickedOnLockIcon() override;

    // Lock button handler: acts for the tag-98 button only.
    void ibClickedOnLockIcon(QObject* sender);
    void ibClickedOnChangeLocalSourceFolder(QObject* sender);
    void ibClickedOnChangeLocalMirrorSiteFolder(QObject* sender);
    void ibClickedOnChangeGlvSearchPath1(QObject* sender);
    // The end of a folder panel; contextKey is the setting the folder is for.
    void openPanelDidEnd(int returnCode, const QString& path, const QString& contextKey);
    void ibSavePrefToFile(QObject* sender);
    void savePrefToFilePanelDidEnd(int returnCode, const QString& path);
    void ibLoadPrefFromFile(QObject* sender);
    void openPanelForLoadPrefDidEnd(int returnCode, const QString& path);
    // Refreshes the validity flags of the tab about to be shown.
    void tabViewWillSelect(int index);

    // Tests replace the file panels.
    void setPanelRunner(PanelRunner runner);

    newNSPanel* panel() const;
    QTabWidget* tabView() const;
    // 1, 2 or 3.
    QWidget* changeableView(int n) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void chooseFolder(QObject* sender, const QString& key, const QString& message,
                      bool canCreateDirectories);
    void acceptFolder(const QString& key, const QString& path);
    void runPanel(const PanelRequest& request, std::function<void(int, const QString&)> done);
    QWidget* windowOf(QObject* sender) const;
    void bindControls();
    void colourPathField(QLineEdit* field, const QString& validityKey);
    void updateOrdersBox();
    void showStatus(const QString& text);
    void fillVersionText();
    bool isUnlocked() const;

    QPointer<QWidget> fMainWindow;
    AppActions* fActions;
    std::unique_ptr<Ui::SettingsWindow> fUi;
    QPointer<newNSPanel> fPanel; // owned, unless the main window took it along first
    PrefBinding* fBinding;
    PanelRunner fPanelRunner;
    QVariant fSheetContext;
};

} // namespace kivo
