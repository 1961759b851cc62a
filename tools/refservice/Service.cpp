#include "Service.h"

#include "Connection.h"
#include "MultipartParser.h"
#include "UploadReceiver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cctype>
#include <charconv>
#include <chrono>
#include <iostream>
#include <thread>

namespace kivo::refservice {

namespace {

constexpr size_t kMaxControlBody = 1024 * 1024;
constexpr int kWorkerThreads = 16;
// Each held request keeps a worker; beyond this many, further ones are cut at once so that
// workers remain for the control calls that release them.
constexpr int kMaxHeld = kWorkerThreads / 2;

// The connection the running handler serves: each accepted connection is one task of the pool,
// served whole by one worker, so the worker's current task names it.
thread_local int tConnection = 0;

class CountingPool : public httplib::ThreadPool {
public:
    CountingPool(size_t threads, std::atomic<int>& counter)
        : httplib::ThreadPool(threads), fCounter(counter) {}
    void enqueue(std::function<void()> fn) override {
        httplib::ThreadPool::enqueue([fn = std::move(fn), id = ++fCounter] {
            tConnection = id;
            fn();
            tConnection = 0;
        });
    }

private:
    std::atomic<int>& fCounter;
};

QString qs(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonValue jsonOrNull(const std::optional<std::string>& text) {
    return text ? QJsonValue(qs(*text)) : QJsonValue(QJsonValue::Null);
}

// Replies have always carried quotes in messages as they are; order values escape them too, so
// a test can put any text in them.
std::string xmlEscape(const std::string& text, bool quotes = false) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += quotes ? "&quot;" : "\"";
            break;
        case '\'':
            out += quotes ? "&apos;" : "'";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string xmlReply(const std::string& status, const std::string& message) {
    return "<response><status>" + xmlEscape(status) + "</status><message>" + xmlEscape(message) +
           "</message></response>";
}

// Version 3 lists <order> elements, version 4 <image> elements; an absent value has no element.
std::string orderReply(const std::vector<Order>& orders, bool v4) {
    const std::string element = v4 ? "image" : "order";
    std::string xml = "<response><status>OK</status><message>" + std::to_string(orders.size()) +
                      " orders</message>";
    auto put = [&xml](const char* name, const std::optional<std::string>& value) {
        if (value)
            xml += std::string("<") + name + ">" + xmlEscape(*value, true) + "</" + name + ">";
    };
    for (const Order& order : orders) {
        xml += "<" + element + ">";
        put("localfilelocation", order.localFileLocation);
        put("orderid", order.orderId);
        put("imageid", order.imageId);
        put("pictureid", order.pictureId);
        xml += "</" + element + ">";
    }
    return xml + "</response>";
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

RequestKind classify(const UploadReceiver& receiver) {
    const std::string fuseAction = lowerAscii(receiver.field("fuseaction").value_or(""));
    if (receiver.files().empty() && fuseAction.find("check") != std::string::npos)
        return RequestKind::Query;
    return receiver.field("imageid") ? RequestKind::HiRes : RequestKind::Photo;
}

// What a fault's match is compared with.
std::string matchSubject(RequestKind kind, const UploadReceiver& receiver) {
    if (kind == RequestKind::Query)
        return receiver.field("fuseaction").value_or("");
    const ReceivedFile* photo = receiver.photo();
    return photo ? photo->fileName : std::string();
}

const char* reasonPhrase(int code) {
    switch (code) {
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Error";
    }
}

// The kind of page a web server in trouble sends instead of the service's XML.
std::string errorPage(int code) {
    const std::string title = std::to_string(code) + " " + reasonPhrase(code);
    return "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head>\n<body><h1>" +
           reasonPhrase(code) +
           "</h1><p>The server could not handle the request.</p></body></html>\n";
}

void textReply(httplib::Response& res, int code, const std::string& text) {
    res.status = code;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void jsonReply(httplib::Response& res, int code, const QJsonObject& object) {
    res.status = code;
    res.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(),
                    "application/json");
}

// The uploader sends an e-mail field for the contact and another for the sitting; any other name
// given twice is a forged or broken part.
constexpr const char* kRepeatableField = "email";

// The library hands a multipart body out only through its own parser, which skips header lines
// it cannot read and ignores what follows the closing delimiter. Relabelled, the body is read as
// sent. The request is the library's own non-const object; handlers only see it as const.
void readBodyAsSent(const httplib::Request& req) {
    httplib::Headers& headers = const_cast<httplib::Request&>(req).headers;
    headers.erase("Content-Type");
    headers.emplace("Content-Type", "application/octet-stream");
}

// Leading decimal number of a "<n>-<client>" folder name, or 0.
int leadingNumber(const QString& name) {
    const std::string text = name.toStdString();
    int value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() ? value : 0;
}

// Builds an item from each value of a repeated option (form-encoded or JSON fields) and hands it
// to add; stops at the first value that does not make one.
template <typename Make, typename Add>
bool readEach(const std::vector<std::string>& values, const char* option, Make make, Add add,
              std::string& error) {
    for (const std::string& given : values) {
        std::optional<Params> params = parseParams(given, error);
        auto item = params ? make(*params, error) : std::nullopt;
        if (!item) {
            error = std::string("invalid ") + option + " '" + given + "': " + error;
            return false;
        }
        add(std::move(*item));
    }
    return true;
}

} // namespace

struct Service::Exchange {
    int n = 0;
    int conn = tConnection;
    std::string path;
    RequestKind kind = RequestKind::Photo;
    UploadReceiver* receiver = nullptr;
    std::optional<Fault> fault;
};

Service::Service(Options options) : fOptions(std::move(options)) {}

Service::~Service() {
    stop();
}

bool Service::start(std::string& error) {
    const QString data = qs(fOptions.dataDir);
    fReceivedDir = fOptions.dataDir + "/received";
    fIncomingDir = fOptions.dataDir + "/incoming";
    // Leftovers of an interrupted run are never reported as received.
    QDir(qs(fIncomingDir)).removeRecursively();
    if (!QDir().mkpath(qs(fReceivedDir)) || !QDir().mkpath(qs(fIncomingDir))) {
        error = "cannot create the data folder " + fOptions.dataDir;
        return false;
    }
    if (!fLog.open(fOptions.dataDir + "/requests.log", error))
        return false;

    // Continue numbering after an earlier run on the same folder, so folder names stay unique.
    int last = 0;
    for (const QString& name : QDir(qs(fReceivedDir)).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        last = std::max(last, leadingNumber(name));
    QFile previousLog(data + "/requests.log");
    if (previousLog.open(QIODevice::ReadOnly)) {
        while (!previousLog.atEnd()) {
            const QJsonDocument line = QJsonDocument::fromJson(previousLog.readLine());
            last = std::max(last, line.object().value("n").toInt());
        }
    }
    fSequence = last;

    if (!readEach(
            fOptions.faults, "--fault", makeFault,
            [this](Fault fault) { fFaults.add(std::move(fault)); }, error) ||
        !readEach(
            fOptions.orders, "--order", makeOrder,
            [this](Order order) { fOrders.add(std::move(order)); }, error))
        return false;
    fOrders.setGrammar(fOptions.orderGrammar);
    if (!fOrders.attachFile(fOptions.dataDir + "/orders.json", error))
        return false;

    fServer.new_task_queue = [this] { return new CountingPool(kWorkerThreads, fConnectionCount); };
    // A reply's head and body are separate sends: unheld, the body would wait for the
    // client's delayed acknowledgement of the head.
    fServer.set_tcp_nodelay(true);
    if (fOptions.keepAliveMax > 0)
        fServer.set_keep_alive_max_count(static_cast<size_t>(fOptions.keepAliveMax));
    fServer.set_payload_max_length(static_cast<size_t>(fOptions.maxBody));
    // Short keep-alive so a stop never waits long for idle connections to end.
    fServer.set_keep_alive_timeout(1);
    fServer.set_read_timeout(10, 0);
    fServer.Post(
        ".*", httplib::Server::HandlerWithContentReader(
                  [this](const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& reader) { handlePost(req, res, reader); }));
    fServer.Get(
        ".*", [this](const httplib::Request& req, httplib::Response& res) { handleGet(req, res); });
    fServer.set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr thrown) {
            std::string what = "unknown exception";
            try {
                std::rethrow_exception(thrown);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            std::cerr << "kivo-refservice: internal error on " << req.method << " " << req.path
                      << ": " << what << std::endl;
            textReply(res, 500, "Internal error.");
        });

    if (fOptions.port == 0) {
        fPort = fServer.bind_to_any_port(fOptions.bind);
    } else if (fServer.bind_to_port(fOptions.bind, fOptions.port)) {
        fPort = fOptions.port;
    } else {
        fPort = -1;
    }
    if (fPort <= 0) {
        error = "cannot listen on " + fOptions.bind + ":" + std::to_string(fOptions.port);
        return false;
    }
    return true;
}

bool Service::run() {
    {
        std::lock_guard lock(fWaitMutex);
        if (fStopping)
            return false;
    }
    return fServer.listen_after_bind();
}

void Service::stop() {
    {
        std::lock_guard lock(fWaitMutex);
        fStopping = true;
    }
    fWaitCondition.notify_all();
    fServer.stop();
}

int Service::nextSequence() {
    return ++fSequence;
}

void Service::releaseHeld() {
    {
        std::lock_guard lock(fWaitMutex);
        ++fReleaseGeneration;
    }
    fWaitCondition.notify_all();
}

bool Service::pause(int ms) {
    std::unique_lock lock(fWaitMutex);
    return !fWaitCondition.wait_for(lock, std::chrono::milliseconds(ms),
                                    [this] { return fStopping; });
}

void Service::holdUntilReleased() {
    std::unique_lock lock(fWaitMutex);
    const uint64_t generation = fReleaseGeneration;
    fWaitCondition.wait(lock, [&] { return fStopping || fReleaseGeneration != generation; });
}

void Service::handlePost(const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& reader) {
    if (req.path.rfind("/control/", 0) == 0)
        handleControl(req, res, &reader);
    else
        handleUpload(req, res, reader);
}

void Service::handleGet(const httplib::Request& req, httplib::Response& res) {
    if (req.path.rfind("/control/", 0) == 0) {
        handleControl(req, res, nullptr);
        return;
    }
    Exchange ex;
    ex.n = nextSequence();
    ex.path = req.path;
    res.set_header("Allow", "POST");
    textReply(res, 405, "This service takes POST requests only.");
    ++fRefusedCount;
    logRequest(ex, {405, std::nullopt, {}});
}

void Service::handleControl(const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader* reader) {
    // Fields come as a form, a JSON object, multipart form fields or the query string.
    Params fields;
    std::string body;
    std::string error;
    // The library would wait for a body that was never announced until its read time-out.
    const bool hasBody = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
    if (reader && hasBody) {
        bool tooLarge = false;
        auto collect = [&](const char* data, size_t length) {
            if (body.size() + length > kMaxControlBody) {
                tooLarge = true;
                return false;
            }
            body.append(data, length);
            return true;
        };
        bool ok = false;
        if (req.is_multipart_form_data()) {
            std::string name;
            ok = (*reader)(
                [&](const httplib::MultipartFormData& part) {
                    if (!name.empty())
                        fields[name] = body;
                    name = part.name;
                    body.clear();
                    return true;
                },
                collect);
            if (ok && !name.empty())
                fields[name] = body;
        } else {
            ok = (*reader)(collect);
            if (ok) {
                std::optional<Params> parsed = parseParams(body, error);
                if (!parsed) {
                    jsonReply(res, 400, {{"error", qs(error)}});
                    return;
                }
                fields = std::move(*parsed);
            }
        }
        if (!ok) {
            jsonReply(res, tooLarge ? 413 : 400, {{"error", "cannot read the request body"}});
            return;
        }
    }
    for (const auto& [name, value] : req.params)
        fields.emplace(name, value); // the body wins over the query string

    const bool post = req.method == "POST";
    if (req.path == "/control/state" && !post) {
        jsonReply(res, 200, stateJson());
    } else if (req.path == "/control/fault" && post) {
        std::optional<Fault> fault = makeFault(fields, error);
        if (!fault) {
            jsonReply(res, 400, {{"error", qs(error)}});
            return;
        }
        const int id = fFaults.add(std::move(*fault));
        jsonReply(res, 200, {{"id", id}, {"faults", fFaults.describe()}});
    } else if (req.path == "/control/order" && post) {
        std::optional<Order> order = makeOrder(fields, error);
        if (!order) {
            jsonReply(res, 400, {{"error", qs(error)}});
            return;
        }
        const int id = fOrders.add(std::move(*order));
        QJsonObject reply = fOrders.describe();
        reply.remove("grammar");
        reply["id"] = id;
        jsonReply(res, 200, reply);
    } else if (req.path == "/control/orders" && !post) {
        jsonReply(res, 200, fOrders.describe());
    } else if (req.path == "/control/orders/clear" && post) {
        jsonReply(res, 200, {{"cleared", fOrders.clear()}});
    } else if (req.path == "/control/order-grammar" && post) {
        const auto given = fields.find("grammar");
        const std::optional<OrderGrammar> grammar =
            given == fields.end() ? std::nullopt : parseOrderGrammar(given->second);
        if (!grammar) {
            jsonReply(res, 400, {{"error", "grammar must be auto, v3 or v4"}});
            return;
        }
        fOrders.setGrammar(*grammar);
        jsonReply(res, 200, {{"grammar", orderGrammarName(*grammar)}});
    } else if (req.path == "/control/reset" && post) {
        fFaults.clear();
        releaseHeld();
        jsonReply(res, 200, {{"ok", true}});
    } else if (req.path == "/control/release" && post) {
        const int held = fHeldCount;
        releaseHeld();
        jsonReply(res, 200, {{"released", held}});
    } else {
        jsonReply(res, 404, {{"error", "unknown control call " + qs(req.method + " " + req.path)}});
    }
}

void Service::handleUpload(const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) {
    Exchange ex;
    ex.n = nextSequence();
    ex.path = req.path;
    UploadReceiver receiver(fIncomingDir + "/" + std::to_string(ex.n), fOptions.discard);
    ex.receiver = &receiver;

    const std::optional<std::string> boundary =
        req.is_multipart_form_data() ? multipartBoundary(req.get_header_value("Content-Type"))
                                     : std::nullopt;
    if (!boundary) {
        // Read it anyway, so the reply reaches a client that is still sending.
        reader([](const char*, size_t) { return true; });
        const int code = res.status == 413 ? 413 : 400;
        textReply(res, code,
                  code == 413 ? "The request body is too large."
                              : "Expected a multipart/form-data body with a boundary.");
        ++fRefusedCount;
        logRequest(ex, {code, std::nullopt, {}});
        return;
    }

    bool closeChecked = false;
    MultipartParser parser(
        *boundary, {kRepeatableField},
        [&](const FormPart& part) {
            if (!receiver.beginPart(part.name, part.fileName, part.contentType))
                return false;
            if (!part.fileName.empty() && !closeChecked) {
                closeChecked = true;
                // The fields a hi-res upload is known by come before its file.
                ex.kind = classify(receiver);
                if (std::optional<Fault> fault = fFaults.take(ex.kind, part.fileName, true)) {
                    ex.fault = std::move(fault);
                    return false; // stop reading: the connection is cut below
                }
            }
            return true;
        },
        [&](const char* data, size_t length) { return receiver.append(data, length); });
    readBodyAsSent(req);
    // Pacing the reads lets TCP flow control slow the client, as a slower link would.
    const auto readStart = std::chrono::steady_clock::now();
    uint64_t bodyRead = 0;
    // A refused body is still read to its end, so the client gets to read the reply.
    const bool read = reader([&](const char* data, size_t length) {
        parser.feed(data, length);
        bodyRead += length;
        if (fOptions.readRate > 0)
            std::this_thread::sleep_until(
                readStart + std::chrono::microseconds(bodyRead * 1000000 / fOptions.readRate));
        return !ex.fault;
    });
    ex.kind = classify(receiver);

    if (ex.fault) { // a close fault, taken while the body was still arriving
        if (std::optional<Outcome> outcome = applyFault(*ex.fault, ex, req, res))
            logRequest(ex, *outcome);
        return;
    }
    if (!read || !parser.finish() || !receiver.finish()) {
        int code = 400;
        std::string text = "Malformed multipart/form-data body.";
        if (res.status == 413) {
            code = 413;
            text = "The request body is too large.";
        } else if (!receiver.error().empty()) {
            code = receiver.storageFailed() ? 500 : 413;
            text = receiver.error();
        } else if (!parser.error().empty()) {
            text = "Malformed multipart/form-data body: " + parser.error() + ".";
        }
        if (receiver.storageFailed())
            std::cerr << "kivo-refservice: request " << ex.n << ": " << text << std::endl;
        textReply(res, code, text);
        ++fRefusedCount;
        logRequest(ex, {code, std::nullopt, {}});
        return;
    }

    ex.fault = fFaults.take(ex.kind, matchSubject(ex.kind, receiver));
    if (ex.fault) {
        if (std::optional<Outcome> outcome = applyFault(*ex.fault, ex, req, res))
            logRequest(ex, *outcome);
        return;
    }
    logRequest(ex, answer(ex, res));
}

std::optional<Service::Outcome> Service::applyFault(const Fault& fault, Exchange& ex,
                                                    const httplib::Request& req,
                                                    httplib::Response& res) {
    ++fFaultedCount;
    switch (fault.kind) {
    case FaultKind::Http: {
        res.status = fault.httpCode;
        const std::string type = fault.contentType.empty() ? "text/html" : fault.contentType;
        res.set_content(fault.body ? *fault.body : errorPage(fault.httpCode), type);
        if (!fault.location.empty())
            res.set_header("Location", fault.location);
        ++fRefusedCount;
        return Outcome{fault.httpCode, std::nullopt, {}};
    }
    case FaultKind::Status:
        res.status = 200;
        res.set_content(xmlReply(fault.status, fault.message), "text/xml");
        ++fRefusedCount;
        return Outcome{200, fault.status, {}};
    case FaultKind::Body:
        res.status = 200;
        res.set_content(fault.body.value_or(std::string()),
                        fault.contentType.empty() ? "text/xml" : fault.contentType);
        ++fRefusedCount;
        return Outcome{200, std::nullopt, {}};
    case FaultKind::Delay:
        pause(fault.delayMs);
        return answer(ex, res);
    case FaultKind::Hang: {
        // Logged now: a test waits for this line to know the request is being held.
        ++fRefusedCount;
        const int held = ++fHeldCount;
        logRequest(ex, {0, std::nullopt, {}});
        if (held <= kMaxHeld) {
            holdUntilReleased();
        } else {
            std::cerr << "kivo-refservice: request " << ex.n << ": too many held requests, "
                      << "cutting this one instead" << std::endl;
        }
        --fHeldCount;
        dropConnection(req.local_addr, req.local_port, req.remote_addr, req.remote_port);
        return std::nullopt;
    }
    case FaultKind::Close:
        ++fRefusedCount;
        if (!dropConnection(req.local_addr, req.local_port, req.remote_addr, req.remote_port))
            std::cerr << "kivo-refservice: request " << ex.n << ": connection to cut not found"
                      << std::endl;
        return Outcome{0, std::nullopt, {}};
    }
    return Outcome{};
}

Service::Outcome Service::answer(Exchange& ex, httplib::Response& res) {
    switch (ex.kind) {
    case RequestKind::Query:
        return answerQuery(ex, res);
    case RequestKind::HiRes:
        return receiveHiRes(ex, res);
    case RequestKind::Photo:
        break;
    }
    return receivePhoto(ex, res);
}

Service::Outcome Service::refuse(httplib::Response& res, const std::string& status,
                                 const std::string& message) {
    res.status = 200;
    res.set_content(xmlReply(status, message), "text/xml");
    ++fRefusedCount;
    return Outcome{200, status, {}};
}

bool Service::accountAccepted(const UploadReceiver& receiver) const {
    return !fOptions.checkAccount || (receiver.field("username") == fOptions.user &&
                                      receiver.field("password") == fOptions.password);
}

bool Service::store(Exchange& ex, const std::string& dirName, QJsonObject extra,
                    httplib::Response& res) {
    QJsonObject record{
        {"n", ex.n},
        {"conn", ex.conn},
        {"path", qs(ex.path)},
        {"fuseaction", jsonOrNull(ex.receiver->field("fuseaction"))},
        {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    };
    for (auto it = extra.begin(); it != extra.end(); ++it)
        record.insert(it.key(), it.value());
    if (ex.receiver->commit(fReceivedDir + "/" + dirName, record)) {
        ++fReceivedCount;
        return true;
    }
    std::cerr << "kivo-refservice: request " << ex.n << ": " << ex.receiver->error() << std::endl;
    textReply(res, 500, "The upload could not be stored.");
    ++fRefusedCount;
    return false;
}

Service::Outcome Service::answerQuery(Exchange& ex, httplib::Response& res) {
    if (!accountAccepted(*ex.receiver))
        return refuse(res, "ERROR", "Invalid account");
    const OrderGrammar grammar = fOrders.grammar();
    const bool v4 = grammar == OrderGrammar::V4 ||
                    (grammar == OrderGrammar::Auto &&
                     lowerAscii(ex.receiver->field("fuseaction").value_or("")) == "orders.v4check");
    res.status = 200;
    res.set_content(orderReply(fOrders.pending(), v4), "text/xml");
    return Outcome{200, "OK", {}};
}

Service::Outcome Service::receivePhoto(Exchange& ex, httplib::Response& res) {
    const UploadReceiver& receiver = *ex.receiver;
    if (!accountAccepted(receiver))
        return refuse(res, "ERROR", "Invalid account");
    const ReceivedFile* photo = receiver.photo();
    if (!photo)
        return refuse(res, "ERROR", "No file received");

    const std::string client = receiver.field("client").value_or(std::string());
    const std::string dirName = std::to_string(ex.n) + "-" + safeComponent(client, "none", false);
    const std::string fileName = photo->fileName; // store() does not keep the parts
    if (!store(ex, dirName, {}, res))
        return Outcome{500, std::nullopt, {}};
    res.status = 200;
    res.set_content(xmlReply("OK", "Received " + fileName), "text/xml");
    return Outcome{200, "OK", dirName};
}

Service::Outcome Service::receiveHiRes(Exchange& ex, httplib::Response& res) {
    const UploadReceiver& receiver = *ex.receiver;
    if (!accountAccepted(receiver))
        return refuse(res, "ERROR", "Invalid account");
    const ReceivedFile* photo = receiver.photo();
    if (!photo)
        return refuse(res, "ERROR", "No file received");

    const OrderKeys keys{receiver.field("orderid"), receiver.field("imageid"),
                         receiver.field("pictureid")};
    // Claimed before storing, so that two uploads for one order cannot both fulfil it.
    const std::optional<int> order = fOrders.fulfil(keys, ex.n);
    if (!order)
        return refuse(res, "ERROR", "No such order");
    const std::string id = keys.orderId ? *keys.orderId : keys.imageId.value_or(std::string());
    const std::string dirName = std::to_string(ex.n) + "-hires-" + safeComponent(id, "none", false);
    const std::string fileName = photo->fileName;
    if (!store(ex, dirName, {{"order", *order}}, res)) {
        fOrders.reopen(*order, ex.n);
        return Outcome{500, std::nullopt, {}};
    }
    res.status = 200;
    res.set_content(xmlReply("OK", "Received hi-res " + fileName), "text/xml");
    return Outcome{200, "OK", dirName, order};
}

void Service::logRequest(const Exchange& ex, const Outcome& outcome) {
    const UploadReceiver* receiver = ex.receiver;
    const ReceivedFile* photo = receiver ? receiver->photo() : nullptr;
    const ReceivedFile* movie = receiver ? receiver->fileOfField("vidfile") : nullptr;
    auto field = [receiver](const char* name) {
        return receiver ? receiver->field(name) : std::nullopt;
    };
    QJsonObject entry{
        {"n", ex.n},
        {"conn", ex.conn},
        {"path", qs(ex.path)},
        {"kind", requestKindName(ex.kind)},
        {"fuseaction", jsonOrNull(field("fuseaction"))},
        {"client", jsonOrNull(field("client"))},
        {"file", photo ? QJsonValue(qs(photo->fileName)) : QJsonValue()},
        {"bytes", photo ? QJsonValue(static_cast<qint64>(photo->size)) : QJsonValue()},
        {"movie", movie ? QJsonValue(qs(movie->fileName)) : QJsonValue()},
        {"http", outcome.http ? QJsonValue(outcome.http) : QJsonValue()},
        {"status", jsonOrNull(outcome.status)},
        {"fault", ex.fault ? QJsonValue(faultKindName(ex.fault->kind)) : QJsonValue()},
        {"dir", outcome.dir.empty() ? QJsonValue() : QJsonValue(qs(outcome.dir))},
        {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    };
    if (ex.kind == RequestKind::HiRes)
        entry["order"] = outcome.order ? QJsonValue(*outcome.order) : QJsonValue();
    ++fRequestCount;
    fLog.append(entry);
}

QJsonObject Service::stateJson() const {
    return QJsonObject{
        {"requests", fRequestCount.load()},
        {"received", fReceivedCount.load()},
        {"refused", fRefusedCount.load()},
        {"faulted", fFaultedCount.load()},
        {"held", fHeldCount.load()},
        {"faults", fFaults.describe()},
        {"orders", fOrders.counts()},
        {"connections", fConnectionCount.load()},
        {"conn", tConnection},
    };
}

} // namespace kivo::refservice
