#include "PipelineFixture.h"
#include "fixtures/Fixtures.h"
#include "platform/NotificationCenter.h"
#include <QDateTime>

using namespace kivo;
using namespace kivo::test;

namespace {

// One row of the failure decision: what the reply held and where the item must end up.
struct FailureCase {
    const char* what;
    QVariantMap reply;
    bool toProblemFolder;
    bool loopGoesOn;
    double pause;      // 0: none
    QString errorText; // last red text on the status line; empty: none
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.what;
}

class FailureDecision : public PipelineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureDecision, FilesTheItemAndContinuesOrStopsAsTheReplySays) {
    const FailureCase& c = GetParam();
    auto info = resultInfo();
    for (auto it = c.reply.cbegin(); it != c.reply.cend(); ++it)
        info->insert(it.key(), it.value());
    gStartedUploadProcess = true;

    post(kUploadFailNotification, info);

    if (c.toProblemFolder) {
        ASSERT_EQ(otherMoves.size(), 2u) << c.what;
        EXPECT_EQ(otherMoves[0].item, QStringLiteral("Smith/IMG_0001.jpg"));
        EXPECT_EQ(otherMoves[1].item, QStringLiteral("Smith/IMG_0001.mov"));
        for (const auto& m : otherMoves) {
            EXPECT_EQ(m.root, source);
            EXPECT_EQ(m.destination, folder + "/Problem Folder");
            EXPECT_FALSE(m.overwrite) << "the problem folder is never overwritten";
        }
    } else {
        EXPECT_TRUE(otherMoves.empty()) << c.what;
    }
    EXPECT_TRUE(mirrorMoves.empty()) << c.what;
    EXPECT_EQ(pauses, c.pause ? std::vector{c.pause} : std::vector<double>{}) << c.what;
    EXPECT_EQ(detachedStarts.load(), c.loopGoesOn ? 1 : 0) << c.what;
    EXPECT_FALSE(gStartedUploadProcess) << c.what;
    // Once the loop goes on, the record has been emptied for the caller.
    EXPECT_EQ(info->isEmpty(), c.loopGoesOn) << c.what;

    // An item left in place waits before it is tried again, and the status line says until when.
    const auto hold = controller->itemHolds().holdOf(QStringLiteral("Smith/IMG_0001.jpg"),
                                                     QDateTime::currentMSecsSinceEpoch());
    const bool leftInPlace = !c.toProblemFolder && c.loopGoesOn;
    EXPECT_EQ(hold.has_value(), leftInPlace) << c.what;
    auto status = display.last(StatusField::FTPCallbackStatus);
    if (leftInPlace) {
        ASSERT_TRUE(status && hold) << c.what;
        EXPECT_TRUE(status->isError) << c.what;
        EXPECT_TRUE(status->text.contains("next try of [Smith/IMG_0001.jpg] at")) << c.what;
        EXPECT_LE(hold->untilMs - QDateTime::currentMSecsSinceEpoch(), 1000) << "first pause";
    }
    if (c.errorText.isEmpty()) {
        EXPECT_TRUE(leftInPlace || !status || !status->isError) << c.what;
    } else {
        ASSERT_TRUE(status) << c.what;
        EXPECT_TRUE(status->text.startsWith(c.errorText)) << c.what;
        EXPECT_TRUE(status->isError) << c.what;
        EXPECT_EQ(display.last(StatusField::UploadFileStatus)->text, c.errorText) << c.what;
    }
}

// What the service answered: its HTTP status and, when given, the status and message of its body.
QVariantMap verdict(int http, const char* status = nullptr, const char* message = nullptr) {
    QVariantMap reply{{kHttpStatusCode, http}};
    if (status)
        reply.insert(kHttpOurCustomStatus, status);
    if (message)
        reply.insert(kHttpOurCustomMessage, message);
    return reply;
}

