// The reference web service, driven over real loopback HTTP with bodies laid out byte by byte
// as the program sends them.
#include "support/RefService.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

using kivo::test::RefService;

namespace {

const QByteArray kBoundary = "0xKhTmLbOuNdArY";
const std::string kMultipart = "multipart/form-data; boundary=0xKhTmLbOuNdArY";

using Fields = std::vector<std::pair<QByteArray, QByteArray>>;

struct Upload {
    Fields fields;
    QByteArray fileName = "IMG_0001.jpg";
    QByteArray photo;
    QByteArray movieName;
    QByteArray movie;

    // Leading CRLF, every value closed by the next delimiter, file parts last (none without a
    // file name).
    QByteArray body() const {
        QByteArray out;
        for (const auto& [name, value] : fields) {
            out += "\r\n--" + kBoundary + "\r\n";
            out += "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
            out += value;
        }
        if (!fileName.isEmpty()) {
            out += "\r\n--" + kBoundary + "\r\n";
            out += "Content-Disposition: form-data; name=\"imgfile\"; filename=\"" + fileName +
                   "\"\r\n";
            out += "Content-Type: image/jpeg\r\n\r\n";
            out += photo;
        }
        if (!movieName.isEmpty()) {
            out += "\r\n--" + kBoundary + "\r\n";
            out += "Content-Disposition: form-data; name=\"vidfile\"; filename=\"" + movieName +
                   "\"\r\n";
            out += "Content-Type: video/quicktime\r\n\r\n";
            out += movie;
        }
        out += "\r\n--" + kBoundary + "--\r\n";
        return out;
    }
};

// Bytes that look like framing without being a delimiter, over several read chunks.
QByteArray trickyBytes(int size, char seed) {
    QByteArray bytes;
    const QByteArray nearDelimiter = "\r\n--" + kBoundary.left(kBoundary.size() - 1) + "\r\n--";
    for (int i = 0; bytes.size() < size; ++i) {
        bytes += static_cast<char>((i * 31 + seed) & 0xff);
        if (i % 997 == 0)
            bytes += nearDelimiter;
    }
    bytes.resize(size);
    bytes += "\r\n"; // a file may itself end in CRLF
    return bytes;
}

Upload photoUpload(const QByteArray& user, const QByteArray& password,
                   const QByteArray& fileName = "IMG_0001.jpg") {
    Upload upload;
    upload.fields = {{"username", user},
                     {"password", password},
                     {"event", "Spring Gala"},
                     {"client", "StudioA"},
                     {"capturetime", "2009:05:01 10:00:00"},
                     {"metadata", ""},
                     {"fuseaction", "photos.upload"},
                     {"Submit", "Upload"}};
    upload.fileName = fileName;
    upload.photo = trickyBytes(3000, 7);
    return upload;
}

Upload orderQuery(const QByteArray& fuseAction, const QByteArray& password = "s3cret") {
    Upload query;
    query.fields = {{"fuseaction", fuseAction}, {"username", "alice"}, {"password", password}};
    query.fileName.clear();
    return query;
}

// Fields as the program sends them; an empty orderid or pictureid is left out.
Upload hiResUpload(const QByteArray& orderId, const QByteArray& imageId,
                   const QByteArray& pictureId, const QByteArray& password = "s3cret") {
    Upload upload;
    upload.fields = {
        {"fuseaction", "order.uploadHiRes"}, {"username", "alice"}, {"password", password}};
    if (!orderId.isEmpty())
        upload.fields.emplace_back("orderid", orderId);
    upload.fields.emplace_back("imageid", imageId);
    if (!pictureId.isEmpty())
        upload.fields.emplace_back("pictureid", pictureId);
    upload.fileName = "IMG_HIRES_0001.jpg";
    upload.photo = trickyBytes(300 * 1024, 9);
    return upload;
}

httplib::Result send(const RefService& service, const QByteArray& body,
                     const std::string& contentType = kMultipart, int readTimeoutSeconds = 5) {
    httplib::Client client("127.0.0.1", service.port());
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(readTimeoutSeconds, 0);
    return client.Post("/upload", body.constData(), static_cast<size_t>(body.size()), contentType);
}

std::string xml(const std::string& status, const std::string& message) {
    return "<response><status>" + status + "</status><message>" + message + "</message></response>";
}

class RefServiceTest : public ::testing::Test {
protected:
    void SetUp() override { fData = kivo::test::makeTempFolder("refservice"); }

