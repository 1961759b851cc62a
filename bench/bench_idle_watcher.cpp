// Figures of the source-folder watcher, measured with the real watcher on a real folder:
//  1. processor time an idle watcher uses (the whole process and the watcher thread alone) and
//     how often its thread wakes up;
//  2. the delay from a photo being closed after writing to the "WatcherItemChanged"
//     notification, over a number of trials: median and 95th percentile.
// Usage: bench_idle_watcher [idle-seconds=60] [trials=50]
// The folder is made under $KIVO_BENCH_DIR (default: the temporary folder).
#include "app/Pipeline.h"
#include "files/FolderWatcher.h"
#include "platform/NotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Observed {
    std::mutex lock;
    std::condition_variable changed;
    long watcherTid = 0;
    std::vector<Clock::time_point> notes;
};

double processCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return s(ru.ru_utime) + s(ru.ru_stime);
}

// utime + stime of one thread, in clock ticks, and its context switches (wake-ups).
struct ThreadStat {
    double cpuSeconds = 0;
    long long switches = 0;
};

ThreadStat threadStat(long tid) {
    ThreadStat st;
    const QString task = QStringLiteral("/proc/self/task/%1/").arg(tid);
    QFile stat(task + "stat");
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields after the command name, which ends at the last ')'.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12)
            st.cpuSeconds =
                double(f[11].toLongLong() + f[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(task + "status");
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.contains("ctxt_switches:"))
                st.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return st;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t rank = size_t(std::max(1.0, std::ceil(p * double(v.size()))));
    return v[std::min(rank, v.size()) - 1];
}

bool writePhoto(const QString& path, const QByteArray& bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? atoi(argv[1]) : 60;
    const int trials = argc > 2 ? atoi(argv[2]) : 50;
    const QString base = qEnvironmentVariableIsSet("KIVO_BENCH_DIR")
                             ? qEnvironmentVariable("KIVO_BENCH_DIR")
                             : QDir::tempPath();
    QTemporaryDir dir(base + "/kivo-watch-bench-XXXXXX");
    if (!dir.isValid() || !QDir(dir.path()).mkdir("Client")) {
        fprintf(stderr, "cannot make a folder under %s\n", qPrintable(base));
        return 1;
    }
    const QString client = dir.path() + "/Client";

    Observed seen;
    int owner = 0;
    auto& center = kivo::NotificationCenter::defaultCenter();
    center.addObserver(&owner, kivo::kWatcherStarted, [&](const kivo::Notification&) {
        std::lock_guard<std::mutex> g(seen.lock);
        seen.watcherTid = long(syscall(SYS_gettid));
        seen.changed.notify_all();
    });
    center.addObserver(&owner, kivo::kWatcherItemChanged, [&](const kivo::Notification&) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> g(seen.lock);
        seen.notes.push_back(now);
        seen.changed.notify_all();
    });
    std::thread watcher([&] { kivo::doInstallTheWatcher(dir.path()); });
    long tid = 0;
    {
        std::unique_lock<std::mutex> g(seen.lock);
        if (!seen.changed.wait_for(g, 10s, [&] { return seen.watcherTid != 0; })) {
            fprintf(stderr, "the watcher did not start\n");
            kivo::stopTheWatcher();
            watcher.join();
            return 1;
        }
        tid = seen.watcherTid;
    }

    std::this_thread::sleep_for(1s); // let the watcher thread enter its wait
    printf("folder: %s\n", qPrintable(dir.path()));
    printf("idle watcher over %d s:\n", idleSeconds);
    const double cpu0 = processCpuSeconds();
    const ThreadStat t0 = threadStat(tid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double cpu1 = processCpuSeconds();
    const ThreadStat t1 = threadStat(tid);
    size_t idleNotes = 0;
    {
        std::lock_guard<std::mutex> g(seen.lock);
        idleNotes = seen.notes.size();
    }
    printf("  process user+sys      %.4f s\n", cpu1 - cpu0);
    printf("  watcher thread cpu    %.2f s (clock-tick resolution)\n",
           t1.cpuSeconds - t0.cpuSeconds);
    printf("  watcher thread wakeups %lld\n", t1.switches - t0.switches);
    printf("  notifications         %zu\n", idleNotes);

    // A photo-sized file of noise (about 4.4 MB, like a 12-megapixel JPEG).
    QByteArray photo(4400 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(photo.data()),
                                          photo.size() / 4);
    std::vector<double> fromClose;
    std::vector<double> fromOpen;
    int missed = 0;
    auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    for (int i = 0; i < trials; ++i) {
        // Quiet for longer than the latency, at a varying phase of the flush ticks.
        std::this_thread::sleep_for(
            1300ms + std::chrono::milliseconds(QRandomGenerator::global()->bounded(1000)));
        size_t before = 0;
        {
            std::lock_guard<std::mutex> g(seen.lock);
            before = seen.notes.size();
        }
        const QString path = client + QStringLiteral("/photo%1.jpg").arg(i);
        const auto opened = Clock::now();
        if (!writePhoto(path, photo)) {
            fprintf(stderr, "cannot write %s\n", qPrintable(path));
            break;
        }
        const auto closed = Clock::now();
        std::unique_lock<std::mutex> g(seen.lock);
        if (seen.changed.wait_for(g, 10s, [&] { return seen.notes.size() > before; })) {
            fromClose.push_back(ms(seen.notes[before] - closed));
            fromOpen.push_back(ms(seen.notes[before] - opened));
        } else {
            ++missed;
        }
        g.unlock();
        QFile::remove(path);
    }
    printf("photo closed -> WatcherItemChanged, %zu trials (%d missed):\n", fromClose.size(),
           missed);
    printf("  from close: median %.1f ms, p95 %.1f ms, min %.1f ms, max %.1f ms\n",
           percentile(fromClose, 0.5), percentile(fromClose, 0.95), percentile(fromClose, 0.0),
           percentile(fromClose, 1.0));
    printf("  from open:  median %.1f ms, p95 %.1f ms\n", percentile(fromOpen, 0.5),
           percentile(fromOpen, 0.95));

    kivo::stopTheWatcher();
    watcher.join();
    center.removeObserver(&owner);
    return 0;
}
