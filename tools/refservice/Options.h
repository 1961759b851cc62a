#pragma once
#include "OrderBook.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kivo::refservice {

struct Options {
    int port = 0; // 0: the system picks a free port
    std::string bind = "127.0.0.1";
    std::string dataDir;
    std::string user; // empty: any account is accepted
    std::string password;
    bool checkAccount = false;
    uint64_t maxBody = 512ull * 1024 * 1024;
    int maxLifetimeSeconds = 3600;
    int keepAliveMax = 0;  // requests per connection before the service closes it; 0: default
    bool discard = false;  // parse and answer uploads but store nothing (a sink for benchmarks)
    uint64_t readRate = 0; // bytes per second an upload body is read at; 0: as fast as it comes
    std::vector<std::string> faults; // --fault values, in order
    std::vector<std::string> orders; // --order values, in order
    OrderGrammar orderGrammar = OrderGrammar::Auto;
};

// Fills options from the command line; on failure returns false with a message in error.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

// True for an IPv4 loopback address (127.0.0.0/8) or "localhost".
bool isLoopbackAddress(const std::string& address);

const char* usageText();

} // namespace kivo::refservice
