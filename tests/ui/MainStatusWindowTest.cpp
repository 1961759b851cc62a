#include "ui/MainStatusWindow.h"
#include "FakeAppActions.h"
#include "WindowLook.h"
#include "platform/Bundle.h"
#include "support/TestSupport.h"
#include "ui/ImageView.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBoundaryFinder>
#include <gtest/gtest.h>
#include <thread>

using kivo::MainStatusWindow;
using kivo::StatusField;
using kivo::test::waitUntil;

namespace {

QColor textColour(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

} // namespace

TEST(MainStatusWindow, HiddenWindowDropsTextsAndKeepsThePreviousOnes) {
    MainStatusWindow window;
    QLabel* fileName = window.field(StatusField::FileName);
    // Never shown yet: nothing is stored for later.
    window.updateField(StatusField::FileName, "early.jpg", false, false);
    EXPECT_EQ(fileName->text(), "");

    window.show();
    window.updateField(StatusField::FileName, "a.jpg", false, false);
    window.hide();
    EXPECT_FALSE(window.isWindowVisible());
    window.updateField(StatusField::FileName, "b.jpg", false, true);
    ASSERT_TRUE(kivo::test::runOnWorker(
        [&] { window.updateField(StatusField::FileName, "c.jpg", true, false); }));
    EXPECT_EQ(fileName->text(), "a.jpg");

    window.show();
    EXPECT_TRUE(window.isWindowVisible());
    EXPECT_EQ(fileName->text(), "a.jpg");
    EXPECT_EQ(textColour(fileName), QColor(Qt::black));
    window.updateField(StatusField::FileName, "d.jpg", false, false);
    EXPECT_EQ(fileName->text(), "d.jpg");

    // Start-up texts are filled before the window is first shown.
    MainStatusWindow fresh;
    fresh.setFieldText(StatusField::MacOSVersion, "OS: v6.1");
    EXPECT_EQ(fresh.field(StatusField::MacOSVersion)->text(), "OS: v6.1");
}

TEST(MainStatusWindow, WaitingUpdateFromWorkerIsShownWhenTheCallReturns) {
    MainStatusWindow window;
    window.show();
    QLabel* status = window.field(StatusField::UploadFileStatus);
    QString seenOnReturn;
    QColor colourOnReturn;
    ASSERT_TRUE(kivo::test::runOnWorker([&] {
        window.updateField(StatusField::UploadFileStatus, "Sending 3 of 12", true, true);
        // The main thread is idle in its event loop by now, so reading is safe here.
        seenOnReturn = status->text();
        colourOnReturn = textColour(status);
    }));
    EXPECT_EQ(seenOnReturn, "Sending 3 of 12");
    EXPECT_EQ(colourOnReturn, QColor(Qt::red));

    // Without waiting the text still arrives, in order.
    std::thread worker([&] {
        window.updateField(StatusField::UploadFileStatus, "one", false, false);
        window.updateField(StatusField::UploadFileStatus, "two", false, false);
    });
    worker.join();
    EXPECT_TRUE(waitUntil([&] { return status->text() == "two"; }));
    EXPECT_EQ(textColour(status), QColor(Qt::black));
}

TEST(MainStatusWindow, ProgressBarRunsOnlyForYes) {
    MainStatusWindow window;
    window.show();
    QProgressBar* bar = window.progressBar();
    bar->setRange(0, 100);
    EXPECT_FALSE(bar->isVisible());
    window.updateProgressBar("yes");
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), 0); // indeterminate
    for (const char* other : {"NO", "", "YES please"}) {
        window.updateProgressBar("YES");
        window.updateProgressBar(other);
        EXPECT_FALSE(bar->isVisible()) << other;
    }
    std::thread worker([&] { window.updateProgressBar("YES"); });
    worker.join();
    EXPECT_TRUE(waitUntil([&] { return bar->isVisible(); }));
}

