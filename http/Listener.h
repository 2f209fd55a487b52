// The network side of a daemon: a listener and one session per connection on a few threads
// (Boost.Asio, Boost.Beast), TLS when asked, the limits of ListenerSettings on every
// connection. Each request goes to the daemon's handler (its Pipeline); a handler's
// StreamStart turns the connection into an event stream (Server-Sent Events, or a WebSocket
// when the request asked for one) fed by the daemon's stream source. Beast stays behind this
// header (Listener.cpp, Sessions.cpp), so that what includes it compiles quickly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "http/Counters.h"
#include "http/Message.h"
#include "http/Settings.h"
#include "http/StreamSource.h"

namespace fuel::http {

// From a request to its answer, as the Pipeline is: respond is called once, from any thread.
using RequestHandler = std::function<void(const Request&, Respond)>;

class Listener {
  public:
    // The source and the counters outlive the listener.
    Listener(const ListenerSettings& settings, RequestHandler handler, StreamSource& source,
             ServerCounters& counters);
    ~Listener();  // Stop()
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds and starts the threads. Throws std::runtime_error when the address cannot be
    // bound or the certificate or key cannot be loaded, and UsageError for plain HTTP on an
    // address other than the loopback without insecure.
    void Start();
    // The port listened on (the one chosen when the settings asked for port 0).
    std::uint16_t Port() const;
    // Stops listening, tells every event stream that the server stops (an error event
    // "shutdown", a WebSocket's close frame "going away") and gives them a moment to go,
    // then ends every connection and joins the threads. Answers that the handler gives later
    // are dropped.
    void Stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace fuel::http
