#include "ui/ProgressWindows.h"
#include "FakeAppActions.h"
#include "support/TestSupport.h"
#include "ui/ImageView.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

using kivo::maintenanceWindowController;
using kivo::myProgressWindowController;
using kivo::uploadWindowController;
using kivo::test::FdCapture;

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

TEST(UploadWindow, MadeOnAWorkerItLivesOnTheMainThreadWithTheDelegatesTexts) {
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
    const auto button = [&](const char* name) -> QObject* {
        return controller->window()->findChild<QPushButton*>(QLatin1String(name));
    };
    qobject_cast<QPushButton*>(button("ibQuitButton"))->click(); // no delegate yet: ignored
    kivo::test::FakeAppActions delegate;
    controller->setAppDelegate(&delegate);
    const QList<QPair<QString, QObject*>> expected{{"halt", button("ibPauseResumeButton")},
                                                   {"openPref", button("ibOpenPrefButton")},
                                                   {"synchronize", button("ibSynchronizeButton")},
                                                   {"quit", button("ibQuitButton")}};
    for (const auto& [action, pressed] : expected)
        qobject_cast<QPushButton*>(pressed)->click();
    EXPECT_EQ(delegate.calls, expected);
}
