#include "app/Pipeline.h"
#include "fixtures/Fixtures.h"
#include "platform/Defaults.h"
#include "platform/ItemFile.h"
#include "settings/Preferences.h"
#include "support/RefService.h"
#include "support/TestSupport.h"
#include "upload/HttpController.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSet>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace kivo;
using namespace kivo::test;

namespace {

class CountingDelegate : public RelaunchDelegate {
public:
    void relaunchApp(const QVariantMap& request) override {
        ++calls;
        last = request;
    }
    std::atomic<int> calls{0};
    QVariantMap last;
};

// The real controller talking to the reference service over loopback.
class ReplyTest : public SharedServiceTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SharedServiceTest::SetUp());
        folder = makeTempFolder("reply");
        store = std::make_unique<Defaults>(folder + "/settings.plist", -1);
        Preferences::useStore(store.get());
        store->setString(sPrefGlvURL, service->url());
        controller = std::make_unique<HttpController>();
        controller->setProgressDelegate(&delegate);
        photo = folder + "/Smith/IMG_0001.jpg";
        fixtures::PhotoSpec shot;
        shot.metadata = fixtures::sampleMetadata("Smith", 1);
        ASSERT_TRUE(fixtures::writeJpeg(photo, shot));
        auto& center = NotificationCenter::defaultCenter();
        center.addObserver(this, kUploadSuccessNotification, [this](const Notification& n) {
            outcome = "success";
            result = *n.userInfo;
        });
        center.addObserver(this, kUploadFailNotification, [this](const Notification& n) {
            outcome = "failure";
            result = *n.userInfo;
        });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        controller.reset();
        Preferences::useStore(nullptr);
    }

    std::shared_ptr<QVariantMap> item(const QString& user = "demo") {
        return std::make_shared<QVariantMap>(QVariantMap{{cDictKeyCurItem, "Smith/IMG_0001.jpg"},
                                                         {cDictKeyLocalSourceUploadFolder, folder},
                                                         {kEdUser, user},
                                                         {kEdPasswd, "secret"},
                                                         {kEdEventName, "Gala"},
                                                         {kEdClientName, "Smith"},
                                                         {kEdCaptureTime, "2026-12-05 10:00:00"},
                                                         {kEdMetaData, ""},
                                                         {kEdGlvFuseAction, "upload.upload"},
                                                         {kEdFileName, photo}});
    }

    // Uploads one item the way the pipeline does, returning the record it posted.
    std::shared_ptr<QVariantMap> upload(std::shared_ptr<QVariantMap> info = nullptr) {
        if (!info)
            info = item();
        outcome.clear();
        result.clear();
        NotificationCenter::defaultCenter().post(kUploadStartNotification, nullptr, info);
        return info;
    }

    QString folder, photo;
    std::unique_ptr<Defaults> store;
    std::unique_ptr<HttpController> controller;
    CountingDelegate delegate;
    QString outcome;
    QVariantMap result;
};

TEST_F(ReplyTest, AnAcceptedUploadArrivesWholeAndIsASuccess) {
    const auto sent = upload();
    EXPECT_EQ(outcome, "success");
    EXPECT_TRUE(sent->isEmpty()) << "the record passed in is emptied once done";
    EXPECT_EQ(result.value(kHttpStatusCode).toLongLong(), 200);
    EXPECT_EQ(result.value(kHttpOurCustomStatus).toString(), "OK");
    EXPECT_TRUE(result.value(kHttpOurCustomMessage).toString().contains("IMG_0001.jpg"));
    EXPECT_TRUE(result.contains(kHttpReturnData));
    EXPECT_TRUE(result.contains(kHttpResponse));
    EXPECT_EQ(result.value(cDictKeyCurItem).toString(), "Smith/IMG_0001.jpg");

    const QStringList received = service->receivedDirs();
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(readFile(received.front() + "/IMG_0001.jpg"), readFile(photo));
    // Both debug dumps are private: they hold the password.
    for (const char* dump : {"postBodyData.txt", "postBodyDataWithImage.txt"}) {
        const QFileInfo fi(HttpController::debugDumpFolder() + "/" + dump);
        ASSERT_TRUE(fi.exists()) << dump;
        const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                            QFileDevice::WriteOther | QFileDevice::ExeOther;
        EXPECT_EQ(fi.permissions() & others, QFileDevice::Permissions()) << dump;
    }
    EXPECT_TRUE(readFile(HttpController::debugDumpFolder() + "/postBodyDataWithImage.txt")
                    .endsWith(readFile(photo)));
}