    void startService(const QString& user = {}, const QString& password = {},
                      const QStringList& extra = {}) {
        ASSERT_TRUE(fService.start(fData, user, password, extra))
            << fService.errorString().toStdString();
    }

    // An upload that must be answered with the service's OK.
    void expectAccepted(const Upload& upload) {
        httplib::Result res = send(fService, upload.body());
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->body, xml("OK", "Received " + upload.fileName.toStdString()));
    }

    QString fData;
    RefService fService;
};

} // namespace

TEST_F(RefServiceTest, StoresAnUploadByteExactWithItsFieldsInOrder) {
    startService("alice", "s3cret");
    Upload upload = photoUpload("alice", "s3cret");
    // Both e-mail fields, in the order sent, must survive.
    upload.fields.insert(upload.fields.begin() + 7,
                         {{"emails", "a@x.org, b@x.org"},
                          {"localfilelocation", "/Volumes/S/IMG_0001.jpg"},
                          {"email", "larch@x.org"},
                          {"phone", "555-0100"},
                          {"firstname", "Zoë"},
                          {"email", "sitting@x.org"},
                          {"sittingid", "42"}});
    upload.photo = trickyBytes(200 * 1024, 3);
    upload.movieName = "IMG_0001.mov";
    upload.movie = trickyBytes(70 * 1024, 11);

    httplib::Result res = send(fService, upload.body());
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml");
    EXPECT_EQ(res->body, xml("OK", "Received IMG_0001.jpg"));

    const QStringList dirs = fService.receivedDirs();
    ASSERT_EQ(dirs.size(), 1);
    EXPECT_TRUE(dirs[0].endsWith("/1-StudioA"));
    EXPECT_EQ(kivo::test::readFile(dirs[0] + "/IMG_0001.jpg"), upload.photo);
    EXPECT_EQ(kivo::test::readFile(dirs[0] + "/IMG_0001.mov"), upload.movie);

    const QVariantMap record = RefService::record(dirs[0]);
    const QVariantList fields = record["fields"].toList();
    ASSERT_EQ(fields.size(), static_cast<qsizetype>(upload.fields.size()));
    for (size_t i = 0; i < upload.fields.size(); ++i) {
        const QVariantList pair = fields[static_cast<qsizetype>(i)].toList();
        ASSERT_EQ(pair.size(), 2);
        EXPECT_EQ(pair[0].toString(), QString::fromUtf8(upload.fields[i].first)) << i;
        EXPECT_EQ(pair[1].toString(), QString::fromUtf8(upload.fields[i].second)) << i;
    }
    EXPECT_EQ(record["fuseaction"].toString(), "photos.upload");
    EXPECT_EQ(record["path"].toString(), "/upload");
    const QVariantList files = record["files"].toList();
    ASSERT_EQ(files.size(), 2);
    const QVariantMap photo = files[0].toMap();
    EXPECT_EQ(photo["field"].toString(), "imgfile");
    EXPECT_EQ(photo["size"].toLongLong(), upload.photo.size());
    EXPECT_EQ(photo["sha256"].toByteArray(),
              QCryptographicHash::hash(upload.photo, QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(files[1].toMap()["filename"].toString(), "IMG_0001.mov");

    // The configured account is the only one accepted.
    httplib::Result refused = send(fService, photoUpload("alice", "wrong").body());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 200);
    EXPECT_EQ(refused->body, xml("ERROR", "Invalid account"));
    EXPECT_EQ(fService.receivedDirs().size(), 1);

    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["file"].toString(), "IMG_0001.jpg");
    EXPECT_EQ(log[0]["bytes"].toLongLong(), upload.photo.size());
    EXPECT_EQ(log[0]["movie"].toString(), "IMG_0001.mov");
    EXPECT_EQ(log[0]["client"].toString(), "StudioA");
    EXPECT_EQ(log[0]["fuseaction"].toString(), "photos.upload");
    EXPECT_EQ(log[0]["http"].toInt(), 200);
    EXPECT_EQ(log[0]["status"].toString(), "OK");
    EXPECT_TRUE(log[0]["fault"].isNull());
    EXPECT_EQ(log[1]["status"].toString(), "ERROR");
    EXPECT_TRUE(log[1]["dir"].isNull());
}

