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
    // Connections at once from one address: one client that opens many (or holds them open
    // doing nothing) takes a share of the slots, not all of them.
    std::size_t maxConnectionsPerPeer = 64;
    std::size_t headerLimit = 16 * 1024;
    std::size_t bodyLimit = 64 * 1024;
    // For a request's header to arrive whole, and so also how long a kept connection may
    // stay silent: a client that trickles its header in keeps its slot no longer than this.
    std::chrono::milliseconds headerTimeout{5000};
    std::chrono::milliseconds requestTimeout{30000};  // for a request to arrive whole
    // How often an event stream asks whether its client may still have it (a revoked token).
    std::chrono::milliseconds credentialCheck{2000};
    // The largest message a WebSocket client may send: it has nothing to say but control
    // frames, so anything bigger is refused before it is buffered.
    std::size_t webSocketMessageLimit = 4 * 1024;
    std::chrono::milliseconds heartbeat{15000};  // the event streams' keep-alive
    // The kernel's send buffer of an event stream's socket: what a client that stops reading
    // holds in the kernel, beside its queue in the stream source (the tests make it small).
    std::size_t streamSendBuffer = 64 * 1024;
    int threads = 2;
    std::string serverName = "fuel-http";  // the Server header: "fuel-forecourtd/2.50.0"

    bool Tls() const { return !tlsCertificate.empty(); }
};

// The descriptors a listener with these settings needs beside its connections: the journal,
// the lines, the event loop's own and a margin for the refusals on their way out.
inline constexpr std::size_t kDescriptorReserve = 128;

// The TLS 1.2 cipher suites, in the server's order of preference: ECDHE key exchange with an
// AEAD cipher only (no RSA key exchange, no CBC). TLS 1.3's are OpenSSL's own.
inline constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// A loopback address: 127.0.0.0/8, ::1 (also as ::ffff:127.x.x.x) or "localhost".
bool IsLoopback(const std::string& host);

}  // namespace fuel::http
