#include "http/Settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace fuel::http {

bool IsLoopback(const std::string& host) {
    if (host == "localhost")
        return true;
    std::array<unsigned char, 16> bytes{};
    if (inet_pton(AF_INET, host.c_str(), bytes.data()) == 1)
        return bytes[0] == 127;
    if (inet_pton(AF_INET6, host.c_str(), bytes.data()) == 1) {
        const bool loopback = std::all_of(bytes.begin(), bytes.begin() + 15,
                                          [](unsigned char b) { return b == 0; }) &&
                              bytes[15] == 1;
        const bool mapped = std::all_of(bytes.begin(), bytes.begin() + 10,
                                        [](unsigned char b) { return b == 0; }) &&
                            bytes[10] == 0xFF && bytes[11] == 0xFF && bytes[12] == 127;
        return loopback || mapped;
    }
    return false;
}

}  // namespace fuel::http
