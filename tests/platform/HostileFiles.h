#pragma once
// Settings files that are not what they seem: unreadable ones and FIFOs.
#include <QFile>
#include <QString>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace kivo::test {

// The tests run as root in CI, where a file's mode stops nobody. Capabilities are per thread
// on Linux: a thread without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH is held to file modes
// like any user (threads it starts inherit that), while the rest of the test program is not.
inline void runSubjectToFilePermissions(const std::function<void()>& fn) {
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            ::syscall(SYS_capset, &header, data);
        }
        fn();
    });
    worker.join();
}

// Runs fn, which must not block on the FIFO at fifo. Should it block anyway, a writer comes
// and goes after limitMs so that the test fails instead of hanging.
inline bool finishesWhileFifoHasNoWriter(const QString& fifo, const std::function<void()>& fn,
                                         int limitMs = 20000) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        fn();
        done.set_value();
    });
    const bool inTime =
        finished.wait_for(std::chrono::milliseconds(limitMs)) == std::future_status::ready;
    if (!inTime) {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    worker.join();
    return inTime;
}

} // namespace kivo::test
