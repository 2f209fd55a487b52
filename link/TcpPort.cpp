// The platform-independent half of the TCP line: reading a port map's tcp://HOST:PORT.
#include "link/TcpPort.h"

#include <charconv>

namespace fuel {
namespace {

[[noreturn]] void Refuse(std::string_view device, const std::string& what) {
    throw std::invalid_argument(std::string(device) + ": " + what +
                                " (expected tcp://HOST:PORT, e.g. tcp://192.168.0.10:4001)");
}

}  // namespace

bool IsTcpDevice(std::string_view device) {
    return device.starts_with(kTcpScheme);
}

TcpAddress ParseTcpAddress(std::string_view device) {
    if (!IsTcpDevice(device)) {
        Refuse(device, "not a TCP address");
    }
    const std::string_view rest = device.substr(kTcpScheme.size());
    TcpAddress address;
    std::string_view portText;
    if (rest.starts_with('[')) {
        // An IPv6 address, whose colons would read as the port's.
        const auto close = rest.find(']');
        if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") {
            Refuse(device, "an IPv6 address in brackets must be followed by :PORT");
        }
        address.host = std::string(rest.substr(1, close - 1));
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            Refuse(device, "no port");
        }
        address.host = std::string(rest.substr(0, colon));
        if (address.host.find(':') != std::string::npos) {
            Refuse(device, "an IPv6 address must be in brackets");
        }
        portText = rest.substr(colon + 1);
    }
    if (address.host.empty()) {
        Refuse(device, "no host");
    }
    if (address.host.find_first_of("/?#@ \t") != std::string::npos) {
        Refuse(device, "\"" + address.host + "\" is not a host");
    }
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        port < 1 || port > 65535) {
        Refuse(device, "\"" + std::string(portText) + "\" is not a port 1..65535");
    }
    address.port = static_cast<std::uint16_t>(port);
    return address;
}

}  // namespace fuel
