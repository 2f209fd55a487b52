// fuel-forecourtd's server: the HTTP stack's listener (http/Listener.h) in front of the
// forecourt's API, and the event hub fed by one subscription to the forecourt as the
// listener's stream source. Beast stays behind the listener, so that what includes this
// compiles quickly.
#pragma once

#include <cstdint>
#include <memory>

#include "http/Counters.h"
#include "server/Options.h"

namespace fuel::forecourt {
class Forecourt;
}

namespace fuel::server {

class Tokens;

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

    const http::ServerCounters& Counters() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace fuel::server
