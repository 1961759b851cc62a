#pragma once
// Console-and-log reporting helpers used across the program.
#include <QString>
#include <atomic>
#include <string>
#include <type_traits>

class QObject;

namespace kivo {

// Process-wide switches; tests may flip them.
extern std::atomic<bool> gDoShowDebug;    // myPrintfDebug echoes to standard output
extern std::atomic<bool> gLogAllMessages; // myPrintf/myPrintfDebug also write a log entry
extern std::atomic<bool> gHasCocoaView;   // texts go to the on-screen log view, not stdout

// There is no on-screen log view: without one the text goes to the console as "NSLog = <text>".
void logMessageToCocoaView(QObject* view, const char* text, bool flag);

// Writes the already formatted text (a newline added when missing) to standard error as is,
// then into the log without echo.
void myNSLog(const QString& formatted);

namespace detail {
template <typename T> QString nsLogArg(const T& value) {
    if constexpr (std::is_arithmetic_v<T>)
        return QString::number(value);
    else if constexpr (std::is_same_v<T, std::string>)
        return QString::fromStdString(value);
    else if constexpr (std::is_convertible_v<const T&, const char*>)
        return QString::fromUtf8(static_cast<const char*>(value));
    else
        return QString(value);
}
} // namespace detail

// Qt-style formatting: "%1", "%2"... take the arguments in order, in one pass (an argument that
// itself contains "%1" is not expanded again). The newline rule applies to the format.
template <typename... Args>
requires(sizeof...(Args) > 0) void myNSLog(const QString& format, const Args&... args) {
    QString f = format;
    if (!f.endsWith(QLatin1Char('\n')))
        f += QLatin1Char('\n');
    myNSLog(f.arg(detail::nsLogArg(args)...));
}

// The text is printed as is, never used as a format.
void myPrintf(const char* text);
void myPrintfDebug(const char* text);
void myPrintfInternal(const char* text, bool echo, bool log);

} // namespace kivo
