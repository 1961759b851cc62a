#include "ui/TrayIcon.h"

#include "platform/Bundle.h"
#include "platform/Console.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kivo {

namespace {

constexpr int kDetailChars = 100;

QColor stateColour(StationState state) {
    switch (state) {
    case StationState::Idle:
        return QColor(0x60, 0x7d, 0x8b);
    case StationState::Uploading:
        return QColor(0x1e, 0x88, 0xe5);
    case StationState::Paused:
        return QColor(0xf9, 0xa8, 0x25);
    case StationState::Stopped:
        return QColor(0xd3, 0x2f, 0x2f);
    }
    return Qt::gray;
}

// An upward arrow over a tray, on a rounded square of the state's colour.
QPixmap drawIcon(StationState state, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    const QColor colour = stateColour(state);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    p.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(32, 10);
    arrow.lineTo(48, 28);
    arrow.lineTo(38, 28);
    arrow.lineTo(38, 42);
    arrow.lineTo(26, 42);
    arrow.lineTo(26, 28);
    arrow.lineTo(16, 28);
    arrow.closeSubpath();
    p.drawPath(arrow);
    p.drawRect(QRectF(12, 48, 40, 6));

    if (state == StationState::Paused || state == StationState::Stopped) {
        const QRectF badge(36, 36, 26, 26);
        p.setBrush(Qt::white);
        p.setPen(QPen(colour.darker(140), 2));
        p.drawEllipse(badge);
        p.setPen(Qt::NoPen);
        p.setBrush(colour.darker(120));
        if (state == StationState::Paused) {
            p.drawRect(QRectF(43, 42, 4, 14));
            p.drawRect(QRectF(51, 42, 4, 14));
        } else {
            p.drawRect(QRectF(47, 41, 4, 10));
            p.drawEllipse(QRectF(47, 53, 4, 4));
        }
    }
    return pixmap;
}

} // namespace

QString trayToolTip(StationState state, const QString& detail) {
    // The first line is enough in a tooltip; a service's message can run long.
    QString shown = detail.section(QLatin1Char('\n'), 0, 0).trimmed();
    if (shown.size() > kDetailChars)
        shown = shown.left(kDetailChars - 1) + QChar(0x2026);
    QString what;
    switch (state) {
    case StationState::Idle:
        what = QStringLiteral("Waiting for new photos");
        break;
    case StationState::Uploading:
        what = shown.isEmpty() ? QStringLiteral("Uploading")
                               : QStringLiteral("Uploading %1").arg(shown);
        break;
    case StationState::Paused:
        what = QStringLiteral("Paused");
        break;
    case StationState::Stopped:
        what = shown.isEmpty() ? QStringLiteral("Stopped on an error")
                               : QStringLiteral("Stopped: %1").arg(shown);
        break;
    }
    return bundle::displayName() + QStringLiteral(" \u2014 ") + what;
}

QIcon trayIconFor(StationState state) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(drawIcon(state, size));
    return icon;
}

TrayIcon::TrayIcon(AppActions* actions, std::function<void()> showWindow, QObject* parent)
    : QObject(parent), fActions(actions), fShowWindow(std::move(showWindow)),
      fMenu(std::make_unique<QMenu>()) {
    fSynchronize = fMenu->addAction(QStringLiteral("Synchronize"));
    connect(fSynchronize, &QAction::triggered, this,
            [this] { fActions->ibUserClickedOnSynchronize(fSynchronize); });
    fPauseResume = fMenu->addAction(QStringLiteral("Pause"));
    connect(fPauseResume, &QAction::triggered, this,
            [this] { fActions->ibClickedOnHalt(fPauseResume); });
    QAction* show = fMenu->addAction(QStringLiteral("Show window"));
    connect(show, &QAction::triggered, this, [this] {
        if (fShowWindow)
            fShowWindow();
    });
    fMenu->addSeparator();
    QAction* quit = fMenu->addAction(QStringLiteral("Quit"));
    connect(quit, &QAction::triggered, this, [this, quit] { fActions->ibClickedOnQuit(quit); });
    apply(StationState::Idle, QString());
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::isAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool TrayIcon::showInTray() {
    if (!fTrayCheck())
        return false;
    if (!fTray) {
        fTray = new QSystemTrayIcon(this);
        fTray->setContextMenu(fMenu.get());
        connect(fTray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger && fShowWindow)
                        fShowWindow();
                });
        refreshTray();
    }
    fTray->show();
    return true;
}

void TrayIcon::showInTrayOnceThereIsOne(std::chrono::milliseconds interval, int tries) {
    if (showInTray() || tries <= 1)
        return;
    if (!fTrayRetry) {
        fTrayRetry = new QTimer(this);
        connect(fTrayRetry, &QTimer::timeout, this, [this] {
            if (showInTray()) {
                consoleLine(QStringLiteral("The desktop's tray appeared; the icon is shown"));
                fTrayRetry->stop();
            } else if (--fTrayTriesLeft <= 0) {
                fTrayRetry->stop();
            }
        });
    }
    fTrayTriesLeft = tries - 1;
    fTrayRetry->start(interval);
}

void TrayIcon::stationStateChanged(StationState state, const QString& detail) {
    // Direct on this object's thread, queued from any other.
    QMetaObject::invokeMethod(this, [this, state, detail] { apply(state, detail); });
}

void TrayIcon::apply(StationState state, const QString& detail) {
    fState = state;
    fToolTip = trayToolTip(state, detail);
    fPauseResume->setText(state == StationState::Paused ? QStringLiteral("Resume")
                                                        : QStringLiteral("Pause"));
    // A second pass cannot start while one uploads; the command would only beep.
    fSynchronize->setEnabled(state != StationState::Uploading);
    refreshTray();
}

void TrayIcon::refreshTray() {
    if (!fTray)
        return;
    // Drawn again only when the state changes, not for each photo's tooltip.
    if (fIconShown != fState) {
        fTray->setIcon(trayIconFor(fState));
        fIconShown = fState;
    }
    fTray->setToolTip(fToolTip);
}

} // namespace kivo
