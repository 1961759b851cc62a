// The old-photo sweep over a mirror folder of 12-megapixel JPEGs, checking each photo with
//   stream  the sweep's own check (the whole JPEG stream read once, not decoded),
//   eighth  IsValidImageObject (the JPEG decoded at 1/8 scale),
//   full    a full-size decode.
//   bench_old_photo_sweep make <work> [distinct=50]      the distinct photos, once
//   bench_old_photo_sweep stream|eighth|full <work> [files=5000] [distinct=50] [old|young]
// "young" puts the cut-off before the photos were made: nothing is deleted.
// The mirror is made of hard links to the distinct photos, so 5,000 files take the disk space
// of 50. By default every photo is older than the cut-off: each one is checked, dated and deleted.
#include "files/FolderSweep.h"
#include "fixtures/Fixtures.h"
#include "scan/ImageCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QString poolPhoto(const QString& work, int i) {
    return QStringLiteral("%1/pool/IMG_%2.jpg").arg(work).arg(i, 3, 10, QLatin1Char('0'));
}

bool makePool(const QString& work, int distinct) {
    QDir().mkpath(work + "/pool");
    for (int i = 0; i < distinct; ++i) {
        if (QFile::exists(poolPhoto(work, i)))
            continue;
        kivo::fixtures::PhotoSpec shot;
        shot.size = QSize(4000, 3000);
        shot.noise = 60;
        shot.seed = i + 1;
        shot.metadata = kivo::fixtures::sampleMetadata(QStringLiteral("Smith"), i + 1);
        QString error;
        if (!kivo::fixtures::writeJpeg(poolPhoto(work, i), shot, &error)) {
            std::fprintf(stderr, "cannot write a photo: %s\n", qPrintable(error));
            return false;
        }
    }
    return true;
}

bool makeMirror(const QString& mirror, const QString& work, int files, int distinct) {
    QDir(mirror).removeRecursively();
    for (int i = 0; i < files; ++i) {
        const QString folder =
            QStringLiteral("%1/Client%2").arg(mirror).arg(i / 100, 3, 10, QLatin1Char('0'));
        if (i % 100 == 0 && !QDir().mkpath(folder))
            return false;
        const QString link =
            QStringLiteral("%1/IMG_%2.jpg").arg(folder).arg(i, 5, 10, QLatin1Char('0'));
        if (::link(QFile::encodeName(poolPhoto(work, i % distinct)).constData(),
                   QFile::encodeName(link).constData()) != 0) {
            std::perror("link");
            return false;
        }
    }
    return true;
}

bool fullDecode(const QString& path) {
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    return !reader.read().isNull();
}

long statusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').front().toLong();
    return -1;
}

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr,
                     "usage: %s make|stream|eighth|full <work> [files] [distinct] [old|young]\n",
                     argv[0]);
        return 2;
    }
    const QString mode = args[1];
    const QString work = args[2];
    if (mode == "make")
        return makePool(work, args.size() > 3 ? args[3].toInt() : 50) ? 0 : 1;
    if (mode != "stream" && mode != "eighth" && mode != "full") {
        std::fprintf(stderr, "mode is make, stream, eighth or full\n");
        return 2;
    }
    const int files = args.size() > 3 ? args[3].toInt() : 5000;
    const int distinct = args.size() > 4 ? args[4].toInt() : 50;
    const bool young = args.size() > 5 && args[5] == "young";
    const QString mirror = work + "/mirror-" + mode;
    if (files <= 0 || distinct <= 0 || !makePool(work, distinct) ||
        !makeMirror(mirror, work, files, distinct))
        return 1;
    // The first check sets up the image reader; it and the set-up above stay out of the figures.
    kivo::IsValidImageObject(poolPhoto(work, 0));
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool peakReset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();

    kivo::OldPhotoRules rules;
    rules.cutoff = QDateTime::currentDateTime().addDays(young ? -1 : 1);
    if (mode == "full")
        rules.isImage = fullDecode;
    else if (mode == "eighth")
        rules.isImage = kivo::IsValidImageObject;
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const kivo::OldPhotoSweep swept = kivo::deleteOldPhotos(mirror, rules, nullptr);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    std::printf(
        "%-6s %-5s %d files: %d deleted, %d kept, %d skipped; %.1f s wall, %.1f s processor, "
        "%.1f files/s, peak %.1f MiB%s\n",
        qPrintable(mode), young ? "young" : "old", files, swept.deleted, swept.kept, swept.skipped,
        wall, cpu, files / wall, statusKiB("VmHWM:") / 1024.0,
        peakReset ? "" : " (peak since start: could not reset it)");
    QDir(mirror).removeRecursively();
    return swept.deleted + swept.kept == files && swept.deleted == (young ? 0 : files) ? 0 : 1;
}
