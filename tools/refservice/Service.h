#pragma once
#include "FaultPlan.h"
#include "Options.h"
#include "OrderBook.h"
#include "RequestLog.h"

#include <httplib.h>

#include <QJsonObject>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

namespace kivo::refservice {

class UploadReceiver;

// The stand-in web service: receives uploads, stores them, answers order queries and takes the
// hi-res originals that fulfil them, answers like the real service or as the scripted faults
// say, and keeps a log of every request.
class Service {
public:
    explicit Service(Options options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Prepares the data folder and the log, applies the --fault options and binds the port.
    bool start(std::string& error);
    int port() const { return fPort; }
    const std::string& address() const { return fOptions.bind; }
    // Serves until stop(); returns whether the accept loop ran.
    bool run();
    // Safe from any thread and more than once: wakes held requests and ends run().
    void stop();

private:
    struct Exchange;
    // What one request led to, for the request log.
    struct Outcome {
        Outcome(int http = 0, std::optional<std::string> status = std::nullopt,
                std::string dir = {}, std::optional<int> order = std::nullopt)
            : http(http), status(std::move(status)), dir(std::move(dir)), order(order) {}
        int http; // 0: no reply was sent
        std::optional<std::string> status;
        std::string dir;          // received folder name, when stored
        std::optional<int> order; // the order a hi-res upload fulfilled
    };

    void handlePost(const httplib::Request& req, httplib::Response& res,
                    const httplib::ContentReader& reader);
    void handleGet(const httplib::Request& req, httplib::Response& res);
    void handleControl(const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader* reader);
    void handleUpload(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader);

    // The reply the fault calls for; nothing when the fault has already logged the request.
    std::optional<Outcome> applyFault(const Fault& fault, Exchange& ex, const httplib::Request& req,
                                      httplib::Response& res);
    Outcome answer(Exchange& ex, httplib::Response& res);
    Outcome answerQuery(Exchange& ex, httplib::Response& res);
    Outcome receivePhoto(Exchange& ex, httplib::Response& res);
    Outcome receiveHiRes(Exchange& ex, httplib::Response& res);
    // The service's XML verdict for a request it does not take.
    Outcome refuse(httplib::Response& res, const std::string& status, const std::string& message);
    bool accountAccepted(const UploadReceiver& receiver) const;
    // Moves the upload into received/dirName with its record; on failure answers 500.
    bool store(Exchange& ex, const std::string& dirName, QJsonObject extra, httplib::Response& res);

    void logRequest(const Exchange& ex, const Outcome& outcome);
    QJsonObject stateJson() const;
    int nextSequence();
    void releaseHeld();
    // Waits up to ms; false when the service is stopping.
    bool pause(int ms);
    void holdUntilReleased();

    Options fOptions;
    httplib::Server fServer;
    RequestLog fLog;
    FaultPlan fFaults;
    OrderBook fOrders;
    int fPort = 0;
    std::string fReceivedDir;
    std::string fIncomingDir;

    std::atomic<int> fSequence{0};
    std::atomic<int> fRequestCount{0};
    std::atomic<int> fReceivedCount{0};
    std::atomic<int> fRefusedCount{0};
    std::atomic<int> fFaultedCount{0};
    std::atomic<int> fHeldCount{0};
    std::atomic<int> fConnectionCount{0}; // accepted so far; also the last connection's id

    std::mutex fWaitMutex;
    std::condition_variable fWaitCondition;
    uint64_t fReleaseGeneration = 0; // under fWaitMutex
    bool fStopping = false;          // under fWaitMutex
};

} // namespace kivo::refservice
