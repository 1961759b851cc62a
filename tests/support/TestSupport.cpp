#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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
} // namespace

void isolateEnvironment() {
    // Never removed before exit: detached threads of the code under test may still write here.
    static QTemporaryDir* dir = new QTemporaryDir(QDir::tempPath() + "/kivo-test-XXXXXX");
    root() = dir->path();
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
    return RUN_ALL_TESTS();
}

} // namespace kivo::test
