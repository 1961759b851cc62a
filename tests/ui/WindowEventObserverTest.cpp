#include "ui/WindowEventObserver.h"
#include "support/TestSupport.h"
#include "ui/newNSPanel.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QWindow>
#include <gtest/gtest.h>

using kivo::test::FdCapture;
using kivo::test::waitUntil;

TEST(WindowEventObserver, TracesWindowsTextEditsAndCapsLock) {
    kivo::WindowEventObserver observer;
    qApp->installEventFilter(&observer);
    FdCapture err;
    const auto logged = [&err](const char* text) {
        return waitUntil([&] { return err.text().contains(text); }, 2000);
    };
    {
        QWidget window;
        auto* edit = new QLineEdit(&window);
        (new QVBoxLayout(&window))->addWidget(edit);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(logged("Inside AppController => postWindowBecameKey:..."));
        EXPECT_TRUE(logged("Inside AppController => postWindowBecameMain:..."));

        window.move(window.pos() + QPoint(40, 30));
        EXPECT_TRUE(logged("Inside AppController => windowDidMove:..."));

        // Filled in by the program: not a user edit.
        edit->setText("preset");
        QCoreApplication::processEvents();
        EXPECT_FALSE(err.text().contains("textDidChange:"));
        QKeyEvent typed(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QCoreApplication::sendEvent(edit, &typed);
        EXPECT_EQ(edit->text(), "preseta");
        EXPECT_TRUE(logged("AppController => textDidChange:..."));

        kivo::newNSPanel sheet(&window);
        sheet.setDisplayAsSheet(true);
        EXPECT_FALSE(err.text().contains("windowWillBeginSheet:"));
        sheet.setWindowModality(Qt::WindowModal);
        sheet.show();
        EXPECT_TRUE(logged("Inside AppController => windowWillBeginSheet:..."));
        sheet.hide();

        QKeyEvent caps(QEvent::KeyPress, Qt::Key_CapsLock, Qt::NoModifier);
        QCoreApplication::sendEvent(window.windowHandle(), &caps);
        EXPECT_TRUE(logged("capsLock on"));
        QKeyEvent capsAgain(QEvent::KeyPress, Qt::Key_CapsLock, Qt::NoModifier);
        QCoreApplication::sendEvent(window.windowHandle(), &capsAgain);
        EXPECT_TRUE(logged("capsLock off"));
        EXPECT_EQ(err.text().count("capsLock"), 2);

        EXPECT_FALSE(err.text().contains("windowWillClose:"));
        window.close();
        EXPECT_TRUE(logged("Inside AppController => windowWillClose:..."));
    }
    qApp->removeEventFilter(&observer);
}
