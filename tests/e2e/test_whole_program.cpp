// The real program against the reference service: every photo must end up whole in exactly
// one of the source, mirror and problem folders, whatever the service does.
#include "ProgramRun.h"

#include <QDir>
#include <QTcpServer>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using WholeProgram = ProgramWithService;

TEST_F(WholeProgram, FilesEveryPhotoByTheServicesAnswer) {
    run.makePhotos(5);
    ASSERT_TRUE(writeFile(run.source() + "/Garcia/IMG_0002.mov", QByteArray(5000, 'm')));
    // Refused for good: into the problem folder.
    ASSERT_TRUE(service.setFault("http", {{"code", 500}, {"match", "IMG_0002"}}));
    ASSERT_TRUE(service.setFault(
        "status", {{"status", "Warning"}, {"message", "Duplicate"}, {"match", "IMG_0003"}}));
    // Failed once, then accepted: left in place, retried, uploaded.
    ASSERT_TRUE(service.setFault("body", {{"body", "not xml at all"}, {"match", "IMG_0004"}}));
    ASSERT_TRUE(service.setFault("close", {{"match", "IMG_0005"}}));

    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 30000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(run.whereIs("Smith/IMG_0001.jpg"), "mirror");
    EXPECT_EQ(run.whereIs("Garcia/IMG_0002.jpg"), "problem");
    EXPECT_EQ(run.whereIs("Smith/IMG_0003.jpg"), "problem");
    // The refused photo's movie goes with it, keeping the client sub-folder.
    EXPECT_EQ(readFile(run.problem() + "/Garcia/IMG_0002.mov"), QByteArray(5000, 'm'));
    EXPECT_FALSE(QFileInfo::exists(run.source() + "/Garcia/IMG_0002.mov"));
    EXPECT_EQ(run.whereIs("Garcia/IMG_0004.jpg"), "mirror");
    EXPECT_EQ(run.whereIs("Smith/IMG_0005.jpg"), "mirror");

    // What the service received: each accepted photo once, whole, with its form fields.
    const QStringList received = service.receivedDirs();
    EXPECT_EQ(received.size(), 3) << "each accepted photo arrived once";
    for (const QString& dir : received) {
        const QVariantMap record = RefService::record(dir);
        QMap<QString, QString> fields;
        for (const QVariant& pair : record.value("fields").toList())
            fields.insert(pair.toList().value(0).toString(), pair.toList().value(1).toString());
        const QVariantMap file = record.value("files").toList().value(0).toMap();
        const QString client = fields.value("client");
        EXPECT_EQ(fields.value("username"), "demo");
        EXPECT_EQ(fields.value("event"), "Gala");
        EXPECT_EQ(fields.value("fuseaction"), "upload.upload");
        EXPECT_TRUE(client == "Smith" || client == "Garcia") << client.toStdString();
        const QString rel = client + "/" + file.value("filename").toString();
        EXPECT_EQ(run.whereIs(rel), "mirror") << rel.toStdString();
        EXPECT_EQ(readFile(dir + "/" + file.value("stored").toString()),
                  readFile(run.mirror() + "/" + rel));
    }
    EXPECT_TRUE(run.stop()) << "quits cleanly";
}

TEST_F(WholeProgram, NothingIsLostWhileTheServiceIsUnreachable) {
    run.makePhotos(3);
    // A port nobody listens on yet.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    ASSERT_TRUE(run.start(QStringLiteral("http://127.0.0.1:%1/upload").arg(port)));
    waitUntil([] { return false; }, 3000);
    for (const char* rel : {"Smith/IMG_0001.jpg", "Garcia/IMG_0002.jpg", "Smith/IMG_0003.jpg"})
        EXPECT_EQ(run.whereIs(rel), "source") << rel;

    // The service comes up on that port: the retries get everything through.
    RefService late;
    ASSERT_TRUE(
        late.start(makeTempFolder("late"), "demo", "secret", {"--port", QString::number(port)}));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 20000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(late.receivedDirs().size(), 3);
    EXPECT_TRUE(run.stop());
}

TEST_F(WholeProgram, AnAcceptedPhotoThatCannotBeFiledIsNotSentAgain) {
    run.makePhotos(2, {"Smith"});
    run.makePhotos(1, {"Garcia"}, 3);
    // Something that is not a folder where the client's mirror folder must go.
    ASSERT_TRUE(writeFile(run.mirror() + "/Smith", "in the way"));
    ASSERT_TRUE(run.start(service.url()));
    ASSERT_TRUE(service.waitForRequests(3, 10000));
    waitUntil([] { return false; }, 3500);
    EXPECT_EQ(service.requests().size(), 3u) << "each photo once, the loop went on";
    EXPECT_EQ(run.whereIs("Smith/IMG_0001.jpg"), "source");
    EXPECT_EQ(run.whereIs("Smith/IMG_0002.jpg"), "source");
    EXPECT_EQ(run.whereIs("Garcia/IMG_0003.jpg"), "mirror");
    EXPECT_TRUE(
        run.console().contains("[Smith/IMG_0001.jpg] cannot be filed into the mirror folder"));

    // Once the mirror can take them they are filed, still without being sent again.
    ASSERT_TRUE(QFile::remove(run.mirror() + "/Smith"));
    EXPECT_TRUE(waitUntil([&] { return run.allFiled(); }, 40000))
        << run.console().right(3000).toStdString();
    EXPECT_EQ(service.requests().size(), 3u);
    EXPECT_TRUE(run.stop());
}

} // namespace
