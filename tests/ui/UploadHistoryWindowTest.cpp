// The main window's view of the upload history, fed by the real controller.
#include "FakeAppActions.h"
#include "WindowLook.h"
#include "app/PipelineFixture.h"
#include "ui/MainStatusWindow.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

class UploadHistoryWindow : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        controller->setStatusDisplay(&window);
        window.show();
    }
    QString counts() const { return window.historyCounts()->text(); }
    MainStatusWindow window;
};

TEST_F(UploadHistoryWindow, CountsAndLatestItemsFollowTheHistoryAcrossARestart) {
    // Earlier today, before a restart: 20 uploaded and 1 refused, then a line cut short.
    const QDateTime now = QDateTime::currentDateTime();
    const QString path = UploadHistory::defaultFolder() + "/" + UploadHistory::fileNameFor(now);
    QFile::remove(path);
    UploadHistory earlier;
    for (int i = 0; i < 21; ++i) {
        UploadRecord r;
        r.time = now.addSecs(i - 30);
        r.folder = "Garcia";
        r.file = QStringLiteral("IMG_%1.jpg").arg(100 + i);
        r.outcome = i == 20 ? UploadOutcome::Refused : UploadOutcome::Uploaded;
        r.message = i == 20 ? "Duplicate" : "Received";
        ASSERT_TRUE(earlier.append(r));
    }
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("{\"time\":\"20");
    }
    controller->showUploadHistoryAtStart();
    QTreeWidget* list = window.historyList();
    ASSERT_TRUE(waitUntil([&] { return list->topLevelItemCount() == 20; }));
    EXPECT_TRUE(counts().startsWith("Today: 20 uploaded, 1 refused")) << counts().toStdString();
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Garcia/IMG_120.jpg") << "newest first";
    EXPECT_EQ(list->topLevelItem(0)->text(2), "refused");

    // Three photos wait in the source folder; a movie, a hidden file and a top-level photo
    // are never sent on their own.
    for (const char* name : {"Smith/IMG_0001.jpg", "Smith/IMG_0002.JPG", "Smith/b.png",
                             "Smith/IMG_0001.mov", "Smith/.hidden.jpg", "top.jpg"})
        ASSERT_TRUE(writeFile(source + "/" + name, "x"));
    ASSERT_TRUE(controller->applicationOpenFile(source));
    controller->fileWaitingItems();
    EXPECT_TRUE(waitUntil([&] { return counts().endsWith(", 3 waiting"); }))
        << counts().toStdString();

    // One refused by the service, one accepted that the mirror cannot take.
    const QString longMessage = "The photo was already received for this sitting; " +
                                QString("it is kept in the problem folder for a person to look "
                                        "at before it is sent again under another name");
    post(kUploadFailNotification, replyInfo("Smith/IMG_0001.jpg", 200, "Warning", longMessage));
    filingWorks = false;
    post(kUploadSuccessNotification, replyInfo("Smith/IMG_0002.JPG", 200, "OK"));
    ASSERT_TRUE(waitUntil([&] { return counts().contains("1 not filed"); }))
        << counts().toStdString();
    EXPECT_TRUE(counts().startsWith("Today: 20 uploaded, 2 refused, 1 not filed"))
        << counts().toStdString();
    EXPECT_EQ(list->topLevelItemCount(), 20);
    EXPECT_EQ(list->topLevelItem(0)->text(2), "not filed");
    QTreeWidgetItem* second = list->topLevelItem(1);
    EXPECT_EQ(second->text(1), "Smith/IMG_0001.jpg");
    EXPECT_EQ(second->toolTip(3), longMessage) << "the whole message where the column elides";

    // The problem folder is one click away.
    struct Actions : FakeAppActions {
        void ibClickedOnRevealProblemFolder(QObject* sender) override {
            calls.append({"problemFolder", sender});
        }
    } actions;
    window.setAppActions(&actions);
    window.problemFolderButton()->click();
    ASSERT_EQ(actions.calls.size(), 1);
    EXPECT_EQ(actions.calls[0].second, window.problemFolderButton());

    const QStringList clipped = clippedTexts(&window);
    EXPECT_TRUE(clipped.isEmpty()) << clipped.join(", ").toStdString();
    EXPECT_LE(window.width(), kSmallScreen.width());
    EXPECT_LE(window.height(), kSmallScreen.height());
    saveScreenshot(&window, "main-window-history.png");
}

} // namespace
