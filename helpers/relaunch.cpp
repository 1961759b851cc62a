// relaunch <program> <pid> <flags> [-- <args...>]
//
// Waits until process <pid> has ended, then starts <program> with <args...> in a session of
// its own and exits. The process is not our child, so its end is found by polling. With the
// "launch and hide" flag the program is asked to start without showing its window.
//
// It waits for as long as the process lives (a hung upload may take a while to let go) and
// says so on standard error once a minute. KIVO_RELAUNCH_NOTE_MS, when set to a positive
// number, shortens that interval to as many milliseconds; it exists for the tests.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr long kLaunchAndHide = 0x00100000;
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kNoteInterval = std::chrono::minutes(1);
const std::string kHiddenKey = "-KivoStartHidden";

int usage(const char* self) {
    std::fprintf(stderr, "usage: %s <program> <pid> <flags> [-- <args...>]\n", self);
    return 2;
}

bool parseNumber(const char* text, long long* out) {
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

// State letter and start time from /proc/<pid>/stat; false when the process is not there.
bool readStat(pid_t pid, char* state, unsigned long long* startTime) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!in || !std::getline(in, line))
        return false;
    // The command name may contain spaces and parentheses; the fields follow the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size())
        return false;
    const char* p = line.c_str() + close + 2;
    *state = *p;
    // Field 22 (start time) is the 20th field after the state.
    for (int field = 0; field < 19 && p; ++field) {
        p = std::strchr(p, ' ');
        if (p)
            ++p;
    }
    *startTime = p ? std::strtoull(p, nullptr, 10) : 0;
    return true;
}

std::chrono::milliseconds noteInterval() {
    long long ms = 0;
    if (parseNumber(std::getenv("KIVO_RELAUNCH_NOTE_MS"), &ms) && ms > 0)
        return std::chrono::milliseconds(ms);
    return kNoteInterval;
}

// Stamped like the program's own console lines: the helper writes into the same daily log.
void note(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    localtime_r(&secs, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s.%03d relaunch: %s\n", stamp, int(ms.count()), text.c_str());
    std::fflush(stderr);
}

struct Watched {
    pid_t pid;
    bool haveStart = false;
    unsigned long long startTime = 0;
};

bool hasEnded(const Watched& w) {
    if (kill(w.pid, 0) != 0 && errno == ESRCH)
        return true;
    char state = 0;
    unsigned long long start = 0;
    if (!readStat(w.pid, &state, &start))
        return kill(w.pid, 0) != 0 && errno == ESRCH;
    // A zombie has ended even though its parent has not collected it yet; a different start
    // time means the number now belongs to another process.
    if (state == 'Z' || state == 'X')
        return true;
    return w.haveStart && start != w.startTime;
}

} // namespace

int main(int argc, char** argv) {
    const char* self = argc > 0 ? argv[0] : "relaunch";
    if (argc < 4 || (argc > 4 && std::strcmp(argv[4], "--") != 0))
        return usage(self);
    const std::string program = argv[1];
    long long pid = 0;
    long long flags = 0;
    if (program.empty() || !parseNumber(argv[2], &pid) || pid <= 0 || pid > INT32_MAX ||
        !parseNumber(argv[3], &flags))
        return usage(self);

    // A hidden pair left over from an earlier relaunch must not decide this start.
    std::vector<std::string> args;
    for (int i = 5; i < argc; ++i) {
        if (argv[i] == kHiddenKey) {
            if (i + 1 < argc)
                ++i;
            continue;
        }
        args.emplace_back(argv[i]);
    }
    if (flags & kLaunchAndHide) {
        args.push_back(kHiddenKey);
        args.emplace_back("YES");
    }

    Watched watched{pid_t(pid)};
    char state = 0;
    watched.haveStart = readStat(watched.pid, &state, &watched.startTime);
    // Giving up would leave nothing running once the process does end.
    const auto interval = noteInterval();
    const auto began = std::chrono::steady_clock::now();
    auto nextNote = began + interval;
    while (!hasEnded(watched)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextNote) {
            const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - began);
            note("still waiting for process " + std::to_string(pid) + " to end (" +
                 std::to_string(waited.count()) + " s so far); " + program + " starts once it has");
            nextNote = now + interval;
        }
        std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(kPollInterval, interval));
    }

    std::vector<char*> childArgv;
    childArgv.push_back(const_cast<char*>(program.c_str()));
    for (std::string& a : args)
        childArgv.push_back(a.data());
    childArgv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int rc = posix_spawn(&child, program.c_str(), &actions, &attr, childArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        note("cannot start " + program + ": " + std::strerror(rc));
        return 1;
    }
    // Not waited for: once we exit, the new instance belongs to init.
    return 0;
}
