#include "ui/ProgressWindows.h"
#include "FakeAppActions.h"
#include "support/TestSupport.h"
#include "ui/ImageView.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using kivo::maintenanceWindowController;
using kivo::myProgressWindowController;
using kivo::uploadWindowController;
using kivo::test::FdCapture;
using kivo::test::waitUntil;

namespace {

QString labelText(QWidget* window, const char* name) {
    const auto* label = window->findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<missing>");
}

} // namespace

TEST(MaintenanceWindow, TaskOnAWorkerCreatesUpdatesAndReleasesIt) {
    QPointer<QWidget> window;
    QString line1OnReturn, line2OnReturn;
    QByteArray console;
    {
        FdCapture err;
        ASSERT_TRUE(kivo::test::runOnWorker([&] {
            auto controller = maintenanceWindowController::create();
            window = controller->window();
            // Written before showing: progress windows have no visibility rule.
            controller->ibUpdateLine1TextField("Check Orders for Hi Res Photos", true);
            controller->show();
            controller->ibSetWindowTitle("Orders");
            controller->ibUpdateProgressBar("YES");
            controller->ibUpdateLine2TextField("3 of 7", true);
            line1OnReturn = controller->ibUtilFunctionName()->text();
            line2OnReturn = controller->ibUtilStatus()->text();
            EXPECT_EQ(controller->ibUtilProgressBar()->thread(), qApp->thread());
            controller->close();
        }));
        console = err.text();
    }
    EXPECT_EQ(line1OnReturn, "Check Orders for Hi Res Photos");
    EXPECT_EQ(line2OnReturn, "3 of 7");
    // Every outlet was found in the window description, so nothing was reported.
    EXPECT_FALSE(console.contains("not connected")) << console.constData();
    // Released by the task: the window went with it.
    EXPECT_TRUE(window.isNull());
}

TEST(MaintenanceWindow, TitleAndBarFollowTheCalls) {
    auto controller = maintenanceWindowController::create();
    ASSERT_TRUE(controller->window());
    controller->show();
    EXPECT_TRUE(controller->window()->isVisible());
    controller->ibSetWindowTitle("Delete Empty Folders");
    EXPECT_EQ(controller->window()->windowTitle(), "Delete Empty Folders");
    controller->ibUpdateProgressBar("yes");
    EXPECT_TRUE(controller->ibUtilProgressBar()->isVisible());
    EXPECT_EQ(controller->ibUtilProgressBar()->maximum(), 0);
    controller->ibUpdateProgressBar("no");
    EXPECT_FALSE(controller->ibUtilProgressBar()->isVisible());
    controller->ibUpdateNSTextField(controller->ibUtilStatus(), "disk full", true, true);
    EXPECT_EQ(controller->ibUtilStatus()->palette().color(QPalette::WindowText), QColor(Qt::red));
    controller->close();
    EXPECT_FALSE(controller->window()->isVisible());
}

TEST(ProgressWindowController, MissingOutletsAreReportedAndSkipped) {
    myProgressWindowController controller(new QWidget);
    FdCapture err;
    controller.awakeFromNib();
    controller.ibUpdateLine1TextField("anything", true);
    controller.ibUpdateProgressBar("YES");
    const QByteArray console = err.text();
    for (const char* outlet : {"ibUtilFunctionName", "ibUtilStatus", "ibUtilProgressBar"})
        EXPECT_TRUE(console.contains(QByteArray(outlet) + " is not connected")) << outlet;
    EXPECT_TRUE(console.contains("Inside myProgressWindowController => "
                                 "ibUpdateNSTextField:withString:doWait:isError:... "
                                 "NIL NSTextField...."))
        << console.constData();
}

