#pragma once
#include <QJsonObject>

#include <cstdio>
#include <mutex>
#include <string>

namespace kivo::refservice {

// DATA/requests.log: one JSON object per line, flushed at once so tests can read it while the
// service runs.
class RequestLog {
public:
    RequestLog() = default;
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    bool open(const std::string& path, std::string& error);
    void append(const QJsonObject& entry);

private:
    std::mutex fMutex;
    std::FILE* fFile = nullptr;
};

} // namespace kivo::refservice
