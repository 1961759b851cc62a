// Speed of the metadata reader and the image check on 12-megapixel JPEGs, and how much of each
// file the reader makes the kernel read.
#include "fixtures/Fixtures.h"
#include "scan/EmbeddedMetadata.h"
#include "scan/ImageCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <memory>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPhotos = 6;

struct Photos {
    std::unique_ptr<QTemporaryDir> dir;
    std::vector<QString> paths;
    QString png;
    qint64 totalBytes = 0;
    bool onTmpfs = false;
};

Photos& photos() {
    static Photos p;
    return p;
}

bool makePhotos() {
    Photos& p = photos();
    const QString base = qEnvironmentVariable("KIVO_BENCH_DIR", QDir::tempPath());
    p.dir = std::make_unique<QTemporaryDir>(base + "/kivo-bench-XXXXXX");
    if (!p.dir->isValid())
        return false;
    struct statfs fs {};
    p.onTmpfs = ::statfs(QFile::encodeName(p.dir->path()).constData(), &fs) == 0 &&
                fs.f_type == TMPFS_MAGIC;
    for (int i = 0; i < kPhotos; ++i) {
        kivo::fixtures::PhotoSpec shot;
        shot.size = QSize(4000, 3000);
        shot.noise = 60;
        shot.seed = i + 1;
        shot.metadata = kivo::fixtures::sampleMetadata(QStringLiteral("Smith"), i + 1);
        shot.dateTimeOriginal = QStringLiteral("2026:12:05 10:00:00");
        const QString path = p.dir->path() + QStringLiteral("/IMG_%1.jpg").arg(i + 1);
        QString error;
        if (!kivo::fixtures::writeJpeg(path, shot, &error)) {
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), qPrintable(error));
            return false;
        }
        // Written back to disk, so the page cache can be dropped for the cold reads.
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        p.paths.push_back(path);
        p.totalBytes += QFileInfo(path).size();
    }
    {
        kivo::fixtures::PhotoSpec shot;
        shot.size = QSize(4000, 3000);
        shot.noise = 60;
        shot.metadata = kivo::fixtures::sampleMetadata(QStringLiteral("Smith"), 99);
        p.png = p.dir->path() + QStringLiteral("/IMG_0099.png");
        if (!kivo::fixtures::writePng(p.png, shot))
            return false;
        const int fd = ::open(QFile::encodeName(p.png).constData(), O_RDONLY);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        std::printf("one PNG of 4000x3000, %.2f MB\n", double(QFileInfo(p.png).size()) / 1e6);
    }
    std::printf("%d photos of 4000x3000, %.2f MB each on average, in %s%s\n", kPhotos,
                double(p.totalBytes) / kPhotos / 1e6, qPrintable(p.dir->path()),
                p.onTmpfs ? " (tmpfs: the cold-read figures mean nothing here)" : "");
    return true;
}

bool dropFromCache(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return ok;
}

// Bytes of the file now in the page cache (mincore over a fresh mapping, which itself touches
// nothing).
qint64 residentBytes(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return -1;
    const qint64 size = QFileInfo(path).size();
    void* map = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        return -1;
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> vec(size_t((size + page - 1) / page));
    qint64 resident = 0;
    if (::mincore(map, size_t(size), vec.data()) == 0) {
        for (size_t i = 0; i < vec.size(); ++i)
            if (vec[i] & 1)
                resident += std::min<qint64>(page, size - qint64(i) * page);
    }
    ::munmap(map, size_t(size));
    return resident;
}

void BM_JpegMetadataWarm(benchmark::State& state) {
    const Photos& p = photos();
    size_t i = 0;
    qint64 found = 0;
    for (auto _ : state) {
        found += kivo::getKivoMetaDataFromJpeg(p.paths[i++ % p.paths.size()]).has_value();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["found"] = benchmark::Counter(double(found) / double(state.iterations()));
}
BENCHMARK(BM_JpegMetadataWarm)->Unit(benchmark::kMicrosecond);

// Each read starts with the file out of the page cache; afterwards the cached part of the file
// is what the read made the kernel load (the pages the reader touched plus read-around).
void BM_JpegMetadataCold(benchmark::State& state) {
    const Photos& p = photos();
    size_t i = 0;
    double ratioSum = 0, residentSum = 0;
    for (auto _ : state) {
        const QString& path = p.paths[i++ % p.paths.size()];
        state.PauseTiming();
        dropFromCache(path);
        const qint64 before = residentBytes(path);
        state.ResumeTiming();
        benchmark::DoNotOptimize(kivo::getKivoMetaDataFromJpeg(path));
        state.PauseTiming();
        const qint64 after = residentBytes(path);
        residentSum += double(after - before);
        ratioSum += double(after - before) / double(QFileInfo(path).size());
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["read_KiB"] = residentSum / double(state.iterations()) / 1024.0;
    state.counters["read_ratio"] = ratioSum / double(state.iterations());
}
BENCHMARK(BM_JpegMetadataCold)->Unit(benchmark::kMicrosecond)->Iterations(60);

void BM_PngMetadataCold(benchmark::State& state) {
    const QString& path = photos().png;
    const double size = double(QFileInfo(path).size());
    double residentSum = 0;
    for (auto _ : state) {
        state.PauseTiming();
        dropFromCache(path);
        const qint64 before = residentBytes(path);
        state.ResumeTiming();
        benchmark::DoNotOptimize(kivo::getKivoMetaDataFromPng(path));
        state.PauseTiming();
        residentSum += double(residentBytes(path) - before);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["read_KiB"] = residentSum / double(state.iterations()) / 1024.0;
    state.counters["read_ratio"] = residentSum / double(state.iterations()) / size;
}
BENCHMARK(BM_PngMetadataCold)->Unit(benchmark::kMicrosecond)->Iterations(60);

void BM_IsValidImageObject(benchmark::State& state) {
    const Photos& p = photos();
    size_t i = 0;
    qint64 valid = 0;
    for (auto _ : state)
        valid += kivo::IsValidImageObject(p.paths[i++ % p.paths.size()]);
    state.SetItemsProcessed(state.iterations());
    state.counters["valid"] = benchmark::Counter(double(valid) / double(state.iterations()));
}
BENCHMARK(BM_IsValidImageObject)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!makePhotos())
        return 1;
    // The readers' console lines would swamp the report; they cost a write to /dev/null here.
    std::fflush(stderr);
    if (!std::freopen("/dev/null", "w", stderr))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
