#include "ui/FieldUpdate.h"

#include "platform/MainThread.h"

#include <QColor>
#include <QEvent>
#include <QFontMetrics>
#include <QPalette>
#include <QProgressBar>
#include <QTextLayout>

namespace kivo {

namespace {

// Lines the text takes at this width, wrapped as a word-wrapped QLabel wraps it.
int wrappedLineCount(const QString& text, const QFont& font, int width) {
    QString laidOut = text;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(laidOut, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        ++lines;
    }
    layout.endLayout();
    return lines;
}

} // namespace

ElidingLabel::ElidingLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
}

void ElidingLabel::setFullText(const QString& text) {
    fFullText = text;
    refit();
}

void ElidingLabel::setOwnToolTip(const QString& tip) {
    fOwnToolTip = tip;
    refit();
}

void ElidingLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    refit();
}

void ElidingLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        refit();
}

void ElidingLabel::refit() {
    // A text set with plain QLabel::setText becomes the whole text.
    if (text() != fShown)
        fFullText = text();
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QFontMetrics metrics(font());
    // QFontMetrics::elidedText cuts only between grapheme clusters, so no surrogate pair or
    // combining sequence is ever split.
    QString shown;
    if (!wordWrap()) {
        shown = metrics.elidedText(fFullText, Qt::ElideMiddle, area.width());
    } else {
        const int maxLines = std::max(1, area.height() / std::max(1, metrics.lineSpacing()));
        const auto fits = [&](const QString& s) {
            return wrappedLineCount(s, font(), area.width()) <= maxLines;
        };
        shown = fFullText;
        if (!fits(shown)) {
            // The widest middle elision that still fits the lines there are.
            int low = 0, high = maxLines * std::max(0, area.width());
            shown = metrics.elidedText(fFullText, Qt::ElideMiddle, 0);
            while (low <= high) {
                const int mid = low + (high - low) / 2;
                const QString candidate = metrics.elidedText(fFullText, Qt::ElideMiddle, mid);
                if (fits(candidate)) {
                    shown = candidate;
                    low = mid + 1;
                } else {
                    high = mid - 1;
                }
            }
        }
    }
    fShown = shown;
    if (shown != text())
        QLabel::setText(shown);
    const QString tip = shown == fFullText ? fOwnToolTip : fFullText;
    if (tip != toolTip())
        setToolTip(tip);
}

namespace detail {

void setLabelText(QLabel* field, const QString& text) {
    if (auto* eliding = qobject_cast<ElidingLabel*>(field))
        eliding->setFullText(text);
    else
        field->setText(text);
}

void setFieldText(const QPointer<QLabel>& field, const QString& text, bool wait, bool isError) {
    if (!field)
        return;
    // One hand-off for all three steps: two threads updating the same field must not end up
    // with one's colour and the other's text.
    onMainThread(
        [field, text, isError, wait] {
            if (!field)
                return;
            // Only the error colour is set on the field; otherwise it inherits the theme's
            // text colour, so a dark desktop theme keeps the status readable.
            QPalette palette;
            if (isError)
                palette.setColor(QPalette::WindowText, QColor(Qt::red));
            field->setPalette(palette);
            setLabelText(field, text);
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

} // namespace detail
} // namespace kivo