std::vector<FailureCase> failureCases() {
    const QString status500 = "HTTP Server Returned Status Code: 500";
    const QVariantMap transport{{kHttpError, "Couldn't connect to server"}};
    const QVariantMap ownError{{kHttpOurCustomError, "Reply is not XML"}, {kHttpStatusCode, 200}};
    return {
        {"500 without a service status", verdict(500), true, true, 2.0, status500},
        {"404 whose body says OK", verdict(404, "OK", "Thanks"), true, true, 2.0,
         "HTTP Server Returned Status Code: 404"},
        {"service ERROR stops the loop", verdict(200, "error", "Bad account"), false, false, 0,
         "Bad account"},
        {"service Warning goes to the problem folder", verdict(200, "WARNING", "Duplicate"), true,
         true, 0, "Duplicate"},
        {"no e-mail addresses, any case", verdict(200, "FAIL", "no email ADDRESSES sent"), true,
         true, 2.0, QString()},
        {"FAIL with another message stays and goes on", verdict(200, "FAIL", "Try later"), false,
         true, 0, QString()},
        {"transport error", transport, false, true, 1.0, "Couldn't connect to server"},
        {"our own error stops the loop", ownError, false, false, 0, "Reply is not XML"},
        {"500 with ERROR is filed and stops", verdict(500, "ERROR", "Server down"), true, false,
         2.0, status500},
    };
}

INSTANTIATE_TEST_SUITE_P(Replies, FailureDecision, ::testing::ValuesIn(failureCases()));

TEST_F(PipelineTest, OkStatusMessageIsShownWithoutErrorStyle) {
    post(kUploadFailNotification, replyInfo("Smith/IMG_0001.jpg", 200, "ok", "Received"));
    bool shownPlain = false;
    for (const FieldUpdate& u : display.of(StatusField::FTPCallbackStatus))
        shownPlain = shownPlain || (u.text == QStringLiteral("Received") && !u.isError);
    EXPECT_TRUE(shownPlain);
    EXPECT_EQ(display.last(StatusField::UploadFileStatus)->text, QStringLiteral("Received"));
}

TEST_F(PipelineTest, RepliesThatAreNoVerdictLeaveTheItemWithGrowingPauses) {
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    std::vector<qint64> waits;
    for (int attempt = 0; attempt < 7; ++attempt) {
        auto info = resultInfo();
        info->insert(kHttpStatusCode, 503);
        info->insert(kHttpNotAVerdict, QStringLiteral("HTTP Server Returned Status Code: 503"));
        post(kUploadFailNotification, info);
        const auto hold =
            controller->itemHolds().holdOf(QStringLiteral("Smith/IMG_0001.jpg"), start);
        ASSERT_TRUE(hold);
        waits.push_back((hold->untilMs - start + 500) / 1000);
    }
    // Never filed into the problem folder, never a stop; 1, 2, 4 ... up to 30 s apart.
    EXPECT_TRUE(otherMoves.empty());
    EXPECT_TRUE(mirrorMoves.empty());
    EXPECT_EQ(detachedStarts.load(), 7);
    EXPECT_EQ(waits, (std::vector<qint64>{1, 2, 4, 8, 16, 30, 30}));
    EXPECT_TRUE(display.last(StatusField::FTPCallbackStatus)->text.contains("503"));

    // Accepted: the schedule starts over.
    post(kUploadSuccessNotification, resultInfo());
    EXPECT_FALSE(controller->itemHolds().holdOf(QStringLiteral("Smith/IMG_0001.jpg"), start));

    // Content that would break the form is refused for good: into the problem folder.
    auto refused = resultInfo(QStringLiteral("Smith/IMG_0002.jpg"));
    refused->insert(kLocalRefusal, QStringLiteral("The form field \"client\" holds ..."));
    post(kUploadFailNotification, refused);
    ASSERT_EQ(otherMoves.size(), 2u);
    EXPECT_EQ(otherMoves[0].item, QStringLiteral("Smith/IMG_0002.jpg"));
}

