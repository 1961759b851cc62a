// The tray's menu and its picture of the station's state; the offscreen platform has no tray,
// so the menu is driven directly.
#include "ui/TrayIcon.h"
#include "FakeAppActions.h"
#include "WindowLook.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

QAction* actionNamed(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

TEST(TrayIcon, MenuCommandsReachTheActionsAndFollowTheState) {
    test::FakeAppActions actions;
    int shown = 0;
    TrayIcon tray(&actions, [&] { ++shown; });
    QMenu* menu = tray.menu();
    QStringList texts;
    for (QAction* a : menu->actions())
        if (!a->isSeparator())
            texts << a->text();
    EXPECT_EQ(texts, QStringList({"Synchronize", "Pause", "Show window", "Quit"}));

    actionNamed(menu, "Synchronize")->trigger();
    actionNamed(menu, "Pause")->trigger();
    actionNamed(menu, "Show window")->trigger();
    actionNamed(menu, "Quit")->trigger();
    QStringList calls;
    for (const auto& c : actions.calls)
        calls << c.first;
    EXPECT_EQ(calls, QStringList({"synchronize", "halt", "quit"}));
    EXPECT_EQ(shown, 1);

    tray.stationStateChanged(StationState::Paused, QString());
    ASSERT_TRUE(actionNamed(menu, "Resume")) << "the label follows the state";
    actionNamed(menu, "Resume")->trigger();
    EXPECT_EQ(actions.calls.last().first, "halt");
    EXPECT_EQ(tray.toolTip(), "KivoUploader \u2014 Paused");

    tray.stationStateChanged(StationState::Uploading, "IMG_0001.jpg");
    EXPECT_EQ(tray.toolTip(), "KivoUploader \u2014 Uploading IMG_0001.jpg");
    ASSERT_TRUE(actionNamed(menu, "Pause"));
    EXPECT_FALSE(actionNamed(menu, "Synchronize")->isEnabled()) << "it would only beep";

    tray.stationStateChanged(StationState::Stopped,
                             "Bad account\nUploading starts again at the next Synchronize");
    EXPECT_EQ(tray.toolTip(), "KivoUploader \u2014 Stopped: Bad account");
    EXPECT_TRUE(actionNamed(menu, "Synchronize")->isEnabled());
    tray.stationStateChanged(StationState::Idle, QString());
    EXPECT_EQ(tray.toolTip(), "KivoUploader \u2014 Waiting for new photos");

    // Sure to be seen: a long error is cut, and the menu is there to look at.
    tray.stationStateChanged(StationState::Stopped, QString(500, 'x'));
    EXPECT_LE(tray.toolTip().size(), 130);
    tray.stationStateChanged(StationState::Paused, QString());
    menu->adjustSize();
    test::saveScreenshot(menu, "tray-menu.png");
}

TEST(TrayIcon, ATrayThatAppearsAfterStartIsUsedAndTheLookingStops) {
    test::FakeAppActions actions;
    TrayIcon late(&actions, {});
    int asked = 0;
    late.setTrayCheck([&] { return ++asked >= 3; });
    late.showInTrayOnceThereIsOne(std::chrono::milliseconds(10), 5);
    EXPECT_FALSE(late.isInTray());
    EXPECT_TRUE(test::waitUntil([&] { return late.isInTray(); }, 2000));
    test::waitUntil([] { return false; }, 100);
    EXPECT_EQ(asked, 3) << "no more asking once it is there";

    TrayIcon never(&actions, {});
    int tries = 0;
    never.setTrayCheck([&] { return ++tries, false; });
    never.showInTrayOnceThereIsOne(std::chrono::milliseconds(10), 4);
    test::waitUntil([] { return false; }, 300);
    EXPECT_EQ(tries, 4);
    EXPECT_FALSE(never.isInTray());
}

TEST(TrayIcon, EachStateHasItsOwnIcon) {
    const StationState states[] = {StationState::Idle, StationState::Uploading,
                                   StationState::Paused, StationState::Stopped};
    QList<QImage> images;
    for (StationState s : states) {
        const QIcon icon = trayIconFor(s);
        ASSERT_FALSE(icon.isNull());
        images << icon.pixmap(32, 32).toImage();
    }
    for (int i = 0; i < images.size(); ++i)
        for (int j = i + 1; j < images.size(); ++j)
            EXPECT_NE(images[i], images[j]) << i << " and " << j << " look alike";

    // Idle, uploading, paused, stopped, at tray size and larger, to look at.
    QPixmap strip(4 * 72, 72 + 24);
    strip.fill(Qt::white);
    QPainter p(&strip);
    for (int i = 0; i < 4; ++i) {
        p.drawPixmap(i * 72 + 4, 4, trayIconFor(states[i]).pixmap(64, 64));
        p.drawPixmap(i * 72 + 28, 72, trayIconFor(states[i]).pixmap(22, 22));
    }
    p.end();
    QLabel label;
    label.setPixmap(strip);
    label.adjustSize();
    test::saveScreenshot(&label, "tray-icons.png");
}

} // namespace
