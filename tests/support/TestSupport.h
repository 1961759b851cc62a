#pragma once
#include <QByteArray>
#include <QString>
#include <functional>

namespace kivo::test {

// Points HOME and the XDG folders at a fresh temporary folder for the whole test program, so
// no test touches a real user's settings or logs.
void isolateEnvironment();
QString scratchRoot();
// A new empty folder under the scratch root.
QString makeTempFolder(const QString& hint = QStringLiteral("t"));

// Pumps the Qt event loop (when there is one) until pred holds or timeoutMs passes.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// Runs fn on a worker thread while this (main) thread keeps serving main-thread hand-offs;
// returns whether fn finished in time.
bool runOnWorker(const std::function<void()>& fn, int timeoutMs = 5000);

QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

// Captures what the process writes to a file descriptor (2 = standard error) while alive.
class FdCapture {
public:
    explicit FdCapture(int fd = 2);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    // Everything written so far (stays captured).
    QByteArray text() const;

private:
    int fFd;
    int fSaved;
    QString fPath;
};

int runAllTests(int argc, char** argv);

} // namespace kivo::test