TEST_F(RefServiceTest, ScriptedRepliesReplaceTheAnswerAndAreNotStored) {
    startService();
    ASSERT_TRUE(fService.setFault("status",
                                  {{"status", "Warning"}, {"message", "Duplicate"}, {"count", 2}}));
    for (int i = 0; i < 2; ++i) {
        httplib::Result res = send(fService, photoUpload("u", "p").body());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->body, xml("Warning", "Duplicate"));
    }
    expectAccepted(photoUpload("u", "p")); // the count is used up

    ASSERT_TRUE(fService.setFault("http", {{"code", 503}}));
    httplib::Result page = send(fService, photoUpload("u", "p").body());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 503);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html");
    EXPECT_NE(page->body.find("<html>"), std::string::npos);

    EXPECT_EQ(fService.receivedDirs().size(), 1);
    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0]["fault"].toString(), "status");
    EXPECT_EQ(log[0]["status"].toString(), "Warning");
    EXPECT_TRUE(log[2]["fault"].isNull());
    EXPECT_EQ(log[3]["fault"].toString(), "http");
    EXPECT_EQ(log[3]["http"].toInt(), 503);
    EXPECT_TRUE(log[3]["status"].isNull());
    const QVariantMap state = fService.state();
    EXPECT_EQ(state["requests"].toInt(), 4);
    EXPECT_EQ(state["received"].toInt(), 1);
    EXPECT_EQ(state["faulted"].toInt(), 3);
    EXPECT_TRUE(state["faults"].toList().isEmpty());
}

TEST_F(RefServiceTest, FaultsFollowMatchCountAndReset) {
    startService();
    ASSERT_TRUE(
        fService.setFault("status", {{"match", "_X"}, {"status", "FAIL"}, {"message", "x"}}));
    expectAccepted(photoUpload("u", "p", "IMG_1.jpg")); // does not match: untouched
    httplib::Result matched = send(fService, photoUpload("u", "p", "IMG_X.jpg").body());
    ASSERT_TRUE(matched);
    EXPECT_EQ(matched->body, xml("FAIL", "x"));

    ASSERT_TRUE(
        fService.setFault("status", {{"count", 0}, {"message", "No Email Addresses Sent"}}));
    for (int i = 0; i < 3; ++i) {
        httplib::Result res = send(fService, photoUpload("u", "p").body());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, xml("ERROR", "No Email Addresses Sent"));
    }
    EXPECT_EQ(fService.state()["faults"].toList().size(), 1);
    ASSERT_TRUE(fService.reset());
    expectAccepted(photoUpload("u", "p"));

    // A delayed answer is a normal one that comes late.
    ASSERT_TRUE(fService.setFault("delay", {{"ms", 300}}));
    QElapsedTimer timer;
    timer.start();
    expectAccepted(photoUpload("u", "p", "IMG_D.jpg"));
    EXPECT_GE(timer.elapsed(), 300);
    EXPECT_EQ(fService.receivedDirs().size(), 3);
    EXPECT_EQ(fService.requests().back()["fault"].toString(), "delay");

    // Bad control calls are refused and change nothing.
    EXPECT_FALSE(fService.setFault("explode"));
    EXPECT_FALSE(fService.setFault("status", {{"colour", "red"}}));
    EXPECT_FALSE(fService.setFault("http", {{"code", "abc"}}));
    // A line break would let a redirect's location add headers of its own.
    EXPECT_FALSE(fService.setFault("http", {{"location", "/x\r\nSet-Cookie: a=b"}}));
    EXPECT_TRUE(fService.state()["faults"].toList().isEmpty());
}

TEST_F(RefServiceTest, HangHoldsTheRequestUntilReleased) {
    startService();
    ASSERT_TRUE(fService.setFault("hang"));
    httplib::Result held = send(fService, photoUpload("u", "p").body(), kMultipart, 1);
    EXPECT_FALSE(held);
    EXPECT_EQ(held.error(), httplib::Error::Read);
    ASSERT_TRUE(fService.waitForRequests(1));
    EXPECT_EQ(fService.requests()[0]["fault"].toString(), "hang");
    EXPECT_TRUE(fService.requests()[0]["http"].isNull());
    EXPECT_EQ(fService.state()["held"].toInt(), 1);

    ASSERT_TRUE(fService.release());
    EXPECT_TRUE(kivo::test::waitUntil([&] { return fService.state()["held"].toInt() == 0; }));
    expectAccepted(photoUpload("u", "p"));
    EXPECT_EQ(fService.receivedDirs().size(), 1);
}

