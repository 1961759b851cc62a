#pragma once
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <gtest/gtest.h>
#include <memory>
#include <vector>

class QProcess;

namespace kivo::test {

// Runs the reference web service (build-tree kivo-refservice) for a test and scripts it through
// its control calls. The service ends with this object, and with the test process.
class RefService {
public:
    RefService();
    ~RefService();
    RefService(const RefService&) = delete;
    RefService& operator=(const RefService&) = delete;

    // Starts the service storing into dataDir and waits (10 s at most) until it listens. With a
    // user, uploads with another account are refused. extraArgs go to the command line as given
    // (for example {"--fault", "kind=status&status=ERROR"}). Sets SIGPIPE to be ignored in the
    // test process, so sends on connections the service cuts fail instead of killing it.
    bool start(const QString& dataDir, const QString& user = {}, const QString& password = {},
               const QStringList& extraArgs = {});
    // SIGTERM, then SIGKILL after graceMs. True when the service ended by itself, cleanly.
    bool stop(int graceMs = 5000);
    bool isRunning() const;

    int port() const { return fPort; }
    QString dataDir() const { return fDataDir; }
    QString url(const QString& path = QStringLiteral("/upload")) const;
    QString errorString() const { return fError; }

    // Adds a fault (kind: http, status, body, delay, hang, close) with its fields, e.g.
    // setFault("status", {{"status", "Warning"}, {"message", "Duplicate"}, {"count", 2}}).
    bool setFault(const QString& kind, const QVariantMap& params = {});
    // Clears every fault and releases held requests.
    bool reset();
    // Lets held ("hang") requests go; their connections are cut without a reply.
    bool release();
    // Counts: requests, received, refused, faulted, held; faults: the pending faults; orders:
    // pending and fulfilled.
    QVariantMap state();

    // Adds a pending order from its fields (localfilelocation, orderid, imageid, pictureid, each
    // optional), stored exactly as given.
    bool addOrder(const QVariantMap& fields);
    // auto, v3 or v4.
    bool setOrderGrammar(const QString& grammar);
    bool clearOrders();
    // Every order, in the order added: id, the fields given, state ("pending" or "fulfilled")
    // and, once fulfilled, fulfilledBy (the request number of the hi-res upload).
    QVariantList orders() const;

    // DATA/requests.log, one map per request, in the order they were logged.
    std::vector<QVariantMap> requests() const;
    bool waitForRequests(int count, int timeoutMs = 5000) const;
    // Absolute paths of DATA/received/<n>-<client>, in arrival order.
    QStringList receivedDirs() const;
    // The fields.json record of one received folder.
    static QVariantMap record(const QString& receivedDir);

    static QString executablePath();

private:
    bool control(const std::string& method, const std::string& path, const QVariantMap& params,
                 QByteArray* reply = nullptr) const;

    std::unique_ptr<QProcess> fProcess;
    int fPort = 0;
    QString fDataDir;
    mutable QString fError; // the last failed control call, also from const ones
};

// A test suite sharing one reference service (account demo/secret), reset before each test.
class SharedServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override { ASSERT_TRUE(service->reset()); }

    static RefService* service;
};

} // namespace kivo::test
