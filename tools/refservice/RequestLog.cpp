#include "RequestLog.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace kivo::refservice {

RequestLog::~RequestLog() {
    if (fFile)
        std::fclose(fFile);
}

bool RequestLog::open(const std::string& path, std::string& error) {
    fFile = std::fopen(path.c_str(), "ae");
    if (!fFile) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RequestLog::append(const QJsonObject& entry) {
    QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact);
    line += '\n';
    std::lock_guard lock(fMutex);
    if (!fFile)
        return;
    if (std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), fFile) !=
            static_cast<size_t>(line.size()) ||
        std::fflush(fFile) != 0) {
        std::cerr << "kivo-refservice: writing the request log failed: " << std::strerror(errno)
                  << std::endl;
    }
}

} // namespace kivo::refservice
