#pragma once
// Alerts looked up by key in a localised message table. Main thread only.
#include <QString>

class QObject;
class QWidget;

namespace kivo {

// The localisation name of the user's first language: "English", "Spanish", or the code itself.
QString getPreferredLanguage();

// An application-modal panel; answers 1 (default button), 0 (alternate), -1 (other) or -2
// (nothing shown). Without a display the alert goes to the console and answers its default.
int myNSRunAlertPanel(const QString& tableName, const QString& key, const QString& arg1 = QString(),
                      const QString& arg2 = QString());
// A sheet on window that does not wait; always answers -2.
int myNSRunAlertPanelOnWindow(QObject* modalDelegate, QWidget* window, const QString& tableName,
                              const QString& key, const QString& arg1 = QString(),
                              const QString& arg2 = QString());

// How alerts reach the user. Automatic writes them to the console when there is no display
// (no QApplication, or the offscreen/minimal platform) and shows panels otherwise; tests use
// Widgets to drive real panels offscreen.
enum class AlertPresentation { Automatic, Console, Widgets };
void setAlertPresentation(AlertPresentation presentation);

} // namespace kivo
