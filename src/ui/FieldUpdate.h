#pragma once
// The steps shared by every window's text-field and busy-indicator updates. Callable from any
// thread: the widgets are only touched on the main thread, through guarded pointers, so an
// update that is still queued when its window goes away does nothing.
#include <QPointer>
#include <QString>

class QLabel;
class QProgressBar;

namespace kivo::detail {

// Colour (red for errors, else black), text and redraw, in that order, on the main thread;
// with wait the caller blocks until they are done.
void setFieldText(const QPointer<QLabel>& field, const QString& text, bool wait, bool isError);
// "YES" in any case starts and shows the indeterminate bar; anything else stops and hides it.
void setBusyIndicator(const QPointer<QProgressBar>& bar, const QString& yesOrNo);
bool isYes(const QString& yesOrNo);

} // namespace kivo::detail
