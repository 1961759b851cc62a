#include "support/RefService.h"

#include "support/TestSupport.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>

namespace kivo::test {

namespace {

constexpr int kStartTimeoutMs = 10000;

int leadingNumber(const QString& name) {
    int digits = 0;
    while (digits < name.size() && name[digits].isDigit())
        ++digits;
    return name.left(digits).toInt();
}

} // namespace

RefService::RefService() = default;

RefService::~RefService() {
    stop();
}

QString RefService::executablePath() {
    const QString dir = QCoreApplication::instance()
                            ? QCoreApplication::applicationDirPath()
                            : QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath();
    return dir + "/kivo-refservice";
}

bool RefService::start(const QString& dataDir, const QString& user, const QString& password,
                       const QStringList& extraArgs) {
    stop();
    fError.clear();
    // A test that sends to a connection the service cuts must see a failed send, not die of
    // SIGPIPE (the HTTP client library does not suppress it).
    std::signal(SIGPIPE, SIG_IGN);
    fDataDir = QDir(dataDir).absolutePath();
    QStringList args{"--data", fDataDir};
    if (!user.isEmpty() || !password.isEmpty())
        args << "--user" << user << "--password" << password;
    // A service left behind by a crashed test ends by itself.
    if (!extraArgs.contains("--max-lifetime"))
        args << "--max-lifetime"
             << "600";
    args << extraArgs;

    fProcess = std::make_unique<QProcess>();
    fProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Ends the service when the thread that started it (the test) dies, even by a crash.
    fProcess->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    fProcess->start(executablePath(), args);
    if (!fProcess->waitForStarted(kStartTimeoutMs)) {
        fError = "cannot start " + executablePath() + ": " + fProcess->errorString();
        fProcess.reset();
        return false;
    }
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!fProcess->canReadLine()) {
        if (deadline.hasExpired() || fProcess->state() != QProcess::Running) {
            fError = "the service did not report its port";
            stop(0);
            return false;
        }
        fProcess->waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    }
    const QString line = QString::fromUtf8(fProcess->readLine()).trimmed();
    const QString prefix = QStringLiteral("listening on ");
    bool ok = false;
    if (line.startsWith(prefix))
        fPort = line.section(':', -1).toInt(&ok);
    if (!ok || fPort <= 0) {
        fError = "unexpected first line from the service: " + line;
        stop(0);
        return false;
    }
    return true;
}

bool RefService::stop(int graceMs) {
    if (!fProcess)
        return false;
    bool clean = false;
    if (fProcess->state() != QProcess::NotRunning) {
        fProcess->terminate();
        if (!fProcess->waitForFinished(graceMs)) {
            fProcess->kill();
            fProcess->waitForFinished(graceMs > 0 ? graceMs : 5000);
        } else {
            clean = fProcess->exitStatus() == QProcess::NormalExit && fProcess->exitCode() == 0;
        }
    } else {
        clean = fProcess->exitStatus() == QProcess::NormalExit && fProcess->exitCode() == 0;
    }
    fProcess.reset();
    fPort = 0;
    return clean;
}

bool RefService::isRunning() const {
    return fProcess && fProcess->state() == QProcess::Running;
}

QString RefService::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(fPort).arg(path);
}

bool RefService::control(const std::string& method, const std::string& path,
                         const QVariantMap& params, QByteArray* reply) const {
    if (fPort <= 0) {
        fError = "the service is not running";
        return false;
    }
    httplib::Client client("127.0.0.1", fPort);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(5, 0);
    auto send = [&]() {
        if (method == "GET")
            return client.Get(path);
        httplib::Params form;
        for (auto it = params.begin(); it != params.end(); ++it)
            form.emplace(it.key().toStdString(), it.value().toString().toStdString());
        return client.Post(path, form);
    };
    httplib::Result result = send();
    if (!result) {
        fError = QString::fromStdString("control call " + path +
                                        " failed: " + httplib::to_string(result.error()));
        return false;
    }
    if (reply)
        *reply = QByteArray::fromStdString(result->body);
    if (result->status != 200) {
        fError = QString::fromStdString("control call " + path + " answered " +
                                        std::to_string(result->status) + ": " + result->body);
        return false;
    }
    return true;
}

bool RefService::setFault(const QString& kind, const QVariantMap& params) {
    QVariantMap all = params;
    all.insert("kind", kind);
    return control("POST", "/control/fault", all);
}

bool RefService::reset() {
    return control("POST", "/control/reset", {});
}

bool RefService::release() {
    return control("POST", "/control/release", {});
}

QVariantMap RefService::state() {
    QByteArray reply;
    if (!control("GET", "/control/state", {}, &reply))
        return {};
    return QJsonDocument::fromJson(reply).object().toVariantMap();
}

bool RefService::addOrder(const QVariantMap& fields) {
    return control("POST", "/control/order", fields);
}

bool RefService::setOrderGrammar(const QString& grammar) {
    return control("POST", "/control/order-grammar", {{"grammar", grammar}});
}

bool RefService::clearOrders() {
    return control("POST", "/control/orders/clear", {});
}

QVariantList RefService::orders() const {
    QByteArray reply;
    if (!control("GET", "/control/orders", {}, &reply))
        return {};
    return QJsonDocument::fromJson(reply).object().value("orders").toArray().toVariantList();
}

std::vector<QVariantMap> RefService::requests() const {
    std::vector<QVariantMap> entries;
    const QByteArray log = readFile(fDataDir + "/requests.log");
    qsizetype start = 0;
    // Only whole lines: the service may be writing the next one.
    for (qsizetype end = log.indexOf('\n'); end >= 0; end = log.indexOf('\n', start)) {
        const QJsonDocument line = QJsonDocument::fromJson(log.mid(start, end - start));
        if (line.isObject())
            entries.push_back(line.object().toVariantMap());
        start = end + 1;
    }
    return entries;
}

bool RefService::waitForRequests(int count, int timeoutMs) const {
    return waitUntil([&] { return static_cast<int>(requests().size()) >= count; }, timeoutMs);
}

QStringList RefService::receivedDirs() const {
    QDir received(fDataDir + "/received");
    QStringList names = received.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return leadingNumber(a) < leadingNumber(b);
    });
    QStringList paths;
    for (const QString& name : names)
        paths << received.absoluteFilePath(name);
    return paths;
}

QVariantMap RefService::record(const QString& receivedDir) {
    return QJsonDocument::fromJson(readFile(receivedDir + "/fields.json")).object().toVariantMap();
}

RefService* SharedServiceTest::service = nullptr;

void SharedServiceTest::SetUpTestSuite() {
    service = new RefService;
    ASSERT_TRUE(service->start(makeTempFolder("service"), "demo", "secret"))
        << service->errorString().toStdString();
}

void SharedServiceTest::TearDownTestSuite() {
    delete service;
    service = nullptr;
}

} // namespace kivo::test
