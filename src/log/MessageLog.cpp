#include "log/MessageLog.h"

#include "log/Printing.h"
#include "platform/Bundle.h"
#include "platform/Console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::MessageLog {

namespace {

// Created once and never destroyed: a background thread may still log while the process exits.
struct LogState {
    std::mutex lock;
    std::atomic<bool> open{false}; // written only under `lock`
    std::ofstream file;
    QString path;
};

LogState& state() {
    static LogState* s = new LogState;
    return *s;
}

// asctime text without its newline. Under the log's lock.
std::string timeText() {
    const time_t now = time(nullptr);
    struct tm local {};
    char buf[64] = {};
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, buf) == nullptr)
        return {};
    std::string text(buf);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

void writeEntry(std::string_view msg, bool echo) {
    LogState& s = state();
    bool written = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.open.load()) {
            // Built whole, so a long message is never cut.
            std::string line;
            const std::string stamp = timeText();
            line.reserve(stamp.size() + msg.size() + 8);
            line += '[';
            line += stamp;
            line += "] ==> ";
            line += msg;
            line += '\n';
            s.file.write(line.data(), std::streamsize(line.size()));
            s.file.flush();
            written = true;
        }
    }
    if (!written)
        consoleLine(QStringLiteral("Logfile may be closed already?????"));
    if (echo)
        logMessageToCocoaView(nullptr, std::string(msg).c_str(), false);
}

bool ensurePrivateFolder(const QString& folder) {
    QFileInfo info(folder);
    if (info.isDir())
        return true;
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return QFileInfo(folder).isDir();
}

} // namespace

QString logPathFor(const QString& folder, bool makeFolder) {
    const QString name = bundle::displayName() + QStringLiteral("Log.txt");
    if (!folder.isEmpty() && QFileInfo(folder).isDir() &&
        ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0)
        return folder + QLatin1Char('/') + name;
    const QString privateFolder = bundle::stateHome() + QStringLiteral("/Kivo");
    if (makeFolder && !ensurePrivateFolder(privateFolder))
        consoleLine(QStringLiteral("Could not create the log folder %1").arg(privateFolder));
    return privateFolder + QLatin1Char('/') + name;
}

void InitLog() {
    InitLogAtPath(logPathFor(bundle::executableFolder()));
}

void InitLogAtPath(const QString& path) {
    LogState& s = state();
    int openError = 0;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.file.is_open())
            s.file.close();
        s.file.clear();
        s.path = path;
        // The file name's bytes are the local 8-bit form of the path (UTF-8 here).
        errno = 0;
        s.file.open(QFile::encodeName(path).constData(),
                    std::ios::out | std::ios::trunc | std::ios::binary);
        if (!s.file.is_open())
            openError = errno ? errno : EIO;
        // Open even when the file is not: entries are then lost rather than refused.
        s.open.store(true);
    }
    if (openError)
        consoleLine(QStringLiteral("Could not open the log file %1: %2")
                        .arg(path, QString::fromLocal8Bit(strerror(openError))));
}

void CloseLog() {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.open.store(false);
    if (s.file.is_open())
        s.file.close();
    s.file.clear();
}

bool isOpen() {
    return state().open.load();
}

QString logFilePath() {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.path;
}

void LogMessage(const char* msg, bool echo) {
    writeEntry(msg ? std::string_view(msg) : std::string_view(), echo);
}

void LogMessage(const std::string& msg) {
    writeEntry(msg, false);
}

void LogMessage(const QString& msg, bool echo) {
    const QByteArray bytes = msg.toUtf8();
    writeEntry(std::string_view(bytes.constData(), size_t(bytes.size())), echo);
}

} // namespace kivo::MessageLog
