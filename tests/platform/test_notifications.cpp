#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>
#include <thread>

using namespace kivo;

namespace {

TEST(NotificationCenter, DeliversSynchronouslyOnThePostingThreadToEveryObserver) {
    NotificationCenter center;
    int a = 0, b = 0;
    std::thread::id seenOn;
    center.addObserver(&a, "Ping", [&](const Notification& n) {
        ++a;
        seenOn = std::this_thread::get_id();
        ASSERT_TRUE(n.userInfo);
        (*n.userInfo)["answer"] = 42; // the record is shared with the poster
    });
    center.addObserver(&b, "Ping", [&](const Notification&) { ++b; });
    center.addObserver(&b, "Other", [&](const Notification&) { b += 100; });

    auto info = std::make_shared<QVariantMap>();
    std::thread poster([&] { center.post("Ping", nullptr, info); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(seenOn, posterId);
    EXPECT_EQ(info->value("answer").toInt(), 42);
}

TEST(NotificationCenter, HandlersMayPostRegisterAndUnregisterFromInsideADelivery) {
    NotificationCenter center;
    std::vector<QString> order;
    int owner1 = 0, owner2 = 0, late = 0;
    center.addObserver(&owner1, "First", [&](const Notification&) {
        order.push_back("first");
        center.post("Second");                   // nested post on the same thread
        center.removeObserver(&owner2, "First"); // a later observer of this very post
        center.addObserver(&late, "First", [&](const Notification&) { order.push_back("late"); });
    });
    center.addObserver(&owner2, "First", [&](const Notification&) { order.push_back("removed"); });
    center.addObserver(&owner1, "Second", [&](const Notification&) { order.push_back("second"); });

    center.post("First");
    EXPECT_EQ(order, (std::vector<QString>{"first", "second"}));
    order.clear();
    center.post("First");
    EXPECT_EQ(order, (std::vector<QString>{"first", "second", "late"}));
    center.removeObserver(&owner1);
    center.removeObserver(&late);
    EXPECT_EQ(center.observerCount("First"), 0);
}

TEST(MainThread, WaitingHandOffRunsOnTheMainThreadAndNeverDeadlocksThere) {
    bool ranInline = false;
    onMainThread([&] { ranInline = isMainThread(); }, true);
    EXPECT_TRUE(ranInline);

    std::atomic<bool> done{false};
    std::atomic<bool> onMain{false};
    std::thread worker([&] {
        onMainThread([&] { onMain = isMainThread(); }, true);
        done = true; // only after the main thread ran it
    });
    EXPECT_TRUE(test::waitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(onMain);
}

} // namespace
