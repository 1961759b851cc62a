#pragma once
#include "ui/StatusDisplay.h"

#include <QPointer>
#include <QWidget>
#include <array>
#include <atomic>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
namespace Ui {
class MainStatusWindow;
}

namespace kivo {

class ImageView;

// The main status window (ibProgressPanel). Created on the main thread and kept for the whole
// run; every StatusDisplay method may be called from any thread.
class MainStatusWindow : public QWidget, public StatusDisplay {
    Q_OBJECT
public:
    explicit MainStatusWindow(QWidget* parent = nullptr);
    ~MainStatusWindow() override;

    // Receiver of the buttons (not owned); with none the buttons do nothing.
    void setAppActions(AppActions* actions) { fActions.store(actions); }
    AppActions* appActions() const { return fActions.load(); }

    bool hasField(StatusField f) const override;
    bool isWindowVisible() const override { return fVisible.load(); }
    // Does nothing after startHidden() until showOnRequest().
    void bringToFront() override;
    // A start asked to come up without the window (a relaunch "launch and hide"): nothing the
    // pipeline does brings the window up until the user asks for it.
    void startHidden();
    // The user asks for the window: shown, raised and activated, ending a hidden start.
    void showOnRequest();
    void updateField(StatusField f, const QString& text, bool wait, bool isError) override;
    void setFieldToolTip(StatusField f, const QString& text) override;
    void setFieldText(StatusField f, const QString& text) override;
    void updateProgressBar(const QString& yesOrNo) override;
    bool hasPauseResumeButton() const override { return !fPauseResumeButton.isNull(); }
    void setPauseResumeTitle(const QString& title) override;
    void setPauseResumeEnabled(bool enabled) override;
    bool hasOpenPrefButton() const override { return !fOpenPrefButton.isNull(); }
    void setOpenPrefEnabled(bool enabled) override;
    bool hasImageView() const override { return !fImageView.isNull(); }
    void showPreview(const QImage& image) override;
    bool hasLoginPanel() const override { return fLoginPanel.load() != nullptr; }
    SettingsPanel* loginPanel() const override { return fLoginPanel.load(); }
    // The settings window (not owned); set once at start.
    void setLoginPanel(SettingsPanel* panel) { fLoginPanel.store(panel); }
    QObject* openPrefButtonObject() const override;
    std::unique_ptr<MaintenanceProgress> openMaintenanceWindow() override;
    void showUploadHistory(const UploadHistoryDay& day) override;
    void showWaitingCount(int count) override;

    // The widgets, for the controller's start-up and for tests. Main thread only.
    QLabel* field(StatusField f) const;
    QProgressBar* progressBar() const;
    ImageView* imageView() const;
    QPushButton* pauseResumeButton() const;
    QPushButton* openPrefButton() const;
    QPushButton* synchronizeButton() const;
    QPushButton* quitButton() const;
    QLabel* historyCounts() const;
    QTreeWidget* historyList() const;
    QPushButton* problemFolderButton() const;

protected:
    // Worker threads test visibility without touching the widget, so it is mirrored here.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void raiseWindow();
    // The counts line from the day and the waiting count. Main thread.
    void refreshHistoryCounts();
    // The latest items from the day. Main thread.
    void refreshHistoryList();

    static constexpr int kFieldCount = int(StatusField::MacOSVersion) + 1;

    std::unique_ptr<Ui::MainStatusWindow> fUi;
    // Filled once in the constructor, read-only afterwards (so readable from any thread).
    std::array<QPointer<QLabel>, kFieldCount> fFields;
    QPointer<QProgressBar> fProgressBar;
    QPointer<ImageView> fImageView;
    QPointer<QPushButton> fPauseResumeButton;
    QPointer<QPushButton> fOpenPrefButton;
    std::atomic<bool> fVisible{false};
    std::atomic<bool> fStayHidden{false};
    std::atomic<AppActions*> fActions{nullptr};
    std::atomic<SettingsPanel*> fLoginPanel{nullptr};
    // Main thread only.
    UploadHistoryDay fHistoryDay;
    int fWaiting = -1;              // not yet counted
    bool fHistoryListStale = false; // the day changed while the window was hidden
};

} // namespace kivo