struct ReplyCase {
    const char* what;
    QString kind;
    QVariantMap params;
    const char* outcome;
    std::optional<long> status;
    QString customStatus;  // empty: not checked
    QString customMessage; // empty: not checked
};
void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.what;
}

class ReplyTable : public ReplyTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTable, RecordsTheReplyAndJudgesIt) {
    const ReplyCase& c = GetParam();
    ASSERT_TRUE(service->setFault(c.kind, c.params));
    upload();
    EXPECT_EQ(outcome, c.outcome) << c.what;
    if (c.status) {
        EXPECT_EQ(result.value(kHttpStatusCode).toLongLong(), *c.status) << c.what;
    }
    if (!c.customStatus.isEmpty()) {
        EXPECT_EQ(result.value(kHttpOurCustomStatus).toString(), c.customStatus) << c.what;
    }
    if (!c.customMessage.isEmpty()) {
        EXPECT_EQ(result.value(kHttpOurCustomMessage).toString(), c.customMessage) << c.what;
    }
    EXPECT_EQ(result.contains(kHttpOurCustomStatus), result.contains(kHttpOurCustomMessage));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTable,
    ::testing::Values(
        ReplyCase{"ok in lower case",
                  "status",
                  {{"status", "ok"}, {"message", "fine"}},
                  "success",
                  200,
                  "ok",
                  "fine"},
        ReplyCase{"warning in lower case",
                  "status",
                  {{"status", "warning"}, {"message", "dup"}},
                  "failure",
                  200,
                  "warning",
                  "dup"},
        ReplyCase{"ERROR",
                  "status",
                  {{"status", "ERROR"}, {"message", "Bad account"}},
                  "failure",
                  200,
                  "ERROR",
                  "Bad account"},
        ReplyCase{"FAILED is not a failure word",
                  "status",
                  {{"status", "FAILED"}, {"message", "x"}},
                  "success",
                  200,
                  "FAILED",
                  "x"},
        ReplyCase{"no e-mail addresses",
                  "status",
                  {{"status", "FAIL"}, {"message", "No Email Addresses Sent"}},
                  "failure",
                  200,
                  "FAIL",
                  "No Email Addresses Sent"},
        ReplyCase{"500 with an HTML page", "http", {{"code", 500}}, "failure", 500, {}, {}},
        ReplyCase{"404 whose XML says OK",
                  "http",
                  {{"code", 404},
                   {"body", "<response><status>OK</status><message>fine</message></response>"}},
                  "failure",
                  404,
                  "OK",
                  "fine"},
        ReplyCase{"200 with a body that is not XML",
                  "body",
                  {{"body", "Thanks, got it!"}},
                  "failure",
                  200,
                  "FAIL",
                  {}},
        ReplyCase{"200 with an empty body", "body", {{"body", ""}}, "failure", 200, "FAIL", {}},
        ReplyCase{"a root with one child",
                  "body",
                  {{"body", "<response><status>OK</status></response>"}},
                  "failure",
                  200,
                  "FAIL",
                  "Not enough data returned..."}));

TEST_F(ReplyTest, TransportErrorsAreFailuresWithoutAStatusCode) {
    ASSERT_TRUE(service->setFault("close"));
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.contains(kHttpError));
    EXPECT_FALSE(result.contains(kHttpStatusCode));

    // Nobody listening at all.
    store->setString(sPrefGlvURL, "http://127.0.0.1:9/upload");
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_FALSE(result.value(kHttpError).toString().isEmpty());
    EXPECT_FALSE(result.contains(kHttpStatusCode));
}

TEST_F(ReplyTest, AServiceSilentBeyondTheIdleTimeOutIsATransportError) {
    // The idle check averages over a few seconds, so it fires a few seconds late.
    controller->setTransferTimeouts(5, 1);
    ASSERT_TRUE(service->setFault("delay", {{"ms", 12000}}));
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.contains(kHttpError));
    EXPECT_FALSE(result.contains(kHttpStatusCode));
}

TEST_F(ReplyTest, AHungUploadFiresTheWatchdogOnTheMainThread) {
    controller->setTransferTimeouts(5, 3);
    store->setDouble(sPrefUploadTimeOut, 0.5);
    ASSERT_TRUE(service->setFault("hang"));
    // The upload blocks a worker, as on the scan thread; the main thread keeps running.
    ASSERT_TRUE(runOnWorker([&] { upload(); }, 20000));
    EXPECT_GE(delegate.calls.load(), 1);
    EXPECT_TRUE(delegate.last.contains("LSLaunchFlags"));
    EXPECT_EQ(outcome, "failure");
    service->release();
}

