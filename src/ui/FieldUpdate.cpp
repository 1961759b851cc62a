#include "ui/FieldUpdate.h"

#include "platform/MainThread.h"

#include <QColor>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>

namespace kivo::detail {

void setFieldText(const QPointer<QLabel>& field, const QString& text, bool wait, bool isError) {
    if (!field)
        return;
    const QColor colour = isError ? QColor(Qt::red) : QColor(Qt::black);
    // One hand-off for all three steps: two threads updating the same field must not end up
    // with one's colour and the other's text.
    onMainThread(
        [field, text, colour, wait] {
            if (!field)
                return;
            QPalette palette = field->palette();
            palette.setColor(QPalette::WindowText, colour);
            field->setPalette(palette);
            field->setText(text);
            // A waiting caller wants the text on screen before it goes on; otherwise let Qt
            // coalesce the repaints of a busy status line.
            if (wait)
                field->repaint();
            else
                field->update();
        },
        wait);
}

bool isYes(const QString& yesOrNo) {
    return yesOrNo.compare(QLatin1String("YES"), Qt::CaseInsensitive) == 0;
}

void setBusyIndicator(const QPointer<QProgressBar>& bar, const QString& yesOrNo) {
    if (!bar)
        return;
    const bool busy = isYes(yesOrNo);
    onMainThread(
        [bar, busy] {
            if (!bar)
                return;
            // A range of 0..0 is Qt's indeterminate bar; the style animates it while shown.
            bar->setRange(0, 0);
            bar->setVisible(busy);
            bar->update();
        },
        false);
}

} // namespace kivo::detail