TEST_F(RefServiceTest, HeldRequestDoesNotKeepTheServiceFromStopping) {
    startService();
    ASSERT_TRUE(fService.setFault("hang"));
    std::atomic<bool> answered{true};
    std::thread client([&] {
        answered = static_cast<bool>(send(fService, photoUpload("u", "p").body(), kMultipart, 30));
    });
    const bool logged = fService.waitForRequests(1);
    EXPECT_TRUE(fService.stop());
    client.join();
    EXPECT_TRUE(logged);
    EXPECT_FALSE(answered); // cut without a reply, long before the client's time-out
}

TEST_F(RefServiceTest, CloseCutsTheConnectionWhileTheBodyArrives) {
    // Given at start, and only for matching file names.
    startService({}, {}, {"--fault", "kind=close&match=CUT"});
    Upload big = photoUpload("u", "p", "IMG_CUT.jpg");
    big.photo = trickyBytes(4 * 1024 * 1024, 5);
    httplib::Result cut = send(fService, big.body());
    EXPECT_FALSE(cut);
    EXPECT_NE(cut.error(), httplib::Error::Success);

    ASSERT_TRUE(fService.setFault("close"));
    httplib::Result small = send(fService, photoUpload("u", "p").body());
    EXPECT_FALSE(small);

    expectAccepted(photoUpload("u", "p", "IMG_CUT.jpg")); // both faults are used up
    EXPECT_EQ(fService.receivedDirs().size(), 1);
    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["fault"].toString(), "close");
    EXPECT_EQ(log[0]["file"].toString(), "IMG_CUT.jpg");
    EXPECT_TRUE(log[0]["http"].isNull());
    EXPECT_EQ(log[1]["fault"].toString(), "close");
    EXPECT_TRUE(QDir(fData + "/incoming").isEmpty());
}

TEST_F(RefServiceTest, MalformedRequestsAreRefusedAndLogged) {
    startService();
    httplib::Result plain = send(fService, "just text", "text/plain");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 400);

    httplib::Result noBoundary =
        send(fService, photoUpload("u", "p").body(), "multipart/form-data");
    ASSERT_TRUE(noBoundary);
    EXPECT_EQ(noBoundary->status, 400);

    httplib::Client client("127.0.0.1", fService.port());
    httplib::Result get = client.Get("/upload");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);

    // Names from the request never lead outside the data folder.
    Upload sneaky = photoUpload("u", "p", "../../../escape.jpg");
    sneaky.fields[3].second = "../../evil";
    httplib::Result stored = send(fService, sneaky.body());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status, 200);
    const QStringList dirs = fService.receivedDirs();
    ASSERT_EQ(dirs.size(), 1);
    EXPECT_EQ(QFileInfo(dirs[0]).dir().absolutePath(), QDir(fData + "/received").absolutePath());
    EXPECT_EQ(kivo::test::readFile(dirs[0] + "/escape.jpg"), sneaky.photo);
    EXPECT_EQ(QDir(fData).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"incoming", "received", "requests.log"}));

    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 4u);
    const int expected[] = {400, 400, 405, 200};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(log[static_cast<size_t>(i)]["http"].toInt(), expected[i]) << i;
    EXPECT_EQ(log[3]["file"].toString(), "../../../escape.jpg");
}

