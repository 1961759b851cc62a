// Desktop notifications against a stand-in notification server on the test's private session
// bus, and the station state the pipeline reports.
#include "PipelineFixture.h"
#include "app/StationNotices.h"
#include "files/FolderWatcher.h"
#include "platform/DesktopNotifier.h"
#include "platform/NotificationCenter.h"

#include <QDBusConnection>
#include <QProcess>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

// A bus daemon of the test's own, named as the session bus while it lives: test programs run
// side by side on the suite's session bus, and one's stand-in server must not answer another.
class PrivateSessionBus {
public:
    PrivateSessionBus() : fSaved(qgetenv("DBUS_SESSION_BUS_ADDRESS")) {
        fDaemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (fDaemon.waitForStarted() && waitUntil([&] { return fDaemon.canReadLine(); }, 10000))
            address = QString::fromUtf8(fDaemon.readLine().trimmed());
        if (!address.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }
    ~PrivateSessionBus() {
        qputenv("DBUS_SESSION_BUS_ADDRESS", fSaved);
        fDaemon.terminate();
        fDaemon.waitForFinished(5000);
    }
    QString address;

private:
    QByteArray fSaved;
    QProcess fDaemon;
};

// Answers Notify like a desktop's notification server and keeps what it was sent.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        uint replacesId;
        QString appName, icon, summary, body;
        QVariantMap hints;
        int expireMs;
    };
    QList<Call> calls;

    bool start(const QString& address) {
        QDBusConnection bus = QDBusConnection::connectToBus(address, "fake-notification-server");
        return bus.registerObject("/org/freedesktop/Notifications", this,
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService("org.freedesktop.Notifications");
    }
    ~FakeNotificationServer() override {
        QDBusConnection::disconnectFromBus("fake-notification-server");
    }

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& icon,
                const QString& summary, const QString& body, const QStringList&,
                const QVariantMap& hints, int expireMs) {
        calls.append({replacesId, appName, icon, summary, body, hints, expireMs});
        return uint(calls.size());
    }
};

// The outcomes a notifier reports, in order.
struct Outcomes {
    explicit Outcomes(DesktopNotifier& notifier) {
        QObject::connect(&notifier, &DesktopNotifier::finished,
                         [this](DesktopNotifier::Outcome o) { seen.push_back(o); });
    }
    bool waitFor(size_t count) {
        return waitUntil([&] { return seen.size() >= count; }, 10000);
    }
    std::vector<DesktopNotifier::Outcome> seen;
};

TEST(DesktopNotices, EachKindReachesTheServerAtMostOnceAMinute) {
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    FakeNotificationServer server;
    ASSERT_TRUE(server.start(bus.address));
    DesktopNotifier notifier;
    Outcomes finished(notifier);
    StationNotices station;
    station.useDesktopNotifier(&notifier);
    qint64 now = 5'000'000;
    station.setClock([&] { return now; });

    EXPECT_TRUE(station.notify(NoticeKind::LoopStopped, "Bad account"));
    now += 30'000;
    EXPECT_FALSE(station.notify(NoticeKind::LoopStopped, "Bad account")) << "within the minute";
    EXPECT_TRUE(station.notify(NoticeKind::FiledAsProblem, "[Smith/a<b>&c.jpg]: Duplicate"));
    EXPECT_FALSE(station.notify(NoticeKind::FiledAsProblem, "[Smith/d.jpg]: Duplicate"));
    EXPECT_TRUE(station.notify(NoticeKind::CannotFile, "[Smith/e.jpg] cannot be filed"));
    // The watcher speaks through the notification centre, from its own thread.
    auto info = std::make_shared<QVariantMap>();
    info->insert("folder", "/data/in/Smith");
    std::thread watcher(
        [&] { NotificationCenter::defaultCenter().post(kWatcherLimitReached, nullptr, info); });
    watcher.join();
    ASSERT_TRUE(finished.waitFor(4));
    now += 30'000; // a minute after the first stop
    EXPECT_TRUE(station.notify(NoticeKind::LoopStopped, "Server down"));

    ASSERT_TRUE(finished.waitFor(5));
    ASSERT_EQ(server.calls.size(), 5);
    for (DesktopNotifier::Outcome o : finished.seen)
        EXPECT_EQ(o, DesktopNotifier::Outcome::Shown);
    QStringList summaries;
    for (const auto& call : server.calls) {
        summaries << call.summary;
        EXPECT_EQ(call.appName, "KivoUploader");
        EXPECT_EQ(call.icon, "com.quandril.KivoUploader");
    }
    EXPECT_EQ(summaries, QStringList({"Uploads stopped", "Photo moved to Problem Folder",
                                      "A photo cannot be filed", "Folder watch limit reached",
                                      "Uploads stopped"}));
    const auto& stop = server.calls[0];
    EXPECT_TRUE(stop.body.startsWith("Bad account\n")) << stop.body.toStdString();
    EXPECT_EQ(stop.hints.value("urgency").toInt(), 2);
    EXPECT_EQ(stop.expireMs, 0) << "an error stays until dismissed";
    const auto& filed = server.calls[1];
    EXPECT_EQ(filed.body, "[Smith/a&lt;b&gt;&amp;c.jpg]: Duplicate") << "never read as markup";
    EXPECT_EQ(filed.hints.value("urgency").toInt(), 1);
    EXPECT_GT(filed.expireMs, 0);
    EXPECT_TRUE(server.calls[3].body.contains("[/data/in/Smith]"));
    EXPECT_TRUE(server.calls[4].body.startsWith("Server down"));
    EXPECT_EQ(server.calls[0].replacesId, 0u);
    EXPECT_EQ(server.calls[4].replacesId, 1u) << "a repeat takes the place of the first stop";
}

