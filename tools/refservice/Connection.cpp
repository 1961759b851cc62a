#include "Connection.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>

namespace kivo::refservice {

namespace {

bool sameEndPoint(const sockaddr_storage& address, const std::string& host, int port) {
    char text[INET6_ADDRSTRLEN] = {};
    int actualPort = -1;
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        actualPort = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        actualPort = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    return actualPort == port && host == text;
}

} // namespace

bool dropConnection(const std::string& localAddr, int localPort, const std::string& peerAddr,
                    int peerPort) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        int fd = -1;
        const char* name = entry->d_name;
        auto [ptr, ec] = std::from_chars(name, name + std::strlen(name), fd);
        if (ec != std::errc() || *ptr != '\0' || fd == dirfd(dir))
            continue;
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            continue;
        if (!sameEndPoint(local, localAddr, localPort) || !sameEndPoint(peer, peerAddr, peerPort))
            continue;
        // Zero linger turns the library's later close into a reset; shutting both directions
        // now makes its attempt to write a reply fail instead of reaching the peer.
        const linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        shutdown(fd, SHUT_RDWR);
        found = true;
        break;
    }
    closedir(dir);
    return found;
}

} // namespace kivo::refservice