TEST_F(RefServiceTest, RefusesBodiesWhosePartsDoNotParse) {
    startService();
    const QByteArray delimiter = "\r\n--" + kBoundary;
    auto withField = [](int index, const QByteArray& value) {
        Upload upload = photoUpload("u", "p");
        upload.fields[static_cast<size_t>(index)].second = value;
        return upload.body();
    };
    auto edited = [](const QByteArray& from, const QByteArray& to) {
        return photoUpload("u", "p").body().replace(from, to);
    };
    const QByteArray good = photoUpload("u", "p").body();
    const std::pair<const char*, QByteArray> bodies[] = {
        // Text in a field value that forges a part of its own.
        {"second imgfile", withField(2, "Gala" + delimiter +
                                            "\r\nContent-Disposition: form-data; name=\"imgfile\"; "
                                            "filename=\"evil.jpg\"\r\nContent-Type: image/jpeg"
                                            "\r\n\r\nEVIL")},
        {"second username", withField(3, "StudioA" + delimiter +
                                             "\r\nContent-Disposition: form-data; "
                                             "name=\"username\"\r\n\r\nmallory")},
        {"raw CR LF in the filename", photoUpload("u", "p", "a\r\nb.jpg").body()},
        {"bare LF in the filename", photoUpload("u", "p", "a\nb.jpg").body()},
        {"raw quote in the filename", photoUpload("u", "p", "a\"b.jpg").body()},
        {"no name", edited("form-data; name=\"event\"", "form-data")},
        {"no Content-Disposition",
         edited("Content-Disposition: form-data; name=\"event\"\r\n", "")},
        {"two Content-Disposition headers",
         edited("name=\"event\"\r\n",
                "name=\"event\"\r\nContent-Disposition: form-data; name=\"x\"\r\n")},
        {"header line without a colon",
         edited("name=\"event\"\r\n", "name=\"event\"\r\nX-Note\r\n")},
        {"no closing delimiter", good.left(good.size() - 4)},
        {"closing delimiter without its line end", good.chopped(2)},
        {"a part after the closing delimiter",
         good + "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\ny" +
             delimiter + "--\r\n"},
    };
    for (const auto& [what, body] : bodies) {
        httplib::Result res = send(fService, body);
        ASSERT_TRUE(res) << what;
        EXPECT_EQ(res->status, 400) << what;
    }

    const auto log = fService.requests();
    ASSERT_EQ(log.size(), std::size(bodies));
    for (const QVariantMap& entry : log) {
        EXPECT_EQ(entry["http"].toInt(), 400) << entry["n"].toInt();
        EXPECT_TRUE(entry["dir"].isNull());
    }
    EXPECT_TRUE(fService.receivedDirs().isEmpty());
    EXPECT_TRUE(QDir(fData + "/incoming").isEmpty());
    expectAccepted(photoUpload("u", "p")); // the checks do not refuse the program's own bodies
}

TEST_F(RefServiceTest, EscapedFileNamesAreRecordedAsTheFileWasNamed) {
    startService();
    const Upload quoted = photoUpload("u", "p", "a%22b.jpg");
    httplib::Result res = send(fService, quoted.body());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, xml("OK", "Received a\"b.jpg"));
    // Only the three escapes a browser makes are undone.
    const Upload lines = photoUpload("u", "p", "x%0d%0Ay%2541.jpg");
    httplib::Result second = send(fService, lines.body());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 200);

    const QStringList dirs = fService.receivedDirs();
    ASSERT_EQ(dirs.size(), 2);
    EXPECT_EQ(RefService::record(dirs[0])["files"].toList()[0].toMap()["filename"].toString(),
              "a\"b.jpg");
    EXPECT_EQ(kivo::test::readFile(dirs[0] + "/a_b.jpg"), quoted.photo);
    EXPECT_EQ(RefService::record(dirs[1])["files"].toList()[0].toMap()["filename"].toString(),
              "x\r\ny%2541.jpg");
    EXPECT_EQ(fService.requests()[0]["file"].toString(), "a\"b.jpg");
}

TEST_F(RefServiceTest, StartsStopsAndRefusesBadOptions) {
    const QString exe = RefService::executablePath();
    auto exitCode = [&](const QStringList& args) {
        QProcess process;
        process.start(exe, args);
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        return process.exitCode();
    };
    EXPECT_EQ(exitCode({"--data", fData, "--bind", "0.0.0.0"}), 2);
    EXPECT_EQ(exitCode({"--data", fData, "--bind", "192.168.1.10"}), 2);
    EXPECT_EQ(exitCode({"--port", "0"}), 2);
    EXPECT_EQ(exitCode({"--data", fData, "--fault", "kind=melt"}), 1);
    EXPECT_EQ(exitCode({"--data", fData, "--order", "imageid=1&colour=red"}), 1);
    EXPECT_EQ(exitCode({"--data", fData, "--order-grammar", "v5"}), 2);

    // Numbering goes on across runs, so no stored upload is ever overwritten.
    startService();
    expectAccepted(photoUpload("u", "p"));
    EXPECT_TRUE(fService.stop());
    startService();
    expectAccepted(photoUpload("u", "p"));
    EXPECT_EQ(fService.receivedDirs().size(), 2);
    EXPECT_TRUE(fService.receivedDirs().last().endsWith("/2-StudioA"));
    EXPECT_TRUE(fService.stop());

    // It never outlives its lifetime.
    startService({}, {}, {"--max-lifetime", "1"});
    EXPECT_TRUE(kivo::test::waitUntil([&] { return !fService.isRunning(); }, 5000));
}

