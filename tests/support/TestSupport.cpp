#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace kivo::test {

namespace {
QString& root() {
    static QString r;
    return r;
}

QTemporaryDir*& rootDir() {
    static QTemporaryDir* dir = nullptr;
    return dir;
}

// Removed only after the last test, since programs and threads a test started may write here
// until then; some tests leave gigabytes (a 2 GiB movie and its dump), so it must not outlive us.
void removeScratchRoot() {
    if (!rootDir())
        return;
    if (!qEnvironmentVariableIsEmpty("KIVO_KEEP_TEST_FILES")) {
        fprintf(stderr, "test files kept in %s\n", qPrintable(root()));
        return;
    }
    // rm, not QDir: tests leave names that are not UTF-8 and trees deeper than PATH_MAX.
    if (QProcess::execute("rm", {"-rf", "--one-file-system", "--", root()}) != 0)
        fprintf(stderr, "could not remove all of %s\n", qPrintable(root()));
}
} // namespace

void isolateEnvironment() {
    if (!rootDir())
        rootDir() = new QTemporaryDir(QDir::tempPath() + "/kivo-test-XXXXXX");
    rootDir()->setAutoRemove(false);
    root() = rootDir()->path();
    const QByteArray r = root().toUtf8();
    for (const char* sub : {"/home", "/home/.config", "/home/.local/state", "/home/.local/share"})
        QDir().mkpath(root() + sub);
    setenv("HOME", (r + "/home").constData(), 1);
    setenv("XDG_CONFIG_HOME", (r + "/home/.config").constData(), 1);
    setenv("XDG_STATE_HOME", (r + "/home/.local/state").constData(), 1);
    setenv("XDG_DATA_HOME", (r + "/home/.local/share").constData(), 1);
}

QString scratchRoot() {
    return root();
}

QString makeTempFolder(const QString& hint) {
    const QString p = root() + "/" + hint + "-" + QUuid::createUuid().toString(QUuid::Id128);
    QDir().mkpath(p);
    return p;
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return pred();
        if (QCoreApplication::instance() && QThread::currentThread() == qApp->thread())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

bool runOnWorker(const std::function<void()>& fn, int timeoutMs) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
    });
    const bool finished = waitUntil([&] { return done.load(); }, timeoutMs);
    worker.join();
    return finished;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

FdCapture::FdCapture(int fd) : fFd(fd) {
    fPath = makeTempFolder("capture") + "/out.txt";
    fflush(nullptr);
    fSaved = dup(fd);
    int tmp = ::open(fPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(tmp, fd);
    ::close(tmp);
}

FdCapture::~FdCapture() {
    fflush(nullptr);
    dup2(fSaved, fFd);
    ::close(fSaved);
}

QByteArray FdCapture::text() const {
    fflush(nullptr);
    return readFile(fPath);
}

int runAllTests(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    removeScratchRoot();
    return result;
}

} // namespace kivo::test
