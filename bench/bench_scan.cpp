// How long choosing the next item takes: from a large tree of qualifying photos, and from a
// tree where thousands of files without metadata come first in walk order (every scan reads
// them again).
#include "app/Pipeline.h"
#include "fixtures/Fixtures.h"
#include "platform/Defaults.h"
#include "scan/FolderScan.h"
#include "settings/Preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace kivo;

namespace {

class QuietHost : public ScanHost {
public:
    std::recursive_mutex& threadLock() override { return fLock; }
    bool isScanning() const override { return fScanning; }
    void setIsScanningFolder(bool v) override { fScanning = v; }
    void setNeedsToRescan(bool) override {}
    int rescanCount() const override { return 0; }
    bool uploadInProgress() const override { return false; }
    bool isHalted() const override { return false; }
    QString currentUserName() const override { return QStringLiteral("bench"); }
    QString currentPassword() const override { return QStringLiteral("bench"); }
    void ibUpdateFTPCallbackStatusTextField(const QString&) override {}
    void ibUpdateFTPCallbackStatusTextField(const QString&, bool) override {}
    void ibUpdateUploadStatusTextField(const QString&) override {}
    ItemHolds& itemHolds() override { return fHolds; }
    bool isAwaitingFiling(const QString&, const QString&) override { return false; }
    std::optional<std::pair<QString, ItemHolds::Hold>> fileWaitingItems() override {
        return std::nullopt;
    }
    void startPassAfter(qint64) override {}
    void startFolderWatcher(const QString&) override {}
    void startNextPass() override {}
    void doSetupRetriggerTimerOnMainThread() override {}
    void pauseScanThread(double) override {}
    const void* notificationObject() const override { return this; }

private:
    std::recursive_mutex fLock;
    bool fScanning = false;
    ItemHolds fHolds;
};

struct Tree {
    QString source, mirror;
};

QTemporaryDir& scratch() {
    static QTemporaryDir* dir = new QTemporaryDir;
    return *dir;
}

void writeTree(const QString& root, int clients, int photosPerClient, int straysFirst) {
    fixtures::PhotoSpec shot;
    shot.size = QSize(64, 48);
    for (int i = 0; i < straysFirst; ++i) {
        const QString dir =
            QStringLiteral("%1/AAA_strays%2").arg(root).arg(i / 500, 2, 10, QLatin1Char('0'));
        QDir().mkpath(dir);
        // Photos as the capture software writes them, but without the embedded property list.
        fixtures::writeJpeg(
            QStringLiteral("%1/IMG_%2.jpg").arg(dir).arg(i, 5, 10, QLatin1Char('0')), shot);
    }
    for (int c = 0; c < clients; ++c) {
        const QString dir = QStringLiteral("%1/Client%2").arg(root).arg(c, 3, 10, QLatin1Char('0'));
        QDir().mkpath(dir);
        for (int p = 0; p < photosPerClient; ++p) {
            shot.metadata = fixtures::sampleMetadata(QStringLiteral("Client%1").arg(c), p);
            fixtures::writeJpeg(
                QStringLiteral("%1/IMG_%2.jpg").arg(dir).arg(p, 4, 10, QLatin1Char('0')), shot);
        }
    }
}

const Tree& tree(const char* name, int clients, int photos, int strays) {
    static std::map<std::string, Tree> trees;
    auto it = trees.find(name);
    if (it != trees.end())
        return it->second;
    Tree t{scratch().path() + "/" + name + "/source", scratch().path() + "/" + name + "/mirror"};
    QDir().mkpath(t.source);
    QDir().mkpath(t.mirror);
    writeTree(t.source, clients, photos, strays);
    return trees.emplace(name, t).first->second;
}

void runScans(benchmark::State& state, const Tree& t) {
    Defaults store(scratch().path() + "/settings.plist", -1);
    Preferences::useStore(&store);
    store.setString(sPrefLocalSourceUploadFolder, t.source);
    store.setString(sPrefLocalMasterMirrorSiteFolder, t.mirror);
    store.setString(sPrefGlvFuseAction, QStringLiteral("upload.upload"));
    QuietHost host;
    int chosen = 0;
    int owner = 0;
    NotificationCenter::defaultCenter().addObserver(&owner, kPrepareUploadStartNotification,
                                                    [&](const Notification&) { ++chosen; });
    Notification n;
    n.name = kScanFolderNotification;
    n.userInfo = std::make_shared<QVariantMap>(
        QVariantMap{{cDictKeyLocalSourceUploadFolder, t.source},
                    {cDictKeyLocalMirrorFolder, t.mirror},
                    {cDictKeyUserEnteredEventName, QStringLiteral("Bench")}});
    // Console lines of every skipped file go to the log in real use; here they go nowhere.
    fflush(stderr);
    const int saved = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    for (auto _ : state)
        scanFolder(host, n);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(null);
    NotificationCenter::defaultCenter().removeObserver(&owner);
    Preferences::useStore(nullptr);
    if (chosen != int(state.iterations()))
        state.SkipWithError("a scan chose nothing");
    int files = 0;
    for (QDirIterator it(t.source, QDir::Files, QDirIterator::Subdirectories); it.hasNext();
         it.next())
        ++files;
    state.counters["files_in_tree"] = files;
}

void BM_ChooseFrom10000Photos(benchmark::State& state) {
    runScans(state, tree("photos", 100, 100, 0));
}
BENCHMARK(BM_ChooseFrom10000Photos)->Unit(benchmark::kMillisecond);

void BM_ChooseAfter5000FilesWithoutMetadata(benchmark::State& state) {
    runScans(state, tree("strays", 1, 1, 5000));
    // Seconds per skipped file (the one chosen photo is a negligible share).
    state.counters["per_skipped_file"] = benchmark::Counter(
        5000.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ChooseAfter5000FilesWithoutMetadata)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