TEST_F(RefServiceTest, OrderQueriesListThePendingOrdersInEitherGrammar) {
    // The option's own form decoding leaves %20 in the location the reply carries.
    startService("alice", "s3cret",
                 {"--order", "localfilelocation=/Shoot/Day%25201/IMG_1.jpg&orderid=7&imageid=42&"
                             "pictureid=9"});
    ASSERT_TRUE(fService.addOrder({{"imageid", 43}, {"localfilelocation", "/a&b/<c> \"d\" 'e'"}}));
    const std::string first =
        "<localfilelocation>/Shoot/Day%201/IMG_1.jpg</localfilelocation><orderid>7</orderid>"
        "<imageid>42</imageid><pictureid>9</pictureid>";
    const std::string second =
        "<localfilelocation>/a&amp;b/&lt;c&gt; &quot;d&quot; &apos;e&apos;</localfilelocation>"
        "<imageid>43</imageid>";
    auto expected = [&](const std::string& element) {
        const std::string open = "<" + element + ">", close = "</" + element + ">";
        return "<response><status>OK</status><message>2 orders</message>" + open + first + close +
               open + second + close + "</response>";
    };
    const struct {
        QByteArray fuseAction;
        QString grammar;
        std::string element;
    } cases[] = {
        {"order.checkHiRes", "auto", "order"},
        {"Orders.V4Check", "auto", "image"},
        {"orders.v4check", "v3", "order"},
        {"order.checkHiRes", "v4", "image"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(fService.setOrderGrammar(c.grammar));
        httplib::Result res = send(fService, orderQuery(c.fuseAction).body());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml");
        EXPECT_EQ(res->body, expected(c.element)) << c.fuseAction.constData();
    }
    EXPECT_FALSE(fService.setOrderGrammar("v5"));

    httplib::Result refused = send(fService, orderQuery("order.checkHiRes", "wrong").body());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->body, xml("ERROR", "Invalid account"));

    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 5u);
    for (const QVariantMap& entry : log) {
        EXPECT_EQ(entry["kind"].toString(), "query");
        EXPECT_FALSE(entry.contains("order"));
    }
    EXPECT_TRUE(fService.receivedDirs().isEmpty());
}

TEST_F(RefServiceTest, HiResUploadIsStoredAndFulfilsTheOrderItNames) {
    startService("alice", "s3cret");
    ASSERT_TRUE(fService.addOrder({{"orderid", 7}, {"imageid", 42}, {"pictureid", 1}}));
    ASSERT_TRUE(fService.addOrder({{"orderid", 8}, {"imageid", 42}, {"pictureid", 1}}));
    ASSERT_TRUE(fService.addOrder({{"imageid", 50}}));

    const Upload upload = hiResUpload("8", "42", "1");
    httplib::Result res = send(fService, upload.body());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, xml("OK", "Received hi-res IMG_HIRES_0001.jpg"));
    QStringList dirs = fService.receivedDirs();
    ASSERT_EQ(dirs.size(), 1);
    EXPECT_TRUE(dirs[0].endsWith("/1-hires-8"));
    EXPECT_EQ(kivo::test::readFile(dirs[0] + "/IMG_HIRES_0001.jpg"), upload.photo);
    const QVariantMap record = RefService::record(dirs[0]);
    EXPECT_EQ(record["order"].toInt(), 2);
    const QVariantList fields = record["fields"].toList();
    ASSERT_EQ(fields.size(), 6);
    EXPECT_EQ(fields[3].toList()[0].toString(), "orderid");
    EXPECT_EQ(fields[5].toList(), QVariantList({"pictureid", "1"}));

    QVariantList orders = fService.orders();
    ASSERT_EQ(orders.size(), 3);
    EXPECT_EQ(orders[0].toMap()["state"].toString(), "pending");
    EXPECT_EQ(orders[1].toMap()["state"].toString(), "fulfilled");
    EXPECT_EQ(orders[1].toMap()["fulfilledBy"].toInt(), 1);
    httplib::Result listed = send(fService, orderQuery("order.checkHiRes").body());
    ASSERT_TRUE(listed);
    EXPECT_NE(listed->body.find("<message>2 orders</message>"), std::string::npos);
    EXPECT_EQ(listed->body.find("<orderid>8</orderid>"), std::string::npos);

    // Fulfilled once only; a wrong account or a differing picture id fulfils nothing; an id the
    // order lacks does not count against it.
    const std::pair<Upload, std::string> others[] = {
        {hiResUpload("8", "42", "1"), xml("ERROR", "No such order")},
        {hiResUpload("7", "42", "1", "wrong"), xml("ERROR", "Invalid account")},
        {hiResUpload("", "42", "2"), xml("ERROR", "No such order")},
        {hiResUpload("99", "50", "3"), xml("OK", "Received hi-res IMG_HIRES_0001.jpg")},
    };
    for (const auto& [other, reply] : others) {
        httplib::Result r = send(fService, other.body());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->body, reply);
    }
    dirs = fService.receivedDirs();
    ASSERT_EQ(dirs.size(), 2);
    EXPECT_TRUE(dirs[1].endsWith("/6-hires-99"));

    orders = fService.orders();
    EXPECT_EQ(orders[0].toMap()["state"].toString(), "pending");
    EXPECT_EQ(orders[2].toMap()["fulfilledBy"].toInt(), 6);
    const QVariantList onDisk =
        QJsonDocument::fromJson(kivo::test::readFile(fData + "/orders.json"))
            .object()["orders"]
            .toVariant()
            .toList();
    EXPECT_EQ(onDisk, orders);
    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0]["kind"].toString(), "hires");
    EXPECT_EQ(log[0]["order"].toInt(), 2);
    EXPECT_TRUE(log[2]["order"].isNull());
    EXPECT_EQ(log[5]["order"].toInt(), 3);
    EXPECT_EQ(fService.state()["orders"].toMap(), QVariantMap({{"pending", 1}, {"fulfilled", 2}}));

    ASSERT_TRUE(fService.clearOrders());
    EXPECT_TRUE(fService.orders().isEmpty());
    httplib::Result none = send(fService, hiResUpload("7", "42", "1").body());
    ASSERT_TRUE(none);
    EXPECT_EQ(none->body, xml("ERROR", "No such order"));
}

