// What the listener (Server.cpp) and the sessions (Session.cpp) share. Beast and Asio are
// included here and nowhere else in server/: only those two files include this header.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "server/Api.h"
#include "server/EventHub.h"
#include "server/Metrics.h"
#include "server/Options.h"

namespace fuel::server {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

// A session that waits for an answer from the forecourt is kept here (and not by the
// answer itself): an answer that comes after the server has gone must not be the last
// owner of a socket whose io_context no longer exists.
class Waiting {
  public:
    void Add(const std::shared_ptr<void>& session);
    void Remove(const void* session);
    void Clear();

  private:
    std::mutex mutex_;
    std::set<std::shared_ptr<void>> sessions_;
};

// Where answers from the forecourt's threads are handed to a session's strand; closed when
// the server stops, after which they are dropped.
class Mailbox {
  public:
    template <typename Executor, typename Handler>
    void Post(const Executor& executor, Handler handler) {
        std::lock_guard lock(mutex_);
        if (open_)
            net::post(executor, std::move(handler));
    }
    void Close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }

  private:
    std::mutex mutex_;
    bool open_ = true;
};

// Counts a connection from its accept to its end, whichever session holds it.
class ConnectionSlot {
  public:
    explicit ConnectionSlot(std::atomic<std::size_t>& open) : open_(&open) { ++*open_; }
    ConnectionSlot(ConnectionSlot&& other) noexcept : open_(other.open_) { other.open_ = nullptr; }
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (open_ != nullptr)
            --*open_;
    }

  private:
    std::atomic<std::size_t>* open_;
};

struct Shared {
    Shared(const ServerSettings& s, Api& a, EventHub& h, ServerCounters& c, net::ssl::context* t)
        : settings(s), api(a), hub(h), counters(c), tls(t) {}

    const ServerSettings& settings;
    Api& api;
    EventHub& hub;
    ServerCounters& counters;
    net::ssl::context* tls;            // none: plain HTTP
    std::atomic<std::size_t> open{0};  // connections
    Waiting waiting;
    std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
};

// Runs a connection: TLS handshake when configured, then requests until the peer leaves,
// a request fails, or the connection becomes an event stream. With refuse, the one request
// read is answered 503 (the connection limit).
void StartSession(Shared& shared, tcp::socket socket, ConnectionSlot slot, bool refuse);

}  // namespace fuel::server
