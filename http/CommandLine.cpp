#include "http/CommandLine.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>

namespace fuel::http {
namespace {

bool IsAddress(const std::string& host) {
    std::array<unsigned char, 16> bytes{};
    return host == "localhost" || inet_pton(AF_INET, host.c_str(), bytes.data()) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes.data()) == 1;
}

}  // namespace

std::int64_t Number(const std::string& text, std::string_view what, std::int64_t low,
                    std::int64_t high) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

std::chrono::milliseconds Seconds(const std::string& text, std::string_view what) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !(value >= 0.01 && value <= 86400)) {
        throw UsageError(std::string(what) + " must be seconds from 0.01 to 86400, not '" + text +
                         "'");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(value * 1000 + 0.5));
}

void ParseListen(const std::string& text, ListenerSettings& settings) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            throw UsageError("--listen takes ADDRESS:PORT or [IPv6-ADDRESS]:PORT, not '" + text +
                             "'");
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            throw UsageError("--listen takes ADDRESS:PORT or [IPv6-ADDRESS]:PORT, not '" + text +
                             "'");
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (!IsAddress(host)) {
        throw UsageError("--listen: '" + host +
                         "' is not an IP address (or localhost); give the address to listen on");
    }
    settings.host = host;
    settings.port = static_cast<std::uint16_t>(Number(port, "--listen's port", 0, 65535));
}

void CheckListener(const ListenerSettings& settings) {
    if (settings.tlsCertificate.empty() != settings.tlsKey.empty()) {
        throw UsageError("--tls-cert and --tls-key go together");
    }
    if (!settings.Tls() && !settings.insecure && !IsLoopback(settings.host)) {
        throw UsageError("refusing plain HTTP on " + settings.host +
                         ", which is not a loopback address: give --tls-cert and --tls-key, or "
                         "--insecure if the network is protected otherwise");
    }
}

}  // namespace fuel::http