TEST_F(RefServiceTest, FaultsApplyOnlyToTheKindOfRequestNamed) {
    startService("alice", "s3cret");
    ASSERT_TRUE(fService.addOrder({{"imageid", 42}}));
    const std::string oneOrder =
        "<response><status>OK</status><message>1 orders</message><order><imageid>42</imageid>"
        "</order></response>";
    ASSERT_TRUE(fService.setFault("status", {{"on", "query"}, {"message", "Down"}}));
    // A close is taken as the file part begins, when only the fields before it are known.
    ASSERT_TRUE(fService.setFault("close", {{"on", "hires"}}));
    expectAccepted(photoUpload("alice", "s3cret"));
    for (const std::string& expected : {xml("ERROR", "Down"), oneOrder}) {
        httplib::Result res = send(fService, orderQuery("order.checkHiRes").body());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, expected);
    }
    EXPECT_FALSE(send(fService, hiResUpload("", "42", "").body()));
    EXPECT_EQ(fService.orders()[0].toMap()["state"].toString(), "pending");

    // For a query, match looks at the fuse action.
    ASSERT_TRUE(fService.setFault("close", {{"on", "query"}, {"match", "v4"}}));
    httplib::Result v3 = send(fService, orderQuery("order.checkHiRes").body());
    ASSERT_TRUE(v3);
    EXPECT_EQ(v3->body, oneOrder);
    EXPECT_FALSE(send(fService, orderQuery("orders.v4check").body()));

    ASSERT_TRUE(fService.setFault("http", {{"on", "any"}, {"code", 503}, {"count", 2}}));
    for (const Upload& any : {orderQuery("order.checkHiRes"), hiResUpload("", "42", "")}) {
        httplib::Result res = send(fService, any.body());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 503);
    }
    EXPECT_FALSE(fService.setFault("status", {{"on", "movie"}}));
    EXPECT_EQ(fService.orders()[0].toMap()["state"].toString(), "pending");
    EXPECT_EQ(fService.receivedDirs().size(), 1);

    const auto log = fService.requests();
    ASSERT_EQ(log.size(), 8u);
    const char* const kinds[] = {"photo", "query", "query", "hires",
                                 "query", "query", "query", "hires"};
    const char* const faults[] = {"", "status", "", "close", "", "close", "http", "http"};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i]["kind"].toString(), kinds[i]) << i;
        EXPECT_EQ(log[i]["fault"].toString(), faults[i]) << i;
    }
}
