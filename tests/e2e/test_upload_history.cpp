// The real program's upload history: one line per result, whatever became of the photo.
#include "ProgramRun.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace kivo::test;

namespace {

using UploadHistoryRun = ProgramWithService;

// Every line of the run's history files, parsed; an unparsable line is kept as an empty object.
QList<QJsonObject> historyLines(const ProgramRun& run) {
    QList<QJsonObject> lines;
    const QDir state(run.root() + "/home/.local/state/Kivo");
    for (const QString& name : state.entryList({"UploadHistory_*.jsonl"}, QDir::Files))
        for (const QByteArray& line : readFile(state.filePath(name)).split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
    return lines;
}

TEST_F(UploadHistoryRun, EachResultIsOneLineWithItsOutcome) {
    run.makePhotos(3);               // Smith/1, Garcia/2, Smith/3
    run.makePhotos(1, {"Jones"}, 4); // Jones/4
    const qint64 size1 = QFileInfo(run.source() + "/Smith/IMG_0001.jpg").size();
    ASSERT_TRUE(service.setFault(
        "status", {{"status", "Warning"}, {"message", "Duplicate"}, {"match", "IMG_0002"}}));
    ASSERT_TRUE(service.setFault("http", {{"code", 503}, {"match", "IMG_0003"}}));
    ASSERT_TRUE(service.setFault("delay", {{"ms", 400}, {"match", "IMG_0001"}}));
    // Something that is not a folder where the client's mirror folder must go.
    ASSERT_TRUE(writeFile(run.mirror() + "/Jones", "in the way"));
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);

    ASSERT_TRUE(run.start(service.url()));
    EXPECT_TRUE(waitUntil(
        [&] {
            return run.whereIs("Smith/IMG_0003.jpg") == "mirror" && historyLines(run).size() >= 5;
        },
        30000))
        << run.console().right(3000).toStdString();
    waitUntil([] { return false; }, 1500); // the unfiled photo's filing is retried meanwhile
    EXPECT_TRUE(run.stop());

    const QList<QJsonObject> lines = historyLines(run);
    QMap<QString, QStringList> outcomes;
    QMap<QString, QJsonObject> last;
    for (const QJsonObject& line : lines) {
        const QString file = line.value("folder").toString() + "/" + line.value("file").toString();
        outcomes[file] << line.value("outcome").toString();
        last[file] = line;
        const QDateTime time = QDateTime::fromString(line.value("time").toString(), Qt::ISODate);
        EXPECT_TRUE(time.isValid() && time >= started && time <= QDateTime::currentDateTime())
            << line.value("time").toString().toStdString();
        EXPECT_GE(line.value("seconds").toDouble(-1), 0.0);
        EXPECT_LT(line.value("seconds").toDouble(), 30.0);
    }
    EXPECT_EQ(lines.size(), 5) << "each result once, no more";
    EXPECT_EQ(outcomes.value("Smith/IMG_0001.jpg"), QStringList{"uploaded"});
    EXPECT_EQ(outcomes.value("Garcia/IMG_0002.jpg"), QStringList{"refused"});
    EXPECT_EQ(outcomes.value("Smith/IMG_0003.jpg"), (QStringList{"retry", "uploaded"}));
    EXPECT_EQ(outcomes.value("Jones/IMG_0004.jpg"), QStringList{"unfiled"});

    const QJsonObject uploaded = last.value("Smith/IMG_0001.jpg");
    EXPECT_EQ(uploaded.value("size").toInteger(), size1);
    EXPECT_GE(uploaded.value("seconds").toDouble(), 0.4) << "timed from the start of the upload";
    EXPECT_EQ(uploaded.value("http").toInt(), 200);
    EXPECT_EQ(uploaded.value("status").toString(), "OK");
    EXPECT_EQ(uploaded.value("message").toString(), "Received IMG_0001.jpg");
    const QJsonObject refused = last.value("Garcia/IMG_0002.jpg");
    EXPECT_EQ(refused.value("status").toString(), "Warning");
    EXPECT_EQ(refused.value("message").toString(), "Duplicate");
    for (const QJsonObject& line : lines)
        if (line.value("outcome") == "retry") {
            EXPECT_EQ(line.value("http").toInt(), 503);
            EXPECT_EQ(line.value("status").toString(), "") << "a gateway's page is no answer";
            EXPECT_TRUE(line.value("message").toString().contains("503"))
                << QJsonDocument(line).toJson().toStdString();
        }
    EXPECT_TRUE(last.value("Jones/IMG_0004.jpg").value("message").toString().contains("filed"));
}

} // namespace