TEST_F(ReplyTest, AnUnreadablePhotoIsNeverSentNorCountedAsUploaded) {
    const int before = int(service->requests().size());
    QFile::remove(photo);
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.value(kHttpError).toString().contains("IMG_0001.jpg"));
    for (const QString& key :
         {kHttpStatusCode, kHttpResponse, kHttpReturnData, kHttpOurCustomStatus})
        EXPECT_FALSE(result.contains(key)) << key.toStdString();
    EXPECT_EQ(int(service->requests().size()), before);
}

// Replies that are no judgement of the photo: whatever their words, the item must stay.
TEST_F(ReplyTest, WebPagesRedirectsAndGatewayErrorsAreNoVerdict) {
    const QString signIn = "<html><head><title>Welcome</title></head><body>Sign in to the "
                           "venue Wi-Fi</body></html>";
    ASSERT_TRUE(service->setFault("body", {{"body", signIn}, {"type", "text/html"}}));
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.value(kHttpNotAVerdict).toString().contains("web page"));

    ASSERT_TRUE(service->setFault("http", {{"code", 302}, {"location", "https://new.example/up"}}));
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.value(kHttpNotAVerdict)
                    .toString()
                    .contains("the service moved to https://new.example/up; check the service "
                              "address"));

    for (int code : {502, 503, 504}) {
        ASSERT_TRUE(service->setFault("http", {{"code", code}}));
        upload();
        EXPECT_EQ(outcome, "failure") << code;
        EXPECT_TRUE(result.value(kHttpNotAVerdict).toString().contains(QString::number(code)));
    }
    // The service's own answers are judged as before.
    ASSERT_TRUE(service->setFault("http", {{"code", 500}}));
    upload();
    EXPECT_FALSE(result.contains(kHttpNotAVerdict));
    upload();
    EXPECT_EQ(outcome, "success");
    EXPECT_FALSE(result.contains(kHttpNotAVerdict));
}

TEST_F(ReplyTest, OnlyTheFileTheScanSawIsSentAndAChangeIsNeverFiled) {
    // Replaced after it was chosen: not sent at all.
    auto info = item();
    FileIdentity seen = *identityOfPath(photo);
    seen.mtimeNs -= 1000000000;
    info->insert(kLocalItemIdentity, QVariant::fromValue(seen));
    upload(info);
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.value(kLocalRetryReason).toString().contains("changed"));
    EXPECT_EQ(service->state().value("requests").toInt(), 0);

    // Written to while it is being sent: the service answers OK, yet it is not filed.
    ASSERT_TRUE(service->setFault("delay", {{"ms", 1500}}));
    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        QFile f(photo);
        if (f.open(QIODevice::Append))
            f.write("more");
    });
    info = item();
    info->insert(kLocalItemIdentity, QVariant::fromValue(*identityOfPath(photo)));
    upload(info);
    writer.join();
    EXPECT_EQ(result.value(kHttpOurCustomStatus).toString(), "OK");
    EXPECT_EQ(outcome, "failure");
    EXPECT_TRUE(result.value(kLocalRetryReason).toString().contains("while it was being sent"));

    // A symbolic link in the photo's place is never opened.
    const QString secret = folder + "/secret.txt";
    ASSERT_TRUE(writeFile(secret, "private"));
    QFile::remove(photo);
    ASSERT_TRUE(QFile::link(secret, photo));
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_EQ(service->receivedDirs().size(), 1) << "only the delayed upload above arrived";
}

TEST_F(ReplyTest, DeeplyNestedRepliesAreJudgedQuicklyAsNoAnswer) {
    // As deep as the service's control call can carry; the cost grew with the square of it.
    QByteArray deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    ASSERT_TRUE(service->setFault("body", {{"body", QString::fromLatin1(deep)}}));
    upload();
    EXPECT_EQ(outcome, "failure");
    EXPECT_EQ(result.value(kHttpOurCustomStatus).toString(), "FAIL");
    EXPECT_TRUE(result.value(kHttpOurCustomMessage).toString().contains("nested deeper"));

    // An answer within the bounds is read as before.
    ASSERT_TRUE(service->setFault(
        "body", {{"body", "<r><status><b><i>OK</i></b></status><message>fine</message></r>"}}));
    upload();
    EXPECT_EQ(outcome, "success");
    EXPECT_EQ(result.value(kHttpOurCustomStatus).toString(), "OK");
}