TEST(UploadWindow, LabelLookupsUpdateOnlyTextFields) {
    auto controller = uploadWindowController::create();
    QWidget* window = controller->window();
    const auto dictionary = controller->textLabelDictionary();
    ASSERT_TRUE(dictionary.contains("Version"));
    EXPECT_EQ(std::get<QString>(dictionary["Version"]), "This is a new dictionary..");
    EXPECT_TRUE(dictionary.contains("ibFTPCallbackStatusField"));
    // This window has no progress lines, so those outlets are not in the dictionary.
    EXPECT_FALSE(dictionary.contains("ibUtilStatus"));
    EXPECT_FALSE(dictionary.contains("ibUtilFunctionName"));

    const QString versionBefore = labelText(window, "ibVersion");
    FdCapture err;
    controller->ibUpdateTextField("changed", "Version", true);
    controller->ibUpdateTextField("changed", "ibImageView", true);
    controller->ibUpdateTextField("changed", "ibNoSuchField", true);
    controller->ibUpdateTextField("changed", QString(), true);
    ASSERT_TRUE(kivo::test::runOnWorker(
        [&] { controller->ibUpdateTextField("IMG_0042.JPG", "ibFileNameField", true); }));
    const QByteArray console = err.text();
    EXPECT_TRUE(console.contains(
        "Inside uploadWindowController => ibUpdateTextField:forLabel:doWait:... NOT [Version]!!!!"))
        << console.constData();
    EXPECT_TRUE(console.contains("... NOT [ibImageView]!!!!"));
    EXPECT_TRUE(console.contains("Unable to Find the Object for [ibNoSuchField]"));
    EXPECT_EQ(console.count("\n"), 3) << console.constData();
    EXPECT_EQ(labelText(window, "ibVersion"), versionBefore);
    EXPECT_TRUE(window->findChild<kivo::ImageView*>("ibImageView")->image().isNull());
    EXPECT_EQ(labelText(window, "ibFileNameField"), "IMG_0042.JPG");
}

TEST(UploadWindow, VersionTextsComeFromTheDelegateOrDefaults) {
    auto bare = uploadWindowController::create();
    EXPECT_EQ(labelText(bare->window(), "ibVersion"), "App Vers: v?Unknown App Version?");
    EXPECT_EQ(labelText(bare->window(), "ibMacOSVersion"), "OS Vers: ?Unknown OSVersion?");
    EXPECT_EQ(labelText(bare->window(), "ibCopyright"), "Unknown Copyright?");

    kivo::test::FakeAppActions delegate;
    std::unique_ptr<uploadWindowController> wired;
    ASSERT_TRUE(
        kivo::test::runOnWorker([&] { wired = uploadWindowController::create(&delegate); }));
    ASSERT_TRUE(wired);
    EXPECT_EQ(wired->window()->thread(), qApp->thread());
    EXPECT_EQ(labelText(wired->window(), "ibVersion"), "App Vers: v1.2.3");
    EXPECT_EQ(labelText(wired->window(), "ibMacOSVersion"), "OS Vers: 6.1.0-18-amd64");
    EXPECT_EQ(labelText(wired->window(), "ibCopyright"), "(c) 2024 Quandril");
}

TEST(UploadWindow, ButtonsForwardToTheDelegateWithTheButtonAsSender) {
    auto controller = uploadWindowController::create();
    QWidget* window = controller->window();
    const auto button = [window](const char* name) {
        return window->findChild<QPushButton*>(QLatin1String(name));
    };
    button("ibQuitButton")->click(); // no delegate yet: ignored

    kivo::test::FakeAppActions delegate;
    controller->setAppDelegate(&delegate);
    button("ibPauseResumeButton")->click();
    button("ibOpenPrefButton")->click();
    button("ibSynchronizeButton")->click();
    button("ibQuitButton")->click();
    ASSERT_EQ(delegate.calls.size(), 4);
    EXPECT_EQ(delegate.calls[0],
              qMakePair(QString("halt"), (QObject*)button("ibPauseResumeButton")));
    EXPECT_EQ(delegate.calls[1],
              qMakePair(QString("openPref"), (QObject*)button("ibOpenPrefButton")));
    EXPECT_EQ(delegate.calls[2],
              qMakePair(QString("synchronize"), (QObject*)button("ibSynchronizeButton")));
    EXPECT_EQ(delegate.calls[3], qMakePair(QString("quit"), (QObject*)button("ibQuitButton")));
}
