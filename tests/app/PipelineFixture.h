#pragma once
// A controller wired to recording stand-ins for the operations other subsystems own, over a
// private settings store and real folders.
#include "app/AppController.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "settings/Preferences.h"
#include "support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <vector>

namespace kivo::test {

struct FieldUpdate {
    StatusField field;
    QString text;
    bool isError;
};

class RecordingDisplay : public StatusDisplay {
public:
    bool hasField(StatusField) const override { return true; }
    bool isWindowVisible() const override { return visible.load(); }
    void bringToFront() override {}
    void updateField(StatusField f, const QString& text, bool, bool isError) override {
        std::lock_guard<std::mutex> g(lock);
        updates.push_back({f, text, isError});
    }
    void setFieldToolTip(StatusField, const QString&) override {}
    void setFieldText(StatusField f, const QString& text) override {
        updateField(f, text, false, false);
    }
    void updateProgressBar(const QString&) override {}
    bool hasPauseResumeButton() const override { return true; }
    void setPauseResumeTitle(const QString& t) override {
        std::lock_guard<std::mutex> g(lock);
        pauseTitle = t;
    }
    void setPauseResumeEnabled(bool e) override { pauseEnabled = e; }
    bool hasOpenPrefButton() const override { return true; }
    void setOpenPrefEnabled(bool) override {}
    bool hasImageView() const override { return true; }
    void showPreview(const QImage&) override { ++previews; }
    bool hasLoginPanel() const override { return false; }

    std::vector<FieldUpdate> of(StatusField f) {
        std::lock_guard<std::mutex> g(lock);
        std::vector<FieldUpdate> out;
        for (const auto& u : updates)
            if (u.field == f)
                out.push_back(u);
        return out;
    }
    std::optional<FieldUpdate> last(StatusField f) {
        auto all = of(f);
        if (all.empty())
            return std::nullopt;
        return all.back();
    }

    std::mutex lock;
    std::vector<FieldUpdate> updates;
    QString pauseTitle;
    std::atomic<bool> pauseEnabled{true};
    std::atomic<int> previews{0};
    std::atomic<bool> visible{true};
};

struct MoveCall {
    QString item, root, destination;
    bool overwrite;
    QString stamp;
};

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = makeTempFolder("pipeline");
        source = folder + "/source";
        mirror = folder + "/mirror";
        QDir().mkpath(source + "/Smith");
        QDir().mkpath(mirror);
        store = std::make_unique<Defaults>(folder + "/settings.plist", -1);
        Preferences::useStore(store.get());
        store->setString(sPrefLocalSourceUploadFolder, source);
        store->setString(sPrefLocalMasterMirrorSiteFolder, mirror);
        store->setString(sPrefUserEnteredEventName, QStringLiteral("Spring Gala"));
        store->setString(sUserLoginName, QStringLiteral("demo"));
        store->setString(sUserLoginPassword, QStringLiteral("secret"));
        store->setString(sPrefGlvURL, QStringLiteral("https://photos.kivo.example/upload"));

        for (auto* flag : {&gStartedUploadProcess, &gWantsToHaltProcess, &gDidHaltProcess,
                           &gInsideOpenFile, &gIsScanning})
            *flag = false;
        gNeedsToRescan = 0;

        controller = std::make_unique<AppController>();
        controller->setStatusDisplay(&display);
        controller->useFilingJournal(folder + "/PendingFilings.json");
        controller->awakeFromNib();
        auto& ops = controller->operations();
        ops.startScan = [this](const Notification& n) {
            std::lock_guard<std::mutex> g(lock);
            scans.push_back(n.userInfo ? *n.userInfo : QVariantMap());
        };
        ops.moveToMirror = [this](const QString& item, const QString& root) {
            std::lock_guard<std::mutex> g(lock);
            mirrorMoves.push_back({item, root, QString(), true, QString()});
            return filingWorks.load();
        };
        ops.moveToPath = [this](const QString& item, const QString& root, const QString& dest,
                                bool overwrite, bool, const QString& stamp) {
            std::lock_guard<std::mutex> g(lock);
            otherMoves.push_back({item, root, dest, overwrite, stamp});
            return filingWorks.load();
        };
        ops.startDetached = [this](std::function<void()>) { ++detachedStarts; };
        ops.pause = [this](double s) {
            std::lock_guard<std::mutex> g(lock);
            pauses.push_back(s);
        };
    }

    void TearDown() override {
        controller.reset();
        Preferences::useStore(nullptr);
    }

    std::shared_ptr<QVariantMap>
    resultInfo(const QString& item = QStringLiteral("Smith/IMG_0001.jpg")) {
        auto info = std::make_shared<QVariantMap>();
        info->insert(cDictKeyCurItem, item);
        info->insert(cDictKeyLocalSourceUploadFolder, source);
        info->insert(kEdFileName, source + "/" + item);
        return info;
    }
    // The record of an item the service answered, with the status and message of its reply.
    std::shared_ptr<QVariantMap> replyInfo(const QString& item, int http,
                                           const QString& status = {},
                                           const QString& message = {}) {
        auto info = resultInfo(item);
        info->insert(kHttpStatusCode, http);
        if (!status.isNull())
            info->insert(kHttpOurCustomStatus, status);
        if (!message.isNull())
            info->insert(kHttpOurCustomMessage, message);
        return info;
    }
    static void post(const QString& name, std::shared_ptr<QVariantMap> info) {
        NotificationCenter::defaultCenter().post(name, nullptr, std::move(info));
    }

    QString folder, source, mirror;
    std::unique_ptr<Defaults> store;
    RecordingDisplay display;
    std::unique_ptr<AppController> controller;

    std::mutex lock;
    std::vector<QVariantMap> scans;
    std::vector<MoveCall> mirrorMoves, otherMoves;
    std::vector<double> pauses;
    std::atomic<int> detachedStarts{0};
    std::atomic<bool> filingWorks{true};
};

} // namespace kivo::test