TEST_F(PipelineTest, FailureWithoutARecordOrItemMovesNothingAndGoesOn) {
    post(kUploadFailNotification, nullptr);
    EXPECT_EQ(detachedStarts.load(), 1);

    auto info = std::make_shared<QVariantMap>(QVariantMap{{kHttpStatusCode, 500}});
    FdCapture err;
    post(kUploadFailNotification, info);
    EXPECT_TRUE(otherMoves.empty());
    EXPECT_TRUE(err.text().contains("PASSED BAD cDictKeyCurItem"));
    EXPECT_TRUE(err.text().contains("PASSED BAD cDictKeyLocalSourceUploadFolder"));
    EXPECT_EQ(detachedStarts.load(), 2);
}

TEST_F(PipelineTest, SuccessFilesItemAndMovieIntoTheMirrorAndStartsTheNextPass) {
    auto info = resultInfo();
    gStartedUploadProcess = true;
    post(kUploadSuccessNotification, info);
    ASSERT_EQ(mirrorMoves.size(), 2u);
    EXPECT_EQ(mirrorMoves[0].item, QStringLiteral("Smith/IMG_0001.jpg"));
    EXPECT_EQ(mirrorMoves[1].item, QStringLiteral("Smith/IMG_0001.mov"));
    EXPECT_EQ(mirrorMoves[0].root, source);
    EXPECT_FALSE(gStartedUploadProcess);
    EXPECT_EQ(detachedStarts.load(), 1);
    EXPECT_TRUE(info->isEmpty());

    // A name without an extension gets the movie extension added.
    mirrorMoves.clear();
    post(kUploadSuccessNotification, resultInfo(QStringLiteral("Smith/README")));
    ASSERT_EQ(mirrorMoves.size(), 2u);
    EXPECT_EQ(mirrorMoves[1].item, QStringLiteral("Smith/README.mov"));
}

TEST_F(PipelineTest, HaltDuringAnUploadTakesEffectWhenTheUploadIsDone) {
    gStartedUploadProcess = true;
    controller->ibClickedOnHalt(nullptr);
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_FALSE(display.pauseEnabled);

    post(kUploadDoneNotification, resultInfo());
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_EQ(display.pauseTitle, QStringLiteral("Resume"));
    EXPECT_TRUE(display.pauseEnabled);

    post(kUploadSuccessNotification, resultInfo());
    EXPECT_EQ(mirrorMoves.size(), 2u) << "the current item is still filed";
    EXPECT_EQ(detachedStarts.load(), 0) << "no further item is taken";
    EXPECT_EQ(display.last(StatusField::FTPCallbackStatus)->text,
              QStringLiteral("Process Paused..."));

    // Resume clears both marks and starts a pass at once.
    controller->ibClickedOnHalt(nullptr);
    EXPECT_FALSE(gWantsToHaltProcess);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_EQ(display.pauseTitle, QStringLiteral("Pause"));
    EXPECT_EQ(scans.size(), 1u);
}

TEST_F(PipelineTest, UploadStartMarksTheUploadAndASecondItemIsDropped) {
    int uploadStarts = 0;
    int owner = 0;
    NotificationCenter::defaultCenter().addObserver(&owner, kUploadStartNotification,
                                                    [&](const Notification&) { ++uploadStarts; });
    post(kPrepareUploadStartNotification, resultInfo());
    EXPECT_EQ(uploadStarts, 1);
    EXPECT_TRUE(gStartedUploadProcess);
    EXPECT_EQ(display.last(StatusField::FileName)->text, QStringLiteral("Smith/IMG_0001.jpg"));
    EXPECT_EQ(display.last(StatusField::UploadFileStatus)->text, QStringLiteral("Uploading..."));

    post(kPrepareUploadStartNotification, resultInfo(QStringLiteral("Smith/IMG_0002.jpg")));
    EXPECT_EQ(uploadStarts, 1);
    NotificationCenter::defaultCenter().removeObserver(&owner);
}

