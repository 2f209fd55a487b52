// fuel-forecourtd's command line: how to run the server, or which token command to carry out.
// A mistake here is the user's, so every failure is a UsageError (exit status 2).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/Roles.h"

namespace fuel::server {

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint16_t kDefaultPort = 8470;

struct ServerSettings {
    std::filesystem::path config;       // empty: the example station
    std::filesystem::path database;     // empty: the configuration's
    std::string host = "127.0.0.1";     // an IPv4 or IPv6 address, or "localhost"
    std::uint16_t port = kDefaultPort;  // 0: any free port (the log says which)
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
    bool insecure = false;  // plain HTTP on an address other than the loopback
    std::size_t maxConnections = 512;
    std::size_t headerLimit = 16 * 1024;
    std::size_t bodyLimit = 64 * 1024;
    std::chrono::milliseconds requestTimeout{30000};  // for a request to arrive whole
    std::chrono::milliseconds heartbeat{15000};       // the event streams' keep-alive
    std::size_t clientQueue = 4096;                   // events an event client may fall behind
    // The kernel's send buffer of an event stream's socket: what a client that stops reading
    // holds in the kernel, beside its queue (the tests make it small).
    std::size_t streamSendBuffer = 64 * 1024;
    int threads = 2;
    bool verbose = false;  // log every request

    bool Tls() const { return !tlsCertificate.empty(); }
};

enum class Command { Run, TokenAdd, TokenList, TokenRevoke, Help, Version };

struct Invocation {
    Command command = Command::Run;
    ServerSettings settings;
    std::string tokenName;     // token add / revoke
    Role role = Role::Viewer;  // token add
};

// The words after the program's name.
Invocation ParseCommandLine(const std::vector<std::string>& words);
std::string HelpText();

// A loopback address: 127.0.0.0/8, ::1 (also as ::ffff:127.x.x.x) or "localhost".
bool IsLoopback(const std::string& host);

}  // namespace fuel::server
