#pragma once
// A worker thread that its owner joins. The worker may wait on the main thread (window updates),
// so a join made on the main thread keeps serving the main thread's queued calls until the
// worker has ended: a plain join would dead-lock there.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace kivo {

class OwnedThread {
public:
    OwnedThread() = default;
    ~OwnedThread(); // joins
    OwnedThread(const OwnedThread&) = delete;
    OwnedThread& operator=(const OwnedThread&) = delete;

    // Starts fn unless the previous run is still under way (then false). A finished previous
    // run is joined first.
    bool start(std::function<void()> fn);
    bool isRunning() const { return fRunning.load(); }
    // Waits for the current run, if any, to end. Any thread but the worker itself.
    void join();

private:
    std::mutex fLock; // start and join
    std::thread fThread;
    std::atomic<bool> fRunning{false};
};

} // namespace kivo
