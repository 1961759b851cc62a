#pragma once
#include <string>

namespace kivo::refservice {

// Cuts the TCP connection with these end points at once, with no reply: the peer sees a reset or
// an empty reply. The HTTP library gives handlers no socket, so the connection is found among
// the process's open sockets by its (unique) pair of addresses. Returns whether it was found.
bool dropConnection(const std::string& localAddr, int localPort, const std::string& peerAddr,
                    int peerPort);

} // namespace kivo::refservice
