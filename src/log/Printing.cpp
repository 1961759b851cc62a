#include "log/Printing.h"

#include "log/MessageLog.h"
#include "platform/Console.h"
#include "platform/MacRoman.h"

#include <cstdio>

namespace kivo {

std::atomic<bool> gDoShowDebug{true};
std::atomic<bool> gLogAllMessages{false};
std::atomic<bool> gHasCocoaView{false};

void logMessageToCocoaView(QObject* view, const char* text, bool /*flag*/) {
    if (view)
        return;
    consoleLine(QStringLiteral("NSLog = %1").arg(QString::fromUtf8(text ? text : "")));
}

void myNSLog(const QString& formatted) {
    QString text = formatted;
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    fflush(stderr);
    MessageLog::LogMessage(bytes.toStdString());
}

void myPrintf(const char* text) {
    myPrintfInternal(text, true, true);
}

void myPrintfDebug(const char* text) {
    myPrintfInternal(text, gDoShowDebug.load(), true);
}

void myPrintfInternal(const char* text, bool echo, bool log) {
    std::string s = text ? text : "";
    const bool toView = gHasCocoaView.load();
    if (toView && s.size() > 1 && (s.back() == '\r' || s.back() == '\n'))
        s.pop_back();
    if (echo) {
        if (toView) {
            logMessageToCocoaView(nullptr, s.c_str(), false);
        } else {
            fwrite(s.data(), 1, s.size(), stdout);
            fflush(stdout);
        }
    }
    if (log && gLogAllMessages.load()) {
        // Two bullets and a space; the file is UTF-8, so they are written in that form.
        static const std::string bullets = fromMacRoman(QByteArray("\xA5\xA5 ")).toStdString();
        MessageLog::LogMessage(bullets + s);
    }
}

} // namespace kivo