TEST_F(PipelineTest, ThePreviewIsMadeOnlyForAWindowOnScreen) {
    fixtures::PhotoSpec shot;
    shot.size = QSize(800, 600);
    QString error;
    ASSERT_TRUE(fixtures::writeJpeg(source + "/Smith/IMG_0001.jpg", shot, &error))
        << error.toStdString();
    store->setBool(sPrefShowPreviewWhenUploading, true);
    controller->operations().startDetached = [](std::function<void()> fn) { fn(); };

    display.visible = false;
    post(kUploadStartNotification, resultInfo());
    EXPECT_EQ(display.previews, 0);

    display.visible = true;
    post(kUploadStartNotification, resultInfo());
    EXPECT_EQ(display.previews, 1);
}

TEST_F(PipelineTest, CompleteLoopClearsTheUploadMarkAndEmptiesTheRequest) {
    gStartedUploadProcess = true;
    auto request =
        std::make_shared<QVariantMap>(QVariantMap{{cDictKeyLocalSourceUploadFolder, source}});
    post(kCleanUpAfterCompleteLoop, request);
    EXPECT_FALSE(gStartedUploadProcess);
    EXPECT_TRUE(request->isEmpty());
    EXPECT_EQ(detachedStarts.load(), 0);
}

} // namespace

namespace {

TEST_F(PipelineTest, AJudgedItemThatCannotBeFiledWaitsInTheJournalAndIsNeverSentAgain) {
    test::writeFile(source + "/Smith/IMG_0001.jpg", "accepted photo");
    filingWorks = false;
    gStartedUploadProcess = true;
    post(kUploadSuccessNotification, resultInfo());
    EXPECT_EQ(detachedStarts.load(), 1) << "the loop goes on with other items";
    EXPECT_FALSE(gStartedUploadProcess);
    auto status = display.last(StatusField::FTPCallbackStatus);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->isError);
    EXPECT_TRUE(status->text.contains("Smith/IMG_0001.jpg"));
    EXPECT_TRUE(status->text.contains("mirror folder"));
    EXPECT_TRUE(controller->isAwaitingFiling(source, "Smith/IMG_0001.jpg"));
    ASSERT_EQ(mirrorMoves.size(), 1u) << "the movie waits for its photo";

    // The journal outlives the program.
    AppController later;
    later.useFilingJournal(folder + "/PendingFilings.json");
    EXPECT_TRUE(later.isAwaitingFiling(source, "Smith/IMG_0001.jpg"));

    // Retried when due: still failing, then filed (photo and movie) and forgotten.
    EXPECT_TRUE(controller->fileWaitingItems().has_value()) << "still held after the failure";
    controller->itemHolds().clear("Smith/IMG_0001.jpg");
    filingWorks = true;
    EXPECT_FALSE(controller->fileWaitingItems().has_value());
    EXPECT_FALSE(controller->isAwaitingFiling(source, "Smith/IMG_0001.jpg"));
    ASSERT_EQ(mirrorMoves.size(), 3u);
    EXPECT_EQ(mirrorMoves[2].item, QStringLiteral("Smith/IMG_0001.mov"));

    // A refused item that the problem folder cannot take is not sent again either.
    filingWorks = false;
    post(kUploadFailNotification, replyInfo("Smith/IMG_0003.jpg", 500));
    EXPECT_TRUE(controller->isAwaitingFiling(source, "Smith/IMG_0003.jpg"));
    EXPECT_TRUE(display.last(StatusField::FTPCallbackStatus)->text.contains("Problem Folder"));
}

TEST_F(PipelineTest, ARefusedItemWhoseNameIsTakenIsFiledUnderOneStampWithItsMovie) {
    QDir().mkpath(folder + "/Problem Folder/Smith");
    test::writeFile(folder + "/Problem Folder/Smith/IMG_0001.jpg", "earlier refused photo");
    post(kUploadFailNotification, replyInfo("Smith/IMG_0001.jpg", 500));
    ASSERT_EQ(otherMoves.size(), 2u);
    EXPECT_FALSE(otherMoves[0].stamp.isEmpty());
    EXPECT_EQ(otherMoves[0].stamp, otherMoves[1].stamp);
    EXPECT_FALSE(otherMoves[0].overwrite);
}

} // namespace
