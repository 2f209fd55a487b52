// What both daemons' command lines share: the values of their options (whole numbers,
// seconds, ADDRESS:PORT) read strictly, and the listener's settings checked once they are
// all given. A mistake is the user's, so every failure is a UsageError (exit status 2).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/Settings.h"

namespace fuel::http {

// A whole number from low to high; `what` names the option in the message.
std::int64_t Number(const std::string& text, std::string_view what, std::int64_t low,
                    std::int64_t high);
// Seconds from 0.01 to 86400, with a fraction.
std::chrono::milliseconds Seconds(const std::string& text, std::string_view what);
// --listen's ADDR:PORT or [IPv6]:PORT, into the settings' host and port.
void ParseListen(const std::string& text, ListenerSettings& settings);
// The settings as a whole: a certificate and its key together, and plain HTTP only on the
// loopback address unless insecure.
void CheckListener(const ListenerSettings& settings);

// One option of a daemon's command line, applied to that daemon's invocation.
template <class Invocation>
struct CommandLineOption {
    std::string_view name;       // without "--"
    std::string_view valueName;  // empty for a switch
    std::string_view help;
    // Applies the value (empty for a switch); throws UsageError.
    std::function<void(Invocation&, const std::string&)> apply;
};

// The listener's options, the same in every daemon: --listen (its help, with the daemon's
// default address, is the daemon's), --tls-cert, --tls-key, --insecure, the connection
// limits and the request times. `settings` reaches an invocation's listener settings.
template <class Invocation>
std::vector<CommandLineOption<Invocation>> ListenerOptions(
    ListenerSettings& (*settings)(Invocation&), std::string_view listenHelp) {
    using Apply = std::function<void(Invocation&, const std::string&)>;
    const auto on = [settings](void (*change)(ListenerSettings&, const std::string&)) -> Apply {
        return [settings, change](Invocation& i, const std::string& v) { change(settings(i), v); };
    };
    return {
        {"listen", "ADDR:PORT", listenHelp,
         on([](ListenerSettings& s, const std::string& v) { ParseListen(v, s); })},
        {"tls-cert", "FILE", "serve HTTPS with this certificate chain (PEM)",
         on([](ListenerSettings& s, const std::string& v) { s.tlsCertificate = v; })},
        {"tls-key", "FILE", "the certificate's private key (PEM)",
         on([](ListenerSettings& s, const std::string& v) { s.tlsKey = v; })},
        {"insecure", "", "allow plain HTTP on an address other than the loopback",
         on([](ListenerSettings& s, const std::string&) { s.insecure = true; })},
        {"max-connections", "N", "connections at once; more are answered 503 (default 512)",
         on([](ListenerSettings& s, const std::string& v) {
             s.maxConnections =
                 static_cast<std::size_t>(Number(v, "--max-connections", 1, 1000000));
         })},
        {"max-connections-per-peer", "N",
         "connections at once from one address; more are answered 503 (default 64)",
         on([](ListenerSettings& s, const std::string& v) {
             s.maxConnectionsPerPeer =
                 static_cast<std::size_t>(Number(v, "--max-connections-per-peer", 1, 1000000));
         })},
        {"header-timeout", "SECONDS",
         "time for a request's header to arrive whole, and for a kept connection to stay "
         "silent (default 5)",
         on([](ListenerSettings& s, const std::string& v) {
             s.headerTimeout = Seconds(v, "--header-timeout");
         })},
        {"request-timeout", "SECONDS",
         "time for a request to arrive whole; later it is answered 408 (default 30)",
         on([](ListenerSettings& s, const std::string& v) {
             s.requestTimeout = Seconds(v, "--request-timeout");
         })},
    };
}

}  // namespace fuel::http
