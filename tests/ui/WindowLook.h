#pragma once
// What a person looking at a window would notice: text cut off, a window too big for a small
// screen; and a picture of the window saved for them to look at.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QStringList>
#include <QTabBar>
#include <QWidget>
#include <cstdio>

namespace kivo::test {

// The smallest screen the windows must be usable on, less a panel bar and the title bar.
inline constexpr QSize kSmallScreen(1366, 768 - 32 - 30);

// Names of the visible labels, buttons and tab bars under window whose text does not fit them.
// Labels that elide on purpose (ignored width) are left out.
inline QStringList clippedTexts(QWidget* window) {
    QCoreApplication::processEvents();
    QStringList clipped;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(window) || label->text().isEmpty() ||
            label->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored)
            continue;
        const bool fits = label->wordWrap()
                              ? label->height() >= label->heightForWidth(label->width())
                              : label->width() >= label->minimumSizeHint().width();
        if (!fits)
            clipped << label->objectName() + " \"" + label->text() + "\"";
    }
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>())
        if (button->isVisibleTo(window) && !button->text().isEmpty() &&
            button->width() < button->sizeHint().width())
            clipped << button->objectName() + " \"" + button->text() + "\"";
    for (QTabBar* tabs : window->findChildren<QTabBar*>())
        if (tabs->isVisibleTo(window) && tabs->width() < tabs->sizeHint().width())
            clipped << "tabs of " + tabs->parentWidget()->objectName();
    return clipped;
}

// Saved into the build's screenshot folder; a failed save is only worth a warning.
inline void saveScreenshot(QWidget* window, const QString& fileName) {
#ifdef KIVO_SCREENSHOT_DIR
    QCoreApplication::processEvents();
    const QString folder = QStringLiteral(KIVO_SCREENSHOT_DIR);
    const QString path = folder + '/' + fileName;
    if (!QDir().mkpath(folder) || !window->grab().save(path, "PNG"))
        std::fprintf(stderr, "warning: screenshot not saved: %s\n", qPrintable(path));
#else
    (void)window;
    (void)fileName;
#endif
}

} // namespace kivo::test
