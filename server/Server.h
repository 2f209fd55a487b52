// The network side of fuel-forecourtd: a listener and one session per connection on a few
// threads (Boost.Asio, Boost.Beast), TLS when asked, the event hub fed by one subscription to
// the forecourt. Beast stays behind this header (Server.cpp, Session.cpp), so that what
// includes it compiles quickly.
#pragma once

#include <cstdint>
#include <memory>

#include "server/Options.h"

namespace fuel::forecourt {
class Forecourt;
}

namespace fuel::server {

class Tokens;
struct ServerCounters;

class Server {
  public:
    // The forecourt must be started; it and the tokens outlive the server.
    Server(const ServerSettings& settings, forecourt::Forecourt& forecourt, Tokens& tokens);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, subscribes to the forecourt's events and starts the threads. Throws
    // std::runtime_error when the address cannot be bound or the certificate or key cannot
    // be loaded, and UsageError for plain HTTP on an address other than the loopback without
    // insecure.
    void Start();
    // The port listened on (the one chosen when the settings asked for port 0).
    std::uint16_t Port() const;
    // Stops listening, ends every connection (event streams are told the server stops) and
    // joins the threads. Answers that the forecourt gives later are dropped: the outcome is in
    // the journal, and the client's retry with the same key gets it.
    void Stop();

    const ServerCounters& Counters() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace fuel::server