TEST(DesktopNotices, WithoutAServerOrABusNothingIsShownAndOneLineSaysSo) {
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    FdCapture err;
    {
        DesktopNotifier notifier;
        Outcomes finished(notifier);
        DesktopNotifier::Notice notice;
        notice.summary = "Uploads stopped";
        notifier.send(notice);
        notifier.send(notice);
        ASSERT_TRUE(finished.waitFor(2));
        EXPECT_EQ(finished.seen[0], DesktopNotifier::Outcome::NoServer);
        EXPECT_EQ(finished.seen[1], DesktopNotifier::Outcome::NoServer);
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", "tcp:host=127.0.0.1,port=9");
    {
        DesktopNotifier notifier;
        Outcomes finished(notifier);
        notifier.send({});
        ASSERT_TRUE(finished.waitFor(1));
        EXPECT_EQ(finished.seen[0], DesktopNotifier::Outcome::NoBus);
    }
    EXPECT_EQ(err.text().count("Desktop notifications are not shown"), 2)
        << "one line per notifier, not per notice:\n"
        << err.text().data();
}

struct RecordedState {
    StationState state;
    QString detail;
};

class StateRecorder : public StationStateObserver {
public:
    void stationStateChanged(StationState state, const QString& detail) override {
        std::lock_guard<std::mutex> g(lock);
        seen.push_back({state, detail});
    }
    RecordedState last() {
        std::lock_guard<std::mutex> g(lock);
        return seen.back();
    }
    std::mutex lock;
    std::vector<RecordedState> seen;
};

TEST_F(PipelineTest, TheStationFollowsThePipelineAndTellsOfStopsAndFilings) {
    StateRecorder states;
    std::vector<StationNotice> notices;
    controller->station().setSender([&](const StationNotice& n) { notices.push_back(n); });
    controller->station().setStateObserver(&states);
    ASSERT_EQ(states.last().state, StationState::Idle);

    post(kUploadStartNotification, resultInfo("Smith/IMG_0001.jpg"));
    EXPECT_EQ(states.last().state, StationState::Uploading);
    EXPECT_EQ(states.last().detail, "IMG_0001.jpg");

    post(kUploadFailNotification, replyInfo("Smith/IMG_0001.jpg", 200, "Warning", "Duplicate"));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, NoticeKind::FiledAsProblem);
    EXPECT_EQ(notices[0].body, "[Smith/IMG_0001.jpg]: Duplicate");

    filingWorks = false;
    post(kUploadStartNotification, resultInfo("Smith/IMG_0002.jpg"));
    post(kUploadSuccessNotification, resultInfo("Smith/IMG_0002.jpg"));
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].kind, NoticeKind::CannotFile);
    EXPECT_TRUE(notices[1].body.contains("[Smith/IMG_0002.jpg] cannot be filed into the mirror"));

    post(kUploadStartNotification, resultInfo("Smith/IMG_0003.jpg"));
    post(kUploadFailNotification, replyInfo("Smith/IMG_0003.jpg", 200, "ERROR", "Bad account"));
    EXPECT_EQ(states.last().state, StationState::Stopped);
    EXPECT_EQ(states.last().detail, "Bad account");
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[2].kind, NoticeKind::LoopStopped);

    // The next pass finds nothing: idle. Paused by the user while idle, then resumed.
    post(kCleanUpAfterCompleteLoop, std::make_shared<QVariantMap>());
    EXPECT_EQ(states.last().state, StationState::Idle);
    controller->ibClickedOnHalt(nullptr);
    EXPECT_EQ(states.last().state, StationState::Paused);
    post(kCleanUpAfterCompleteLoop, std::make_shared<QVariantMap>());
    EXPECT_EQ(states.last().state, StationState::Paused) << "a pass ending does not resume";
    controller->ibClickedOnHalt(nullptr);
    EXPECT_EQ(states.last().state, StationState::Idle);

    // A pause asked for during an upload takes hold when the item is done.
    post(kUploadStartNotification, resultInfo("Smith/IMG_0004.jpg"));
    controller->ibClickedOnHalt(nullptr);
    EXPECT_EQ(states.last().state, StationState::Uploading);
    post(kUploadDoneNotification, resultInfo("Smith/IMG_0004.jpg"));
    EXPECT_EQ(states.last().state, StationState::Paused);
    controller->station().setStateObserver(nullptr);
}

} // namespace

#include "test_station_notices.moc"