TEST(HttpControllerStart, DumpsCutShortByAKillAreRemoved) {
    const QString folder = HttpController::debugDumpFolder();
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(writeFile(folder + "/postBodyDataWithImage.txt.aB3xYz", "half a body"));
    ASSERT_TRUE(writeFile(folder + "/postBodyData.txt", "the last whole dump"));
    HttpController controller;
    EXPECT_FALSE(QFileInfo::exists(folder + "/postBodyDataWithImage.txt.aB3xYz"));
    EXPECT_TRUE(QFileInfo::exists(folder + "/postBodyData.txt"));
}

QSet<int> connectionsOf(const std::vector<QVariantMap>& requests) {
    QSet<int> ids;
    for (const QVariantMap& r : requests)
        ids.insert(r.value("conn").toInt());
    return ids;
}

TEST_F(ReplyTest, SuccessiveUploadsShareOneConnectionAndALargeMovieArrivesWhole) {
    // Larger than any buffer on the way, and of an odd size.
    const QString movie = companionMoviePath(photo);
    QByteArray movieBytes(3 * 1024 * 1024 + 12345, '\0');
    for (qsizetype i = 0; i < movieBytes.size(); ++i)
        movieBytes[i] = char((i * 7919) >> 3);
    writeFile(movie, movieBytes);
    store->setBool(sPrefUploadMovie, true);

    const size_t before = service->requests().size();
    for (int i = 0; i < 5; ++i) {
        upload();
        ASSERT_EQ(outcome, "success") << i;
    }
    const std::vector<QVariantMap> all = service->requests();
    ASSERT_EQ(all.size(), before + 5);
    EXPECT_EQ(connectionsOf({all.begin() + qsizetype(before), all.end()}).size(), 1);

    const QVariantList files =
        RefService::record(service->receivedDirs().last()).value("files").toList();
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files.at(1).toMap().value("sha256").toString(),
              QCryptographicHash::hash(movieBytes, QCryptographicHash::Sha256).toHex());

    // The dump is written over the last one's spare copy: a smaller body after a larger one
    // leaves nothing of the larger behind, and a link put in the spare's place is not followed.
    const QString dumps = HttpController::debugDumpFolder();
    const QString outside = makeTempFolder("outside") + "/target";
    ASSERT_TRUE(writeFile(outside, "not ours"));
    QFile::remove(dumps + "/postBodyData.txt.spare");
    ASSERT_TRUE(QFile::link(outside, dumps + "/postBodyData.txt.spare"));
    store->setBool(sPrefUploadMovie, false);
    upload();
    ASSERT_EQ(outcome, "success");
    const QByteArray dump = readFile(dumps + "/postBodyDataWithImage.txt");
    EXPECT_TRUE(dump.endsWith(readFile(photo)));
    EXPECT_LT(dump.size(), readFile(photo).size() + 4096);
    EXPECT_FALSE(dump.contains("vidfile"));
    EXPECT_EQ(readFile(outside), "not ours");
}

TEST_F(ReplyTest, AConnectionTheServiceDroppedIsReplacedWithoutLosingTheItem) {
    // Cut by the service mid-request on a kept-alive connection: sent again on a new one, which
    // needs the body rewound to its start.
    upload();
    ASSERT_EQ(outcome, "success");
    const int received = service->receivedDirs().size();
    ASSERT_TRUE(service->setFault("close"));
    upload();
    EXPECT_EQ(outcome, "success") << result.value(kHttpError).toString().toStdString();
    ASSERT_EQ(service->receivedDirs().size(), received + 1);
    EXPECT_EQ(readFile(service->receivedDirs().last() + "/IMG_0001.jpg"), readFile(photo));

    // Closed while idle between uploads.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    upload();
    EXPECT_EQ(outcome, "success");
    EXPECT_EQ(service->receivedDirs().size(), received + 2);

    // Closed after every request.
    RefService closing;
    ASSERT_TRUE(
        closing.start(makeTempFolder("closing"), "demo", "secret", {"--keepalive-max", "1"}));
    store->setString(sPrefGlvURL, closing.url());
    for (int i = 0; i < 3; ++i) {
        upload();
        EXPECT_EQ(outcome, "success") << i;
    }
    EXPECT_EQ(closing.receivedDirs().size(), 3);
    ASSERT_EQ(closing.requests().size(), 3u);
    EXPECT_EQ(connectionsOf(closing.requests()).size(), 3);
}

} // namespace
