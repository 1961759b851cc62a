#pragma once
#include <QJsonArray>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::refservice {

enum class FaultKind { Http, Status, Body, Delay, Hang, Close };

const char* faultKindName(FaultKind kind);

// What a request to the service is, told by its fields: an order query has no file part and a
// fuse action containing "check"; a hi-res upload has an imageid field; anything else is a photo.
enum class RequestKind { Photo, Query, HiRes };

const char* requestKindName(RequestKind kind);

// A scripted misbehaviour for the next requests of one kind.
struct Fault {
    FaultKind kind = FaultKind::Status;
    int remaining = 1; // requests still to be faulted; 0 means until reset
    std::optional<RequestKind> on = RequestKind::Photo; // nothing: every kind
    std::string match; // only requests whose file name (query: fuse action) contains this
    int httpCode = 500;
    std::string status = "ERROR";
    std::string message;
    std::optional<std::string> body;
    std::string contentType;
    std::string location; // http: sent as the Location header when set
    int delayMs = 1000;
    int id = 0;
    int applied = 0;
};

using Params = std::map<std::string, std::string>;

// Reads "a=1&b=x%20y" or a JSON object into name/value pairs.
std::optional<Params> parseParams(std::string_view text, std::string& error);
std::string percentDecode(std::string_view text);

// Builds a fault from control fields: kind, on, count, match, code, status, message, body, type,
// ms, location.
std::optional<Fault> makeFault(const Params& params, std::string& error);

class FaultPlan {
public:
    int add(Fault fault);
    void clear();
    // Finds the first fault that applies to a request of this kind whose match subject (file
    // name, or fuse action for a query) is given, and counts it as used. With closeOnly, nothing
    // is used unless that first applicable fault is a close fault (a close must be decided while
    // the body is still arriving, the others once it is in).
    std::optional<Fault> take(RequestKind kind, const std::string& subject, bool closeOnly = false);
    QJsonArray describe() const;

private:
    mutable std::mutex fMutex;
    std::vector<Fault> fFaults;
    int fNextId = 1;
};

} // namespace kivo::refservice
