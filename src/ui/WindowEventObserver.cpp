#include "ui/WindowEventObserver.h"

#include "platform/Console.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

namespace kivo {

namespace {

const char kObserver[] = "AppController";

void textDidChange() {
    consoleLine(QStringLiteral("%1 => %2...")
                    .arg(QLatin1String(kObserver), QLatin1String("textDidChange:")));
}

} // namespace

WindowEventObserver::WindowEventObserver(QObject* parent) : QObject(parent) {}

bool WindowEventObserver::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
        // A key press reaches the platform window first and then the focus widget; the
        // platform window sees each press exactly once.
        if (watched->isWindowType() && static_cast<QKeyEvent*>(event)->key() == Qt::Key_CapsLock)
            capsLockPressed(static_cast<QKeyEvent*>(event));
        break;
    case QEvent::Polish:
        if (watched->isWidgetType())
            watchTextEdits(static_cast<QWidget*>(watched));
        break;
    case QEvent::WindowActivate:
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Close: {
        // Activation is also passed down to every child; only windows count.
        if (!watched->isWidgetType() || !static_cast<QWidget*>(watched)->isWindow())
            break;
        const auto* window = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::WindowActivate) {
            consoleInside(kObserver, "postWindowBecameKey:");
            // Panels take the keyboard without becoming the main window.
            if (window->windowType() == Qt::Window)
                consoleInside(kObserver, "postWindowBecameMain:");
        } else if (event->type() == QEvent::Show) {
            if (window->windowModality() == Qt::WindowModal)
                consoleInside(kObserver, "windowWillBeginSheet:");
        } else if (event->type() == QEvent::Move) {
            consoleInside(kObserver, "windowDidMove:");
        } else {
            consoleInside(kObserver, "windowWillClose:");
        }
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void WindowEventObserver::watchTextEdits(QWidget* widget) {
    // Only edits made by the user count, not texts the program fills in.
    if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        connect(line, &QLineEdit::textEdited, this, [] { textDidChange(); });
    } else if (auto* text = qobject_cast<QTextEdit*>(widget)) {
        connect(text, &QTextEdit::textChanged, this, [text] {
            if (text->hasFocus())
                textDidChange();
        });
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
        connect(plain, &QPlainTextEdit::textChanged, this, [plain] {
            if (plain->hasFocus())
                textDidChange();
        });
    }
}

void WindowEventObserver::capsLockPressed(QKeyEvent* event) {
    if (event->isAutoRepeat())
        return;
    // X11 reports the modifier state from before the key, Lock being bit 1; elsewhere the
    // state is not reported, so follow the presses.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        fCapsLockOn = !(event->nativeModifiers() & 0x2);
    else
        fCapsLockOn = !fCapsLockOn;
    consoleLine(fCapsLockOn ? QStringLiteral("capsLock on") : QStringLiteral("capsLock off"));
}

} // namespace kivo
