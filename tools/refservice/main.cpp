// kivo-refservice: a stand-in for the photo web service, for the demo and the tests.
#include "Options.h"
#include "Service.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

using namespace kivo::refservice;

namespace {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onStopSignal(int) {
    gStopRequested = true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        if (error == "help") {
            std::cout << usageText();
            return 0;
        }
        std::cerr << "kivo-refservice: " << error << "\n" << usageText();
        return 2;
    }

    // Cut connections make the library's writes fail; that must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // A handler rather than a blocked mask: threads started before main (the sanitizer's) would
    // otherwise take the signal with its default action.
    struct sigaction stopAction {};
    stopAction.sa_handler = onStopSignal;
    stopAction.sa_flags = SA_RESTART;
    sigemptyset(&stopAction.sa_mask);
    sigaction(SIGTERM, &stopAction, nullptr);
    sigaction(SIGINT, &stopAction, nullptr);

    Service service(options);
    if (!service.start(error)) {
        std::cerr << "kivo-refservice: " << error << std::endl;
        return 1;
    }
    std::cout << "listening on " << service.address() << ":" << service.port() << std::endl;

    std::atomic<bool> finished{false};
    std::thread watcher([&] {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(options.maxLifetimeSeconds);
        bool stopping = false;
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!stopping && gStopRequested) {
                stopping = true;
            } else if (!stopping && std::chrono::steady_clock::now() >= deadline) {
                std::cerr << "kivo-refservice: maximum lifetime reached, stopping" << std::endl;
                stopping = true;
            }
            // Repeated until run() returns: a stop that lands just before the accept loop
            // starts would otherwise be missed.
            if (stopping)
                service.stop();
        }
    });

    service.run();
    finished = true;
    watcher.join();
    return 0;
}
