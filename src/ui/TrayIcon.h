#pragma once
// The station in the desktop's tray: its state in the icon and the tooltip, and a menu with the
// main commands. The menu and the state exist whether or not the desktop has a tray.
#include "ui/StatusDisplay.h"

#include <QIcon>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace kivo {

// "KivoUploader — Uploading IMG_0001.jpg" and the like.
QString trayToolTip(StationState state, const QString& detail);
// A glyph in the state's colour, with a badge when paused or stopped.
QIcon trayIconFor(StationState state);

class TrayIcon : public QObject, public StationStateObserver {
    Q_OBJECT
public:
    // actions must outlive this object; showWindow brings the main window up.
    TrayIcon(AppActions* actions, std::function<void()> showWindow, QObject* parent = nullptr);
    ~TrayIcon() override;

    static bool isAvailable();
    // Puts the icon into the tray; false (and nothing shown) when the desktop has none.
    bool showInTray();
    // As showInTray(), and while there is no tray, tries again every interval, tries times in
    // all: at login the panel may start after us.
    void showInTrayOnceThereIsOne(std::chrono::milliseconds interval = std::chrono::seconds(5),
                                  int tries = 24);
    bool isInTray() const { return fTray != nullptr; }
    // Stands in for the desktop's answer to whether it has a tray.
    void setTrayCheck(std::function<bool()> check) { fTrayCheck = std::move(check); }

    // Any thread; the icon, tooltip and menu follow on this object's thread.
    void stationStateChanged(StationState state, const QString& detail) override;

    QMenu* menu() const { return fMenu.get(); }
    StationState state() const { return fState; }
    QString toolTip() const { return fToolTip; }

private:
    void apply(StationState state, const QString& detail);
    void refreshTray();

    AppActions* fActions;
    std::function<void()> fShowWindow;
    std::unique_ptr<QMenu> fMenu;
    QAction* fSynchronize = nullptr;
    QAction* fPauseResume = nullptr;
    QSystemTrayIcon* fTray = nullptr;
    std::function<bool()> fTrayCheck = &TrayIcon::isAvailable;
    QTimer* fTrayRetry = nullptr;
    int fTrayTriesLeft = 0;
    StationState fState = StationState::Idle;
    QString fToolTip;
    std::optional<StationState> fIconShown; // the state whose icon the tray has
};

} // namespace kivo