TEST(MainStatusWindow, ButtonsForwardToTheActionsWithTheButtonAsSender) {
    MainStatusWindow window;
    window.show();
    window.quitButton()->click(); // no receiver yet: ignored
    kivo::test::FakeAppActions actions;
    window.setAppActions(&actions);
    const QList<QPair<QString, QObject*>> expected{{"halt", window.pauseResumeButton()},
                                                   {"openPref", window.openPrefButton()},
                                                   {"synchronize", window.synchronizeButton()},
                                                   {"quit", window.quitButton()}};
    for (const auto& [action, button] : expected)
        qobject_cast<QPushButton*>(button)->click();
    EXPECT_EQ(actions.calls, expected);
}

TEST(MainStatusWindow, ButtonStateAndToolTipFromWorkerArrive) {
    MainStatusWindow window;
    window.show();
    std::thread worker([&] {
        window.setPauseResumeTitle("Resume");
        window.setPauseResumeEnabled(false);
        window.setOpenPrefEnabled(false);
        window.setFieldToolTip(StatusField::SourceFolderPath, "/data/in");
    });
    worker.join();
    EXPECT_TRUE(waitUntil(
        [&] { return window.field(StatusField::SourceFolderPath)->toolTip() == "/data/in"; }));
    EXPECT_EQ(window.pauseResumeButton()->text(), "Resume");
    EXPECT_FALSE(window.pauseResumeButton()->isEnabled());
    EXPECT_FALSE(window.openPrefButton()->isEnabled());
}

TEST(MainStatusWindow, PreviewIsScaledIntoTheViewKeepingItsShape) {
    MainStatusWindow window;
    window.show();
    const QSize view = window.imageView()->contentsRect().size();
    ASSERT_FALSE(view.isEmpty());

    QImage photo(4000, 1000, QImage::Format_RGB32);
    photo.fill(Qt::darkGreen);
    std::thread worker([&] { window.showPreview(photo); });
    worker.join();
    EXPECT_TRUE(waitUntil([&] { return !window.imageView()->image().isNull(); }));
    const QImage shown = window.imageView()->image();
    EXPECT_EQ(shown.width(), view.width());
    EXPECT_LE(shown.height(), view.height());
    EXPECT_NEAR(double(shown.width()) / shown.height(), 4.0, 0.2);

    window.showPreview(QImage());
    EXPECT_TRUE(waitUntil([&] { return window.imageView()->image().isNull(); }));
}

TEST(MainStatusWindow, LongTextsAreElidedInTheMiddleAtLetterBoundariesAndWholeInTheToolTip) {
    MainStatusWindow window;
    window.show();
    QLabel* path = window.field(StatusField::SourceFolderPath);
    // Every other unit would split a surrogate pair or an accent from its letter.
    QString middle;
    for (int i = 0; i < 150; ++i)
        middle += QString::fromUtf8("e\xCC\x81\xF0\x9F\x98\x80");
    const QString full = "/media/station/" + middle + "/client 7/IMG_0001.jpg";
    window.setFieldToolTip(StatusField::SourceFolderPath, "own tip");
    window.updateField(StatusField::SourceFolderPath, full, false, false);
    const QChar ellipsis(0x2026);
    qsizetype narrowest = 0;
    for (int width = 480; width <= 1000; width += 37) {
        window.resize(width, window.height());
        QCoreApplication::processEvents();
        const QString shown = path->text();
        const qsizetype cut = shown.indexOf(ellipsis);
        ASSERT_GE(cut, 0) << width;
        EXPECT_EQ(path->toolTip(), full);
        const QString head = shown.left(cut), tail = shown.mid(cut + 1);
        ASSERT_TRUE(full.startsWith(head) && full.endsWith(tail)) << width;
        EXPECT_FALSE(tail.isEmpty());
        QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, full);
        graphemes.setPosition(head.size());
        EXPECT_TRUE(graphemes.isAtBoundary()) << "head cut at " << head.size();
        graphemes.setPosition(full.size() - tail.size());
        EXPECT_TRUE(graphemes.isAtBoundary()) << "tail cut at " << tail.size();
        if (!narrowest)
            narrowest = shown.size();
    }
    // Fitted again as the window grew.
    EXPECT_GT(path->text().size(), narrowest + 20);
    // A text that fits is shown whole again, with the field's own tooltip.
    window.updateField(StatusField::SourceFolderPath, "/data/in", false, false);
    EXPECT_EQ(path->text(), "/data/in");
    EXPECT_EQ(path->toolTip(), "own tip");

    // The wrapped status line uses its lines before eliding; the ends of the message survive.
    QLabel* status = window.field(StatusField::FTPCallbackStatus);
    const QString twoLines = "ERROR: the service is busy, please try again in a while";
    window.updateField(StatusField::FTPCallbackStatus, twoLines, false, true);
    EXPECT_EQ(status->text(), twoLines);
    const QString essay =
        "ERROR: " + QString("the service refused the upload ").repeated(40) + "code 17";
    window.updateField(StatusField::FTPCallbackStatus, essay, false, true);
    EXPECT_TRUE(status->text().startsWith("ERROR: the service refused"));
    EXPECT_TRUE(status->text().endsWith("code 17"));
    EXPECT_TRUE(status->text().contains(ellipsis));
    EXPECT_EQ(status->toolTip(), essay);
}

