#include "Options.h"

#include <arpa/inet.h>
#include <charconv>

namespace kivo::refservice {

namespace {

bool parseNumber(const std::string& text, uint64_t maxValue, uint64_t& value) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value <= maxValue;
}

} // namespace

bool isLoopbackAddress(const std::string& address) {
    if (address == "localhost")
        return true;
    in_addr addr{};
    if (inet_pton(AF_INET, address.c_str(), &addr) != 1)
        return false;
    return (ntohl(addr.s_addr) >> 24) == 127;
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            error = "help";
            return false;
        }
        if (arg == "--discard") {
            options.discard = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value for " + arg;
            return false;
        }
        const std::string value = argv[++i];
        uint64_t number = 0;
        if (arg == "--port") {
            if (!parseNumber(value, 65535, number)) {
                error = "invalid port: " + value;
                return false;
            }
            options.port = static_cast<int>(number);
        } else if (arg == "--bind") {
            if (!isLoopbackAddress(value)) {
                error = "refusing to bind to a non-loopback address: " + value;
                return false;
            }
            options.bind = value == "localhost" ? "127.0.0.1" : value;
        } else if (arg == "--data") {
            options.dataDir = value;
        } else if (arg == "--user") {
            options.user = value;
            options.checkAccount = true;
        } else if (arg == "--password") {
            options.password = value;
            options.checkAccount = true;
        } else if (arg == "--max-body") {
            if (!parseNumber(value, UINT64_MAX, number) || number == 0) {
                error = "invalid --max-body: " + value;
                return false;
            }
            options.maxBody = number;
        } else if (arg == "--max-lifetime") {
            if (!parseNumber(value, 7 * 24 * 3600, number) || number == 0) {
                error = "invalid --max-lifetime: " + value;
                return false;
            }
            options.maxLifetimeSeconds = static_cast<int>(number);
        } else if (arg == "--keepalive-max") {
            if (!parseNumber(value, 1000000, number) || number == 0) {
                error = "invalid --keepalive-max: " + value;
                return false;
            }
            options.keepAliveMax = static_cast<int>(number);
        } else if (arg == "--read-rate") {
            if (!parseNumber(value, UINT64_MAX, number) || number == 0) {
                error = "invalid --read-rate: " + value;
                return false;
            }
            options.readRate = number;
        } else if (arg == "--fault") {
            options.faults.push_back(value);
        } else if (arg == "--order") {
            options.orders.push_back(value);
        } else if (arg == "--order-grammar") {
            const std::optional<OrderGrammar> grammar = parseOrderGrammar(value);
            if (!grammar) {
                error = "invalid --order-grammar: " + value + " (auto, v3 or v4)";
                return false;
            }
            options.orderGrammar = *grammar;
        } else {
            error = "unknown option: " + arg;
            return false;
        }
    }
    if (options.dataDir.empty()) {
        error = "--data DIR is required";
        return false;
    }
    return true;
}

const char* usageText() {
    return "usage: kivo-refservice --data DIR [--port N] [--bind 127.0.0.1]\n"
           "                       [--user NAME --password PW] [--max-body BYTES]\n"
           "                       [--max-lifetime SECONDS] [--discard] [--read-rate BYTES]\n"
           "                       [--fault FAULT]...\n"
           "                       [--order ORDER]... [--order-grammar auto|v3|v4]\n"
           "A stand-in for the photo web service, for the demo and the tests.\n"
           "  --port N            port to listen on; 0 (default) picks a free one\n"
           "  --bind ADDR         IPv4 loopback address (default 127.0.0.1)\n"
           "  --data DIR          where received uploads, requests.log and orders.json are kept\n"
           "  --user/--password   the only account accepted (default: any)\n"
           "  --max-body BYTES    largest request body accepted (default 512 MiB)\n"
           "  --keepalive-max N   close each connection after N requests\n"
           "  --max-lifetime S    exit by itself after S seconds (default 3600)\n"
           "  --discard           answer uploads as usual but store nothing\n"
           "  --read-rate BYTES   read each upload body at most this fast (bytes per second)\n"
           "  --fault FAULT       scripted fault, e.g. 'kind=status&status=ERROR&message=x'\n"
           "  --order ORDER       pending order, e.g. "
           "'localfilelocation=/p/IMG%25201.jpg&orderid=7&\n"
           "                      imageid=42&pictureid=9' (values are form-decoded once)\n"
           "  --order-grammar G   reply grammar of order queries: auto (default; v4 for the fuse\n"
           "                      action orders.v4check), v3 or v4\n"
           "FAULT fields, form-encoded or a JSON object: kind=http|status|body|delay|hang|close,\n"
           "  on=photo (default)|query|hires|any, count (default 1, 0 = until reset), match (part\n"
           "  of the file name; of the fuse action for a query), code, body and location (http),\n"
           "  status and message (status), body and type (body), ms (delay).\n"
           "Control calls: POST /control/fault, /control/reset, /control/release, /control/order,\n"
           "  /control/orders/clear, /control/order-grammar; GET /control/state, /control/orders.\n"
           "Prints 'listening on ADDR:PORT' once ready; stops on SIGTERM or SIGINT.\n";
}

} // namespace kivo::refservice
