#pragma once
// Settings files that are not what they seem: FIFOs.
#include <QFile>
#include <QString>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <thread>
#include <unistd.h>

namespace kivo::test {

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
