#pragma once
#include <QObject>

class QKeyEvent;
class QWidget;

namespace kivo {

// Console trace of window activity (became key or main, sheet shown, moved, closing), user
// text edits and Caps Lock changes. Install on the application object; nothing depends on it,
// so it only looks at a handful of event types.
class WindowEventObserver : public QObject {
    Q_OBJECT
public:
    explicit WindowEventObserver(QObject* parent = nullptr);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchTextEdits(QWidget* widget);
    void capsLockPressed(QKeyEvent* event);

    bool fCapsLockOn = false;
};

} // namespace kivo