TEST(MainStatusWindow, PlainStatusTextTakesTheThemesTextColourAndErrorsStayRed) {
    MainStatusWindow window;
    QPalette dark = window.palette();
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    window.setPalette(dark);
    window.show();
    QLabel* status = window.field(StatusField::FTPCallbackStatus);
    window.updateField(StatusField::FTPCallbackStatus, "Upload failed", false, true);
    EXPECT_EQ(textColour(status), QColor(Qt::red));
    window.updateField(StatusField::FTPCallbackStatus, "Waiting For New Images...", false, false);
    EXPECT_EQ(textColour(status), QColor(230, 230, 230));

    // A theme changed while the program runs reaches a plain line without a new update.
    QPalette light = dark;
    light.setColor(QPalette::WindowText, QColor(20, 20, 20));
    window.setPalette(light);
    EXPECT_EQ(textColour(status), QColor(20, 20, 20));
    window.updateField(StatusField::FTPCallbackStatus, "Upload failed", false, true);
    window.setPalette(dark);
    EXPECT_EQ(textColour(status), QColor(Qt::red));
}

TEST(MainStatusWindow, UploadingOnASmallScreenCutsNoTextButThePathsInTheMiddle) {
    MainStatusWindow window;
    window.show();
    const QString source =
        "/media/station/Event Disk 2026/Spring Gala at the Grand Harbour Hotel/capture/incoming";
    window.setFieldText(StatusField::Version,
                        "App Vers: " +
                            kivo::bundle::infoValue("CFBundleShortVersionString").toString());
    window.setFieldText(StatusField::Copyright,
                        kivo::bundle::infoValue("NSHumanReadableCopyright").toString());
    window.setFieldText(StatusField::MacOSVersion, "OS: 6.1.0-28-amd64");
    window.updateField(StatusField::LoginName, "demo.kivo.example", false, false);
    window.updateField(StatusField::UploadMainPath, source + "/", false, false);
    window.updateField(StatusField::SourceFolderPath, source, false, false);
    window.updateField(StatusField::FileName, "client 7/IMG_20260412_184512_0042.jpg", false,
                       false);
    window.updateField(StatusField::UploadFileStatus, "Uploading...", false, false);
    window.updateField(StatusField::FTPCallbackStatus,
                       "Waiting For New Images... Next synchronize at 18:47:30", false, false);
    window.updateProgressBar("YES");
    QImage photo(600, 400, QImage::Format_RGB32);
    photo.fill(QColor(70, 120, 190));
    window.showPreview(photo);
    ASSERT_TRUE(waitUntil([&] {
        return !window.imageView()->image().isNull() &&
               !window.field(StatusField::MacOSVersion)->text().isEmpty();
    }));

    const QStringList clipped = kivo::test::clippedTexts(&window);
    EXPECT_TRUE(clipped.isEmpty()) << clipped.join(", ").toStdString();
    EXPECT_TRUE(window.field(StatusField::SourceFolderPath)->text().contains(QChar(0x2026)));
    EXPECT_TRUE(window.field(StatusField::SourceFolderPath)->text().endsWith("incoming"));
    EXPECT_LE(window.width(), kivo::test::kSmallScreen.width());
    EXPECT_LE(window.height(), kivo::test::kSmallScreen.height());
    kivo::test::saveScreenshot(&window, "main-window.png");
}
