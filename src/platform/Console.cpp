#include "platform/Console.h"

#include "platform/Bundle.h"
#include "platform/Journal.h"

#include <QDateTime>
#include <cstdio>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo {

namespace {

// Enough for any start-up; a program that never sets up its log must not grow without end.
constexpr int kEarlyLineLimit = 1000;
constexpr qsizetype kEarlyByteLimit = 1 << 20;

// Never destroyed: threads may write console lines while the process exits.
struct Early {
    std::mutex lock; // also keeps kept and written lines in the same order
    bool keeping = true;
    QByteArray lines;
    int count = 0;
    int dropped = 0;
};

Early& early() {
    static Early* e = new Early;
    return *e;
}

QByteArray formatLine(const QString& text) {
    QString body = text;
    while (body.endsWith(QLatin1Char('\n')))
        body.chop(1);
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return QStringLiteral("%1 %2[%3:%4] %5\n")
        .arg(stamp, bundle::displayName())
        .arg(qint64(getpid()))
        .arg(qint64(syscall(SYS_gettid)))
        .arg(body)
        .toUtf8();
}

void writeOut(const QByteArray& bytes) {
    // One write per line so lines from several threads never interleave.
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    fflush(stderr);
}

} // namespace

void consoleLine(const QString& text) {
    const QByteArray line = formatLine(text);
    Early& e = early();
    std::lock_guard<std::mutex> g(e.lock);
    if (e.keeping) {
        if (e.count < kEarlyLineLimit && e.lines.size() + line.size() <= kEarlyByteLimit) {
            e.lines += line;
            ++e.count;
        } else {
            ++e.dropped;
        }
    }
    writeOut(line);
    if (journal::copying()) {
        QString body = text;
        while (body.endsWith(QLatin1Char('\n')))
            body.chop(1);
        journal::send(body.toUtf8());
    }
}

QByteArray takeEarlyConsoleLines() {
    Early& e = early();
    std::lock_guard<std::mutex> g(e.lock);
    QByteArray kept;
    kept.swap(e.lines);
    if (e.keeping && e.dropped > 0)
        kept += formatLine(
            QStringLiteral("(%1 more console lines from before were not kept)").arg(e.dropped));
    e.keeping = false;
    e.count = 0;
    e.dropped = 0;
    return kept;
}

void keepEarlyConsoleLines() {
    Early& e = early();
    std::lock_guard<std::mutex> g(e.lock);
    e.keeping = true;
    e.lines = QByteArray();
    e.count = 0;
    e.dropped = 0;
}

QString insideText(const char* cls, const char* method) {
    return QStringLiteral("Inside %1 => %2...").arg(QLatin1String(cls), QLatin1String(method));
}

void consoleInside(const char* cls, const char* method) {
    consoleLine(insideText(cls, method));
}

} // namespace kivo
