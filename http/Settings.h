// How a listener listens: where, with TLS or not, and the limits every connection is held
// to. A daemon's own settings extend these with what is its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace fuel::http {

// A mistake in what the user asked for (a setting, an option): the daemons exit with
// status 2 for it.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ListenerSettings {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address, or "localhost"
    std::uint16_t port = 0;          // 0: any free port (the log says which)
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
    bool insecure = false;  // plain HTTP on an address other than the loopback
    std::size_t maxConnections = 512;
    std::size_t headerLimit = 16 * 1024;
    std::size_t bodyLimit = 64 * 1024;
    std::chrono::milliseconds requestTimeout{30000};  // for a request to arrive whole
    std::chrono::milliseconds heartbeat{15000};       // the event streams' keep-alive
    // The kernel's send buffer of an event stream's socket: what a client that stops reading
    // holds in the kernel, beside its queue in the stream source (the tests make it small).
    std::size_t streamSendBuffer = 64 * 1024;
    int threads = 2;
    std::string serverName = "fuel-http";  // the Server header: "fuel-forecourtd/2.50.0"

    bool Tls() const { return !tlsCertificate.empty(); }
};

// A loopback address: 127.0.0.0/8, ::1 (also as ::ffff:127.x.x.x) or "localhost".
bool IsLoopback(const std::string& host);

}  // namespace fuel::http
