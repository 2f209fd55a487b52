// A loopback TCP port that nothing listens on (POSIX): one that was free a moment ago, so
// that connecting to it is refused at once, as to a converter that is down.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace fuel::test {

inline std::uint16_t PortNobodyListensOn() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = probe >= 0 &&
                       ::bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (probe >= 0)
        ::close(probe);
    if (!bound)
        throw std::runtime_error("no loopback port to borrow");
    return ntohs(address.sin_port);
}

}  // namespace fuel::test
