#pragma once
// The steps shared by every window's text-field and busy-indicator updates. Callable from any
// thread: the widgets are only touched on the main thread, through guarded pointers, so an
// update that is still queued when its window goes away does nothing.
#include <QLabel>
#include <QPointer>
#include <QString>

class QProgressBar;

namespace kivo {

// A text field for paths and service messages: a text too long for it is shown elided in the
// middle with "…" (never inside a character or a combining sequence) and whole in its tooltip,
// and fitted again whenever the field's size or font changes. A word-wrapped field fills the
// lines it has room for before it elides. Main thread only.
class ElidingLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidingLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return fFullText; }
    // Shown while the whole text fits; while it is elided the tooltip is the whole text.
    void setOwnToolTip(const QString& tip);
    bool isElided() const { return text() != fFullText; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void refit();

    QString fFullText;
    QString fShown; // what refit last put on screen
    QString fOwnToolTip;
};

namespace detail {

// Colour (red for errors, else the theme's text colour), text and redraw, in that order, on the
// main thread; with wait the caller blocks until they are done.
void setFieldText(const QPointer<QLabel>& field, const QString& text, bool wait, bool isError);
// Text only, for any field; an eliding field keeps the whole text.
void setLabelText(QLabel* field, const QString& text);
// "YES" in any case starts and shows the indeterminate bar; anything else stops and hides it.
void setBusyIndicator(const QPointer<QProgressBar>& bar, const QString& yesOrNo);
bool isYes(const QString& yesOrNo);

} // namespace detail
} // namespace kivo
