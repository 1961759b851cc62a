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

// A scripted misbehaviour for the next uploads.
struct Fault {
    FaultKind kind = FaultKind::Status;
    int remaining = 1; // uploads still to be faulted; 0 means until reset
    std::string match; // only uploads whose file name contains this
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

// Builds a fault from control fields: kind, count, match, code, status, message, body, type, ms,
// location.
std::optional<Fault> makeFault(const Params& params, std::string& error);

class FaultPlan {
public:
    int add(Fault fault);
    void clear();
    // Finds the first fault that applies to an upload of fileName and counts it as used. With
    // closeOnly, nothing is used unless that first applicable fault is a close fault (a close
    // must be decided while the body is still arriving, the others once it is in).
    std::optional<Fault> take(const std::string& fileName, bool closeOnly = false);
    QJsonArray describe() const;

private:
    mutable std::mutex fMutex;
    std::vector<Fault> fFaults;
    int fNextId = 1;
};

} // namespace kivo::refservice
